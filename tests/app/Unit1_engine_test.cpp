// The sending engine against the scripted SNPP server: blocks and their order, multiple sends,
// banner, backup host, time-out, cancel, and the faults the engine guards against.
#include "tests/app/AppFixture.h"

#include "classlib/ui/QtText.h"

#include <QLabel>
#include <algorithm>
#include <atomic>
#include <filesystem>

using namespace snpptest;

namespace {

std::vector<std::string> texts(const std::vector<Page>& pages) {
    std::vector<std::string> t;
    for (const auto& p : pages)
        t.push_back(p.text);
    return t;
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// Closed port: nothing listens there.
int refusedPort() {
    return pwtest::freeLoopbackPort();
}

class Engine : public AppTest {
protected:
    // Single send of text to Alice through the scripted server; waits for the end of the dialogue.
    void singleSend(ScriptedServer& server, const std::string& text, int split, bool reverse) {
        startApp({{"Alice", "5551234", 1}});
        pointService(1, server.port());
        services[1].splitChars = split;
        services[1].splitFlag = reverse;
        selectSingle("Alice");
        setMessage(text);
        form->sendButtonClick(form->sendButton);
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    }
};

} // namespace

TEST_F(Engine, BlocksGoFirstBlockFirstUnlessTheServiceSplitsInReverse) {
    {
        ScriptedServer server;
        singleSend(server, "ABCDEFG", 3, true);
        EXPECT_EQ(texts(server.pages()), (std::vector<std::string>{"G", "DEF", "ABC"}));
    }
    form.reset();
    results.reset();
    std::filesystem::remove_all("logs");
    {
        ScriptedServer server;
        singleSend(server, "ABCDEFG", 3, false);
        EXPECT_EQ(texts(server.pages()), (std::vector<std::string>{"ABC", "DEF", "G"}));
        // Every block is a page of its own: PAGE, MESS, SEND each time, one QUIT at the end.
        const auto t = server.transcript();
        EXPECT_EQ(std::count_if(t.begin(), t.end(),
                                [](auto& l) { return l.rfind("C: PAGE 5551234\\r\\n", 0) == 0; }),
                  3);
        EXPECT_EQ(std::count_if(t.begin(), t.end(), [](auto& l) { return l == "C: QUIT\\r\\n"; }), 1);
        // The log holds the message as cut for the service, whole.
        EXPECT_EQ(countOf(logText(), "Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:ABCDEFG\r\n"), 1);
    }
}

TEST_F(Engine, SplitEdgesAtTheBlockLength) {
    {
        ScriptedServer server; // length = splitChars: one block, forward, even with the reverse flag
        singleSend(server, "ABC", 3, true);
        EXPECT_EQ(texts(server.pages()), (std::vector<std::string>{"ABC"}));
    }
    form.reset();
    results.reset();
    {
        ScriptedServer server; // length + 1 in reverse: the last character alone first
        singleSend(server, "ABCD", 3, true);
        EXPECT_EQ(texts(server.pages()), (std::vector<std::string>{"D", "ABC"}));
    }
    form.reset();
    results.reset();
    {
        ScriptedServer server; // the built-in service and the longest memo text: one block
        const std::string text(999, 'm');
        startApp({{"Alice", "5551234", 1}});
        pointService(1, server.port());
        selectSingle("Alice");
        setMessage(text);
        form->sendButtonClick(form->sendButton);
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
        EXPECT_EQ(texts(server.pages()), (std::vector<std::string>{text}));
    }
}

TEST_F(Engine, MultipleSendGoesOnAfterARefusedPage) {
    ScriptedServer server;
    server.setScript([](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
        if (line == "PAGE 5552222") return ScriptedServer::Reply{"550 Error, Invalid Pager ID\r\n"};
        return std::nullopt;
    });
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}});
    pointService(1, server.port());
    checkNames({"Anna", "Bert", "Cleo"});
    setMessage("Meeting at 3");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));

    EXPECT_EQ(resultsLines(),
              (std::vector<std::string>{"CONNECTING TO SERVICE: Tarvo ...", "Sending to: Anna ...",
                                        "MESSAGE SENT OK", "Sending to: Bert ...", "Sending to: Cleo ...",
                                        "MESSAGE SENT OK", "", "2 of 3 MESSAGES SENT OK"}));
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Anna, MSG:Meeting at 3\r\n"
              "3/7/2024 10:00:00 AM, ERROR code:550, SRVC:Tarvo, CONTACTS:Bert, MSG:Meeting at 3\r\n"
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Cleo, MSG:Meeting at 3\r\n");
    EXPECT_EQ(server.pages().size(), 2u);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(results->isVisible());
}

TEST_F(Engine, RecipientErrorsBeforeAnyConnection) {
    startApp({{"Alice", "5551234", 1}, {"Nowhere", "5550000", 7}});
    setMessage("Hi");
    selectSingle("");
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: No recipient selected");
    selectSingle("[ ]"); // nothing chosen yet
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: Problem with contact and/or service");
    selectSingle("Nowhere"); // service 7 is empty
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: Problem with contact and/or service");
    selectSingle("Alice");
    setMessage("");
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: No message entered");
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(statusLabel(), "NONE");
}

TEST_F(Engine, AServiceWithoutABlockLengthIsNotUsable) {
    ScriptedServer server;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, server.port());
    services[1].splitChars = 0;
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: Problem with contact and/or service");
    services[1].splitChars = 1000;
    services[1].maxChars = 0;
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: Problem with contact and/or service");
    pumpFor(20);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(Engine, GroupSendPagesTheGroupsMembersOnly) {
    ScriptedServer server;
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\n[Groups]\ngroup2Name=Night shift\n");
    startApp({{"Anna", "5551111", 1, "", {2}},
              {"Bert", "5552222", 1, "", {1}},
              {"Cleo", "5553333", 1, "77", {2, 5}},
              {"Dora", "5554444", 0, "", {2}}});
    pointService(1, server.port());
    selectGroup(2);
    setMessage("Shift starts");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    const auto pages = server.pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].pagerId, "5551111");
    EXPECT_EQ(pages[1].pagerId, "5553333");
    EXPECT_EQ(pages[1].pin, "77");
    EXPECT_EQ(resultsLines().back(), "2 of 2 MESSAGES SENT OK"); // Dora has no valid service
}

TEST_F(Engine, BannerFromTheGreetingScrollsAcrossThePanel) {
    ScriptedServer server;
    server.setGreeting("220 \x02Hello there\r\n");
    singleSend(server, "Hi", 1000, false);
    EXPECT_EQ(cls::fromQString(form->messageLabel->text()), "Hello there");
    const int x0 = form->messageLabel->x();
    form->Timer1Timer(nullptr);
    EXPECT_EQ(form->messageLabel->x(), x0 + 4);
    for (int k = 0; k < 400 && form->messageLabel->x() != 2; ++k)
        form->Timer1Timer(nullptr);
    EXPECT_EQ(form->messageLabel->x(), 2);
    EXPECT_GE(form->messageLabel->x() + form->messageLabel->width(), 2);

    form.reset();
    results.reset();
    ScriptedServer plain;
    plain.setGreeting("220 Hello there\r\n"); // no STX at the 5th character: no banner
    singleSend(plain, "Hi", 1000, false);
    EXPECT_TRUE(form->messageLabel->text().isEmpty());

    form.reset();
    results.reset();
    ScriptedServer longOne; // at most characters 6..45 of the reply, never past its CR
    longOne.setGreeting("220 \x02" + std::string(60, 'x') + "\r\n");
    singleSend(longOne, "Hi", 1000, false);
    EXPECT_EQ(cls::fromQString(form->messageLabel->text()), std::string(40, 'x'));
}

TEST_F(Engine, ConnectFailureRetriesTheBackupHostOnItsOwnPort) {
    ScriptedServer backup;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, refusedPort());
    services[1].backupHostField = "127.0.0.1";
    splitIPintoParts();
    backupPort = static_cast<uint16_t>(backup.port());
    std::vector<uint32_t> pauses;
    int stateAtPause = 0;
    form->sleepFn = [&](uint32_t ms) {
        pauses.push_back(ms);
        stateAtPause = sendState;
    };
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return !pauses.empty(); }));
    EXPECT_EQ(pauses, std::vector<uint32_t>{150});
    EXPECT_EQ(stateAtPause, 2);
    EXPECT_TRUE(usingBackup);
    EXPECT_EQ(timeoutLeft, 30);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    EXPECT_EQ(backup.pages().size(), 1u);
    EXPECT_EQ(backup.pages()[0].text, "Hi");
}

TEST_F(Engine, ConnectFailureWithoutBackupFailsAndLogs) {
    startApp({{"Alice", "5551234", 1}});
    pointService(1, refusedPort());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "FAIL"; }));
    EXPECT_EQ(statusBar().rfind("Error: ", 0), 0u) << statusBar();
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, ERROR connecting to service., SRVC:Tarvo, CONTACTS:Alice, MSG:Hi\r\n");
    EXPECT_EQ(sendState, 1);
}

TEST_F(Engine, SingleSendTimesOutAfterThirtySecondsOfTheClock) {
    ScriptedServer silent;
    silent.setGreeting(""); // accepts, never answers
    startApp({{"Alice", "5551234", 1}});
    pointService(1, silent.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3; }));
    advance(87 * kTimerInterval); // at least 29 seconds counted
    EXPECT_EQ(sendState, 3);
    EXPECT_EQ(logText(), "");
    advance(3 * kTimerInterval);
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(statusLabel(), "FAIL");
    EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, ERROR: Timeout when sending to service., SRVC:Tarvo, "
                         "CONTACTS:Alice, MSG:Hi\r\n");
    ASSERT_TRUE(pumpUntil([&] { return silent.closedConnections() == 1; }));
}

TEST_F(Engine, CancelEndsTheDialogue) {
    ScriptedServer silent;
    silent.setGreeting("");
    startApp({{"Alice", "5551234", 1}});
    pointService(1, silent.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3; }));
    form->cancelSendButton->click();
    EXPECT_EQ(statusLabel(), "CANCEL");
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(timeoutLeft, 0);
    ASSERT_TRUE(pumpUntil([&] { return silent.closedConnections() == 1; }));
    // A second Send works again.
    silent.setGreeting("220 ok\r\n");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS"; }));
}

TEST_F(Engine, CancelInAMultipleSendEndsOnlyTheCurrentService) {
    ScriptedServer silent, second;
    silent.setGreeting("");
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 2}});
    pointService(1, silent.port());
    pointService(2, second.port());
    checkNames({"Anna", "Bert"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3 && currentService == 1; }));
    form->cancelSendButtonClick(form->cancelSendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(second.pages().size(), 1u);
    EXPECT_EQ(resultsLines().back(), "1 of 2 MESSAGES SENT OK");
}

// ---- Faults the engine guards against ------------------------------------------------------------

TEST_F(Engine, RepliesAreFramedByLines) {
    LoopbackPeer peer;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, peer.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return peer.tryAccept() && sendState == 3; }));
    // A reply split over two segments is one reply.
    peer.send("22");
    pumpFor(20);
    EXPECT_EQ(form->repliesHandled(), 0u);
    peer.send("0 Ready\r\n");
    std::string line;
    ASSERT_TRUE(pumpUntil([&] { return !(line = peer.takeLine()).empty(); }));
    EXPECT_EQ(line, "PAGE 5551234\r\n");
    // Two replies in one segment are both read.
    peer.send("250 Pager ID Accepted\r\n421 Shutting down\r\n");
    ASSERT_TRUE(pumpUntil([&] { return peer.peerClosed() && sendState == 1; }));
    EXPECT_EQ(form->repliesHandled(), 3u);
    EXPECT_EQ(statusLabel(), "FAIL");
    EXPECT_EQ(statusBar(), "421 Shutting down");
    EXPECT_NE(logText().find("ERROR code:421, SRVC:Tarvo, CONTACTS:Alice, MSG:Hi"), std::string::npos);
}

TEST_F(Engine, AnEndlessReplyLineIsCutAtItsBound) {
    LoopbackPeer peer;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, peer.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return peer.tryAccept() && sendState == 3; }));
    peer.send("220 " + std::string(100000, 'z'));
    ASSERT_TRUE(pumpUntil([&] { return form->repliesHandled() >= 1; }));
    std::string line;
    ASSERT_TRUE(pumpUntil([&] { return !(line = peer.takeLine()).empty(); }));
    EXPECT_EQ(line, "PAGE 5551234\r\n");            // the cut line was still a greeting
    peer.send("zzzz\r\n250 Pager ID Accepted\r\n"); // the rest of the long line is skipped
    ASSERT_TRUE(pumpUntil([&] { return !(line = peer.takeLine()).empty(); }));
    EXPECT_EQ(line.rfind("MESS SNPPENCRYPTED128", 0), 0u);
    EXPECT_EQ(form->repliesHandled(), 2u);
}

TEST_F(Engine, RepliesBufferedWhileClosingAreDropped) {
    LoopbackPeer peer;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, peer.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return peer.tryAccept() && sendState == 3; }));
    peer.send("220 Ready\r\n");
    std::string line;
    ASSERT_TRUE(pumpUntil([&] { return !(line = peer.takeLine()).empty(); }));
    // 214 closes the connection; the 250 behind it must not send MESS on the closing socket.
    peer.send("214 Help follows\r\n250 Pager ID Accepted\r\n");
    ASSERT_TRUE(pumpUntil([&] { return peer.peerClosed() && sendState == 1; }));
    EXPECT_EQ(peer.received(), "");
    EXPECT_EQ(statusBar(), "214 Help follows");
}

TEST_F(Engine, MultipleSendGoesOnWhenAServiceCannotBeConnected) {
    ScriptedServer second;
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 2}});
    pointService(1, refusedPort()); // no backup host: the service fails at once
    pointService(2, second.port());
    checkNames({"Anna", "Bert", "Cleo"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "1 of 3 MESSAGES SENT OK");
    EXPECT_EQ(second.pages().size(), 1u);
    // One line names both waiting recipients of the failed service.
    EXPECT_NE(logText().find("ERROR connecting to service., SRVC:Tarvo, CONTACTS:Anna,Bert, MSG:Hi\r\n"),
              std::string::npos)
        << logText();
}

TEST_F(Engine, MultipleSendGoesOnAfterATimeOutWithNoSocketOpen) {
    ScriptedServer second;
    startApp({{"Anna", "5551111", 1}, {"Cleo", "5553333", 2}});
    pointService(1, refusedPort());
    // A backup host the port refuses: no connection is ever open for service 1.
    services[1].backupHostField = "256.256.256.256";
    splitIPintoParts();
    pointService(2, second.port());
    checkNames({"Anna", "Cleo"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(second.pages().size(), 1u);
    EXPECT_EQ(resultsLines().back(), "1 of 2 MESSAGES SENT OK");
}

TEST_F(Engine, MultipleSendTimeOutBelowOneSecondCountsAs45) {
    ScriptedServer silent;
    silent.setGreeting("");
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\n[General]\ntimeout=0\n");
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}});
    pointService(1, silent.port());
    checkNames({"Anna", "Bert"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(timeoutLeft, 45);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3; }));
    advance(46 * 1000);
    EXPECT_EQ(statusLabel(), "DONE");
    EXPECT_EQ(resultsLines().back(), "0 of 2 MESSAGES SENT OK");
    EXPECT_NE(
        logText().find("ERROR: Timeout when sending to service., SRVC:Tarvo, CONTACTS:Anna,Bert, MSG:Hi"),
        std::string::npos);
}

TEST_F(Engine, TimeOutDuringAPageNamesThePageInProgress) {
    ScriptedServer server;
    server.setScript([](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
        if (line == "PAGE 5552222") return ScriptedServer::Reply{""}; // no answer
        return std::nullopt;
    });
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}});
    pointService(1, server.port());
    checkNames({"Anna", "Bert", "Cleo"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 6 && currentName == "Bert"; }));
    advance(46 * 1000);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_NE(
        logText().find("ERROR: Timeout when sending to service., SRVC:Tarvo, CONTACTS:Bert,Cleo, MSG:Hi"),
        std::string::npos)
        << logText();
}

TEST_F(Engine, RefusedGreetingOrLoginEndsTheServiceAtOnce) {
    ScriptedServer server;
    server.setScript([](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
        if (line.rfind("LOGI", 0) == 0) return ScriptedServer::Reply{"550 Login refused\r\n"};
        return std::nullopt;
    });
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}});
    pointService(1, server.port(), ",user,pw");
    checkNames({"Anna", "Bert"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "0 of 2 MESSAGES SENT OK");
    EXPECT_NE(logText().find("ERROR code:550, SRVC:Tarvo, CONTACTS:Anna,Bert, MSG:Hi"), std::string::npos);
    EXPECT_EQ(server.pages().size(), 0u);
}

TEST_F(Engine, SuccessStaysSuccessWhenQuitIsNeverAnswered) {
    ScriptedServer server;
    server.setScript([](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
        if (line == "QUIT") return ScriptedServer::Reply{""};
        return std::nullopt;
    });
    startApp({{"Alice", "5551234", 1}});
    pointService(1, server.port());
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 9; }));
    EXPECT_EQ(statusLabel(), "SUCCESS");
    advance(31 * 1000);
    EXPECT_EQ(statusLabel(), "SUCCESS");
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Hi\r\n");
    ASSERT_TRUE(pumpUntil([&] { return server.closedConnections() == 1; }));
}

TEST_F(Engine, FutureDeliveryIsLoggedOnlyWhenTheServerTookHold) {
    for (bool accept : {true, false}) {
        ScriptedServer server;
        server.setScript([accept](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
            if (!accept && line.rfind("HOLD", 0) == 0)
                return ScriptedServer::Reply{"500 Command Not Implemented, Try Again\r\n"};
            return std::nullopt;
        });
        startApp({{"Alice", "5551234", 1}});
        pointService(1, server.port());
        selectSingle("Alice");
        setMessage("Later");
        holdTime = "250101083000";
        form->sendButtonClick(nullptr);
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
        const auto t = server.transcript();
        EXPECT_NE(std::find(t.begin(), t.end(), "C: HOLD 250101083000\\r\\n"), t.end());
        if (accept) {
            EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, Message Sent OK for future delivery, SRVC:Tarvo, "
                                 "CONTACT:Alice, MSG:Later\r\n");
        } else {
            EXPECT_EQ(logText(),
                      "3/7/2024 10:00:00 AM, WARNING: Server did not accept HOLD command (future delivery)., "
                      "SRVC:Tarvo, CONTACTS:Alice, MSG:Later\r\n"
                      "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Later\r\n");
        }
        form.reset();
        results.reset();
        std::filesystem::remove_all("logs");
    }
}

TEST_F(Engine, UnsafePagerIdsAreNotSent) {
    ScriptedServer server;
    startApp({{"Anna", "5551111", 1},
              {"Evil", "555\r\nSEND", 1},
              {"Gap", "555 1234", 1},
              {"Pin", "5554444", 1, "1\n2"},
              {"Zed", "5559999", 1}});
    pointService(1, server.port());
    checkNames({"Anna", "Evil", "Gap", "Pin", "Zed"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    const auto pages = server.pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].pagerId, "5551111");
    EXPECT_EQ(pages[1].pagerId, "5559999");
    for (const auto& l : server.transcript())
        EXPECT_EQ(l.find("C: SEND\\r\\n\\r\\n"), std::string::npos);
    EXPECT_EQ(countOf(logText(), "ERROR: Invalid pager ID or PIN."), 3);
    EXPECT_EQ(resultsLines().back(), "2 of 5 MESSAGES SENT OK");
}

TEST_F(Engine, ARecipientDeletedDuringTheSendIsSkipped) {
    ScriptedServer server;
    std::atomic<bool> deleted{false};
    // Bert disappears from the table while Anna's page is under way (before his turn comes).
    server.setScript([&](const std::string& line, int) -> std::optional<ScriptedServer::Reply> {
        if (line == "PAGE 5551111") {
            deleteContact("Bert");
            deleted = true;
        }
        return std::nullopt;
    });
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}});
    pointService(1, server.port());
    checkNames({"Anna", "Bert", "Cleo"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_TRUE(deleted);
    EXPECT_EQ(server.pages().size(), 2u);
    const auto lines = resultsLines();
    EXPECT_EQ(lines.back(), "2 of 3 MESSAGES SENT OK");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR: Contact not found: Bert"), lines.end());
    EXPECT_NE(logText().find("ERROR: Contact not found., SRVC:Tarvo, CONTACTS:Bert, MSG:Hi"),
              std::string::npos);
}

TEST_F(Engine, ALogThatCannotBeWrittenIsReportedOnceAndTheSendGoesOn) {
    ScriptedServer server;
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}});
    pointService(1, server.port());
    pwtest::writeFile("logs-blocker", "x");
    loggingDir = "logs-blocker/sub/"; // cannot be created: a file stands in its way
    checkNames({"Anna", "Bert"});
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    std::vector<std::string> shown;
    ASSERT_TRUE(pumpUntil([&] {
        if (shown.empty() || shown.back() != statusBar()) shown.push_back(statusBar());
        return statusLabel() == "DONE";
    }));
    EXPECT_EQ(server.pages().size(), 2u);
    EXPECT_EQ(resultsLines().back(), "2 of 2 MESSAGES SENT OK");
    EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                            [](auto& s) { return s.rfind("Error: Unable to write log file: ", 0) == 0; }),
              1);
}

TEST_F(Engine, TheLogFolderIsCreatedWhenNeeded) {
    ScriptedServer server;
    startApp({{"Alice", "5551234", 1}});
    pointService(1, server.port());
    loggingDir = "later"; // no separator at the end, folder missing
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    EXPECT_EQ(pwtest::readFile("later/03_07_24.txt"),
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Hi\r\n");
}

TEST_F(Engine, TheRealTimerCountsASecondEveryThirdTick) {
    startApp({});
    timeoutLeft = 5;
    sendState = 2;
    tickCount = 0;
    advance(3 * kTimerInterval);
    EXPECT_EQ(timeoutLeft, 4);
    advance(kTimerInterval);
    EXPECT_EQ(tickCount, 1);
    timeoutLeft = 0;
    sendState = 1;
}
