// Tests of the client and session against the in-process engine: connecting, the login loop with
// its prompt, names and defaults, and the handling of a lost connection.
#include "db/client/qbclient.h"

#include "db/remote/qbclreng.h"

#include "classlib/ui/Dialogs.h"
#include "db/base/qbhash.h"
#include "tests/db/client/ClientTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

using clienttest::codeOf;
using clienttest::Env;

namespace {

// An engine that answers a login as one that compares hashes itself would not: with 0 when it
// checks no logins, or with the user's stored hash.
class HashAnsweringEngine : public TqbServerEngine {
public:
    uint32_t answer = 0;
    TqbHandle lastClient = 0;
    TqbResultCode ClientAdd(TqbHandle& ClientID, const std::string& ClientName, const std::string& UserID,
                            uint32_t Timeout, uint32_t& PasswordHash) override {
        TqbResultCode rc = TqbServerEngine::ClientAdd(ClientID, ClientName, UserID, Timeout, PasswordHash);
        lastClient = ClientID;
        if (rc == 0) PasswordHash = answer;
        return rc;
    }
};

struct DefaultPassword {
    explicit DefaultPassword(const std::string& p) { qbDefaultPassword = p; }
    ~DefaultPassword() { qbDefaultPassword.clear(); }
};

} // namespace

TEST(Client, SessionOpenStartsTheEngineAndLogsIn) {
    Env env;
    EXPECT_EQ(env.client->ClientName().rfind("QBClient_", 0), 0u);
    const std::string first = env.client->ClientName();
    env.client->SetAutoClientName(true);
    EXPECT_EQ(env.client->ClientName(), first); // on twice keeps the first name
    EXPECT_EQ(env.engine->State(), qbsInactive);
    env.session->Open();
    EXPECT_EQ(env.engine->State(), qbsStarted);
    EXPECT_TRUE(env.client->Active());
    EXPECT_NE(env.client->ClientID(), 0u);
    EXPECT_NE(env.session->SessionID(), 0u);
    EXPECT_EQ(env.session->Engine(), env.engine.get());
    EXPECT_EQ(env.session->EffectiveTimeOut(), 10000u);
    // Every session has an engine session of its own.
    TqbOwned<TqbSession> second(new TqbSession());
    second->SetSessionName("second");
    second->SetClientName(env.client->ClientName());
    second->Open();
    EXPECT_NE(second->SessionID(), 0u);
    EXPECT_NE(second->SessionID(), env.session->SessionID());
    EXPECT_EQ(env.client->Sessions().size(), 2u);
    // What an active client refuses.
    EXPECT_EQ(codeOf([&] { env.client->SetUserName("x"); }), kDsClientMustBeInactive);
    EXPECT_EQ(codeOf([&] { env.client->SetClientName("other"); }), kDsClientMustBeInactive);
    EXPECT_EQ(codeOf([&] { env.client->SetServerEngine(nullptr); }), kDsClientMustBeInactive);
    EXPECT_EQ(codeOf([&] { env.session->SetAutoSessionName(false), second->SetAutoSessionName(true); }),
              kDsSessionMustBeClosed);
    cls::TStringList names;
    env.client->GetServerNames(names);
    EXPECT_EQ(names.Count(), 1);
    EXPECT_EQ(env.client->ChooseServer(env.session.get()), names[0]);
}

TEST(Client, NamesAreUniqueWithoutRegardToCase) {
    Env env;
    TqbOwned<TqbClient> other(new TqbClient());
    other->SetClientName("Main");
    TqbOwned<TqbClient> third(new TqbClient());
    EXPECT_EQ(codeOf([&] { third->SetClientName("MAIN"); }), kDsClientNameExists);
    other->SetClientName("MAIN"); // its own name in another case
    EXPECT_EQ(other->ClientName(), "MAIN");
    TqbOwned<TqbSession> s(new TqbSession());
    EXPECT_EQ(codeOf([&] { s->SetSessionName(env.session->SessionName()); }), kDsSessionNameExists);
    EXPECT_EQ(codeOf([&] { third->Open(); }), kDsSpecifyName);
    // A session with no client name links to the default client.
    s->SetClientName("");
    s->SetSessionName("plain");
    EXPECT_EQ(s->Client(), DefaultClient());
    EXPECT_EQ(DefaultClient()->ClientName(), kAutomaticName);
    EXPECT_EQ(DefaultSession()->SessionName(), kAutomaticName);
    // Giving up the default role goes back to "[automatic]"; it keeps the role itself.
    other->SetIsDefault(true);
    EXPECT_EQ(DefaultClient(), other.get());
    other->SetIsDefault(false);
    EXPECT_EQ(DefaultClient()->ClientName(), kAutomaticName);
    DefaultClient()->SetIsDefault(false);
    EXPECT_EQ(DefaultClient()->ClientName(), kAutomaticName);
    // A client without an engine builds a remote one from the client configuration; with no server
    // at the configured address its session does not open, and nothing of the attempt stays.
    pwtest::LoopbackPort nobody;
    clienttest::ClientConfigScope config("TCP/IP", "srv@127.0.0.1:" + std::to_string(nobody.port()));
    other->SetTimeOut(300);
    TqbOwned<TqbSession> lone(new TqbSession());
    lone->SetSessionName("lone");
    lone->SetClientName("MAIN");
    EXPECT_EQ(codeOf([&] { lone->Open(); }), kLoginNoServer);
    EXPECT_FALSE(lone->Active());
    EXPECT_EQ(other->ClientID(), 0u);
    EXPECT_TRUE(other->OwnsEngine());
    EXPECT_NE(dynamic_cast<TQBRemoteServerEngine*>(other->ServerEngine()), nullptr);
}

// Sessions made, named and freed on several threads at once: each is found by its name while it
// lives, a name asked for by every thread at once goes to one session only, none is left behind.
TEST(Client, SessionsMadeNamedAndFreedOnSeveralThreads) {
    constexpr int kThreads = 6, kRounds = 100;
    std::vector<std::atomic<int>> winners(kRounds);
    std::atomic<int> lost{0};
    std::barrier together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                TqbOwned<TqbSession> own(new TqbSession());
                own->SetSessionName("Own " + std::to_string(t) + "-" + std::to_string(i));
                TqbOwned<TqbSession> contested(new TqbSession());
                contested->SetAutoSessionName(true);
                if (codeOf([&] { contested->SetSessionName("Contested " + std::to_string(i)); }) == 0)
                    ++winners[size_t(i)];
                together.arrive_and_wait(); // every thread asked before any lets its name go
                if (FindSession("own " + std::to_string(t) + "-" + std::to_string(i)) != own.get()) ++lost;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(lost.load(), 0);
    for (int i = 0; i < kRounds; ++i)
        EXPECT_EQ(winners[size_t(i)].load(), 1) << "round " << i;
    EXPECT_EQ(FindSession("Own 0-0"), nullptr);
    EXPECT_EQ(FindSession("Contested 0"), nullptr);
}

// Clients made, named and opened on several threads at once, each with a session that finds its
// client by name as it opens while the other threads name theirs: a name asked for by every thread
// at once goes to one client only, and every session opens on its own client.
TEST(Client, ClientsMadeNamedAndOpenedOnSeveralThreads) {
    Env env;
    env.session->Open(); // the engine is started once, before the threads
    constexpr int kThreads = 8, kRounds = 40;
    std::vector<std::atomic<int>> winners(kRounds);
    std::atomic<int> wrong{0}, failed{0};
    std::barrier together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string name = "Own " + std::to_string(t) + "-" + std::to_string(i);
                TqbOwned<TqbClient> own(new TqbClient());
                own->SetServerEngine(env.client->ServerEngine());
                TqbOwned<TqbSession> session(new TqbSession());
                session->SetAutoSessionName(true);
                session->SetClientName(name);
                TqbOwned<TqbClient> contested(new TqbClient());
                contested->SetAutoClientName(true);
                together.arrive_and_wait(); // every thread names at once
                if (codeOf([&] { own->SetClientName(name); }) != 0) ++failed;
                if (codeOf([&] { contested->SetClientName("Contested " + std::to_string(i)); }) == 0)
                    ++winners[size_t(i)];
                if (codeOf([&] { session->Open(); }) != 0) ++failed;
                if (session->Client() != own.get() || !own->Active() || session->SessionID() == 0) ++wrong;
                together.arrive_and_wait(); // every thread asked before any lets its names go
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    for (int i = 0; i < kRounds; ++i)
        EXPECT_EQ(winners[size_t(i)].load(), 1) << "round " << i;
    TqbDBListItem* found = nullptr;
    EXPECT_FALSE(ClientList().FindByName("Own 0-0", found));
}

TEST(Client, WrongPasswordPromptsAtMostPasswordRetriesTimes) {
    Env env;
    env.secure("pat", "secret");
    env.client->SetUserName("pat");
    cls::ScriptedDialogs dialogs;
    int prompts = 0;
    env.session->OnLogin = [&](TqbComponent* sender, std::string& user, std::string& password, bool& ok) {
        EXPECT_EQ(sender, env.session.get());
        EXPECT_EQ(user, "pat");
        ++prompts;
        password = "wrong";
        ok = true;
    };
    EXPECT_EQ(codeOf([&] { env.session->Open(); }), kLoginUnknownUser);
    EXPECT_EQ(prompts, 3);
    EXPECT_EQ(dialogs.Beeps(), 3);
    EXPECT_FALSE(env.session->Active());
    EXPECT_EQ(env.client->ClientID(), 0u);

    // Cancelling ends the attempts at once.
    prompts = 0;
    env.session->OnLogin = [&](TqbComponent*, std::string&, std::string&, bool& ok) {
        ++prompts;
        ok = false;
    };
    env.client->Close();
    EXPECT_EQ(codeOf([&] { env.session->Open(); }), kLoginUnknownUser);
    EXPECT_EQ(prompts, 1);

    // The right password on the second prompt; the name typed is kept.
    prompts = 0;
    env.client->Close();
    env.client->SetUserName("");
    env.session->OnLogin = [&](TqbComponent*, std::string& user, std::string& password, bool& ok) {
        ++prompts;
        user = "pat";
        password = prompts == 2 ? "secret" : "nope";
        ok = true;
    };
    env.client->BeepOnLoginError = false;
    const int beeps = dialogs.Beeps();
    env.session->Open();
    EXPECT_EQ(prompts, 2);
    EXPECT_EQ(dialogs.Beeps(), beeps);
    EXPECT_NE(env.client->ClientID(), 0u);
    EXPECT_EQ(env.client->UserName(), "pat");
}

TEST(Client, AnEngineThatChecksNoLoginsAnswersHashZeroAndIsAccepted) {
    DefaultPassword pw("not-empty");
    pwtest::TempDir dir;
    TqbOwned<HashAnsweringEngine> engine(new HashAnsweringEngine());
    engine->SetConfigDir(dir.str() + "/");
    {
        TqbOwned<TqbClient> client(new TqbClient());
        client->SetServerEngine(engine.get());
        client->SetClientName("zero");
        TqbOwned<TqbSession> session(new TqbSession());
        session->SetSessionName("zs");
        session->SetClientName("zero");
        int prompts = 0;
        session->OnLogin = [&](TqbComponent*, std::string&, std::string&, bool& ok) {
            ++prompts;
            ok = false;
        };
        session->Open();
        EXPECT_NE(client->ClientID(), 0u);
        EXPECT_EQ(prompts, 0);
        // A stored hash that differs from the login's is a wrong password.
        session.reset();
        client->Close();
        engine->answer = 12345;
        TqbOwned<TqbSession> again(new TqbSession());
        again->SetSessionName("zs2");
        again->SetClientName("zero");
        again->OnLogin = [&](TqbComponent*, std::string&, std::string&, bool& ok) {
            ++prompts;
            ok = false;
        };
        EXPECT_EQ(codeOf([&] { again->Open(); }), kLoginUnknownUser);
        EXPECT_EQ(prompts, 1);
        // The engine's client of the refused login is not left behind.
        ASSERT_NE(engine->lastClient, 0u);
        EXPECT_EQ(engine->ClientSetTimeout(engine->lastClient, 5), kResultUnknownClient);
    }
    engine->Shutdown();
}

TEST(Client, LostConnectionReconnectsWithANewHandleAndReopensTheSessions) {
    Env env;
    env.session->Open();
    const TqbHandle oldClient = env.client->ClientID();
    std::vector<bool> calls;
    env.client->OnConnectionLost = [&](TqbComponent* sender, bool starting, bool& retry) {
        EXPECT_EQ(sender, env.client.get());
        calls.push_back(starting);
        if (starting) retry = true;
    };
    // Another client's loss is not this one's.
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(oldClient + 1));
    EXPECT_TRUE(calls.empty());
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(oldClient));
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
    EXPECT_TRUE(env.client->Active());
    EXPECT_NE(env.client->ClientID(), 0u);
    EXPECT_NE(env.client->ClientID(), oldClient);
    EXPECT_TRUE(env.session->Active());
    EXPECT_NE(env.session->SessionID(), 0u);
}

TEST(Client, LostConnectionWithoutReconnectClosesEverythingAndSaysSo) {
    Env env;
    env.session->Open();
    cls::ScriptedDialogs dialogs;
    dialogs.Answer(cls::mrNo);
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(env.client->ClientID()));
    EXPECT_FALSE(env.client->Active());
    EXPECT_EQ(env.client->ClientID(), 0u);
    EXPECT_FALSE(env.session->Active());
    EXPECT_EQ(env.session->SessionID(), 0u);
    ASSERT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_EQ(dialogs.Texts()[0], "The connection to the server has been lost. Reconnect?");

    // A reconnect the engine refuses is reported.
    env.session->Open();
    env.secure("pat", "secret");
    env.session->OnLogin = [](TqbComponent*, std::string&, std::string&, bool& ok) { ok = false; };
    dialogs.Clear();
    dialogs.Answer(cls::mrYes);
    env.engine->NotifyDependentsEx(kOpConnectionLost, intptr_t(env.client->ClientID()));
    EXPECT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"The connection to the server has been lost. Reconnect?",
                                        "Reconnect was unsuccessful"}));
    EXPECT_FALSE(env.session->Active());
}

TEST(Client, AnEngineThatGoesIsForgottenWithoutFurtherCalls) {
    pwtest::TempDir dir;
    TqbOwned<TqbServerEngine> engine(new TqbServerEngine());
    engine->SetClock(std::make_shared<engineclock::StepClock>());
    engine->SetConfigDir(dir.str() + "/");
    TqbOwned<TqbClient> client(new TqbClient());
    client->SetServerEngine(engine.get());
    client->SetClientName("goes");
    TqbOwned<TqbSession> session(new TqbSession());
    session->SetSessionName("goes-s");
    session->SetClientName("goes");
    session->Open();
    engine.reset();
    EXPECT_EQ(client->ServerEngine(), nullptr);
    EXPECT_FALSE(client->Active());
    EXPECT_FALSE(session->Active());
    EXPECT_EQ(session->SessionID(), 0u);
}
