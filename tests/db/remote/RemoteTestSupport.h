// Helpers of the protocol tests: pumping a protocol's thread until something happened, and data.
#pragma once
#include "db/remote/qbllprot.h"

#include <vector>

namespace pwremote {

// Runs the calling thread's protocols until pred holds; false after timeoutMs.
template <class P> bool pumpUntil(TqbBaseCommsProtocol& p, P pred, uint64_t timeoutMs = 10000) {
    const uint64_t start = plat::NowMs();
    while (!pred()) {
        if (plat::NowMs() - start > timeoutMs) return false;
        p.Idle();
    }
    return true;
}

inline std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 13 + i / 256);
    return b;
}

inline TqbMsgHeader request(uint32_t clientID, uint32_t requestID) {
    TqbMsgHeader h;
    h.MsgID = 1280;
    h.ClientID = clientID;
    h.RequestID = requestID;
    h.TimeOut = 5000;
    h.MsgType = qbmtRequest;
    return h;
}

} // namespace pwremote
