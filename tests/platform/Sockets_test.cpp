// Tests of the sockets stand-in: the library registry, start-up counting, and the window
// notifications over real loopback TCP with their re-enabling rules.
#include "platform/Sockets.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <netinet/in.h>
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

TEST(SocketsRegistry, LibraryByNameEntriesByOrdinalOrExactName) {
    HMODULE h = LoadSocketLibrary("C:\\Windows\\System\\wsock32.dll");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GetSocketProcAddress(h, 16), reinterpret_cast<FARPROC>(BuiltinWinsock().recv));
    EXPECT_EQ(GetSocketProcAddress(h, "recv"), GetSocketProcAddress(h, 16));
    EXPECT_EQ(GetSocketProcAddress(h, "Recv"), nullptr); // names are exact
    EXPECT_TRUE(FreeSocketLibrary(h));
    EXPECT_EQ(GetSocketProcAddress(h, 16), nullptr); // released
    EXPECT_FALSE(FreeSocketLibrary(h));
    EXPECT_EQ(LoadSocketLibrary("C:\\dir\\"), 0u);

    // A registered table hides the built-in one, and an entry it lacks is missing.
    WinsockTable t = BuiltinWinsock();
    t.gethostname = nullptr;
    RegisterSocketLibrary("wsock32.dll", t);
    h = LoadSocketLibrary("WSOCK32.DLL");
    EXPECT_EQ(GetSocketProcAddress(h, 57), nullptr);
    FreeSocketLibrary(h);
    UnregisterSocketLibrary("WSOCK32.DLL");
}

TEST(SocketsStartup, VersionsAndCounting) {
    const WinsockTable& ws = BuiltinWinsock();
    ASSERT_EQ(BuiltinWinsockStartupCount(), 0);
    EXPECT_EQ(ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(ws.WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(ws.WSACleanup(), SOCKET_ERROR);
    WSADATA d;
    EXPECT_EQ(ws.WSAStartup(MAKEWORD(1, 0), &d), WSAVERNOTSUPPORTED);
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(1, 1), &d), 0);
    ASSERT_EQ(ws.WSAStartup(MAKEWORD(2, 2), &d), 0);
    EXPECT_EQ(ws.WSACleanup(), 0);
    SOCKET s = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0); // still started once
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(ws.closesocket(s), 0);
    EXPECT_EQ(ws.WSACleanup(), 0);
    EXPECT_EQ(BuiltinWinsockStartupCount(), 0);
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
    EXPECT_EQ(ws.recv(s, nullptr, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEFAULT);
    r.settle();
    int reads = r.count(s, FD_READ);
    ASSERT_EQ(::write(peer, "!", 1), 1);
    ASSERT_TRUE(r.waitFor(s, FD_READ, reads + 1));
}

TEST_F(SocketsTest, PeerCloseGivesTheDataThenOneClose) {
    connectPair();
    ASSERT_EQ(::write(peer, "bye", 3), 3);
    closePeer();
    ASSERT_TRUE(r.waitFor(s, FD_CLOSE));
    r.settle();
    EXPECT_EQ(r.errorsOf(s, FD_CLOSE), std::vector<int>{0});
    char buf[16];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 3);
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 0);
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
    // The reset sticks; no second close.
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAECONNRESET);
    r.settle();
    EXPECT_EQ(r.count(s, FD_CLOSE), 1);
}

TEST_F(SocketsTest, ABlockingReceiveLeavesOtherSocketCallsFree) {
    s = newSocket();
    SOCKADDR_IN a{};
    a.sin_family = WS_AF_INET;
    a.sin_port = htons(l.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(ws.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    peer = l.accept();
    ASSERT_GE(peer, 0);
    std::atomic<bool> receiving{false}, done{false};
    std::atomic<int> calls{0}, wrong{0};
    auto received = std::async(std::launch::async, [&] {
        char buf[16];
        receiving = true;
        return ws.recv(s, buf, sizeof buf, 0); // blocks until the peer writes
    });
    // Calls on the socket table from another thread meanwhile must not wait for that receive.
    auto others = std::async(std::launch::async, [&] {
        while (!done) {
            uint32_t n = 0;
            if (ws.ioctlsocket(s, WS_FIONREAD, &n) != 0) ++wrong;
            ++calls;
        }
    });
    ASSERT_TRUE(pwtest::waitUntil([&] { return receiving.load(); }, kHangMs));
    const int before = calls.load();
    EXPECT_TRUE(pwtest::waitUntil([&] { return calls.load() > before + 1000; }, kHangMs));
    done = true;
    ASSERT_EQ(::write(peer, "late", 4), 4); // frees the receive either way
    EXPECT_EQ(received.get(), 4);
    others.get();
    EXPECT_EQ(wrong.load(), 0);
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

TEST_F(SocketsTest, ConnectGivesOneConnectThenOneWriteReenabledOnlyAfterWouldBlock) {
    connectPair();
    ASSERT_TRUE(r.waitFor(s, FD_WRITE));
    r.settle();
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_EQ(r.notes[0].event, FD_CONNECT);
    EXPECT_EQ(r.notes[0].error, 0);
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
}

TEST_F(SocketsTest, OptionsModesAndNamesRefuseBadArguments) {
    s = newSocket();
    // The 4-byte LINGER maps to the platform's larger one and back.
    LINGER set{1, 0}, back{9, 9};
    int len = sizeof back;
    ASSERT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&set), sizeof set), 0);
    ASSERT_EQ(ws.getsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(back.l_onoff, 1);
    EXPECT_EQ(back.l_linger, 0);
    EXPECT_EQ(ws.setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<char*>(&set), 2), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEFAULT);

    // Blocking mode is refused while notifications are on.
    ASSERT_EQ(ws.WSAAsyncSelect(s, r.hwnd, kMsg, FD_READ), 0);
    uint32_t off = 0;
    EXPECT_EQ(ws.ioctlsocket(s, WS_FIONBIO, &off), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEINVAL);
    ASSERT_EQ(ws.WSAAsyncSelect(s, r.hwnd, 0, 0), 0);
    EXPECT_EQ(ws.ioctlsocket(s, WS_FIONBIO, &off), 0);
    EXPECT_EQ(ws.WSAAsyncSelect(s, 0, kMsg, FD_READ), SOCKET_ERROR); // no such window

    char name[256];
    EXPECT_EQ(ws.gethostname(name, 1), SOCKET_ERROR); // too short: refused, not cut
    EXPECT_EQ(ws.WSAGetLastError(), WSAEFAULT);
    SOCKET closed = std::exchange(s, INVALID_SOCKET);
    ws.closesocket(closed);
    EXPECT_EQ(ws.recv(closed, name, 1, 0), SOCKET_ERROR);
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

} // namespace
