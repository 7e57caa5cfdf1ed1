// Socket protocols over loopback: a scrambled 100,000-byte exchange in parts, the bytes a raw peer
// sees, keep-alive with an answering and a silent peer, bad part lengths, connect failures,
// discovery with its rate limit, and IPX/SPX reporting itself not supported.
#include "tests/db/remote/RemoteTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace pwremote;
using Bytes = std::vector<uint8_t>;

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// A listening TCP/IP protocol on an ephemeral loopback port that echoes every part as a reply.
struct EchoServer {
    explicit EchoServer(std::string name = "Srv") : p(name, true) {
        p.StreamPort = 0;
        p.ListenAddress = loopback();
        p.OnAddClient = [this](TqbBaseCommsProtocol*, uint32_t id) { added.push_back(id); };
        p.OnConnectionLost = [this](TqbBaseCommsProtocol*, uint32_t id) { lost.push_back(id); };
        p.OnReceiveMsg = [this](TqbBaseCommsProtocol* l, uint32_t id, uint32_t len, const uint8_t* data) {
            received.emplace_back(data, data + len);
            if (!echo) return true;
            Bytes reply(data, data + len);
            reply[31] = qbmtReply;
            return l->SendMsg(id, reply.data(), len, true) == 0;
        };
    }
    void start() {
        p.Startup();
        p.Listen();
    }
    TqbTCPIPProtocol p;
    bool echo = true;
    std::vector<uint32_t> added, lost;
    std::vector<Bytes> received;
};

// A plain blocking socket connected to the server, for bytes the protocol must send or refuse.
struct RawPeer {
    explicit RawPeer(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = loopback();
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawPeer() { ::close(fd); }
    void send(const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    // Whatever has arrived (0: nothing yet); -1 once the server closed.
    int take(Bytes& into) {
        uint8_t buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) into.insert(into.end(), buf, buf + n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return n <= 0 ? -1 : int(n);
    }
    int fd;
    bool connected;
};

// A client protocol that counts the outcomes of its connect attempts as they are reported.
struct ConnectWatch : TqbTCPIPProtocol {
    ConnectWatch() : TqbTCPIPProtocol("", false) {}
    bool HandleMessage(plat::UINT msg, plat::WPARAM w, plat::LPARAM l, plat::LRESULT& result) override {
        if (msg == WM_QB_SOCKET && SelectEvent(l) == plat::FD_CONNECT) {
            if (SelectError(l) == plat::WSAECONNREFUSED)
                ++refusals;
            else if (!SelectError(l))
                ++connected;
        }
        return TqbTCPIPProtocol::HandleMessage(msg, w, l, result);
    }
    std::atomic<int> refusals{0}, connected{0};
};

TEST(TcpProtocol, ScrambledMessageInFivePartsAndBack) {
    EchoServer srv;
    srv.start();
    TqbTCPIPProtocol cli("", false);
    cli.StreamPort = srv.p.BoundStreamPort();
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("127.0.0.1", id, 5000), 0);
    ASSERT_TRUE(pumpUntil(cli, [&] { return srv.added.size() == 1; }));
    // The login makes both keys the same; here both sides take one seed.
    ASSERT_TRUE(cli.SetKey(id, 0x1234567));
    ASSERT_TRUE(srv.p.SetKey(srv.added[0], 0x1234567));

    TqbMessageAssembler assembler;
    TqbMessage reply;
    bool complete = false;
    cli.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t, uint32_t len, const uint8_t* data) {
        complete |= assembler.AddPart(data, len, 0, reply) == TqbMessageAssembler::Result::Complete;
        return true;
    };
    const Bytes data = pattern(100000);
    for (auto& part : SplitMessage(request(id, 77), data.data(), 100000, cli.MaxMsgSize()))
        ASSERT_EQ(cli.SendMsg(id, part.data(), uint32_t(part.size()), true), 0);
    ASSERT_TRUE(pumpUntil(cli, [&] { return complete; }));
    ASSERT_EQ(srv.received.size(), 5u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(srv.received[i].size(), 24576u);
    EXPECT_EQ(srv.received[4].size(), 1856u);
    EXPECT_EQ(reply.Data, data);
    EXPECT_EQ(reply.Header.MsgType, qbmtReply);
    EXPECT_EQ(reply.Header.RequestID, 77u);

    // Re-registered under the ID a login gives: the server's handlers see the new one.
    ASSERT_TRUE(srv.p.UpdateClientID(srv.added[0], 0xABCDEF));
    EXPECT_FALSE(srv.p.UpdateClientID(srv.added[0], 1)); // the old ID is gone
    complete = false;
    uint32_t seenBy = 0;
    srv.p.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t cid, uint32_t, const uint8_t*) {
        seenBy = cid;
        return true;
    };
    Bytes small = SplitMessage(request(id, 78), data.data(), 10, cli.MaxMsgSize())[0];
    ASSERT_EQ(cli.SendMsg(id, small.data(), uint32_t(small.size()), true), 0);
    ASSERT_TRUE(pumpUntil(cli, [&] { return seenBy != 0; }));
    EXPECT_EQ(seenBy, 0xABCDEFu);

    // A part above the maximum is refused; a client that is gone gives 292.
    Bytes tooBig(qbMaxMsgSizeSockets + 1);
    EXPECT_EQ(cli.SendMsg(id, tooBig.data(), uint32_t(tooBig.size()), true), 292);
    EXPECT_EQ(cli.SendMsg(id + 1000, tooBig.data(), 32, true), 292);
    cli.HangUpByClientID(id);
    EXPECT_TRUE(pumpUntil(cli, [&] { return srv.lost.size() == 1; }));
    EXPECT_EQ(srv.lost[0], 0xABCDEFu);
    EXPECT_EQ(cli.ConnectionCount(), 0u);
}

TEST(TcpProtocol, ServerThreadAndASenderOnAnotherThread) {
    std::atomic<uint16_t> port{0};
    std::atomic<bool> stop{false};
    std::thread server([&] {
        EchoServer srv;
        srv.p.OnAddClient = [](TqbBaseCommsProtocol* l, uint32_t id) { l->SetKey(id, 99); };
        srv.start();
        port = srv.p.BoundStreamPort();
        while (!stop)
            srv.p.Idle();
    });
    if (!pwtest::waitUntil([&] { return port != 0; })) {
        stop = true;
        server.join();
        FAIL() << "the server thread did not start";
    }
    TqbTCPIPProtocol cli("", false);
    cli.StreamPort = port;
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("127.0.0.1", id, 5000), 0);
    cli.SetKey(id, 99);
    TqbMessageAssembler assembler;
    std::vector<TqbMessage> replies;
    cli.OnReceiveMsg = [&](TqbBaseCommsProtocol*, uint32_t, uint32_t len, const uint8_t* data) {
        TqbMessage m;
        if (assembler.AddPart(data, len, 0, m) == TqbMessageAssembler::Result::Complete)
            replies.push_back(std::move(m));
        return true;
    };
    const Bytes data = pattern(100000);
    uint32_t request = 0;
    for (uint32_t size : {0u, 24545u, 100000u}) {
        replies.clear();
        for (auto& part : SplitMessage(pwremote::request(id, ++request), data.data(), size, cli.MaxMsgSize()))
            ASSERT_EQ(cli.SendMsg(id, part.data(), uint32_t(part.size()), true), 0);
        ASSERT_TRUE(pumpUntil(cli, [&] { return replies.size() == 1; })) << size;
        EXPECT_EQ(replies[0].Data, Bytes(data.begin(), data.begin() + size));
        EXPECT_EQ(replies[0].Header.RequestID, request);
    }
    // A caller on another thread sends; the replies still arrive on the protocol's thread.
    replies.clear();
    std::atomic<int> results{0};
    std::thread sender([&] {
        for (auto& part : SplitMessage(pwremote::request(id, 50), data.data(), 60000, cli.MaxMsgSize()))
            results += cli.SendMsg(id, part.data(), uint32_t(part.size()), true) == 0 ? 1 : 100;
    });
    ASSERT_TRUE(pumpUntil(cli, [&] { return replies.size() == 1; }));
    sender.join();
    EXPECT_EQ(results, 3);
    EXPECT_EQ(replies[0].Data, Bytes(data.begin(), data.begin() + 60000));
    stop = true;
    server.join();
}

// A burst of clients connecting at once while the server's thread is busy (it accepts nobody until
// the burst is over): the listening socket queues them all, none is refused.
TEST(TcpProtocol, ABurstOfConnectsIsQueuedNotRefused) {
    EchoServer srv;
    srv.start();
    const uint16_t port = srv.p.BoundStreamPort();
    constexpr size_t kClients = 32;
    std::vector<int32_t> results(kClients, -1);
    std::atomic<size_t> done{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> clients;
    for (size_t i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            TqbTCPIPProtocol cli("", false);
            cli.StreamPort = port;
            cli.Startup();
            uint32_t id = 0;
            results[i] = cli.ConnectToServer("127.0.0.1", id, 2000);
            ++done;
            while (!leave) // connected until the server has accepted everyone
                cli.Idle();
        });
    const bool allDone = pwtest::waitUntil([&] { return done == kClients; }, 60000);
    const bool allAccepted = allDone && pumpUntil(srv.p, [&] { return srv.added.size() == kClients; });
    leave = true;
    for (auto& t : clients)
        t.join();
    ASSERT_TRUE(allDone);
    EXPECT_EQ(results, std::vector<int32_t>(kClients, 0));
    EXPECT_TRUE(allAccepted) << srv.added.size();
}

TEST(TcpProtocol, SendQueueOfAPeerThatDoesNotReadIsBounded) {
    EchoServer srv;
    srv.p.MaxSendQueueBytes = 100000;
    srv.start();
    RawPeer raw(srv.p.BoundStreamPort()); // never reads
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.added.size() == 1; }));
    const uint32_t id = srv.added[0];
    const Bytes body = pattern(qbMaxMsgSizeSockets - 32);
    Bytes part = SplitMessage(request(id, 1), body.data(), uint32_t(body.size()), qbMaxMsgSizeSockets)[0];
    int sent = 0;
    int32_t r = 0;
    // The kernel's buffers take some parts; then the queue fills and the connection is given up.
    while (sent < 2000 && (r = srv.p.SendMsg(id, part.data(), uint32_t(part.size()), true)) == 0)
        ++sent;
    EXPECT_EQ(r, 292);
    EXPECT_LT(sent, 2000);
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.lost.size() == 1; }));
    EXPECT_EQ(srv.p.ConnectionCount(), 0u);
}

TEST(TcpProtocol, RawPeerSeesScrambledPartsAndPlainKeepAlives) {
    EchoServer srv;
    srv.start();
    RawPeer raw(srv.p.BoundStreamPort());
    ASSERT_TRUE(raw.connected);
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.added.size() == 1; }));
    const uint32_t id = srv.added[0];
    ASSERT_TRUE(srv.p.SetKey(id, 4242));
    TqbScrambleKey key;
    key.SetKey(4242);

    const Bytes body = pattern(500);
    Bytes part = SplitMessage(request(id, 5), body.data(), 500, qbMaxMsgSizeSockets)[0];
    Bytes wire = part;
    ScrambleMsg(wire.data(), wire.size(), key);
    ASSERT_NE(wire, part);
    // Two keep-alives and the part in one write.
    Bytes stream = KeepAliveBytes();
    stream.insert(stream.end(), stream.begin(), stream.end());
    stream.insert(stream.end(), wire.begin(), wire.end());
    raw.send(stream);
    Bytes got;
    ASSERT_TRUE(pumpUntil(srv.p, [&] {
        raw.take(got);
        return got.size() >= part.size();
    }));
    ASSERT_EQ(srv.received.size(), 1u);
    EXPECT_EQ(srv.received[0], part); // unscrambled for the handler
    EXPECT_EQ(srv.p.KeepAlivesReceived(id), 2u);
    Bytes want = part;
    want[31] = qbmtReply;
    ScrambleMsg(want.data(), want.size(), key);
    // The server answers the two keep-alives (plain, 4 bytes) and echoes the part scrambled.
    Bytes echoed;
    for (size_t at = 0; at < got.size();) {
        if (got.size() - at >= 4 && GetU32(got.data() + at) == qbmKeepAlive) {
            at += 4;
            continue;
        }
        echoed.assign(got.begin() + at, got.begin() + at + std::min(got.size() - at, want.size()));
        break;
    }
    EXPECT_EQ(echoed, want);
    EXPECT_EQ(Bytes(echoed.begin(), echoed.begin() + 8), Bytes(part.begin(), part.begin() + 8));
}

// The window timers of the protocols on this thread, one step of the manual clock on.
void tick(ManualClockScope& mc, TqbBaseCommsProtocol& p, uint32_t ms) {
    mc.clock.Advance(ms);
    ASSERT_TRUE(pumpUntil(p, [] { return plat::NextTimerDelayMs() > 0; }));
}

TEST(TcpProtocol, KeepAliveKeepsAnAnsweringPeerAndDropsASilentOneOnce) {
    ManualClockScope mc;
    EchoServer srv;
    srv.p.KeepAliveInterval = 20;
    srv.p.LastMsgInterval = 60;
    srv.p.KeepAliveRetries = 3;
    srv.start();
    TqbTCPIPProtocol cli("", false);
    cli.KeepAliveInterval = 20;
    cli.LastMsgInterval = 60;
    cli.KeepAliveRetries = 3;
    cli.StreamPort = srv.p.BoundStreamPort();
    std::vector<uint32_t> cliLost;
    cli.OnConnectionLost = [&](TqbBaseCommsProtocol*, uint32_t id) { cliLost.push_back(id); };
    cli.Startup();
    uint32_t id = 0;
    ASSERT_EQ(cli.ConnectToServer("127.0.0.1", id, 5000), 0);
    ASSERT_TRUE(pumpUntil(cli, [&] { return srv.added.size() == 1; }));
    const uint32_t sid = srv.added[0];
    // Each round: the timers run, then every keep-alive sent has arrived before the clock moves on.
    auto delivered = [&] {
        return cli.KeepAlivesSent(id) == srv.p.KeepAlivesReceived(sid) &&
               srv.p.KeepAlivesSent(sid) == cli.KeepAlivesReceived(id);
    };
    // Many more keep-alive rounds than the retries allow: both sides answer, nobody is dropped.
    for (int round = 0; round < 20; ++round) {
        tick(mc, cli, 20);
        ASSERT_TRUE(pumpUntil(cli, delivered)) << round;
    }
    EXPECT_GE(cli.KeepAlivesReceived(id), 12u);
    EXPECT_GE(srv.p.KeepAlivesReceived(sid), 12u);
    EXPECT_TRUE(cliLost.empty());
    EXPECT_TRUE(srv.lost.empty());
    EXPECT_EQ(srv.p.ConnectionCount(), 1u);

    // A peer that never answers: dropped after the retries, reported once.
    RawPeer silent(srv.p.BoundStreamPort());
    ASSERT_TRUE(pumpUntil(cli, [&] { return srv.added.size() == 2; }));
    const uint32_t silentID = srv.added[1];
    Bytes got;
    uint64_t sentToSilent = 0;
    for (int round = 0; round < 12; ++round) {
        tick(mc, cli, 20);
        sentToSilent = std::max(sentToSilent, srv.p.KeepAlivesSent(silentID)); // 0 once it is gone
        ASSERT_TRUE(pumpUntil(cli, [&] {
            if (silent.take(got) < 0) return delivered(); // closed by the server
            return delivered() && got.size() == 4 * sentToSilent;
        })) << round;
    }
    ASSERT_EQ(srv.lost, std::vector<uint32_t>{silentID});
    EXPECT_EQ(sentToSilent, 3u);
    EXPECT_EQ(srv.p.ConnectionCount(), 1u); // the answering client stays
    ASSERT_TRUE(pumpUntil(cli, [&] { return silent.take(got) < 0; }));
    EXPECT_EQ(got.size(), 12u); // three bare keep-alives, then the close
    for (size_t at = 0; at + 4 <= got.size(); at += 4)
        EXPECT_EQ(GetU32(got.data() + at), qbmKeepAlive);
    EXPECT_TRUE(cliLost.empty());
}

TEST(TcpProtocol, BadPartLengthsHangUpThatConnectionOnly) {
    EchoServer srv;
    MemoryEventLog log;
    srv.p.EventLog = &log;
    srv.p.EventLogEnabled = true;
    srv.echo = false;
    srv.start();
    RawPeer good(srv.p.BoundStreamPort());
    std::vector<std::unique_ptr<RawPeer>> bad;
    for (uint32_t len : {16u, 24577u, 0u}) {
        bad.push_back(std::make_unique<RawPeer>(srv.p.BoundStreamPort()));
        Bytes head(32, 0);
        PutU32(head.data(), 1280);
        PutU32(head.data() + 4, len);
        bad.back()->send(head);
    }
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.lost.size() == 3; }));
    for (auto& b : bad) {
        Bytes ignored;
        ASSERT_TRUE(pumpUntil(srv.p, [&] { return b->take(ignored) < 0; })); // closed by the server
    }
    auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Message size 24577 too large."), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Message size 16 too large."), lines.end());

    // The well-behaved connection goes on; its key is still the fresh one it got.
    ASSERT_EQ(srv.p.ConnectionCount(), 1u);
    const uint32_t id = srv.p.ConnectionClientID(0);
    TqbScrambleKey key;
    key.SetKey(srv.p.KeySeed(id));
    const Bytes body = pattern(40);
    Bytes part = SplitMessage(request(id, 1), body.data(), 40, qbMaxMsgSizeSockets)[0], wire = part;
    ScrambleMsg(wire.data(), wire.size(), key);
    good.send(wire);
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.received.size() == 1; }));
    EXPECT_EQ(srv.received[0], part);
}

TEST(TcpProtocol, AssemblersOfAllConnectionsShareOneBudget) {
    MemoryEventLog log;
    TqbTCPIPProtocol p("Srv", true);
    p.EventLog = &log;
    p.EventLogEnabled = true;
    p.Reassembly.SetLimits(2, size_t(1) << 20);
    auto a = p.NewAssembler(), b = p.NewAssembler(), c = p.NewAssembler();
    const Bytes body = pattern(30000);
    TqbMessage m;
    auto firstPart = [&](uint32_t client) {
        return SplitMessage(request(client, 1), body.data(), 30000, qbMaxMsgSizeSockets)[0];
    };
    Bytes p1 = firstPart(1), p2 = firstPart(2), p3 = firstPart(3);
    EXPECT_EQ(a->AddPart(p1.data(), uint32_t(p1.size()), 0, m), TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(b->AddPart(p2.data(), uint32_t(p2.size()), 0, m), TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(c->AddPart(p3.data(), uint32_t(p3.size()), 0, m), TqbMessageAssembler::Result::Ignored);
    ASSERT_EQ(log.LineCount(), 1u);
    EXPECT_EQ(log.Lines()[0].rfind("Reassembly limit of all connections reached (2 messages", 0), 0u);
    a.reset(); // a connection that goes gives its share back
    EXPECT_EQ(c->AddPart(p3.data(), uint32_t(p3.size()), 0, m), TqbMessageAssembler::Result::Incomplete);
    EXPECT_EQ(p.Reassembly.Messages(), 2u);
}

TEST(TcpProtocol, ConnectFailuresAndWrongSides) {
    EchoServer srv;
    srv.start();
    EXPECT_THROW(
        {
            try {
                uint32_t id;
                srv.p.ConnectToServer("127.0.0.1", id, 100);
            } catch (const EqbCommsException& e) {
                EXPECT_EQ(e.ErrorCode, 369);
                throw;
            }
        },
        EqbCommsException);
    TqbTCPIPProtocol cli("", false);
    cli.Startup();
    try {
        cli.Listen();
        ADD_FAILURE() << "a client listened";
    } catch (const EqbCommsException& e) {
        EXPECT_EQ(e.ErrorCode, 370);
        EXPECT_STREQ(e.what(), "Clients cannot issue listen requests, they only call");
    }
    uint32_t id = 0;
    EXPECT_EQ(cli.ConnectToServer("", id, 100), 11278);
    EXPECT_EQ(cli.ConnectToServer("no.such.host.invalid", id, 100), 11278);
    for (const char* bad :
         {"127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:12ab", "127.0.0.1:123456"})
        EXPECT_EQ(cli.ConnectToServer(bad, id, 100), 11278) << bad;
    // A port in the address wins over the protocol's own.
    TqbTCPIPProtocol other("", false);
    other.StreamPort = 1; // nobody serves there
    other.Startup();
    const std::string withPort = "127.0.0.1:" + std::to_string(srv.p.BoundStreamPort());
    ASSERT_EQ(other.ConnectToServer(withPort, id, 5000), 0);
    ASSERT_TRUE(pumpUntil(other, [&] { return srv.added.size() == 1; }));

    // A port nobody listens on: refused, tried again with a fresh socket when a second has passed on
    // the clock, 11278 once the time-out has passed and not before.
    ManualClockScope mc;
    ConnectWatch watched;
    pwtest::LoopbackPort nobody;
    watched.StreamPort = uint16_t(nobody.port());
    watched.Startup();
    ClockDriver driver(mc.clock, {{[&] { return watched.refusals == 1; }, 1000},
                                  {[&] { return watched.refusals == 2; }, 300}});
    const uint64_t start = plat::NowMs();
    EXPECT_EQ(watched.ConnectToServer("127.0.0.1", id, 1200), 11278);
    EXPECT_GE(plat::NowMs() - start, 1200u);
    EXPECT_EQ(driver.missed(), 0);
    EXPECT_EQ(watched.refusals, 2);
    EXPECT_EQ(watched.connected, 0);
    EXPECT_EQ(watched.ConnectionCount(), 0u);
}

TEST(TcpProtocol, RefusedConnectIsTriedAgainWithAFreshSocket) {
    // Nobody listens at first; once the refusal has come, a server starts listening and the clock
    // moves a second on: the next try meets it. A refusal never ends the connect early.
    ManualClockScope mc;
    pwtest::LoopbackPort late;
    ConnectWatch cli;
    cli.StreamPort = uint16_t(late.port());
    cli.Startup();
    ClockDriver driver(mc.clock, {{[&] { return cli.refusals == 1 && late.Listen(); }, 1000}});
    uint32_t id = 0;
    EXPECT_EQ(cli.ConnectToServer("127.0.0.1", id, 5000), 0);
    EXPECT_EQ(driver.missed(), 0);
    EXPECT_EQ(cli.refusals, 1);
    EXPECT_EQ(cli.connected, 1);
    EXPECT_EQ(cli.ConnectionCount(), 1u);
}

TEST(TcpProtocol, SendToAResetPeerGives292) {
    EchoServer srv;
    srv.start();
    {
        RawPeer raw(srv.p.BoundStreamPort());
        ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.added.size() == 1; }));
        ::linger lg{1, 0};
        ::setsockopt(raw.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg); // close sends a reset
    }
    const Bytes body = pattern(100);
    Bytes part = SplitMessage(request(srv.added[0], 1), body.data(), 100, qbMaxMsgSizeSockets)[0];
    int32_t r = 0;
    ASSERT_TRUE(pumpUntil(srv.p, [&] {
        r = srv.p.SendMsg(srv.added[0], part.data(), uint32_t(part.size()), true);
        return r != 0;
    }));
    EXPECT_EQ(r, 292);
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return srv.lost.size() == 1; }));
}

TEST(TcpProtocol, DiscoveryFindsTheServerAndIsRateLimited) {
    ManualClockScope mc;
    uint32_t broadcast = 0;
    ASSERT_TRUE(TextToIP("127.255.255.255", broadcast));
    for (std::string name : {"Srv", "127.0.0.1"}) {
        EchoServer srv(name);
        srv.p.DatagramPortServer = 0;
        srv.start();
        srv.p.ReceiveDatagramsOn();
        TqbTCPIPProtocol cli("", false);
        cli.DatagramPortClient = 0;
        cli.Startup();
        cli.ReceiveDatagramsOn();
        srv.p.DatagramPortClient = cli.BoundDatagramPort();
        cli.DatagramPortServer = srv.p.BoundDatagramPort();
        cli.BroadcastAddress = broadcast;
        std::atomic<bool> answered{false};
        cli.OnReceiveDatagram = [&](TqbBaseCommsProtocol*, const std::string&, const uint8_t*, uint32_t len) {
            if (len == qbDiscoveryAnswerSize) answered = true;
        };
        // The names are collected for 500 ms of a 3000 ms time-out: the clock moves 500 ms on once
        // the answer is in, and the collecting ends then.
        ClockDriver driver(mc.clock, {{[&] { return answered.load(); }, 500}});
        std::vector<std::string> names;
        const uint64_t start = plat::NowMs();
        cli.GetServerNames(names, 3000);
        EXPECT_EQ(plat::NowMs() - start, 500u);
        EXPECT_EQ(driver.missed(), 0);
        // A server named like its address is listed by name only.
        EXPECT_EQ(names, std::vector<std::string>{name == "Srv" ? "Srv@127.0.0.1" : "127.0.0.1"});
    }

    // A burst of queries gets no more answers than the rate allows in the time that passed;
    // malformed queries none.
    EchoServer srv;
    srv.p.DatagramPortServer = 0;
    srv.p.DiscoveryAnswersPerSecond = 3;
    size_t datagrams = 0;
    srv.p.OnReceiveDatagram = [&](TqbBaseCommsProtocol*, const std::string&, const uint8_t*, uint32_t) {
        ++datagrams;
    };
    srv.start();
    srv.p.ReceiveDatagramsOn();
    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = loopback();
    socklen_t len = sizeof me;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&me), &len);
    srv.p.DatagramPortClient = ntohs(me.sin_port);
    sockaddr_in to = me;
    to.sin_port = htons(srv.p.BoundDatagramPort());
    const uint8_t bad1[5] = {6, 0, 0, 0, 0}, bad2[4] = {7, 0, 0, 0};
    ::sendto(udp, bad1, 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::sendto(udp, bad2, 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    Bytes q = DiscoveryQuery();
    int answers = 0;
    auto burst = [&] {
        for (int i = 0; i < 20; ++i)
            ::sendto(udp, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    auto drain = [&] {
        uint8_t buf[256];
        ssize_t n;
        while ((n = ::recv(udp, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            std::string name, local;
            EXPECT_TRUE(DecodeDiscoveryAnswer(buf, size_t(n), name, local));
            EXPECT_EQ(name, "Srv");
            ++answers;
        }
    };
    burst();
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return datagrams == 22; }));
    ASSERT_TRUE(pumpUntil(srv.p, [&] {
        drain();
        return answers >= 3;
    }));
    drain();
    EXPECT_EQ(answers, 3);
    // A second later on the clock the bucket holds three answers again, and no more.
    mc.clock.Advance(1000);
    burst();
    ASSERT_TRUE(pumpUntil(srv.p, [&] { return datagrams == 42; }));
    ASSERT_TRUE(pumpUntil(srv.p, [&] {
        drain();
        return answers >= 6;
    }));
    drain();
    EXPECT_EQ(answers, 6);
    ::close(udp);
}

TEST(IpxSpxProtocol, NotSupportedHere) {
    EXPECT_FALSE(IsProtocolInstalled(qbipIPXSPX));
    EXPECT_TRUE(IsProtocolInstalled(qbipTCPIP));
    EXPECT_FALSE(TqbIPXSPXProtocol::ClassSupported());
    EXPECT_TRUE(TqbTCPIPProtocol::ClassSupported());
    TqbIPXSPXProtocol server("Srv", true);
    EXPECT_FALSE(server.Supported());
    EXPECT_EQ(server.GetProtocolName(), "IPX/SPX (QB)");
    EXPECT_THROW(server.Startup(), EqbWinsockException);
    TqbIPXSPXProtocol client("", false);
    client.Startup();
    uint32_t id = 0;
    EXPECT_EQ(client.ConnectToServer("not an address", id, 100), 11278);
    try {
        client.ConnectToServer("0000ABCD:01-02-03-04-05-06", id, 100);
        ADD_FAILURE() << "an SPX socket was made";
    } catch (const EqbWinsockException& e) {
        EXPECT_EQ(e.ErrorCode, 384);
        EXPECT_NE(std::string(e.what()).find("10047"), std::string::npos);
    }
}

} // namespace
