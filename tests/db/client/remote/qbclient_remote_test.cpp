// Tests of a client with no engine of its own against the database server program: logins to a
// secure server, requests the server does not know or answers too late, a server that dies under
// a waiting request, and the reconnect that opens everything again.
#include "db/base/qbhash.h"
#include "db/client/qbdbbase.h"
#include "db/remote/qbtransport.h"
#include "platform/Messages.h"
#include "tests/db/client/ClientTestSupport.h"
#include "tests/db/engine/ContactRecords.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

using clienttest::codeOf;
using clienttest::Env;

namespace {

// A session with a contacts table of three rows, opened through the client's remote engine.
struct ContactsEnv : Env {
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    std::unique_ptr<TqbTable> table = std::make_unique<TqbTable>();

    ContactsEnv() {
        clienttest::openContactsFolder(*this, *db);
        table->SetSessionName(session->SessionName());
        table->SetDatabaseName("pageBASE");
        table->SetTableName("contacts");
        table->SetIndexName("nameIndex");
        table->Open();
        for (const char* name : {"carol", "alice", "bob"}) {
            table->Append();
            table->FieldByName("name")->SetAsString(name);
            table->FieldByName("id")->SetAsString(std::string(name) + "-id");
            table->Post();
        }
        table->First();
    }
    ~ContactsEnv() {
        table.reset();
        db.reset();
    }
};

// Stops the server and waits until it is stopped: a signal is not delivered when kill returns.
void stopServer(pwtest::ChildProcess& server) {
    ::kill(server.pid, SIGSTOP);
    int status = 0;
    ::waitpid(server.pid, &status, WUNTRACED);
}

uint64_t msSince(std::chrono::steady_clock::time_point start) {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count());
}

} // namespace

TEST(Remote, AWrongPasswordOfASecureServerGives10036AndTheServerSaysWhy) {
    pwtest::TempDir dir;
    pwtest::writeFile(dir.file("users.txt"), "pat:secret\n");
    clienttest::RemoteServer server(dir, {"--users", dir.file("users.txt")});
    ASSERT_TRUE(server.ready()) << server.process().text;
    clienttest::ClientConfigScope config(server.protocol(), server.serverName());
    TqbOwned<TqbClient> client(new TqbClient());
    client->SetAutoClientName(true);
    client->SetUserName("pat");
    client->BeepOnLoginError = false;
    client->PasswordRetries = 2;
    TqbOwned<TqbSession> session(new TqbSession());
    session->SetClientName(client->ClientName());
    session->SetAutoSessionName(true);
    int prompts = 0;
    session->OnLogin = [&](TqbComponent*, std::string& user, std::string& password, bool& ok) {
        ++prompts;
        user = "pat";
        password = "wrong";
        ok = true;
    };
    EXPECT_EQ(codeOf([&] { session->Open(); }), kLoginUnknownUser);
    EXPECT_EQ(prompts, 2);
    EXPECT_FALSE(session->Active());
    // The key the wrong password gave makes the server read another client ID: it says so and hangs up.
    for (const char* line : {"Hanging up due to bad client password", "  ClientID (actual) ",
                             "  ClientID (msg)    ", "  MsgID             9"})
        EXPECT_TRUE(server.process().waitFor(line)) << line << "\n" << server.process().text;

    session->OnLogin = [&](TqbComponent*, std::string& user, std::string& password, bool& ok) {
        user = "pat";
        password = "secret";
        ok = true;
    };
    session->Open();
    EXPECT_TRUE(session->Active());
    EXPECT_NE(client->ClientID(), 0u);
    session.reset();
    client.reset();
}

TEST(Remote, UnknownRequestsGive153AndUnansweredOnes288HalfASecondAfterTheirTimeOut) {
    Env env;
    env.session->Open();
    std::vector<uint8_t> reply;
    EXPECT_EQ(env.client->ProcessRequest(60000, 5000, {}, reply), 153);
    EXPECT_TRUE(reply.empty());

    // A server that stops answering: the wait ends with 288 at the time-out plus 500 ms, not before.
    stopServer(env.server.process());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(env.client->ProcessRequest(12, 300, {}, reply), 288);
    EXPECT_GE(msSince(start), 800u);
    ::kill(env.server.process().pid, SIGCONT);
    // Its late answer does not answer the next request.
    EXPECT_EQ(env.client->ProcessRequest(60000, 5000, {}, reply), 153);
    EXPECT_EQ(env.client->ProcessRequest(12, 5000, {}, reply), 0);
    EXPECT_EQ(reply.size(), 8u);
}

TEST(Remote, AKilledServerFailsTheWaitingRequestWith292AndTheClientHearsOfItOnItsOwnThread) {
    Env env;
    env.session->Open();
    std::vector<std::pair<bool, std::thread::id>> calls;
    env.client->OnConnectionLost = [&](TqbComponent* sender, bool starting, bool& retry) {
        EXPECT_EQ(sender, env.client.get());
        calls.emplace_back(starting, std::this_thread::get_id());
        retry = false;
    };
    // The server takes the request and never answers it.
    stopServer(env.server.process());
    std::atomic<TqbResultCode> result{-1};
    std::thread waiter([&] {
        std::vector<uint8_t> reply;
        result = env.client->ProcessRequest(12, 60000, {}, reply);
    });
    env.server.kill();
    waiter.join();
    EXPECT_EQ(result.load(), 292);
    ASSERT_TRUE(plat::PumpUntil([&] { return calls.size() == 2; }, 30000));
    EXPECT_TRUE(calls[0].first);
    EXPECT_FALSE(calls[1].first);
    EXPECT_EQ(calls[0].second, std::this_thread::get_id());
    EXPECT_FALSE(env.client->Active());
    EXPECT_FALSE(env.session->Active());
}

TEST(Remote, AReconnectOpensTheSessionsDatabasesAndTablesAgain) {
    ContactsEnv env;
    ASSERT_TRUE(env.table->Active());
    const TqbHandle oldSession = env.session->SessionID();
    bool asked = false;
    env.client->OnConnectionLost = [&](TqbComponent*, bool starting, bool& retry) {
        if (starting) {
            asked = true;
            retry = true;
        }
    };
    env.server.restart();
    ASSERT_TRUE(env.server.ready()) << env.server.process().text;
    ASSERT_TRUE(plat::PumpUntil([&] { return asked && env.table->Active(); }, 30000));
    EXPECT_TRUE(env.session->Active());
    EXPECT_NE(env.session->SessionID(), 0u);
    EXPECT_NE(env.session->SessionID(), oldSession);
    // The rows written before the server went are read through the new connection, in order.
    env.table->First();
    std::vector<std::string> names;
    for (; !env.table->Eof(); env.table->Next())
        names.push_back(env.table->FieldByName("name")->AsString());
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob", "carol"}));
}
