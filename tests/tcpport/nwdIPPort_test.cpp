// Tests of TnwdIPPort over real loopback TCP against a scripted server: properties and refusals,
// connecting, receiving with and without EOL, sending, closing, resets and the idle loop.
#include "tcpport/nwdIPPort.h"
#include "tests/tcpport/ScriptServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <time.h>

using namespace tcptest;
using ::testing::StartsWith;

namespace {

using IPPortTest = PortTest;

TEST_F(IPPortTest, ReadOnlyWritesAreIgnoredAndHostsAreResolved) {
    TnwdIPPort port;
    port.SetWinsockStatus("y");
    EXPECT_EQ(port.GetWinsockStatus(), plat::kBuiltinWinsockStatus);
    EXPECT_EQ(NwdLoader().RefCount(), 1); // one reference, though the load is asked for twice
    port.SetRemoteHost("localhost");
    EXPECT_EQ(port.GetRemoteHost(), "127.0.0.1");
    EXPECT_THAT(messageOf([&] { port.SetRemoteHost(std::string("local\0host", 10)); }),
                StartsWith("11001: "));
}

TEST_F(IPPortTest, ConnectChecksInOrderAndSendingNeedsAConnection) {
    TnwdIPPort port;
    EXPECT_EQ(messageOf([&] { port.SetDataToSend("PAGE 1\r\n"); }), "10057: [10057] Socket is not connected");
    EXPECT_THAT(messageOf([&] { port.SetConnected(true); }), StartsWith("102: "));
    port.SetRemoteHost("127.0.0.1");
    EXPECT_THAT(messageOf([&] { port.SetConnected(true); }), StartsWith("116: "));
    EXPECT_FALSE(port.GetConnected());
    EXPECT_THAT(messageOf([&] { port.SetMaxLineLength(65536); }), StartsWith("10022: "));
    EXPECT_EQ(port.GetMaxLineLength(), 2048u);
}

TEST_F(IPPortTest, PropertiesAreRefusedWhileConnectingAndConnected) {
    LoggedPort port;
    server.run([](Peer& p) { p.readToEnd(); });
    dial(port, server.port());
    // Connecting: the socket is open but not yet connected.
    EXPECT_FALSE(port.GetConnected());
    auto refusals = [&] {
        EXPECT_EQ(messageOf([&] { port.SetConnected(true); }),
                  "104: Already connected. If you want to reconnect, close the current connection first.");
        EXPECT_EQ(messageOf([&] { port.SetRemotePort(1); }),
                  "100: You cannot change the RemotePort at this time. A connection is in progress.");
        EXPECT_EQ(port.GetRemotePort(), server.port());
    };
    refusals();
    ASSERT_TRUE(port.log.waitFor('C'));
    EXPECT_TRUE(port.GetConnected());
    refusals();
    port.SetConnected(false);
    EXPECT_EQ(server.failure(), "");
}

TEST_F(IPPortTest, RefusedPortReportsOnceAndThePortWorksAgainAtOnce) {
    ScriptServer refusing(false);
    LoggedPort port;
    dial(port, refusing.port()); // no exception: the outcome comes as an event
    ASSERT_TRUE(port.log.waitFor('C'));
    settle();
    ASSERT_EQ(port.log.events.size(), 1u);
    EXPECT_EQ(port.log.events[0].text, "[10061] Connection refused");

    // Retried at once, as the paging client does with a backup host.
    port.log.events.clear();
    connect(port, [](Peer& p) {
        p.send("220 ready\r\n");
        p.readToEnd();
    });
    EXPECT_TRUE(port.log.events[0].connectedInside);
    ASSERT_TRUE(port.log.waitFor('D'));
    EXPECT_EQ(port.log.of('D')[0].text, "220 ready\r\n");
    EXPECT_EQ(port.log.count('X'), 0);
}

TEST_F(IPPortTest, DisconnectInsideFailedConnectGivesDisconnected) {
    ScriptServer refusing(false);
    LoggedPort port;
    port.log.then = [&](const Event& e) {
        if (e.kind == 'C') port.SetConnected(false);
    };
    dial(port, refusing.port());
    ASSERT_TRUE(port.log.waitFor('X'));
    settle();
    ASSERT_EQ(port.log.events.size(), 2u);
    EXPECT_EQ(port.log.events[1].code, 0);
    EXPECT_EQ(port.log.events[1].text, "OK");
}

// Also the graceful close: the partial line, then one disconnect.
TEST_F(IPPortTest, LinesSplitIntoManyWritesArriveOnePerLineThenOneDisconnected) {
    LoggedPort port("\r\n");
    std::string text =
        std::string("220 hello there\r\n250 o\0k\r\n\r\n", 28) + std::string(300, 'x') + "\r\nc";
    connect(port, [text](Peer& p) { // a copy: the server thread may outlive the test's locals
        p.sendInPieces(text, 3);
        p.close();
    });
    ASSERT_TRUE(port.log.waitFor('X'));
    settle();
    // A zero byte is data like any other; the partial line at the close comes unmarked.
    std::vector<std::string> want = {"220 hello there", std::string("250 o\0k", 7), "", std::string(300, 'x'),
                                     "c"};
    EXPECT_EQ(port.log.texts(), want);
    EXPECT_EQ(port.log.eols(), "11110");
    ASSERT_EQ(port.log.count('X'), 1);
    EXPECT_FALSE(port.log.of('X')[0].connectedInside);
    EXPECT_EQ(port.log.count('E'), 0);
}

TEST_F(IPPortTest, WithoutEolEveryByteArrivesAsReceived) {
    LoggedPort port;
    std::string bytes(70000, '\0');
    std::mt19937 rng(7);
    for (char& c : bytes)
        c = char(rng() % 4 == 0 ? 0 : rng());
    connect(port, [bytes](Peer& p) { // a copy: the server thread may outlive the test's locals
        p.sendInPieces(bytes.substr(0, 5000), 7);
        p.send(bytes.substr(5000));
        p.readToEnd();
    });
    ASSERT_TRUE(plat::PumpUntil([&] { return port.log.data().size() >= bytes.size(); }, kHangMs));
    EXPECT_EQ(port.log.data(), bytes);
    for (const Event& e : port.log.of('D')) {
        EXPECT_TRUE(e.eol);
        EXPECT_LE(e.text.size(), 2048u);
        EXPECT_FALSE(e.text.empty());
    }
}

TEST_F(IPPortTest, DisconnectRightAfterSendingStillDeliversEverything) {
    LoggedPort port;
    std::string big(1 << 20, '\0'); // far more than the socket takes at once
    std::mt19937 rng(11);
    for (char& c : big)
        c = char(rng());
    std::string got;
    connect(port, [&](Peer& p) { got = p.readToEnd(); });
    port.SetDataToSend(""); // nothing to send: fine
    port.SetDataToSend(big);
    port.SetConnected(false);
    EXPECT_EQ(port.log.count('X'), 1);
    EXPECT_EQ(server.failure(), "");
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
}

// A reset at once, and one right behind data; the port connects again after each.
TEST_F(IPPortTest, ResetGivesOneErrorAndOneDisconnected) {
    LoggedPort port;
    for (std::string before : {"", "partial"}) {
        SCOPED_TRACE(before);
        port.log.events.clear();
        connect(port, [before](Peer& p) {
            p.send(before);
            p.reset();
        });
        ASSERT_TRUE(port.log.waitFor('X'));
        settle();
        ASSERT_EQ(port.log.count('E'), 1);
        EXPECT_EQ(port.log.of('E')[0].text, "Winsock error in recv()");
        ASSERT_EQ(port.log.count('X'), 1);
        EXPECT_EQ(port.log.of('X')[0].text, "[10054] Connection reset by peer");
        EXPECT_FALSE(port.GetConnected());
    }
}

TEST_F(IPPortTest, DisconnectInsideDataInComesAfterTheHandler) {
    LoggedPort port("\r\n");
    std::vector<std::string> order;
    port.log.then = [&](const Event& e) {
        if (e.kind == 'D' && e.text == "one") {
            port.SetConnected(false);
            order.push_back("handler returns");
        } else if (e.kind != 'R') {
            order.push_back(std::string(1, e.kind) + e.text);
        }
    };
    bool sawEnd = false;
    connect(port, [&](Peer& p) {
        p.send("one\r\ntwo\r\n");
        sawEnd = !p.endsWithReset();
    });
    ASSERT_TRUE(port.log.waitFor('X'));
    server.join();
    // The other complete line already buffered is still delivered before the disconnect.
    std::vector<std::string> want = {"COK", "handler returns", "Dtwo", "XOK"};
    EXPECT_EQ(order, want);
    EXPECT_TRUE(sawEnd);
    EXPECT_FALSE(port.GetConnected());
}

TEST_F(IPPortTest, LingerOffResetsThePeerOnDisconnect) {
    LoggedPort port;
    port.SetLinger(false);
    bool reset = false;
    connect(port, [&](Peer& p) { reset = p.endsWithReset(); });
    port.SetConnected(false);
    server.join();
    EXPECT_TRUE(reset);
}

TEST_F(IPPortTest, DestroyWithAnOpenSocketRaisesNoEvent) {
    bool closed = false;
    int late = 0;
    {
        LoggedPort port;
        connect(port, [&](Peer& p) { closed = !p.endsWithReset(); });
        port.OnConnected = [&](cls::TComponent*, int, const std::string&) { ++late; };
        port.OnDataIn = [&](cls::TComponent*, const std::string&, bool) { ++late; };
        port.OnDisconnected = [&](cls::TComponent*, int, const std::string&) { ++late; };
        port.OnError = [&](cls::TComponent*, int, const std::string&) { ++late; };
        port.OnReadyToSend = [&](cls::TComponent*) { ++late; };
    }
    settle();
    EXPECT_EQ(late, 0);
    server.join();
    EXPECT_TRUE(closed);
}

TEST_F(IPPortTest, OwnerFreesThePort) {
    cls::TComponent owner;
    new TnwdIPPort(&owner);
    EXPECT_EQ(NwdLoader().RefCount(), 1);
    // The owner's destruction frees the port, which gives its library reference back (checked
    // at the end of the test).
}

TEST_F(IPPortTest, IdleConnectedPortDoesNotSpin) {
    LoggedPort port;
    connect(port, [](Peer& p) { p.readToEnd(); });
    ASSERT_TRUE(port.log.waitFor('R'));
    settle();
    auto threadCpuMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
    };
    double before = threadCpuMs();
    uint64_t start = plat::NowMs();
    plat::PumpUntil([] { return false; }, 500); // a real half second of waiting for nothing
    double used = threadCpuMs() - before;
    EXPECT_GE(plat::NowMs() - start, 500u);
    EXPECT_LT(used, 150.0) << "the loop is busy while nothing happens";
}

TEST_F(IPPortTest, EolSetWhileConnectedCutsWhatIsBuffered) {
    LoggedPort port("\r\n");
    connect(port, [](Peer& p) {
        p.send("x\r\na;b;");
        p.readToEnd();
    });
    ASSERT_TRUE(port.log.waitFor('D'));
    port.SetEOL(";");
    ASSERT_TRUE(port.log.waitFor('D', 3));
    EXPECT_EQ(port.log.texts(), (std::vector<std::string>{"x", "a", "b"}));
    EXPECT_EQ(port.log.eols(), "111");
}

TEST_F(IPPortTest, DispatcherAndTexts) {
    TnwdIPPort port;
    TnwdEventParams p;
    EXPECT_EQ(port.DispatchEvent(kNwdEventDataIn, &p), 0);                 // no handler: ignored
    EXPECT_EQ(NwdResultText(10061 + 65536), "[10061] Connection refused"); // taken as 16-bit
    auto made = port.CreateException(101, "x");
    EXPECT_EQ(messageOf([&] { made->Raise(); }), "101: x"); // raised as the port's own type
}

TEST_F(IPPortTest, CreationFailureRaisesMinusOne) {
    auto noCore = [](TnwdCoreCallback, void*) { return std::unique_ptr<NwdConnection>(); };
    EXPECT_EQ(messageOf([&] { TnwdIPPort port(nullptr, noCore); }),
              "-1: Netwarden! IPPort: Error creating component");
}

} // namespace
