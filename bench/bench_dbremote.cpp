// Remote protocol over loopback: round trips of 100-byte requests and 1 MB messages through the TCP/IP
// protocol layer (parts, scrambling, notifications) against plain blocking sockets moving the same parts.
#include "db/remote/qbllprot.h"

#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSeed = 0x5EED;

std::vector<Bytes> parts(size_t size, uint32_t clientID) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(i * 7);
    TqbMsgHeader h;
    h.MsgID = 1280;
    h.ClientID = clientID;
    h.RequestID = 1;
    h.MsgType = qbmtRequest;
    return SplitMessage(h, data.data(), uint32_t(size), qbMaxMsgSizeSockets);
}

// A listening protocol on its own thread that echoes every part as a reply.
class ProtocolServer {
public:
    ProtocolServer() {
        thread_ = std::thread([this] {
            TqbTCPIPProtocol p("Bench", true);
            p.StreamPort = 0;
            p.ListenAddress = htonl(INADDR_LOOPBACK);
            p.OnAddClient = [](TqbBaseCommsProtocol* l, uint32_t id) { l->SetKey(id, kSeed); };
            p.OnReceiveMsg = [](TqbBaseCommsProtocol* l, uint32_t id, uint32_t len, const uint8_t* data) {
                Bytes reply(data, data + len);
                reply[31] = qbmtReply;
                return l->SendMsg(id, reply.data(), len, true) == 0;
            };
            p.Startup();
            p.Listen();
            port_ = p.BoundStreamPort();
            while (!stop_)
                p.Idle();
        });
        while (!port_ && thread_.joinable())
            std::this_thread::yield();
    }
    ~ProtocolServer() {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    std::thread thread_;
    std::atomic<uint16_t> port_{0};
    std::atomic<bool> stop_{false};
};

void protocolRoundTrips(benchmark::State& state, size_t size) {
    ProtocolServer server;
    TqbTCPIPProtocol cli("", false);
    cli.StreamPort = server.port();
    cli.Startup();
    uint32_t id = 0;
    if (cli.ConnectToServer("127.0.0.1", id, 5000) != 0) throw std::runtime_error("connect failed");
    cli.SetKey(id, kSeed);
    TqbMessageAssembler assembler;
    bool complete = false;
    cli.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t, uint32_t len, const uint8_t* data) {
        TqbMessage m;
        complete |= assembler.AddPart(data, len, 0, m) == TqbMessageAssembler::Result::Complete;
        return true;
    };
    const auto request = parts(size, id);
    for (auto _ : state) {
        complete = false;
        for (const Bytes& p : request)
            cli.SendMsg(id, p.data(), uint32_t(p.size()), true);
        while (!complete)
            cli.Idle();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

using pwbench::readAll;
using pwbench::writeAll;

void setNoDelay(int fd, bool on) {
    int v = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

// Blocking sockets: the server reads each part by its header and writes it back. Without noDelay
// both ends keep the default (small segments wait for acknowledgements), as the protocol does.
class PlainServer {
public:
    explicit PlainServer(bool noDelay) {
        fd_ = pwbench::listenLoopback(port_, "plain server");
        thread_ = std::thread([this, noDelay] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            setNoDelay(c, noDelay);
            Bytes buf(qbMaxMsgSizeSockets);
            while (readAll(c, buf.data(), 32)) {
                uint32_t len = GetU32(buf.data() + 4);
                if (len < 32 || len > buf.size() || !readAll(c, buf.data() + 32, len - 32)) break;
                buf[31] = qbmtReply;
                if (!writeAll(c, buf.data(), len)) break;
            }
            ::close(c);
        });
    }
    ~PlainServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    int fd_;
    uint16_t port_;
    std::thread thread_;
};

void plainRoundTrips(benchmark::State& state, size_t size, bool noDelay) {
    PlainServer server(noDelay);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed");
    const auto request = parts(size, 1);
    size_t total = 0;
    for (const Bytes& p : request)
        total += p.size();
    Bytes reply(total);
    for (auto _ : state) {
        // A writer beside the reader, so that neither side's buffers stall the other.
        std::thread writer;
        if (request.size() > 1)
            writer = std::thread([&] {
                for (const Bytes& p : request)
                    writeAll(fd, p.data(), p.size());
            });
        else
            writeAll(fd, request[0].data(), request[0].size());
        readAll(fd, reply.data(), total);
        if (writer.joinable()) writer.join();
    }
    ::close(fd);
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void BM_ProtocolRequest100(benchmark::State& s) {
    protocolRoundTrips(s, 100);
}
void BM_PlainRequest100(benchmark::State& s) {
    plainRoundTrips(s, 100, false);
}
void BM_PlainNoDelayRequest100(benchmark::State& s) {
    plainRoundTrips(s, 100, true);
}
void BM_ProtocolMessage1MB(benchmark::State& s) {
    protocolRoundTrips(s, 1 << 20);
}
void BM_PlainMessage1MB(benchmark::State& s) {
    plainRoundTrips(s, 1 << 20, false);
}
void BM_PlainNoDelayMessage1MB(benchmark::State& s) {
    plainRoundTrips(s, 1 << 20, true);
}
BENCHMARK(BM_ProtocolRequest100)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_PlainRequest100)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_PlainNoDelayRequest100)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_ProtocolMessage1MB)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_PlainMessage1MB)->MinTime(pwbench::minTime(1.0))->UseRealTime();
BENCHMARK(BM_PlainNoDelayMessage1MB)->MinTime(pwbench::minTime(1.0))->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto line = [&](const char* what, const char* unit, double scale, const char* protocol, const char* plain,
                    const char* noDelay) {
        double p = reporter.rate(protocol), r = reporter.rate(plain), n = reporter.rate(noDelay);
        std::printf("%s, %s: protocol %.1f, plain sockets %.1f, ratio %.2f %s; plain sockets "
                    "without segment delay %.1f, ratio %.2f\n",
                    what, unit, p * scale, r * scale, p / r, pwbench::target(p / r >= 0.5, ">= 0.50").c_str(),
                    n * scale, p / n);
    };
    const int status = pwbench::printRatios([&] {
        line("100-byte round trips", "per second", 1, "BM_ProtocolRequest100", "BM_PlainRequest100",
             "BM_PlainNoDelayRequest100");
        line("1 MB messages", "MB/s", 1.048576, "BM_ProtocolMessage1MB", "BM_PlainMessage1MB",
             "BM_PlainNoDelayMessage1MB");
    });
    benchmark::Shutdown();
    return status;
}
