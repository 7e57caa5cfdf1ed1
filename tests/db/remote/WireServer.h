// A served engine over loopback TCP for the remote tests: a started engine, the request decoder as
// the command handler's plug-in, the engine's login rule and a listening legacy transport.
#pragma once
#include "db/remote/qblegacy.h"
#include "db/remote/qbsrdisp.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

struct WireServer {
    engineapi::Api api{false};
    TqbServerDispatcher disp{*api.engine};
    TqbBaseCommandHandler handler;
    TqbDispatchPlugIn plugIn{disp};
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};

    // With a user hash, logins are required and user "ann" has that hash.
    explicit WireServer(uint32_t userHash = 0) {
        api.engine->Startup();
        if (userHash) {
            api.engine->Configuration().UpdateGeneralInfo([](TqbGeneralInfo& g) { g.IsSecure = true; });
            EXPECT_EQ(0, api.engine->Configuration().AddUser("ann", "", "", userHash, 0));
        }
        handler.AddPlugIn(&plugIn);
        pwremote::listenOnLoopback(*t);
        t->SetCommandHandler(&handler);
        t->OnAddClient = ServerLoginHandler(*api.engine, disp);
        t->OnRemoveClient = ServerRemoveHandler(disp);
        t->SetState(qbsStarted);
    }
    uint16_t port() { return static_cast<TqbWinsockProtocol*>(t->CommsProtocol())->BoundStreamPort(); }
};

// A contact whose ID is made from its name.
inline engineapi::Contact WireContact(const std::string& name, int service) {
    engineapi::Contact c;
    c.name = name;
    c.id = name + "-id";
    c.service = service;
    return c;
}
