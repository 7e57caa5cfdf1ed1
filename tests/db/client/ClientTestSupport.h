// Helpers of the client tests: an in-process engine over a temporary folder (started by the first
// login, as the paging client's is) and clients and sessions that go before it.
#pragma once
#include "db/base/qbhash.h"
#include "db/client/qbclient.h"
#include "db/engine/qbsrengn.h"
#include "platform/Registry.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

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

// The client configuration (protocol and server name) in a registry file of a temporary folder,
// for as long as the object lives.
class ClientConfigScope {
public:
    ClientConfigScope(const std::string& protocol, const std::string& serverName) {
        if (const char* old = std::getenv(plat::RegistryFileVariable)) old_ = old;
        pwtest::writeFile(dir_.file("reg.txt"),
                          "[HKEY_LOCAL_MACHINE\\Software\\Harrowgate\\Quillbase\\2.0\\Client Configuration]\n"
                          "\"Protocol\"=\"" +
                              protocol + "\"\n\"ServerName\"=\"" + serverName + "\"\n");
        ::setenv(plat::RegistryFileVariable, dir_.file("reg.txt").c_str(), 1);
    }
    ~ClientConfigScope() {
        if (old_)
            ::setenv(plat::RegistryFileVariable, old_->c_str(), 1);
        else
            ::unsetenv(plat::RegistryFileVariable);
    }
    ClientConfigScope(const ClientConfigScope&) = delete;
    ClientConfigScope& operator=(const ClientConfigScope&) = delete;

private:
    pwtest::TempDir dir_;
    std::optional<std::string> old_;
};

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
        client->SetAutoClientName(true);
        session->SetClientName(client->ClientName());
        session->SetAutoSessionName(true);
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

} // namespace clienttest
