// Helpers of the protocol tests: pumping a protocol's thread until something happened, the manual
// clock and a thread that moves it on when the test's events have happened, data, and a sending
// transport's set-up.
#pragma once
#include "db/remote/qblegacy.h"
#include "db/remote/qbllprot.h"
#include "platform/testing/ScopedManualClock.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace pwremote {

// Runs the calling thread's protocols until pred holds; false after timeoutMs of real time (the
// bound only guards against a hang, so it holds with a manual clock too).
template <class P> bool pumpUntil(TqbBaseCommsProtocol& p, P pred, uint64_t timeoutMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        p.Idle();
    }
    return true;
}

// The protocols' timers and time-outs run on this clock while the object lives.
using ManualClockScope = plat::ScopedManualClock;

// Moves the manual clock on from another thread while the test's thread waits on it: each step
// waits (in real time, generously) until its event has happened, then advances the clock. A step
// whose event never comes still advances, by far enough to end any wait on the clock, and is
// counted as missed, so a fault fails the test instead of hanging it.
class ClockDriver {
public:
    using Step = std::pair<std::function<bool()>, uint64_t>;
    ClockDriver(plat::ManualClock& clock, std::vector<Step> steps)
        : thread_([this, &clock, steps = std::move(steps)] {
              for (const auto& [when, ms] : steps) {
                  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                  while (!when() && std::chrono::steady_clock::now() < end)
                      std::this_thread::yield();
                  if (!when()) {
                      ++missed_;
                      clock.Advance(3600000);
                      continue;
                  }
                  clock.Advance(ms);
              }
          }) {}
    ~ClockDriver() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int missed() {
        join();
        return missed_;
    }

private:
    std::atomic<int> missed_{0};
    std::thread thread_;
};

// A server transport over TCP/IP on a free port of the loopback address.
inline void listenOnLoopback(TqbLegacyTransport& t) {
    t.SetProtocol(ptTCPIP);
    t.SetMode(qbtmListen);
    t.OnCreateProtocol = [](TqbBaseCommsProtocol& p) {
        auto& w = static_cast<TqbWinsockProtocol&>(p);
        w.StreamPort = 0;
        w.ListenAddress = htonl(INADDR_LOOPBACK);
    };
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

// Starts t as a sending TCP transport to the loopback port.
inline void StartLoopbackClient(TqbLegacyTransport& t, uint16_t port) {
    t.SetProtocol(ptTCPIP);
    t.SetMode(qbtmSend);
    t.SetServerName("Srv@127.0.0.1");
    t.OnCreateProtocol = [port](TqbBaseCommsProtocol& p) {
        static_cast<TqbWinsockProtocol&>(p).StreamPort = port;
    };
    t.SetState(qbsStarted);
}
