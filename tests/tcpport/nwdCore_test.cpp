// Tests of the socket core and the library loader with injected socket libraries: each fault guard
// (handler exceptions, lost disconnects, failed receives, partial sends, buffer bounds, the library
// reference) and the loader's counting through every start-up result.
#include "tcpport/nwdIPPort.h"
#include "tests/tcpport/ScriptServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>

using namespace tcptest;
using namespace plat;

namespace {

// ---- injected libraries ----

struct RecvStep {
    std::string data; // returned when error is 0
    int error = 0;
};

// What the injected entries answer and count; reset before each test.
struct Injected {
    int startups = 0, cleanups = 0; // successful start-ups, clean-ups
    int startupResult = 0;
    WORD grantedVersion = MAKEWORD(1, 1);
    std::deque<RecvStep> recvScript; // one step per receive; an empty script passes through
    HWND window = 0;                 // where the notifications go
    UINT message = 0;
    int sendCalls = 0, partialSends = 0;
    int recvCalls = 0;
} g;

int countingStartup(WORD v, WSADATA* d) {
    if (g.startupResult != 0) return g.startupResult;
    int r = BuiltinWinsock().WSAStartup(v, d);
    if (r == 0) {
        ++g.startups;
        d->wVersion = g.grantedVersion;
    }
    return r;
}
int countingCleanup() {
    ++g.cleanups;
    return BuiltinWinsock().WSACleanup();
}

int scriptedRecv(SOCKET s, char* buf, int len, int flags) {
    ++g.recvCalls;
    if (g.recvScript.empty()) return BuiltinWinsock().recv(s, buf, len, flags);
    RecvStep step = g.recvScript.front();
    g.recvScript.pop_front();
    if (step.error) {
        BuiltinWinsock().WSASetLastError(step.error);
        return SOCKET_ERROR;
    }
    int n = std::min<int>(len, int(step.data.size()));
    std::memcpy(buf, step.data.data(), size_t(n));
    return n;
}

// Sends that take at most 1000 bytes and refuse every second call, announcing the next chance to
// write as the platform would.
int recordingAsyncSelect(SOCKET s, HWND h, UINT m, long ev) {
    if (ev) {
        g.window = h;
        g.message = m;
    }
    return BuiltinWinsock().WSAAsyncSelect(s, h, m, ev);
}
int stingySend(SOCKET s, const char* buf, int len, int flags) {
    if (++g.sendCalls % 2 == 0) {
        PostMessage(g.window, g.message, s, WSAMAKESELECTREPLY(uint16_t(FD_WRITE), 0));
        BuiltinWinsock().WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    int n = BuiltinWinsock().send(s, buf, std::min(len, 1000), flags);
    if (n > 0 && n < len) ++g.partialSends;
    return n;
}

class CoreTest : public PortTest {
protected:
    void SetUp() override {
        g = {};
        WinsockTable t = BuiltinWinsock();
        t.WSAStartup = countingStartup;
        t.WSACleanup = countingCleanup;
        t.recv = scriptedRecv;
        t.send = stingySend;
        t.WSAAsyncSelect = recordingAsyncSelect;
        RegisterSocketLibrary("INJECT.DLL", t);
        PortTest::SetUp();
    }
    void TearDown() override {
        PortTest::TearDown();
        NwdLoader().SetPath("");
        UnregisterSocketLibrary("INJECT.DLL");
        EXPECT_EQ(g.startups, g.cleanups); // a clean-up for each successful start-up, no more
    }
};

// A core with its events recorded, for the numbered interface.
struct CoreEvents : EventLog {
    std::unique_ptr<NwdConnection> core = NwdConnection::Create(
        [this](void*, int ev, const TnwdEventParams* p) {
            Event e{char("?CDXER"[ev >= 1 && ev <= 5 ? ev : 0]), p->Code, p->Text ? p->Text : ""};
            if (ev == kNwdEventDataIn) {
                e.text.assign(p->Data, p->Count);
                e.eol = p->Eol != 0;
            }
            add(e);
            return 0;
        },
        nullptr);
};

TEST_F(CoreTest, HandlerExceptionDoesNotWedgeTheReceiveLoop) {
    LoggedPort port("\r\n");
    port.log.then = [&](const Event& e) {
        if (e.kind == 'D' && e.text == "boom") port.SetRemotePort(1); // refused: 100, not caught
    };
    bool closedByClient = false;
    connect(port, [&](Peer& p) {
        p.send("boom\r\nnext\r\n");
        p.readLine(); // the client's answer after the exception
        p.send("later\r\n");
        closedByClient = !p.endsWithReset();
    });
    ASSERT_TRUE(port.log.waitFor('D', 2));
    ASSERT_EQ(escaped.size(), 1u);
    EXPECT_EQ(escaped[0], "100: You cannot change the RemotePort at this time. A connection is in progress.");
    EXPECT_EQ(port.log.of('D')[1].text, "next"); // the line behind the failed one still comes
    port.SetDataToSend("ok\r\n");
    ASSERT_TRUE(port.log.waitFor('D', 3)); // and later data is read again
    EXPECT_EQ(port.log.of('D')[2].text, "later");
    port.SetConnected(false);
    EXPECT_EQ(port.log.count('X'), 1); // at once: the loop is not marked running
    server.join();
    EXPECT_TRUE(closedByClient);
}

TEST_F(CoreTest, DisconnectAskedInsideErrorEventIsCarriedOut) {
    NwdLoader().SetPath("INJECT.DLL");
    LoggedPort port;
    port.log.then = [&](const Event& e) {
        if (e.kind == 'E') port.SetConnected(false); // as the paging client's error handler does
    };
    bool ended = false;
    g.recvScript = {{"", WSAECONNABORTED}};
    connect(port, [&](Peer& p) {
        p.send("x");
        p.endsWithReset(); // unread bytes make the client's close a reset
        ended = true;
    });
    ASSERT_TRUE(port.log.waitFor('X'));
    server.join();
    EXPECT_TRUE(ended);
    ASSERT_EQ(port.log.count('E'), 1);
    EXPECT_EQ(port.log.of('E')[0].code, WSAECONNABORTED);
    EXPECT_FALSE(port.GetConnected());
}

TEST_F(CoreTest, FailedReceiveInCloseModeIsNeverCommitted) {
    NwdLoader().SetPath("INJECT.DLL");
    CoreEvents c;
    ASSERT_TRUE(c.core);
    c.core->Set(kNwdEOL, 0, 0, "\r\n");
    server.run([](Peer& p) {
        p.send("x"); // wakes the client; the scripted receives stand in for what arrives
        p.readToEnd();
    });
    // "abc" is shorter than the room it was read into: the round ends without another read.
    g.recvScript = {{"abc"}, {"", WSAECONNRESET}};
    c.core->Set(kNwdRemoteHost, 0, 0, "127.0.0.1");
    c.core->Set(kNwdRemotePort, 0, server.port());
    ASSERT_EQ(c.core->Set(kNwdConnected, 0, 1), 0);
    ASSERT_TRUE(c.waitFor('C'));
    ASSERT_TRUE(PumpUntil([&] { return g.recvScript.size() == 1; }, kHangMs)); // "abc" is buffered
    SOCKET s = SOCKET(c.core->Get(kNwdSocketHandle));
    PostMessage(c.core->Window(), kNwdNotifyMessage, s, WSAMAKESELECTREPLY(uint16_t(FD_CLOSE), 0));
    ASSERT_TRUE(c.waitFor('X'));
    EXPECT_EQ(c.texts(), std::vector<std::string>{"abc"}); // delivered once, unmarked
    EXPECT_EQ(c.eols(), "0");
    EXPECT_EQ(c.count('E'), 1);
    EXPECT_EQ(c.core->Get(kNwdSocketHandle), -1);
}

TEST_F(CoreTest, ReadThatEmptiesTheSocketEndsTheRoundAndLaterDataStillComes) {
    NwdLoader().SetPath("INJECT.DLL");
    CoreEvents c;
    ASSERT_TRUE(c.core);
    c.core->Set(kNwdEOL, 0, 0, "\r\n");
    server.run([](Peer& p) {
        p.send("250 one\r\n");
        if (p.readLine() == "next") p.send("250 two\r\n");
        p.readToEnd();
    });
    c.core->Set(kNwdRemoteHost, 0, 0, "127.0.0.1");
    c.core->Set(kNwdRemotePort, 0, server.port());
    ASSERT_EQ(c.core->Set(kNwdConnected, 0, 1), 0);
    ASSERT_TRUE(c.waitFor('D'));
    settle();
    // The reply came whole: no second read that could only find the socket empty.
    EXPECT_EQ(g.recvCalls, 1);
    ASSERT_EQ(c.core->Set(kNwdDataToSend, 0, 0, "next\r\n"), 0);
    // What comes after the round ended brings its own notification.
    ASSERT_TRUE(c.waitFor('D', 2));
    EXPECT_EQ(c.texts(), (std::vector<std::string>{"250 one", "250 two"}));
    EXPECT_EQ(g.recvCalls, 2);
    EXPECT_EQ(c.count('E'), 0);
}

TEST_F(CoreTest, PartialSendsKeepTheRestAndSendItInOrder) {
    NwdLoader().SetPath("INJECT.DLL");
    LoggedPort port;
    std::string a(50000, 'A'), b(30000, '\0');
    std::mt19937 rng(3);
    for (char& ch : b)
        ch = char(rng());
    std::string got;
    connect(port, [&](Peer& p) {
        got = p.readExactly(a.size() + b.size());
        p.send("k");
        p.readToEnd();
    });
    int readyBefore = port.log.count('R');
    port.SetDataToSend(a); // taken 1000 bytes at a time: never refused
    port.SetDataToSend(b); // queued behind the rest of a
    EXPECT_EQ(port.log.count('R'), readyBefore);
    ASSERT_TRUE(port.log.waitFor('D'));
    EXPECT_GT(g.partialSends, 10);
    EXPECT_TRUE(port.log.waitFor('R', readyBefore + 1)); // ready again once everything went
    port.SetConnected(false);
    EXPECT_EQ(server.failure(), "");
    EXPECT_TRUE(got == a + b);
}

TEST_F(CoreTest, PeerCloseDuringANestedLoopInsideAHandler) {
    LoggedPort port("\r\n");
    std::vector<std::string> order;
    port.log.then = [&](const Event& e) {
        if (e.kind != 'R') order.push_back(std::string(1, e.kind) + e.text);
        if (e.kind == 'D' && e.text == "first") {
            // A modal dialog's loop: the peer's data and close are dispatched in here.
            EXPECT_TRUE(server.pumpUntilDone());
            settle();
            order.push_back("handler returns");
        }
    };
    connect(port, [](Peer& p) {
        p.send("first\r\n");
        p.send("second\r\nthird");
        p.close();
    });
    ASSERT_TRUE(port.log.waitFor('X'));
    settle();
    std::vector<std::string> want = {"COK", "Dfirst", "handler returns", "Dsecond", "Dthird", "XOK"};
    EXPECT_EQ(order, want);
    EXPECT_FALSE(port.log.of('D').back().eol);
    EXPECT_EQ(server.failure(), "");
}

TEST_F(CoreTest, HandlerThatDestroysItsPortStopsCleanly) {
    auto port = std::make_unique<TnwdIPPort>();
    port->SetEOL("\r\n");
    int lines = 0;
    port->OnDataIn = [&](cls::TComponent*, const std::string&, bool) {
        ++lines;
        port.reset(); // the object whose loop is running goes away
    };
    bool connected = false;
    port->OnConnected = [&](cls::TComponent*, int code, const std::string&) { connected = code == 0; };
    bool ended = false;
    server.run([&](Peer& p) {
        p.send("a\r\nb\r\nc\r\n");
        p.endsWithReset();
        ended = true;
    });
    dial(*port, server.port());
    ASSERT_TRUE(PumpUntil([&] { return connected; }, kHangMs));
    ASSERT_TRUE(PumpUntil([&] { return !port; }, kHangMs));
    settle();
    EXPECT_EQ(lines, 1);
    server.join();
    EXPECT_TRUE(ended);
}

TEST_F(CoreTest, SmallLineBufferCompactsInsteadOfLosingRoom) {
    LoggedPort port("\r\n");
    port.SetMaxLineLength(10);
    connect(port, [](Peer& p) {
        p.send("abcdefg\r\nhijklmn\r\nopqrstu\r\n0123456789ABC\r\n");
        p.readToEnd();
    });
    ASSERT_TRUE(port.log.waitFor('D', 5));
    settle();
    std::vector<std::string> want = {"abcdefg", "hijklmn", "opqrstu", "0123456789", "ABC"};
    EXPECT_EQ(port.log.texts(), want);
    EXPECT_EQ(port.log.eols(), "11101"); // a full buffer without an end of line comes unmarked
}

TEST_F(CoreTest, RemoteHostWithoutLibraryReportsNotLoaded) {
    NwdLoader().SetPath("C:\\nowhere\\NOSUCH.DLL");
    TnwdIPPort port;
    EXPECT_FALSE(port.GetWinsockLoaded());
    EXPECT_EQ(messageOf([&] { port.SetRemoteHost("127.0.0.1"); }),
              "10093: [10093] Winsock not loaded yet (WSANOTINITIALISED)");
    EXPECT_EQ(messageOf([&] { port.SetWinsockLoaded(true); }), "10093: Could not load Winsock DLL.");
}

TEST_F(CoreTest, WinsockLoadedTakesOneReferenceAndClosesTheSocketFirst) {
    LoggedPort port;
    port.SetWinsockLoaded(true);
    port.SetWinsockLoaded(true);
    EXPECT_EQ(NwdLoader().RefCount(), 1);
    bool closedByClient = false;
    connect(port, [&](Peer& p) { closedByClient = !p.endsWithReset(); });
    size_t before = port.log.events.size();
    port.SetWinsockLoaded(false);
    server.join();
    EXPECT_TRUE(closedByClient);
    settle();
    EXPECT_EQ(port.log.events.size(), before); // closed without events
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(NwdLoader().RefCount(), 0);
    EXPECT_EQ(BuiltinWinsockStartupCount(), 0);
}

TEST_F(CoreTest, LoaderCountsThroughEveryStartupResult) {
    NwdWinsockLoader& L = NwdLoader();
    L.SetPath("INJECT.DLL");
    struct Case {
        int result;
        WORD granted;
        const char* text;
    } cases[] = {
        {WSASYSNOTREADY, MAKEWORD(1, 1), "Network subsystem not ready."},
        {0, MAKEWORD(2, 0), "Incompatible Winsock version."},
    };
    for (const Case& k : cases) {
        g.startupResult = k.result;
        g.grantedVersion = k.granted;
        EXPECT_FALSE(L.Load()) << k.text;
        EXPECT_EQ(L.Description(), k.text);
        EXPECT_EQ(L.RefCount(), 0) << k.text;
        EXPECT_EQ(L.Ws().socket, NwdFallbackTable().socket); // the fallbacks are back
        EXPECT_EQ(g.startups, g.cleanups) << k.text;
    }
    EXPECT_EQ(g.startups, 1); // only the granted-2.0 case started the library (and cleaned it up)

    g.startupResult = 0;
    g.grantedVersion = MAKEWORD(1, 1);
    ASSERT_TRUE(L.Load());
    ASSERT_TRUE(L.Load());
    EXPECT_EQ(L.RefCount(), 2);
    EXPECT_EQ(g.startups, 3);
    L.Unload();
    EXPECT_EQ(L.Status(), kBuiltinWinsockStatus); // still held once
    L.Unload();
    L.Unload(); // nothing held: nothing happens
    EXPECT_EQ(g.cleanups, 3);

    // Nothing loaded: calls through the table fail with "not loaded".
    EXPECT_EQ(L.Ws().socket(WS_AF_INET, WS_SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(L.Ws().WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(CoreTest, MissingEntryKeepsItsFallback) {
    WinsockTable t = BuiltinWinsock();
    t.gethostname = nullptr;
    RegisterSocketLibrary("HOLEY.DLL", t);
    NwdLoader().SetPath("HOLEY.DLL");
    {
        TnwdIPPort port;
        EXPECT_TRUE(port.GetWinsockLoaded());
        EXPECT_EQ(NwdLoader().Ws().gethostname, NwdFallbackTable().gethostname);
        EXPECT_EQ(port.GetLocalHost().substr(0, 1), "["); // the failure as a formatted code text
    }
    UnregisterSocketLibrary("HOLEY.DLL");
}

TEST_F(CoreTest, LibraryPathIsBoundedAndNamesTheLoadedLibrary) {
    NwdWinsockLoader& L = NwdLoader();
    L.SetPath(std::string(250, 'p'));
    EXPECT_EQ(L.GetPath(), std::string(200, 'p'));
    L.SetPath("c:\\windows\\system\\wsock32.dll");
    CoreEvents c;
    std::string path;
    c.core->Get(kNwdLibraryPath, 0, &path);
    EXPECT_EQ(path, "WSOCK32.DLL"); // the loaded library's own name
}

TEST_F(CoreTest, NumberedPropertiesAndAcceptData) {
    CoreEvents c;
    EXPECT_EQ(c.core->Set(22, 0, 1), -1); // no such property
    c.core->Set(kNwdEOL, 0, 0, "\n");
    server.run([](Peer& p) {
        p.send("held\n");
        p.readLine();
        p.readToEnd();
    });
    c.core->Set(kNwdAcceptData, 0, 0); // data waits
    c.core->Set(kNwdRemoteHost, 0, 0, "127.0.0.1");
    c.core->Set(kNwdRemotePort, 0, server.port());
    ASSERT_EQ(c.core->Set(kNwdConnected, 0, 1), 0);
    ASSERT_TRUE(c.waitFor('C'));
    settle();
    EXPECT_EQ(c.count('D'), 0);
    c.core->Set(kNwdAcceptData, 0, 1); // and comes when asked for again
    ASSERT_TRUE(c.waitFor('D'));
    EXPECT_EQ(c.events.back().text, "held");
    ASSERT_EQ(c.core->Set(kNwdDataToSend, 0, 0, "ack\r\n"), 0);
    EXPECT_EQ(c.core->Get(kNwdBytesSent), 5);
    EXPECT_EQ(c.core->Set(kNwdConnected, 0, 0), 0);
    EXPECT_EQ(c.count('X'), 1);
    EXPECT_EQ(server.failure(), "");
}

} // namespace
