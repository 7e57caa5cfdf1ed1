// Tests of the sockets stand-in: error mapping, the library registry, start-up counting, and the
// window notifications over real loopback TCP with their re-enabling rules.
#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace plat;

namespace {

constexpr UINT kMsg = WM_USER + 101;
constexpr uint64_t kHangMs = 10000; // only for "does not hang"

// A listening POSIX socket on 127.0.0.1 with a port the system picked.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(bool listening = true) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        EXPECT_TRUE(!listening || ::listen(fd, 8) == 0);
    }
    ~Listener() { ::close(fd); }
    int accept() { return ::accept(fd, nullptr, nullptr); }
};

struct Note {
    SOCKET s;
    int event;
    int error;
};

// A hidden window that records the notifications it receives.
struct Recorder {
    HWND hwnd = 0;
    std::vector<Note> notes;
    Recorder() {
        hwnd = CreateHiddenWindow([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            if (m == kMsg) notes.push_back({SOCKET(w), WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)});
            return 0;
        });
    }
    ~Recorder() { DestroyWindow(hwnd); }
    // The error of each notification of this kind for s.
    std::vector<int> errorsOf(SOCKET s, int event) const {
        std::vector<int> out;
        for (const Note& x : notes)
            if (x.s == s && x.event == event) out.push_back(x.error);
        return out;
    }
    int count(SOCKET s, int event) const { return int(errorsOf(s, event).size()); }
    bool waitFor(SOCKET s, int event, int times = 1) {
        return PumpUntil([&] { return count(s, event) >= times; }, kHangMs);
    }
    // Lets every ready watch and queued message run a few times, so that a notification posted
    // over and over would show.
    void settle() {
        for (int i = 0; i < 5; ++i)
            ProcessPendingMessages();
    }
};

// Each test has the library started, a listener, a recording window, and s with its accepted peer
// (both closed at the end unless a test closed them).
class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA d;
        ASSERT_EQ(ws.WSAStartup(MAKEWORD(1, 1), &d), 0);
    }
    void TearDown() override {
        if (peer >= 0) ::close(peer);
        if (s != INVALID_SOCKET) ws.closesocket(s);
        ws.WSACleanup();
    }

    SOCKET newSocket() {
        SOCKET n = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
        EXPECT_NE(n, INVALID_SOCKET);
        return n;
    }

    // Opens s with every notification on and starts connecting it to port: 0 when connected at
    // once, otherwise the error of the connect.
    int dial(uint16_t port) {
        s = newSocket();
        EXPECT_EQ(ws.WSAAsyncSelect(s, r.hwnd, kMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
        SOCKADDR_IN a{};
        a.sin_family = WS_AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ws.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a) == 0 ? 0 : ws.WSAGetLastError();
    }

    // Connects s to the listener and waits for its FD_CONNECT; peer is the accepted end.
    void connectPair() {
        int e = dial(l.port);
        EXPECT_TRUE(e == 0 || e == WSAEWOULDBLOCK) << e;
        peer = l.accept();
        ASSERT_GE(peer, 0);
        EXPECT_TRUE(r.waitFor(s, FD_CONNECT));
    }

    // Abortive close of the peer: s sees a reset.
    void resetPeer() {
        ::linger lg{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        closePeer();
    }
    void closePeer() {
        ::close(peer);
        peer = -1;
    }

    const WinsockTable& ws = BuiltinWinsock();
    Listener l;
    Recorder r;
    SOCKET s = INVALID_SOCKET;
    int peer = -1;
};

TEST(SocketsMapping, ErrnoAndResolverCodes) {
    const std::pair<int, int> errnos[] = {{ECONNREFUSED, 10061}, {ECONNRESET, 10054},   {EAGAIN, 10035},
                                          {EPIPE, 10058},        {ENOTCONN, 10057},     {EADDRINUSE, 10048},
                                          {ETIMEDOUT, 10060},    {EHOSTUNREACH, 10065}, {ENOTSOCK, 10038}};
    for (auto [e, wsa] : errnos)
        EXPECT_EQ(ErrnoToWsa(e), wsa) << e;
    EXPECT_EQ(ErrnoToWsa(EINPROGRESS, true), 10035);
    EXPECT_EQ(ErrnoToWsa(EINPROGRESS, false), 10036);
    EXPECT_EQ(ResolverErrorToWsa(EAI_NONAME), 11001);
    EXPECT_EQ(ResolverErrorToWsa(EAI_AGAIN), 11002);
    EXPECT_EQ(ResolverErrorToWsa(EAI_FAIL), 11003);
}

TEST(SocketsRegistry, EntriesByOrdinalAndName) {
    size_t n = 0;
    const WinsockEntry* e = WinsockEntries(&n);
    ASSERT_EQ(n, 47u);
    std::set<int> ords, want;
    std::set<std::string> names;
    for (size_t i = 0; i < n; ++i) {
        ords.insert(e[i].ordinal);
        names.insert(e[i].name);
    }
    for (auto [lo, hi] : {std::pair(1, 23), std::pair(51, 57), std::pair(101, 116), std::pair(151, 151)})
        for (int o = lo; o <= hi; ++o)
            want.insert(o);
    EXPECT_EQ(ords, want);
    EXPECT_EQ(names.size(), 47u);

    HMODULE h = LoadSocketLibrary("C:\\Windows\\System\\wsock32.dll");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GetSocketLibraryFileName(h), "WSOCK32.DLL");
    EXPECT_EQ(GetSocketProcAddress(h, 16), reinterpret_cast<FARPROC>(BuiltinWinsock().recv));
    EXPECT_EQ(GetSocketProcAddress(h, "recv"), GetSocketProcAddress(h, 16));
    EXPECT_EQ(GetSocketProcAddress(h, 101), reinterpret_cast<FARPROC>(BuiltinWinsock().WSAAsyncSelect));
    EXPECT_EQ(GetSocketProcAddress(h, "__WSAFDIsSet"), GetSocketProcAddress(h, 151));
    EXPECT_EQ(GetSocketProcAddress(h, 99), nullptr);
    EXPECT_EQ(GetSocketProcAddress(h, "Recv"), nullptr); // names are exact
    EXPECT_TRUE(FreeSocketLibrary(h));
    EXPECT_EQ(GetSocketProcAddress(h, 16), nullptr); // released
    EXPECT_FALSE(FreeSocketLibrary(h));

    EXPECT_TRUE(FreeSocketLibrary(LoadSocketLibrary("/lib/Ws2_32.DLL")));
    EXPECT_EQ(LoadSocketLibrary("nothing.dll"), 0u);
    EXPECT_EQ(LoadSocketLibrary(""), 0u);
    EXPECT_EQ(LoadSocketLibrary("C:\\dir\\"), 0u);
}

TEST(SocketsRegistry, RegisteredTableHidesAndLacksEntries) {
    WinsockTable t = BuiltinWinsock();
    t.gethostname = nullptr;
    RegisterSocketLibrary("wsock32.dll", t);
    HMODULE h = LoadSocketLibrary("WSOCK32.DLL");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GetSocketProcAddress(h, 57), nullptr);
    EXPECT_NE(GetSocketProcAddress(h, 16), nullptr);
    FreeSocketLibrary(h);
    UnregisterSocketLibrary("WSOCK32.DLL");
    h = LoadSocketLibrary("WSOCK32.DLL");
    EXPECT_EQ(GetSocketProcAddress(h, 57), reinterpret_cast<FARPROC>(BuiltinWinsock().gethostname));
    FreeSocketLibrary(h);
}

TEST(SocketsStartup, VersionsAndCounting) {
    const WinsockTable& ws = BuiltinWinsock();
    ASSERT_EQ(BuiltinWinsockStartupCount(), 0);
    EXPECT_EQ(ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(ws.WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(ws.WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSANOTINITIALISED);

    WSADATA d;
    EXPECT_EQ(ws.WSAStartup(MAKEWORD(1, 0), &d), WSAVERNOTSUPPORTED);
    EXPECT_EQ(BuiltinWinsockStartupCount(), 0);
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(1, 1), &d), 0);
    EXPECT_EQ(d.wVersion, MAKEWORD(1, 1));
    EXPECT_STREQ(d.szDescription, kBuiltinWinsockDescription);
    EXPECT_STREQ(d.szSystemStatus, kBuiltinWinsockStatus);
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(2, 2), &d), 0);
    EXPECT_EQ(d.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(BuiltinWinsockStartupCount(), 2);
    EXPECT_EQ(ws.WSACleanup(), 0);
    SOCKET s = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0); // still started once
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(ws.closesocket(s), 0);
    EXPECT_EQ(ws.WSACleanup(), 0);
    EXPECT_EQ(BuiltinWinsockStartupCount(), 0);
}

TEST_F(SocketsTest, ConnectGivesOneConnectThenOneWrite) {
    connectPair();
    ASSERT_TRUE(r.waitFor(s, FD_WRITE));
    r.settle();
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_EQ(r.notes[0].event, FD_CONNECT);
    EXPECT_EQ(r.notes[0].error, 0);
    EXPECT_EQ(r.notes[1].event, FD_WRITE);
}

TEST_F(SocketsTest, RefusedConnectIsReportedLaterOnce) {
    Listener closedPort(false);                       // bound, not listening: connections are refused
    EXPECT_EQ(dial(closedPort.port), WSAEWOULDBLOCK); // never the refusal itself
    ASSERT_TRUE(r.waitFor(s, FD_CONNECT));
    r.settle();
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0].error, WSAECONNREFUSED);
    EXPECT_EQ(ws.closesocket(std::exchange(s, INVALID_SOCKET)), 0);
}

TEST_F(SocketsTest, ReadIsReenabledByReceive) {
    connectPair();
    ASSERT_EQ(::write(peer, "hello", 5), 5);
    ASSERT_TRUE(r.waitFor(s, FD_READ));
    ASSERT_EQ(::write(peer, "world", 5), 5);
    r.settle();
    EXPECT_EQ(r.count(s, FD_READ), 1); // no second one before a receive

    char buf[64];
    EXPECT_EQ(ws.recv(s, buf, 2, 0), 2);
    ASSERT_TRUE(r.waitFor(s, FD_READ, 2)); // data is still waiting
    int got = 0, n;
    while ((n = ws.recv(s, buf, sizeof buf, 0)) > 0)
        got += n;
    EXPECT_EQ(got, 8);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    r.settle();
    int reads = r.count(s, FD_READ);
    EXPECT_LE(reads, 3);
    ASSERT_EQ(::write(peer, "!", 1), 1);
    ASSERT_TRUE(r.waitFor(s, FD_READ, reads + 1));
    EXPECT_EQ(r.count(s, FD_CLOSE), 0);
}

TEST_F(SocketsTest, PeerCloseAndResetEachGiveOneClose) {
    // Graceful: the data first, then one FD_CLOSE with no error.
    connectPair();
    ASSERT_EQ(::write(peer, "bye", 3), 3);
    closePeer();
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    r.settle();
    EXPECT_EQ(r.errorsOf(s, FD_CLOSE), std::vector<int>{0});
    char buf[16];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 3);
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 0);
    ws.closesocket(s);

    // Abortive: one FD_CLOSE with 10054, and the socket keeps reporting the reset, without SIGPIPE.
    r.notes.clear();
    connectPair();
    resetPeer();
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    r.settle();
    EXPECT_EQ(r.errorsOf(s, FD_CLOSE), std::vector<int>{WSAECONNRESET});
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(ws.send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAECONNRESET);
}

TEST_F(SocketsTest, ResetBeforeTheConnectIsSeenIsAConnectThenAClose) {
    dial(l.port);
    peer = l.accept(); // the handshake is done; the client's loop has not looked yet
    resetPeer();
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    r.settle();
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_EQ(r.notes[0].event, FD_CONNECT);
    EXPECT_EQ(r.notes[0].error, 0);
    EXPECT_EQ(r.notes[1].event, FD_CLOSE);
    EXPECT_EQ(r.notes[1].error, WSAECONNRESET);
}

TEST_F(SocketsTest, ResetFoundByReceiveStillGivesOneClose) {
    connectPair();
    ASSERT_EQ(::write(peer, "abc", 3), 3);
    ASSERT_TRUE(r.waitFor(s, FD_READ));
    resetPeer();
    // No pumping: the receive is the first to meet the reset.
    char buf[16];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 3);
    int err = WSAEWOULDBLOCK;
    for (int i = 0; i < 1000000 && err == WSAEWOULDBLOCK; ++i)
        if (ws.recv(s, buf, sizeof buf, 0) == SOCKET_ERROR) err = ws.WSAGetLastError();
    ASSERT_EQ(err, WSAECONNRESET);
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    r.settle();
    EXPECT_EQ(r.errorsOf(s, FD_CLOSE), std::vector<int>{WSAECONNRESET});
}

TEST_F(SocketsTest, SendToClosedPeerFailsWithoutSignal) {
    connectPair();
    closePeer();
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    // The first send may still be taken; the peer answers it with a reset, and later sends fail.
    // Without MSG_NOSIGNAL the process would die of SIGPIPE here.
    int err = 0;
    for (int i = 0; i < 1000000 && err == 0; ++i)
        if (ws.send(s, "data", 4, 0) == SOCKET_ERROR) err = ws.WSAGetLastError();
    EXPECT_TRUE(err == WSAECONNRESET || err == WSAESHUTDOWN) << err;
}

TEST_F(SocketsTest, WriteIsReenabledOnlyAfterWouldBlock) {
    connectPair();
    ASSERT_TRUE(r.waitFor(s, FD_WRITE));
    std::string chunk(64 * 1024, 'x');
    size_t sent = 0;
    for (;;) {
        int n = ws.send(s, chunk.data(), int(chunk.size()), 0);
        if (n == SOCKET_ERROR) break;
        sent += size_t(n);
        ASSERT_LT(sent, size_t(256) << 20);
    }
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    r.settle();
    EXPECT_EQ(r.count(s, FD_WRITE), 1); // full socket: nothing new yet
    std::vector<char> sink(1 << 16);
    size_t drained = 0;
    while (drained < sent) {
        ssize_t n = ::read(peer, sink.data(), sink.size());
        ASSERT_GT(n, 0);
        drained += size_t(n);
    }
    ASSERT_TRUE(r.waitFor(s, FD_WRITE, 2));
    r.settle();
    EXPECT_EQ(r.count(s, FD_WRITE), 2);
}

TEST_F(SocketsTest, OptionsReadBackAsSet) {
    s = newSocket();
    auto roundTrip = [&](int option, int32_t v) {
        int32_t back = 0;
        int len = sizeof back;
        EXPECT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, option, reinterpret_cast<char*>(&v), sizeof v), 0);
        EXPECT_EQ(ws.getsockopt(s, WS_SOL_SOCKET, option, reinterpret_cast<char*>(&back), &len), 0);
        return back;
    };
    EXPECT_EQ(roundTrip(WS_SO_RCVBUF, 2048), 2048);
    EXPECT_EQ(roundTrip(WS_SO_SNDBUF, 3000), 3000);
    EXPECT_EQ(roundTrip(WS_SO_KEEPALIVE, 1), 1);

    LINGER set{1, 0}, back{9, 9};
    int len = sizeof back;
    ASSERT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&set), sizeof set), 0);
    ASSERT_EQ(ws.getsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(back.l_onoff, 1);
    EXPECT_EQ(back.l_linger, 0);

    int32_t on = 1;
    EXPECT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&on), sizeof on), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOPROTOOPT);
    EXPECT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&set), 2), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEFAULT);
    SOCKET closed = std::exchange(s, INVALID_SOCKET);
    ws.closesocket(closed);
    EXPECT_EQ(ws.recv(closed, reinterpret_cast<char*>(&on), 1, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(SocketsTest, CloseRemovesQueuedNotificationsOfThatSocket) {
    connectPair();
    ASSERT_TRUE(r.waitFor(s, FD_WRITE));
    ASSERT_EQ(::write(peer, "stale", 5), 5);
    closePeer();
    // Let the watch post FD_READ and FD_CLOSE without dispatching them.
    MSG m{};
    ASSERT_TRUE(PumpUntil(
        [&] {
            PeekMessage(&m, false);
            return m.hwnd == r.hwnd && m.wParam == s;
        },
        kHangMs));
    size_t before = r.notes.size();
    ASSERT_EQ(ws.closesocket(s), 0);
    s = newSocket(); // Linux hands out the same number at once
    r.settle();
    EXPECT_EQ(r.notes.size(), before);
}

TEST_F(SocketsTest, BlockingModeAndCancelledNotifications) {
    s = newSocket();
    ASSERT_EQ(ws.WSAAsyncSelect(s, r.hwnd, kMsg, FD_READ), 0);
    uint32_t off = 0;
    EXPECT_EQ(ws.ioctlsocket(s, WS_FIONBIO, &off), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEINVAL);
    ASSERT_EQ(ws.WSAAsyncSelect(s, r.hwnd, 0, 0), 0);
    EXPECT_EQ(ws.ioctlsocket(s, WS_FIONBIO, &off), 0);
    EXPECT_EQ(ws.WSAAsyncSelect(s, 0, kMsg, FD_READ), SOCKET_ERROR); // no such window
}

TEST_F(SocketsTest, NamesAndAddresses) {
    EXPECT_EQ(ws.inet_addr("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ws.inet_addr("255.255.255.255"), WS_INADDR_NONE);
    EXPECT_EQ(ws.inet_addr("not an address"), WS_INADDR_NONE);
    EXPECT_STREQ(ws.inet_ntoa(IN_ADDR{htonl(0x0A010203)}), "10.1.2.3");
    HOSTENT* h = ws.gethostbyname("localhost");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->h_length, 4);
    uint32_t a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    EXPECT_EQ(a, htonl(INADDR_LOOPBACK));
    char name[256];
    EXPECT_EQ(ws.gethostname(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    EXPECT_EQ(ws.gethostname(name, 1), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEFAULT);
}

} // namespace
