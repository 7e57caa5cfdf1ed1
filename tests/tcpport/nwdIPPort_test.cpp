// Tests of TnwdIPPort over real loopback TCP against a scripted server: properties and refusals,
// connecting, receiving with and without EOL, sending, closing, resets and the idle loop.
#include "tcpport/nwdIPPort.h"
#include "tests/tcpport/ScriptServer.h"

#include <gtest/gtest.h>

#include <random>

using namespace tcptest;

namespace {

class IPPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        NwdLoader().SetPath("");
        ASSERT_EQ(NwdLoader().RefCount(), 0);
        plat::SetDispatchExceptionHandler([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                escaped.push_back(x.what());
            }
        });
    }
    void TearDown() override {
        plat::SetDispatchExceptionHandler(nullptr);
        EXPECT_EQ(NwdLoader().RefCount(), 0); // every port gave its reference back
        EXPECT_EQ(plat::BuiltinWinsockStartupCount(), 0);
    }

    // A port connected to the server; the server runs script.
    void connect(TnwdIPPort& port, EventLog& log, ScriptServer& server, std::function<void(Peer&)> script) {
        server.run(std::move(script));
        port.SetRemoteHost("127.0.0.1");
        port.SetRemotePort(server.port());
        port.SetConnected(true);
        ASSERT_TRUE(log.waitFor('C'));
        ASSERT_EQ(log.of('C')[0].code, 0);
    }

    template <class F> static std::string messageOf(F&& f) {
        try {
            f();
        } catch (const EnwdIPPort& e) {
            return e.what();
        }
        return "no exception";
    }
    template <class F> static int codeOf(F&& f) {
        try {
            f();
        } catch (const EnwdIPPort& e) {
            return e.Code;
        }
        return 0;
    }

    std::vector<std::string> escaped;
};

TEST_F(IPPortTest, InitialValuesAndReadOnlyWrites) {
    TnwdIPPort port;
    EXPECT_EQ(port.GetEOL(), "");
    EXPECT_EQ(port.GetInBufferSize(), 2048);
    EXPECT_FALSE(port.GetKeepAlive());
    EXPECT_TRUE(port.GetLinger());
    EXPECT_EQ(port.GetLocalPort(), 0);
    EXPECT_EQ(port.GetMaxLineLength(), 2048u);
    EXPECT_EQ(port.GetOutBufferSize(), 2048);
    EXPECT_EQ(port.GetRemoteHost(), "");
    EXPECT_EQ(port.GetRemotePort(), 0);
    EXPECT_TRUE(port.GetWinsockLoaded());
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.GetWinsockInfo(), plat::kBuiltinWinsockDescription);
    EXPECT_EQ(port.GetWinsockStatus(), plat::kBuiltinWinsockStatus);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(port.GetLocalHost(), std::string(host).substr(0, 100));
    EXPECT_EQ(NwdLoader().RefCount(), 1); // one reference, though the load is asked for twice

    port.SetLocalHost("elsewhere");
    port.SetWinsockInfo("x");
    port.SetWinsockStatus("y");
    EXPECT_EQ(port.GetLocalHost(), std::string(host).substr(0, 100));
    EXPECT_EQ(port.GetWinsockStatus(), plat::kBuiltinWinsockStatus);

    port.SetEOL(std::string("\r\0\n", 3));
    EXPECT_EQ(port.GetEOL(), std::string("\r\0\n", 3));
    port.SetRemoteHost("localhost");
    EXPECT_EQ(port.GetRemoteHost(), "127.0.0.1");
    port.SetRemoteHost("10.1.2.3");
    EXPECT_EQ(port.GetRemoteHost(), "10.1.2.3");
    port.SetRemoteHost("");
    EXPECT_EQ(port.GetRemoteHost(), "");
    EXPECT_EQ(codeOf([&] { port.SetRemoteHost(std::string("local\0host", 10)); }), 11001);
}

TEST_F(IPPortTest, ConnectChecksInOrderWithTheirTexts) {
    TnwdIPPort port;
    EXPECT_EQ(messageOf([&] { port.SetConnected(true); }),
              "102: The RemoteHost address is invalid (0.0.0.0).");
    port.SetRemoteHost("127.0.0.1");
    EXPECT_EQ(messageOf([&] { port.SetConnected(true); }),
              "116: RemotePort can't be zero. Please specify a valid service port number.");
    port.SetRemoteHost("0.0.0.0");
    port.SetRemotePort(25);
    EXPECT_EQ(codeOf([&] { port.SetConnected(true); }), 102);
    EXPECT_FALSE(port.GetConnected());
}

TEST_F(IPPortTest, PropertiesAreRefusedWhileConnectingAndConnected) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    server.run([](Peer& p) { p.readToEnd(); });
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(server.port());
    port.SetConnected(true);
    // Connecting: the socket is open but not yet connected.
    EXPECT_FALSE(port.GetConnected());
    auto refusals = [&] {
        EXPECT_EQ(messageOf([&] { port.SetConnected(true); }),
                  "104: Already connected. If you want to reconnect, close the current connection first.");
        EXPECT_EQ(messageOf([&] { port.SetRemotePort(1); }),
                  "100: You cannot change the RemotePort at this time. A connection is in progress.");
        EXPECT_EQ(messageOf([&] { port.SetRemoteHost("10.0.0.1"); }),
                  "101: You cannot change the RemoteHost at this time. A connection is in progress.");
        EXPECT_EQ(messageOf([&] { port.SetLocalPort(1); }),
                  "106: You cannot change the LocalPort at this time. A connection is in progress.");
        EXPECT_EQ(messageOf([&] { port.SetMaxLineLength(100); }),
                  "112: You cannot change MaxLineSize at this time. A connection is in progress.");
        EXPECT_EQ(port.GetRemotePort(), server.port());
        EXPECT_EQ(port.GetRemoteHost(), "127.0.0.1");
        EXPECT_EQ(port.GetMaxLineLength(), 2048u);
    };
    refusals();
    ASSERT_TRUE(log.waitFor('C'));
    EXPECT_TRUE(port.GetConnected());
    refusals();
    port.SetConnected(false);
    server.join();
    EXPECT_EQ(server.failure(), "");
}

TEST_F(IPPortTest, ConnectReportsOkAndReadyToSend) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    connect(port, log, server, [](Peer& p) { p.readToEnd(); });
    EXPECT_EQ(log.events[0].text, "OK");
    EXPECT_TRUE(log.events[0].connectedInside);
    ASSERT_TRUE(log.waitFor('R'));
    EXPECT_TRUE(port.GetConnected());
    port.SetConnected(false);
    server.join();
}

TEST_F(IPPortTest, RefusedPortReportsOnceAndThePortWorksAgainAtOnce) {
    RefusingPort refusing;
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(refusing.port());
    port.SetConnected(true); // no exception: the outcome comes as an event
    ASSERT_TRUE(log.waitFor('C'));
    settle();
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].code, 10061);
    EXPECT_EQ(log.events[0].text, "[10061] Connection refused");
    EXPECT_FALSE(log.events[0].connectedInside);
    EXPECT_FALSE(port.GetConnected());

    // Retried at once, as the paging client does with a backup host.
    log.events.clear();
    connect(port, log, server, [](Peer& p) {
        p.send("220 ready\r\n");
        p.readToEnd();
    });
    ASSERT_TRUE(log.waitFor('D'));
    EXPECT_EQ(log.of('D')[0].text, "220 ready\r\n");
    EXPECT_EQ(log.count('X'), 0);
    port.SetConnected(false);
    server.join();
}

TEST_F(IPPortTest, DisconnectInsideFailedConnectGivesDisconnected) {
    RefusingPort refusing;
    TnwdIPPort port;
    EventLog log(port);
    log.then = [&](const Event& e) {
        if (e.kind == 'C') port.SetConnected(false);
    };
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(refusing.port());
    port.SetConnected(true);
    ASSERT_TRUE(log.waitFor('X'));
    settle();
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[1].code, 0);
    EXPECT_EQ(log.events[1].text, "OK");
}

TEST_F(IPPortTest, LinesSplitIntoManyWritesArriveOnePerLine) {
    ScriptServer server;
    TnwdIPPort port;
    port.SetEOL("\r\n");
    EventLog log(port);
    std::string text =
        std::string("220 hello there\r\n250 o\0k\r\n\r\n", 28) + std::string(300, 'x') + "\r\nc";
    connect(port, log, server, [&](Peer& p) {
        p.sendInPieces(text, 3);
        p.close();
    });
    ASSERT_TRUE(log.waitFor('X'));
    settle();
    auto d = log.of('D');
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[0].text, "220 hello there");
    EXPECT_EQ(d[1].text, std::string("250 o\0k", 7)); // a zero byte is data like any other
    EXPECT_EQ(d[2].text, "");
    EXPECT_EQ(d[3].text, std::string(300, 'x'));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(d[i].eol);
    EXPECT_EQ(d[4].text, "c"); // the partial line at the close
    EXPECT_FALSE(d[4].eol);
    EXPECT_EQ(log.count('X'), 1);
    EXPECT_EQ(log.of('X')[0].code, 0);
    EXPECT_EQ(log.of('X')[0].text, "OK");
    EXPECT_EQ(log.count('E'), 0);
    EXPECT_EQ(log.events.back().kind, 'X');
    EXPECT_FALSE(port.GetConnected());
}

TEST_F(IPPortTest, WithoutEolEveryByteArrivesAsReceived) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    std::string bytes(70000, '\0');
    std::mt19937 rng(7);
    for (char& c : bytes)
        c = char(rng() % 4 == 0 ? 0 : rng());
    connect(port, log, server, [&](Peer& p) {
        p.sendInPieces(bytes.substr(0, 5000), 7);
        p.send(bytes.substr(5000));
        p.readToEnd();
    });
    ASSERT_TRUE(log.waitForData(bytes.size()));
    EXPECT_EQ(log.data(), bytes);
    for (const Event& e : log.of('D')) {
        EXPECT_TRUE(e.eol);
        EXPECT_LE(e.text.size(), 2048u);
        EXPECT_FALSE(e.text.empty());
    }
    port.SetConnected(false);
    server.join();
}

TEST_F(IPPortTest, LongLineComesAsFullBuffersMarkedPartial) {
    ScriptServer server;
    TnwdIPPort port;
    port.SetEOL("\r\n");
    EventLog log(port);
    std::string line(3000, 'L');
    connect(port, log, server, [&](Peer& p) {
        p.send(line);
        p.close();
    });
    ASSERT_TRUE(log.waitFor('X'));
    auto d = log.of('D');
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].text.size(), 2048u);
    EXPECT_FALSE(d[0].eol);
    EXPECT_EQ(d[1].text.size(), 952u);
    EXPECT_FALSE(d[1].eol);
}

TEST_F(IPPortTest, MegabyteSendArrivesIntact) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    std::string big(1 << 20, '\0');
    std::mt19937 rng(11);
    for (char& c : big)
        c = char(rng());
    std::string got;
    connect(port, log, server, [&](Peer& p) {
        got = p.readExactly(big.size());
        p.send("done\r\n");
        p.readToEnd();
    });
    ASSERT_TRUE(log.waitFor('R'));
    port.SetDataToSend(big); // far more than the socket takes at once
    ASSERT_TRUE(log.waitFor('D'));
    EXPECT_EQ(log.of('D')[0].text, "done\r\n");
    port.SetConnected(false);
    server.join();
    EXPECT_EQ(server.failure(), "");
    EXPECT_TRUE(got == big);
    EXPECT_GE(log.count('R'), 1);
}

TEST_F(IPPortTest, DisconnectRightAfterSendingStillDeliversEverything) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    std::string big(1 << 20, 'q');
    big += "QUIT\r\n";
    std::string got;
    connect(port, log, server, [&](Peer& p) { got = p.readToEnd(); });
    port.SetDataToSend(big);
    port.SetConnected(false);
    EXPECT_EQ(log.count('X'), 1);
    server.join();
    EXPECT_EQ(server.failure(), "");
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
}

TEST_F(IPPortTest, GracefulCloseGivesOneDisconnected) {
    ScriptServer server;
    TnwdIPPort port;
    port.SetEOL("\r\n");
    EventLog log(port);
    connect(port, log, server, [](Peer& p) {
        p.send("221 bye\r\n");
        p.close();
    });
    ASSERT_TRUE(log.waitFor('X'));
    settle();
    EXPECT_EQ(log.count('X'), 1);
    EXPECT_EQ(log.count('E'), 0);
    EXPECT_EQ(log.of('D').size(), 1u);
    EXPECT_EQ(log.of('X')[0].code, 0);
    EXPECT_FALSE(log.of('X')[0].connectedInside);
    EXPECT_FALSE(port.GetConnected());
    server.join();
}

TEST_F(IPPortTest, ResetGivesOneErrorAndOneDisconnected) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    connect(port, log, server, [](Peer& p) { p.reset(); });
    ASSERT_TRUE(log.waitFor('X'));
    settle();
    ASSERT_EQ(log.count('E'), 1);
    EXPECT_EQ(log.of('E')[0].code, 10054);
    EXPECT_EQ(log.of('E')[0].text, "Winsock error in recv()");
    ASSERT_EQ(log.count('X'), 1);
    EXPECT_EQ(log.of('X')[0].code, 10054);
    EXPECT_EQ(log.of('X')[0].text, "[10054] Connection reset by peer");
    EXPECT_FALSE(port.GetConnected());

    // After data: the data first, then the same two events.
    log.events.clear();
    connect(port, log, server, [](Peer& p) {
        p.send("partial");
        p.reset();
    });
    ASSERT_TRUE(log.waitFor('X'));
    settle();
    EXPECT_EQ(log.count('E'), 1);
    EXPECT_EQ(log.count('X'), 1);
    EXPECT_EQ(log.of('X')[0].code, 10054);
}

TEST_F(IPPortTest, DisconnectInsideDataInComesAfterTheHandler) {
    ScriptServer server;
    TnwdIPPort port;
    port.SetEOL("\r\n");
    EventLog log(port);
    std::vector<std::string> order;
    log.then = [&](const Event& e) {
        if (e.kind == 'D' && e.text == "one") {
            port.SetConnected(false);
            order.push_back("handler returns");
        } else {
            order.push_back(std::string(1, e.kind) + e.text);
        }
    };
    bool sawEnd = false;
    connect(port, log, server, [&](Peer& p) {
        p.send("one\r\ntwo\r\n");
        sawEnd = !p.endsWithReset();
    });
    ASSERT_TRUE(log.waitFor('X'));
    server.join();
    // The other complete line already buffered is still delivered before the disconnect.
    std::vector<std::string> want = {"COK", "handler returns", "Dtwo", "XOK"};
    std::vector<std::string> seen;
    for (auto& s : order)
        if (s != "R") seen.push_back(s);
    EXPECT_EQ(seen, want);
    EXPECT_TRUE(sawEnd);
    EXPECT_FALSE(port.GetConnected());
}

TEST_F(IPPortTest, SendingWhileNotConnected) {
    TnwdIPPort port;
    EXPECT_EQ(messageOf([&] { port.SetDataToSend("PAGE 1\r\n"); }), "10057: [10057] Socket is not connected");
    ScriptServer server;
    EventLog log(port);
    std::string got;
    connect(port, log, server, [&](Peer& p) { got = p.readToEnd(); });
    port.SetDataToSend(""); // nothing to send: fine
    port.SetDataToSend("SEND\r\n");
    port.SetConnected(false);
    server.join();
    EXPECT_EQ(got, "SEND\r\n");
}

TEST_F(IPPortTest, LingerOffResetsThePeerOnDisconnect) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    port.SetLinger(false);
    bool reset = false;
    connect(port, log, server, [&](Peer& p) { reset = p.endsWithReset(); });
    port.SetConnected(false);
    server.join();
    EXPECT_TRUE(reset);
}

TEST_F(IPPortTest, DestroyWithAnOpenSocketRaisesNoEvent) {
    ScriptServer server;
    bool closed = false;
    int late = 0;
    {
        TnwdIPPort port;
        EventLog log(port);
        connect(port, log, server, [&](Peer& p) { closed = !p.endsWithReset(); });
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
    auto* port = new TnwdIPPort(&owner);
    EXPECT_EQ(port->Owner(), &owner);
    EXPECT_EQ(NwdLoader().RefCount(), 1);
    // The owner's destruction frees the port, which gives its library reference back (checked
    // at the end of the test).
}

TEST_F(IPPortTest, IdleConnectedPortDoesNotSpin) {
    ScriptServer server;
    TnwdIPPort port;
    EventLog log(port);
    connect(port, log, server, [](Peer& p) { p.readToEnd(); });
    ASSERT_TRUE(log.waitFor('R'));
    settle();
    double before = threadCpuMs();
    uint64_t start = plat::NowMs();
    plat::PumpUntil([] { return false; }, 500); // a real half second of waiting for nothing
    double used = threadCpuMs() - before;
    EXPECT_GE(plat::NowMs() - start, 500u);
    EXPECT_LT(used, 150.0) << "the loop is busy while nothing happens";
    port.SetConnected(false);
    server.join();
}

TEST_F(IPPortTest, MaxLineLengthBounds) {
    TnwdIPPort port;
    EXPECT_EQ(messageOf([&] { port.SetMaxLineLength(0); }), "10022: [10022] Invalid argument");
    EXPECT_EQ(codeOf([&] { port.SetMaxLineLength(65536); }), 10022);
    EXPECT_EQ(port.GetMaxLineLength(), 2048u);
    port.SetMaxLineLength(65535);
    EXPECT_EQ(port.GetMaxLineLength(), 65535u);
    port.SetMaxLineLength(1);
    EXPECT_EQ(port.GetMaxLineLength(), 1u);
}

TEST_F(IPPortTest, EolSetWhileConnectedCutsWhatIsBuffered) {
    ScriptServer server;
    TnwdIPPort port;
    port.SetEOL("\r\n");
    EventLog log(port);
    connect(port, log, server, [](Peer& p) {
        p.send("x\r\na;b;");
        p.readToEnd();
    });
    ASSERT_TRUE(log.waitFor('D'));
    port.SetEOL(";");
    ASSERT_TRUE(log.waitFor('D', 3));
    auto d = log.of('D');
    EXPECT_EQ(d[1].text, "a");
    EXPECT_EQ(d[2].text, "b");
    EXPECT_TRUE(d[2].eol);
    port.SetConnected(false);
    server.join();
}

TEST(IPPortUnits, DispatcherAndTexts) {
    NwdLoader().SetPath("");
    TnwdIPPort port;
    TnwdEventParams p;
    p.Code = 5;
    p.Text = "t";
    // No handlers: every event is ignored.
    for (int ev = 0; ev <= 6; ++ev)
        EXPECT_EQ(port.DispatchEvent(ev, &p), 0);
    int calls = 0;
    std::string data;
    port.OnConnected = [&](cls::TComponent* s, int, const std::string&) { calls += s == &port; };
    port.OnDisconnected = [&](cls::TComponent*, int, const std::string&) { ++calls; };
    port.OnError = [&](cls::TComponent*, int, const std::string&) { ++calls; };
    port.OnReadyToSend = [&](cls::TComponent*) { ++calls; };
    port.OnDataIn = [&](cls::TComponent*, const std::string& t, bool) {
        ++calls;
        data = t;
    };
    port.DispatchEvent(0, &p);
    port.DispatchEvent(6, &p);
    EXPECT_EQ(calls, 0);
    for (int ev = 1; ev <= 5; ++ev)
        port.DispatchEvent(ev, &p);
    EXPECT_EQ(calls, 5);
    const char bytes[] = {'a', '\0', 'b', '\0'};
    p.Data = bytes;
    p.Count = 4;
    port.DispatchEvent(kNwdEventDataIn, &p);
    EXPECT_EQ(data, std::string(bytes, 4));

    EXPECT_EQ(NwdResultText(12345), "[12345] (no description available)");
    EXPECT_EQ(NwdResultText(10066), "[10066] Directory not empt");
    EXPECT_EQ(NwdResultText(10069), "[10069] Disc Quota Exceeded");
    EXPECT_EQ(NwdResultText(11002),
              "[11002] Non-authoritative 'Host not found' (try again or check DNS setup)");
    EXPECT_EQ(NwdResultText(301), "Interrupted.");
    EXPECT_EQ(NwdResultText(200), "Out of memory.");
    EXPECT_EQ(NwdResultText(10061 + 65536), "[10061] Connection refused"); // taken as 16-bit

    ECorbexBase base(-1, "text");
    EXPECT_STREQ(base.what(), "-1: text");
    EXPECT_EQ(base.Code, -1);
    auto made = port.CreateException(101, "x");
    EXPECT_NE(dynamic_cast<EnwdIPPort*>(made.get()), nullptr);
    try {
        made->Raise();
    } catch (const EnwdIPPort& e) {
        EXPECT_EQ(e.Code, 101);
        EXPECT_STREQ(e.what(), "101: x");
    }
}

TEST(IPPortUnits, CreationFailureRaisesMinusOne) {
    NwdLoader().SetPath("");
    try {
        TnwdIPPort port(nullptr, [](TnwdCoreCallback, void*) { return std::unique_ptr<NwdConnection>(); });
        FAIL() << "created";
    } catch (const EnwdIPPort& e) {
        EXPECT_EQ(e.Code, -1);
        EXPECT_STREQ(e.what(), "-1: Netwarden! IPPort: Error creating component");
    }
    EXPECT_EQ(NwdLoader().RefCount(), 0);
}

} // namespace
