// The legacy transport over loopback TCP: login with and without the secure flag, a wrong password,
// no login handler, a 100,000-byte echo, time-outs, unknown requests, a server that goes away,
// a protocol that cannot start, and peers that break the framing or answer for another client.
#include "db/remote/qblegacy.h"

#include "db/base/qblllog.h"
#include "tests/db/remote/RemoteTestSupport.h"
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/RemoteTransportFuzz.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace pwremote;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kEcho = 1280, kSilent = 1281, kUnknown = 1300;
constexpr uint32_t kHash = 0x5EC2E7;

// Echoes message 1280, keeps 1281 until told to answer, and leaves the rest to the base (153).
class EchoHandler : public TqbBaseCommandHandler {
public:
    void Process(TqbMessagePtr msg) override {
        ++processed;
        if (msg->MsgID == kEcho) {
            TqbBaseTransport::Reply(kEcho, 0, msg->Data.data(), uint32_t(msg->Data.size()));
        } else if (msg->MsgID == kSilent) {
            held.Signal();
            release.TryWait(30000);
            if (answerSilent) TqbBaseTransport::Reply(kSilent, 0, nullptr, 0);
        } else {
            TqbBaseCommandHandler::Process(std::move(msg));
        }
    }
    std::atomic<int> processed{0};
    std::atomic<bool> answerSilent{true};
    TqbEvent held, release;
};

struct Server {
    explicit Server(bool withAddClient = true, bool secure = false) {
        pwremote::listenOnLoopback(*t);
        t->SetCommandHandler(&handler);
        if (withAddClient)
            t->OnAddClient = [this, secure](TqbBaseTransport*, const std::string& user, uint32_t, uint32_t,
                                            uint32_t& hash, uint32_t& clientID, TqbResultCode& err, bool& sec,
                                            uint32_t&) {
                std::lock_guard lk(mu);
                users.push_back(user);
                hash = kHash;
                sec = secure;
                clientID = 0x7000 + uint32_t(users.size());
                err = user == "Mallory" ? 10036 : 0;
            };
        t->OnRemoveClient = [this](TqbBaseTransport*, uint32_t id, TqbResultCode&) {
            std::lock_guard lk(mu);
            removed.push_back(id);
        };
        t->SetEventLog(&log);
        t->SetEventLogEnabled(true);
        t->SetEventLogOptions(qbLogOption(qbtpLogErrors));
    }
    void start() { t->SetState(qbsStarted); }
    uint16_t port() { return static_cast<TqbWinsockProtocol*>(t->CommsProtocol())->BoundStreamPort(); }
    bool logged(const std::string& line) {
        for (auto& l : log.Lines())
            if (l == line) return true;
        return false;
    }

    MemoryEventLog log;
    EchoHandler handler;
    size_t removedCount() {
        std::lock_guard lk(mu);
        return removed.size();
    }
    std::vector<uint32_t> removedIDs() {
        std::lock_guard lk(mu);
        return removed;
    }

    std::mutex mu;
    std::vector<std::string> users; // read after a login returned
    std::vector<uint32_t> removed;
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
};

struct Client {
    explicit Client(uint16_t port, TqbLegacyTransport* transport = new TqbLegacyTransport) : t(transport) {
        t->SetProtocol(ptTCPIP);
        t->SetMode(qbtmSend);
        t->SetServerName("Srv@127.0.0.1");
        t->OnCreateProtocol = [port](TqbBaseCommsProtocol& p) {
            static_cast<TqbWinsockProtocol&>(p).StreamPort = port;
        };
        t->SetEventLog(&log);
        t->SetEventLogEnabled(true);
        t->SetEventLogOptions(qbLogOption(qbtpLogErrors));
        t->SetState(qbsStarted);
    }
    // A login that only ends at its time-out (30 s) has missed a reply.
    TqbResultCode login(uint32_t hash, uint32_t& id) {
        const auto start = std::chrono::steady_clock::now();
        TqbResultCode r = t->EstablishConnection("Ann", hash, 30000, id);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
        return r;
    }
    // The request's result code; the reply's bytes in *reply.
    TqbResultCode request(uint32_t id, uint32_t msg, const Bytes& data, uint32_t timeout,
                          Bytes* reply = nullptr, uint32_t* replyMsg = nullptr) {
        return t->Request(0, id, msg, timeout, data.data(), uint32_t(data.size()),
                          [&](uint32_t m, TqbResultCode, const uint8_t* d, uint32_t n) {
                              if (reply) reply->assign(d, d + n);
                              if (replyMsg) *replyMsg = m;
                          });
    }
    bool logged(const std::string& prefix) {
        for (auto& l : log.Lines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
    MemoryEventLog log;
    TqbOwned<TqbLegacyTransport> t;
};

TEST(LegacyTransport, LoginThenEchoUnknownAndTimeOut) {
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        Server srv(true, secure);
        srv.start();
        Client cli(srv.port());
        uint32_t id = 0;
        ASSERT_EQ(cli.login(kHash, id), 0);
        EXPECT_EQ(id, 0x7001u);
        EXPECT_EQ(srv.users, std::vector<std::string>{"Ann"});

        const Bytes data = pattern(100000);
        Bytes back;
        uint32_t msg = 0;
        ASSERT_EQ(cli.request(id, kEcho, data, 5000, &back, &msg), 0);
        EXPECT_EQ(msg, kEcho);
        EXPECT_EQ(back, data);

        back.assign(3, 1);
        EXPECT_EQ(cli.request(id, kUnknown, {1, 2, 3}, 5000, &back, &msg), 153);
        EXPECT_TRUE(back.empty());

        // No answer in time: 288 after the time-out and its half second; the late answer finds nothing.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cli.request(id, kSilent, {}, 300, nullptr, &msg), 288);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
        EXPECT_EQ(msg, kSilent);
        srv.handler.release.Signal();
        EXPECT_TRUE(pwtest::waitUntil([&] { return cli.logged("Could not find Request"); }, 20000));
        // The connection is still good.
        ASSERT_EQ(cli.request(id, kEcho, {9}, 5000, &back), 0);
        EXPECT_EQ(back, Bytes{9});

        // Removed by its message, then its connection closes: the server hears of it once.
        EXPECT_EQ(cli.t->Post(0, id, qbmClientRemove, nullptr, 0, 5000, qbrmPostWait), 0);
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.removedCount() == 1; }, 20000));
        cli.t->TerminateConnection(id, 5000);
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.t->GetConnectionCount() == 0; }, 20000));
        EXPECT_EQ(srv.removedIDs(), std::vector<uint32_t>{id});
    }
}

TEST(LegacyTransport, ClientsInParallelOnPoolThreads) {
    Server srv;
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    srv.t->SetThreadPool(pool.get());
    srv.start();
    Client cli(srv.port());
    std::vector<std::thread> callers;
    std::atomic<int> good{0};
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([&, c] {
            uint32_t id = 0;
            if (cli.login(kHash, id) != 0) return;
            for (int i = 0; i < 15; ++i) {
                const Bytes data = pattern(size_t(1 + (c * 15 + i) * 3001 % 60000));
                Bytes back;
                if (cli.request(id, kEcho, data, 10000, &back) == 0 && back == data) ++good;
            }
            cli.t->TerminateConnection(id, 5000);
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(good.load(), 45);
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.removedCount() == 3; }, 20000));

    // One client's requests take turns: the second waits on its pool thread until the first is done.
    uint32_t id = 0;
    ASSERT_EQ(cli.login(kHash, id), 0);
    const int before = srv.handler.processed.load();
    std::thread first([&] { cli.request(id, kSilent, {}, 60000); });
    ASSERT_EQ(srv.handler.held.TryWait(20000), 0u);
    std::atomic<TqbResultCode> second{-1};
    std::thread echo([&] { second = cli.request(id, kEcho, {1}, 60000); });
    ASSERT_TRUE(pwtest::waitUntil([&] { return pool->BusyCount() == 2; }, 20000));
    EXPECT_EQ(srv.handler.processed.load(), before + 1);
    srv.handler.release.Signal();
    first.join();
    echo.join();
    EXPECT_EQ(second.load(), 0);
    EXPECT_EQ(srv.handler.processed.load(), before + 2);
    srv.t->SetState(qbsInactive);
}

// A client that hangs up while its request is at work: the reply that finds it gone is dropped
// without an error line, the second and the third time too, and the server answers the next client.
TEST(LegacyTransport, AReplyToAClientThatHungUpIsDroppedWithoutAnError) {
    Server srv;
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    srv.t->SetThreadPool(pool.get());
    srv.start();
    for (size_t round = 1; round <= 3; ++round) {
        Client cli(srv.port());
        uint32_t id = 0;
        ASSERT_EQ(cli.login(kHash, id), 0);
        std::atomic<TqbResultCode> result{-1};
        std::thread waiting([&] { result = cli.request(id, kSilent, {}, 30000); });
        ASSERT_EQ(srv.handler.held.TryWait(20000), 0u);
        cli.t->TerminateConnection(id, 5000);
        ASSERT_TRUE(pwtest::waitUntil([&] { return srv.removedCount() == round; }, 20000));
        srv.handler.release.Signal();
        srv.t->WaitForDispatched();
        waiting.join();
        EXPECT_NE(0, result.load());
    }
    for (const std::string& line : srv.log.Lines())
        EXPECT_EQ(std::string::npos, line.find("Snd Err")) << line;
    Client next(srv.port());
    uint32_t id = 0;
    ASSERT_EQ(next.login(kHash, id), 0);
    Bytes back;
    EXPECT_EQ(next.request(id, kEcho, {7}, 5000, &back), 0);
    EXPECT_EQ(back, Bytes{7});
    srv.t->SetState(qbsInactive);
}

TEST(LegacyTransport, WrongPasswordAndNoLoginHandler) {
    {
        Server srv(true, true);
        srv.start();
        Client cli(srv.port());
        uint32_t id = 0;
        EXPECT_EQ(cli.login(kHash ^ 1, id), 10036);
        ASSERT_TRUE(
            pwtest::waitUntil([&] { return srv.logged("Hanging up due to bad client password"); }, 20000));
        EXPECT_TRUE(srv.logged("  ClientID (actual) " + std::to_string(0x7001)));
        EXPECT_TRUE(srv.logged("  MsgID             9"));
        bool msgLine = false;
        for (auto& l : srv.log.Lines())
            msgLine |= l.rfind("  ClientID (msg)    ", 0) == 0;
        EXPECT_TRUE(msgLine);
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.t->GetConnectionCount() == 0; }, 20000));

        // The handler had added that client before its key failed: it is removed again.
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.removedCount() == 1; }, 20000));

        // A user the login handler refuses: its code, and the client hangs up; never added, so
        // never removed.
        EXPECT_EQ(cli.t->EstablishConnection("Mallory", kHash, 30000, id), 10036);
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.t->GetConnectionCount() == 0; }, 20000));
        EXPECT_EQ(srv.removedCount(), 1u);
    }
    {
        Server srv(false);
        srv.start();
        Client cli(srv.port());
        uint32_t id = 0;
        EXPECT_EQ(cli.login(kHash, id), 15448);
        EXPECT_TRUE(pwtest::waitUntil([&] { return srv.t->GetConnectionCount() == 0; }, 20000));
        EXPECT_EQ(srv.removedCount(), 0u); // never added, so never removed
    }
}

TEST(LegacyTransport, LostServerFailsPendingAndTellsTheOwnerThread) {
    auto srv = std::make_unique<Server>();
    srv->start();
    Client cli(srv->port());
    uint32_t id = 0;
    ASSERT_EQ(cli.login(kHash, id), 0);
    std::vector<std::pair<uint32_t, std::thread::id>> lost;
    cli.t->OnConnectionLost = [&](TqbBaseTransport*, uint32_t clientID) {
        lost.emplace_back(clientID, std::this_thread::get_id());
    };
    std::atomic<TqbResultCode> result{-1};
    std::thread caller([&] { result = cli.request(id, kSilent, {}, 60000); });
    ASSERT_EQ(srv->handler.held.TryWait(20000), 0u);
    srv->handler.answerSilent = false;
    srv->handler.release.Signal(); // lets the server's thread go without an answer
    srv->t->SetState(qbsInactive);
    srv.reset();
    caller.join();
    EXPECT_EQ(result.load(), 292);
    // Reported on this thread, the one that made the transport, once its messages are pumped.
    ASSERT_TRUE(plat::PumpUntil([&] { return !lost.empty(); }, 20000));
    EXPECT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].first, id);
    EXPECT_EQ(lost[0].second, std::this_thread::get_id());
}

TEST(LegacyTransport, KilledServerProcessFailsPendingAndTellsTheOwnerThread) {
    pwtest::TempDir folder;
    pwtest::ChildProcess server(PW_LEGACY_ECHO_SERVER, {folder.str(), std::to_string(kHash), "tcp"});
    ASSERT_GT(server.pid, 0);
    ASSERT_TRUE(server.waitFor("port ") && server.waitFor("\n")) << server.text;
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(server.text.c_str() + server.text.find("port "), "port %u", &port), 1)
        << server.text;

    Client cli{uint16_t(port)};
    uint32_t id = 0;
    ASSERT_EQ(cli.login(kHash, id), 0);
    std::vector<std::thread::id> lost;
    cli.t->OnConnectionLost = [&](TqbBaseTransport*, uint32_t) {
        lost.push_back(std::this_thread::get_id());
    };
    std::atomic<TqbResultCode> result{-1};
    std::thread caller([&] { result = cli.request(id, kSilent, {}, 60000); }); // never answered
    EXPECT_TRUE(pwtest::waitUntil([&] { return cli.t->PendingCount() == 1; }, 20000));
    ::kill(server.pid, SIGKILL);
    int status = 0;
    ::waitpid(server.pid, &status, 0);
    caller.join();
    EXPECT_EQ(result.load(), 292);
    ASSERT_TRUE(plat::PumpUntil([&] { return !lost.empty(); }, 20000));
    EXPECT_EQ(lost, std::vector<std::thread::id>{std::this_thread::get_id()});
}

TEST(LegacyTransport, ProtocolThatCannotStartGives291) {
    pwtest::LoopbackPort taken;
    ASSERT_TRUE(taken.Listen());
    Server srv;
    srv.t->OnCreateProtocol = [&](TqbBaseCommsProtocol& p) {
        auto& w = static_cast<TqbWinsockProtocol&>(p);
        w.StreamPort = uint16_t(taken.port());
        w.ListenAddress = htonl(INADDR_LOOPBACK);
    };
    try {
        srv.start();
        FAIL() << "started on a port in use";
    } catch (const EqbException& e) {
        EXPECT_EQ(e.ErrorCode, 291);
        EXPECT_EQ(std::string(e.what()), "Could not start TCP/IP (QB) protocol.");
    }
    EXPECT_NE(srv.t->State(), qbsStarted);
    bool startupLine = false;
    for (auto& l : srv.log.Lines())
        startupLine |= l.rfind("Transport thread startup (", 0) == 0;
    EXPECT_TRUE(startupLine);
}

// A plain socket to a server transport, for parts a well-behaved client never sends. Only the
// login (message 15) travels unscrambled, so that is what it speaks.
struct RawPeer {
    explicit RawPeer(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawPeer() { ::close(fd); }
    void part(uint32_t total, uint32_t dataBytes, bool first, bool last, uint32_t requestID = 1) {
        TqbMsgHeader h;
        h.MsgID = qbmLogin;
        h.PartLength = qbMsgHeaderSize + dataBytes;
        h.TotalLength = total;
        h.RequestID = requestID;
        h.FirstPart = first;
        h.LastPart = last;
        h.MsgType = qbmtRequest;
        Bytes b(h.PartLength, 0x41);
        EncodeHeader(h, b.data());
        ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // The next whole part from the server (header and data), waiting up to ms; empty when none came.
    Bytes readPart(int ms = 20000) {
        Bytes b;
        size_t need = qbMsgHeaderSize;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (b.size() == need) {
                if (need > qbMsgHeaderSize) return b;
                need = GetU32(b.data() + 4);
                if (need < qbMsgHeaderSize || need > qbMaxMsgSizeSockets) return {};
                if (need == qbMsgHeaderSize) return b;
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, need - b.size()), 0);
            if (n <= 0) return {};
            b.insert(b.end(), buf, buf + n);
        }
        return {};
    }
    // True once the server has closed the connection.
    bool closed() {
        uint8_t buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    int fd;
    bool connected;
};

TEST(LegacyTransport, ServerDropsPeersThatBreakTheFramingAndExpiresPartialMessages) {
    Server srv;
    srv.t->MaxMessageLength = 1000;
    srv.t->PartialExpiryMs = 200;
    srv.start();
    struct Case {
        const char* what;
        uint32_t total, bytes;
        bool first, last;
    };
    for (const Case& c : {Case{"part longer than its total", 10, 40, true, false},
                          Case{"total above the cap", 5000, 100, true, false}}) {
        SCOPED_TRACE(c.what);
        RawPeer peer(srv.port());
        ASSERT_TRUE(peer.connected);
        peer.part(c.total, c.bytes, c.first, c.last);
        EXPECT_TRUE(pwtest::waitUntil([&] { return peer.closed(); }, 20000));
        EXPECT_EQ(srv.handler.processed.load(), 0);
    }
    // A message whose next part never comes is dropped after the expiry; the peer stays.
    RawPeer slow(srv.port());
    ASSERT_TRUE(slow.connected);
    slow.part(900, 100, true, false);
    ASSERT_TRUE(pwtest::waitUntil([&] { return srv.t->PartialMessageCount() == 1; }, 20000));
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.t->PartialMessageCount() == 0; }, 20000));
    EXPECT_FALSE(slow.closed());
    EXPECT_EQ(srv.removedCount(), 0u); // none of them logged in
}

// The sizes of the socket writes of this process, through a socket library that wraps the built-in one.
struct WriteLog {
    static inline std::mutex mu;
    static inline std::vector<int> sizes;
    static int send(plat::SOCKET s, const char* buf, int len, int flags) {
        {
            std::lock_guard lk(mu);
            sizes.push_back(len);
        }
        return plat::BuiltinWinsock().send(s, buf, len, flags);
    }
    WriteLog() {
        plat::WinsockTable table = plat::BuiltinWinsock();
        table.send = &WriteLog::send;
        plat::RegisterSocketLibrary("ws2_32.dll", table, plat::BuiltinWinsock2());
        ResetWinsockForTesting();
    }
    ~WriteLog() {
        plat::UnregisterSocketLibrary("ws2_32.dll");
        ResetWinsockForTesting();
    }
    static std::vector<int> take() {
        std::lock_guard lk(mu);
        return std::exchange(sizes, {});
    }
};

// The parts of a message go to the socket in one write, requests and replies alike: a short last
// part written on its own would wait for the acknowledgement of the part before it.
TEST(LegacyTransport, ThePartsOfAMessageGoToTheSocketInOneWrite) {
    WriteLog writes;
    {
        Server srv;
        srv.start();
        Client cli(srv.port());
        uint32_t id = 0;
        ASSERT_EQ(cli.login(kHash, id), 0);
        const uint32_t room = qbMaxMsgSizeSockets - qbMsgHeaderSize;
        for (uint32_t size : {room + 1, 2 * room + 100}) {
            SCOPED_TRACE(size);
            const Bytes data = pattern(size);
            Bytes back;
            WriteLog::take();
            ASSERT_EQ(cli.request(id, kEcho, data, 5000, &back), 0);
            EXPECT_EQ(back, data);
            const int wire = int(size + (size + room - 1) / room * qbMsgHeaderSize);
            // The request and the echo, each whole in one write.
            EXPECT_EQ(WriteLog::take(), (std::vector<int>{wire, wire}));
        }
        cli.t->TerminateConnection(id, 5000);
        cli.t->SetState(qbsInactive);
        srv.t->SetState(qbsInactive);
    }
}

// A part that continues a message whose first part never came is dropped; the connection goes on
// and its next request is answered.
TEST(LegacyTransport, ServerDropsAStrayLaterPartAndAnswersTheNextRequest) {
    Server srv;
    srv.start();
    RawPeer peer(srv.port());
    ASSERT_TRUE(peer.connected);
    peer.part(100, 50, false, true);  // the last part of nothing
    peer.part(100, 50, false, false); // a middle part of nothing
    const Bytes login = EncodeLoginRequest({"Ann", 5000, qbClientVersion});
    TqbMsgHeader h;
    h.MsgID = qbmLogin;
    h.PartLength = qbMsgHeaderSize + uint32_t(login.size());
    h.TotalLength = uint32_t(login.size());
    h.RequestID = 2;
    h.FirstPart = h.LastPart = 1;
    h.MsgType = qbmtRequest;
    Bytes part(qbMsgHeaderSize);
    EncodeHeader(h, part.data());
    part.insert(part.end(), login.begin(), login.end());
    ASSERT_EQ(::send(peer.fd, part.data(), part.size(), MSG_NOSIGNAL), ssize_t(part.size()));
    const Bytes reply = peer.readPart();
    ASSERT_GE(reply.size(), qbMsgHeaderSize) << "the login after the stray parts was answered";
    TqbMsgHeader r;
    ASSERT_TRUE(DecodeHeader(reply.data(), uint32_t(reply.size()), r));
    EXPECT_EQ(r.MsgID, qbmLogin);
    EXPECT_EQ(r.RequestID, 2u);
    EXPECT_EQ(r.MsgType, qbmtReply);
    EXPECT_EQ(r.ErrorCode, 0);
    TqbLoginReply lr;
    EXPECT_TRUE(DecodeLoginReply(reply.data() + qbMsgHeaderSize, reply.size() - qbMsgHeaderSize, lr));
    EXPECT_FALSE(peer.closed());
    EXPECT_EQ(srv.handler.processed.load(), 0);
}

// A server made of a bare protocol on a thread of its own: it logs clients in (their key is its
// seed, without the secure flag), answers the key check and hands every other part to the script.
struct ScriptedServer {
    using Script = std::function<void(TqbBaseCommsProtocol& p, uint32_t conn, const TqbMsgHeader& h)>;
    explicit ScriptedServer(Script s) : script(std::move(s)), thread([this] { run(); }) {
        EXPECT_TRUE(pwtest::waitUntil([&] { return port.load() != 0; }, 20000));
    }
    ~ScriptedServer() {
        stop = true;
        thread.join();
    }
    static void reply(TqbBaseCommsProtocol& p, uint32_t conn, TqbMsgHeader h, const Bytes& data) {
        h.MsgType = qbmtReply;
        h.TimeOut = 0;
        for (auto& part : SplitMessage(h, data.data(), uint32_t(data.size()), p.MaxMsgSize()))
            p.SendMsg(conn, part.data(), uint32_t(part.size()), true);
    }
    // One part as given, header fields and all.
    static void raw(TqbBaseCommsProtocol& p, uint32_t conn, TqbMsgHeader h, uint32_t dataBytes) {
        h.MsgType = qbmtReply;
        h.PartLength = qbMsgHeaderSize + dataBytes;
        Bytes b(h.PartLength, 0x5A);
        EncodeHeader(h, b.data());
        p.SendMsg(conn, b.data(), h.PartLength, true);
    }
    void run() {
        TqbTCPIPProtocol p("Scripted", true);
        p.StreamPort = 0;
        p.ListenAddress = htonl(INADDR_LOOPBACK);
        p.OnReceiveMsg = [&](TqbBaseCommsProtocol* l, uint32_t id, uint32_t len, const uint8_t* data) {
            TqbMsgHeader h;
            if (!DecodeHeader(data, len, h)) return true;
            if (h.MsgID == qbmLogin) {
                TqbLoginReply r;
                r.ClientID = id;
                r.LoginCode = l->KeySeed(id);
                r.LastMsgInterval = 30000;
                r.KeepAliveInterval = 5000;
                r.KeepAliveRetries = 5;
                reply(*l, id, h, EncodeLoginReply(r));
            } else if (h.MsgID == qbmKeyCheck) {
                reply(*l, id, h, {});
            } else {
                script(*l, id, h);
            }
            return true;
        };
        p.Startup();
        p.Listen();
        port = p.BoundStreamPort();
        while (!stop)
            p.Idle();
    }
    Script script;
    std::atomic<uint16_t> port{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST(LegacyTransport, ClientChecksWhatComesBackForItsRequests) {
    ScriptedServer srv([](TqbBaseCommsProtocol& p, uint32_t conn, const TqbMsgHeader& h) {
        TqbMsgHeader r = h;
        switch (h.MsgID) {
        case 1290: // answered under another client's ID
            r.ClientID = h.ClientID + 1;
            ScriptedServer::reply(p, conn, r, {1, 2});
            break;
        case 1291: // an answer to no request, then the right one
            r.RequestID = h.RequestID + 1000;
            ScriptedServer::reply(p, conn, r, {7});
            ScriptedServer::reply(p, conn, h, {8});
            break;
        case 1292: // a last part with no first
            r.FirstPart = 0;
            r.LastPart = 1;
            r.TotalLength = 100;
            ScriptedServer::raw(p, conn, r, 50);
            break;
        case 1293: // a first part longer than its total
            r.FirstPart = 1;
            r.LastPart = 0;
            r.TotalLength = 10;
            ScriptedServer::raw(p, conn, r, 40);
            break;
        default:
            ScriptedServer::reply(p, conn, h, {});
        }
    });
    Client cli(srv.port);
    uint32_t id = 0;
    ASSERT_EQ(cli.login(0, id), 0);
    Bytes back;
    EXPECT_EQ(cli.request(id, 1290, {}, 300, &back), 288);
    EXPECT_TRUE(cli.logged("Reply for another client dropped"));
    EXPECT_EQ(cli.request(id, 1291, {}, 20000, &back), 0);
    EXPECT_EQ(back, Bytes{8});
    EXPECT_TRUE(cli.logged("Could not find Request"));
    // A last part with no first is dropped: its request waits for a reply that never comes, and
    // the connection goes on.
    EXPECT_EQ(cli.request(id, 1292, {}, 300), 288);
    EXPECT_EQ(cli.request(id, 1294, {}, 20000), 0);
    // Broken framing ends the connection: the request fails at once rather than at its time-out.
    EXPECT_EQ(cli.request(id, 1293, {}, 5000), 292);
}

TEST(LegacyTransport, ReceiveFuzzCorpusRunsClean) {
    auto corpus = pwfuzz::Corpus("remote_transport");
    ASSERT_GE(corpus.size(), 5u);
    pwfuzz::Replay(corpus, pwfuzz::RunRemoteTransport, 40, 3);
    // Seeds that reach the handler with two requests, and complete two waiting requests.
    auto run = [](const char* seed) {
        const std::string in =
            pwtest::readFile(pwtest::sourceDir() + "/tests/fuzz/corpus/remote_transport/" + seed);
        return pwfuzz::RunRemoteTransport(reinterpret_cast<const uint8_t*>(in.data()), in.size());
    };
    EXPECT_EQ(run("two_parts").Requests, 2);
    EXPECT_EQ(run("pending_replies").Replies, 2);
}

// Its thread gives up on an exception of no known kind while sending (its requests all go through
// the thread).
struct Faulty : TqbLegacyTransport {
    void SendRequest(const TqbRequestPtr& r) override {
        if (r->MsgID() == kUnknown && throwOnce.exchange(false)) throw 42;
        TqbLegacyTransport::SendRequest(r);
    }
    bool CanSendOnCaller(const TqbRequest&) override { return false; }
    std::atomic<bool> throwOnce{true};
};

TEST(LegacyTransport, ThreadThatStopsOnItsOwnIsMadeAgain) {
    Server srv;
    srv.start();
    Client cli(srv.port(), new Faulty);
    uint32_t id = 0;
    ASSERT_EQ(cli.login(kHash, id), 0);
    std::vector<uint32_t> lost;
    cli.t->OnConnectionLost = [&](TqbBaseTransport*, uint32_t clientID) { lost.push_back(clientID); };
    // The request in hand fails at once instead of at its time-out.
    EXPECT_EQ(cli.request(id, kUnknown, {}, 60000), 293);
    ASSERT_TRUE(pwtest::waitUntil([&] { return cli.t->ThreadRestarts() == 1; }, 20000));
    EXPECT_TRUE(cli.logged("Transport thread (TCP/IP (QB)) prematurely stopped."));
    // Its connection went with the old thread: reported lost, and the server sees it go.
    ASSERT_TRUE(plat::PumpUntil([&] { return !lost.empty(); }, 20000));
    EXPECT_EQ(lost, std::vector<uint32_t>{id});
    EXPECT_EQ(cli.request(id, kEcho, {1}, 5000), 292);
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.removedCount() == 1; }, 20000));
    // The new thread serves new connections.
    ASSERT_EQ(cli.login(kHash, id), 0);
    Bytes back;
    EXPECT_EQ(cli.request(id, kEcho, {4, 5}, 5000, &back), 0);
    EXPECT_EQ(back, (Bytes{4, 5}));
}

TEST(LegacyTransport, ProtocolChoiceAndServerName) {
    TqbOwned<TqbLegacyTransport> t(new TqbLegacyTransport);
    EXPECT_EQ(t->Protocol(), ptRegistry);
    t->SetServerName("Accounts@10.1.2.3");
    EXPECT_EQ(t->ServerNamePart(), "Accounts");
    EXPECT_EQ(t->AddressPart(), "10.1.2.3");
    t->SetServerName("plainhost");
    EXPECT_EQ(t->ServerNamePart(), "plainhost");
    EXPECT_EQ(t->AddressPart(), "plainhost");
    t->SetProtocol(ptSingleUser);
    EXPECT_EQ(t->GetServerName(), "Local");
    EXPECT_FALSE(t->ServerNameRequired());
    EXPECT_EQ(t->GetProtocolName(), "Single User (QB)");
    t->SetProtocol(ptIPXSPX); // Linux has no IPX
    EXPECT_EQ(t->State(), qbsDriverNotInstalled);
    EXPECT_FALSE(t->IsProtocolAvailable());
    t->SetProtocol(ptTCPIP);
    EXPECT_EQ(t->State(), qbsInactive);
    // What ptRegistry stands for comes from whoever reads the client configuration.
    TqbLegacyTransport::SetRegistryProtocolResolver([] { return ptTCPIP; });
    t->SetProtocol(ptRegistry);
    EXPECT_EQ(t->GetProtocolName(), "TCP/IP (QB)");
    TqbLegacyTransport::SetRegistryProtocolResolver(nullptr);
    EXPECT_EQ(t->GetProtocolName(), "Single User (QB)");

    // Started for the question only, and put back as it was.
    pwtest::TempDir folder;
    plat::SetProcessMessageFolder(folder.str());
    t->SetProtocol(ptSingleUser);
    t->SetServerNameRequired(true);
    cls::TStringList names;
    names.Add("stale");
    t->GetServerNames(names, 1000);
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names.Strings(0), "Local server");
    EXPECT_EQ(t->State(), qbsInactive);
    EXPECT_TRUE(t->ServerNameRequired());
}

TEST(LegacyTransport, SingleUserLoginAndEchoWithAnotherProcess) {
    pwtest::TempDir folder;
    plat::SetProcessMessageFolder(folder.str());
    pwtest::ChildProcess server(PW_LEGACY_ECHO_SERVER, {folder.str(), std::to_string(kHash)});
    ASSERT_GT(server.pid, 0);

    MemoryEventLog log;
    TqbOwned<TqbLegacyTransport> t(new TqbLegacyTransport);
    t->SetProtocol(ptSingleUser);
    t->SetEventLog(&log);
    t->SetEventLogEnabled(true);
    t->SetEventLogOptions(qbLogOption(qbtpLogErrors) | qbLogOption(qbtpLogRequests) |
                          qbLogOption(qbtpLogReplies));
    t->SetState(qbsStarted);
    uint32_t id = 0;
    ASSERT_EQ(t->EstablishConnection("Ann", kHash, 20000, id), 0) << [&] {
        std::string all;
        for (auto& l : log.Lines())
            all += l + "\n";
        ::kill(server.pid, SIGKILL);
        return all;
    }();
    EXPECT_EQ(id, 0x4242u);
    const Bytes data = pattern(100000); // two parts of this protocol
    Bytes back;
    ASSERT_EQ(
        t->Request(0, id, kEcho, 10000, data.data(), uint32_t(data.size()),
                   [&](uint32_t, TqbResultCode, const uint8_t* d, uint32_t n) { back.assign(d, d + n); }),
        0);
    EXPECT_EQ(back, data);
    // Removed, the server ends.
    EXPECT_EQ(t->Post(0, id, qbmClientRemove, nullptr, 0, 5000, qbrmPostWait), 0);
    EXPECT_EQ(server.wait(), 0);
    t->SetState(qbsInactive);
}

} // namespace
