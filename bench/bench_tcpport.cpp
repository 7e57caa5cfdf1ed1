// Request/reply round trips over loopback: through TnwdIPPort (message loop, notifications, events)
// against a plain blocking POSIX client doing the same exchange with the same echo server.
#include "tcpport/nwdIPPort.h"

#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kRequest = "PAGE 5551234 0000\r\n";

// Echoes every line back until the client closes; one connection at a time.
class EchoServer {
public:
    EchoServer() {
        fd_ = pwbench::listenLoopback(port_, "echo server");
        thread_ = std::thread([this] { serve(); });
    }
    ~EchoServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    void serve() {
        for (;;) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string pending;
            char buf[4096];
            for (;;) {
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                pending.append(buf, size_t(n));
                size_t end = pending.rfind("\r\n");
                if (end == std::string::npos) continue;
                std::string reply = pending.substr(0, end + 2);
                pending.erase(0, end + 2);
                if (::send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
            }
            ::close(c);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

EchoServer& server() {
    static EchoServer s;
    return s;
}

void BM_PortRoundTrip(benchmark::State& state) {
    NwdLoader().SetPath("");
    TnwdIPPort port;
    port.SetEOL("\r\n");
    uint64_t replies = 0;
    bool connected = false;
    port.OnConnected = [&](cls::TComponent*, int code, const std::string&) { connected = code == 0; };
    port.OnDataIn = [&](cls::TComponent*, const std::string&, bool) { ++replies; };
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(server().port());
    port.SetConnected(true);
    if (!plat::PumpUntil([&] { return connected; }, 10000)) {
        state.SkipWithError("no connection");
        return;
    }
    uint64_t expected = 0;
    for (auto _ : state) {
        port.SetDataToSend(kRequest);
        ++expected;
        if (!plat::PumpUntil([&] { return replies >= expected; }, 10000)) {
            state.SkipWithError("reply lost");
            break;
        }
    }
    port.SetConnected(false);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_PlainRoundTrip(benchmark::State& state) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server().port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("no connection");
        ::close(fd);
        return;
    }
    std::string pending;
    char buf[4096];
    for (auto _ : state) {
        if (::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) < 0) break;
        size_t end;
        while ((end = pending.find("\r\n")) == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                state.SkipWithError("reply lost");
                ::close(fd);
                return;
            }
            pending.append(buf, size_t(n));
        }
        pending.erase(0, end + 2);
    }
    ::close(fd);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// Round trips per second of real time: the waits for the echo use no CPU of the benchmark's thread.
BENCHMARK(BM_PortRoundTrip)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_PlainRoundTrip)->MinTime(pwbench::minTime(1.0))->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    pwbench::FiguresReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double port = reporter.rate("BM_PortRoundTrip");
        const double plain = reporter.rate("BM_PlainRoundTrip");
        std::printf("round trips per second: port %.0f, plain client %.0f, ratio %.2f %s\n", port, plain,
                    port / plain, pwbench::target(port / plain >= 0.5, ">= 0.50").c_str());
        std::printf("CPU per round trip: port %.1f us, plain client %.1f us\n",
                    reporter.get("BM_PortRoundTrip").cpuTime / 1000,
                    reporter.get("BM_PlainRoundTrip").cpuTime / 1000);
    });
    benchmark::Shutdown();
    return status;
}
