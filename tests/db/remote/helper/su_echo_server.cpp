// Single-user server for the tests: sends every part back as a reply and ends when its client goes.
// Usage: pw_su_echo_server <rendezvous folder> <key seed>; exit code 0 after at least one echo and a
// hang-up. The seed stands in for the login, which gives both sides the same key.
#include "db/remote/qbllprot.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const uint32_t seed = uint32_t(std::strtoul(argv[2], nullptr, 10));
    plat::SetProcessMessageFolder(argv[1]);
    TqbSingleUserProtocol p("Local", true);
    bool done = false;
    int echoed = 0;
    p.OnReceiveMsg = [&](TqbBaseCommsProtocol* l, uint32_t clientID, uint32_t length, const uint8_t* data) {
        std::vector<uint8_t> reply(data, data + length);
        reply[31] = qbmtReply;
        if (l->SendMsg(clientID, reply.data(), length, true) == 0) ++echoed;
        return true;
    };
    p.OnAddClient = [&](TqbBaseCommsProtocol* l, uint32_t clientID) { l->SetKey(clientID, seed); };
    p.OnConnectionLost = [&](TqbBaseCommsProtocol*, uint32_t) { done = true; };
    p.Startup();
    p.Listen();
    const uint64_t start = plat::NowMs();
    while (!done && plat::NowMs() - start < 60000)
        p.Idle();
    std::printf("echoed %d\n", echoed);
    return done && echoed > 0 ? 0 : 1;
}
