// Helpers of the client tests: an in-process engine over a temporary folder (started by the first
// login, as the paging client's is) and clients and sessions that go before it.
#pragma once
#include "db/base/qbhash.h"
#include "db/client/qbclient.h"
#include "db/engine/qbsrengn.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
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

struct Env {
    pwtest::TempDir dir;
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};

    Env() {
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
