// Legacy transport server for the tests: logs one client in with the secure flag and the password
// hash given, echoes message 1280, never answers 1281, and ends once that client is removed.
// Usage: pw_legacy_echo_server <rendezvous folder> <password hash> [tcp]; exit code 0 after the
// removal. Single user by default; with "tcp" it listens on a free loopback port and prints it.
#include "db/remote/qblegacy.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

class EchoHandler : public TqbBaseCommandHandler {
public:
    void Process(TqbMessagePtr msg) override {
        if (msg->MsgID == 1280)
            TqbBaseTransport::Reply(1280, 0, msg->Data.data(), uint32_t(msg->Data.size()));
        else if (msg->MsgID != 1281)
            TqbBaseCommandHandler::Process(std::move(msg));
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const uint32_t expected = uint32_t(std::strtoul(argv[2], nullptr, 10));
    plat::SetProcessMessageFolder(argv[1]);
    EchoHandler handler;
    TqbEvent removed;
    TqbOwned<TqbLegacyTransport> t(new TqbLegacyTransport);
    const bool tcp = argc > 3 && std::strcmp(argv[3], "tcp") == 0;
    t->SetProtocol(tcp ? ptTCPIP : ptSingleUser);
    t->SetMode(qbtmListen);
    t->OnCreateProtocol = [](TqbBaseCommsProtocol& p) {
        if (auto* w = dynamic_cast<TqbWinsockProtocol*>(&p)) {
            w->StreamPort = 0;
            w->ListenAddress = htonl(INADDR_LOOPBACK);
        }
    };
    t->SetCommandHandler(&handler);
    t->OnAddClient = [&](TqbBaseTransport*, const std::string&, uint32_t, uint32_t, uint32_t& hash,
                         uint32_t& clientID, TqbResultCode& err, bool& secure, uint32_t&) {
        hash = expected;
        secure = true;
        clientID = 0x4242;
        err = 0;
    };
    t->OnRemoveClient = [&](TqbBaseTransport*, uint32_t, TqbResultCode&) { removed.Signal(); };
    t->SetState(qbsStarted);
    if (tcp) {
        std::printf("port %u\n",
                    unsigned(static_cast<TqbWinsockProtocol*>(t->CommsProtocol())->BoundStreamPort()));
        std::fflush(stdout);
    }
    const bool ok = removed.TryWait(60000) == 0;
    t->SetState(qbsInactive);
    return ok ? 0 : 1;
}
