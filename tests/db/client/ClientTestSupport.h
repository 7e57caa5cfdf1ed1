// Helpers of the client tests: an in-process engine over a temporary folder (started by the first
// login, as the paging client's is) and clients and sessions that go before it.
#pragma once
#include "db/base/qbhash.h"
#include "db/client/qbcldb.h"
#include "db/client/qbclient.h"
#include "db/engine/qbsrengn.h"
#include "platform/ProcessMessages.h"
#include "tests/db/engine/ContactRecords.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ClientConfig.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace clienttest {

// Runs work and answers the code of the EqbDatabaseError it raised (0: none raised).
inline int32_t codeOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const EqbDatabaseError& e) {
        return e.ErrorCode;
    }
    return 0;
}

using pwtest::ClientConfigScope;

// Both named automatically, the session the client's.
inline void linkAutomatically(TqbClient& client, TqbSession& session) {
    client.SetAutoClientName(true);
    session.SetClientName(client.ClientName());
    session.SetAutoSessionName(true);
}

#ifdef PW_REMOTE_CLIENT_TESTS
// The database server program (tests/db/client/remote/DbServerProgram.cpp).
const char* dbServerProgram();

// The database server program on a folder, reached over TCP/IP on a free port, or over the
// single-user protocol when PW_REMOTE_PROTOCOL says "Single User".
class RemoteServer {
public:
    explicit RemoteServer(const pwtest::TempDir& dir, std::vector<std::string> options = {})
        : dir_(dir), options_(std::move(options)) {
        start("0");
    }
    static bool singleUser() {
        const char* p = std::getenv("PW_REMOTE_PROTOCOL");
        return p && std::string(p) == "Single User";
    }
    std::string protocol() const { return singleUser() ? "Single User" : "TCP/IP"; }
    std::string serverName() const { return singleUser() ? "" : "srv@127.0.0.1:" + std::to_string(port_); }
    bool ready() const { return ready_; }
    pwtest::ChildProcess& process() { return *process_; }
    // Killed at once, as a crash would end it.
    void kill() {
        ::kill(process_->pid, SIGKILL);
        process_->wait();
    }
    // Started again where clients find it (the same port).
    void restart() {
        kill();
        start(std::to_string(port_));
    }

private:
    void start(const std::string& port) {
        const std::string messages = dir_.file("messages");
        std::filesystem::create_directories(messages);
        std::vector<std::string> args{dir_.str(), port};
        if (singleUser()) {
            plat::SetProcessMessageFolder(messages);
            args = {dir_.str(), "0", "--single-user", "--message-folder", messages};
        }
        args.insert(args.end(), options_.begin(), options_.end());
        process_ = std::make_unique<pwtest::ChildProcess>(dbServerProgram(), args);
        if (singleUser()) {
            ready_ = process_->waitFor("listening single-user");
        } else {
            port_ = process_->port();
            ready_ = port_ != 0;
        }
    }
    const pwtest::TempDir& dir_;
    std::vector<std::string> options_;
    std::unique_ptr<pwtest::ChildProcess> process_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

// The client's own remote engine, made by connecting the client the first time it is asked for.
class RemoteEngineRef {
public:
    explicit RemoteEngineRef(TqbClient* client) : client_(client) {}
    TqbBaseServerEngine* get() const {
        if (!client_->ServerEngine() || client_->ClientID() == 0) {
            if (!client_->Active()) client_->Open();
            client_->Connect(nullptr);
        }
        return client_->ServerEngine();
    }
    TqbBaseServerEngine* operator->() const { return get(); }

private:
    TqbClient* client_;
};

// A client with no engine of its own and the server program's address in its configuration: the
// same tests then run over the wire.
struct Env {
    pwtest::TempDir dir;
    RemoteServer server{dir};
    ClientConfigScope config{server.protocol(), server.serverName()};
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};
    RemoteEngineRef engine{client.get()};

    Env() {
        EXPECT_TRUE(server.ready()) << server.process().text;
        linkAutomatically(*client, *session);
    }
    ~Env() {
        session.reset();
        client.reset();
    }
};
#else
struct Env {
    pwtest::TempDir dir;
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};

    // The engine's waits (the shut-down's for clients left) end at once.
    std::shared_ptr<engineclock::StepClock> clock{std::make_shared<engineclock::StepClock>()};

    Env() {
        engine->SetClock(clock);
        engine->SetConfigDir(dir.str() + "/");
        client->SetServerEngine(engine.get());
        linkAutomatically(*client, *session);
    }
    ~Env() {
        session.reset();
        client.reset();
        if (engine->State() == qbsStarted) engine->Shutdown();
    }
    // Makes the engine ask for logins, with one user.
    void secure(const std::string& user, const std::string& password) {
        if (engine->State() != qbsStarted) engine->Startup();
        ASSERT_EQ(0, engine->Configuration().AddUser(user, "", "", HashShStr(password), 0));
        engine->Configuration().UpdateGeneralInfo([](TqbGeneralInfo& i) { i.IsSecure = true; });
    }
};
#endif

// The session open with the alias "pageBASE" on the folder, db opened on the folder, and an empty
// contacts table built there.
template <class E> void openContactsFolder(E& env, TqbDatabase& db) {
    env.session->Open();
    env.session->AddAlias("pageBASE", env.dir.str());
    db.SetSessionName(env.session->SessionName());
    db.SetDatabaseName(env.dir.str());
    db.Open();
    TqbServerDataDict d = engineapi::contactsDictionary();
    EXPECT_EQ(0, env.engine->TableBuild(db.DatabaseID(), false, "contacts", false, d));
}

} // namespace clienttest
