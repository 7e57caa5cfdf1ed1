// The sending engine against the scripted SNPP server: blocks and their order, multiple sends,
// banner, backup host, time-out, cancel, and the faults the engine guards against.
#include "tests/app/AppFixture.h"

#include <QPlainTextEdit>
#include <QStatusBar>

#include <algorithm>
#include <atomic>

using namespace snpptest;

namespace {

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

template <class Pred> long countLines(const std::vector<std::string>& lines, Pred pred) {
    return std::count_if(lines.begin(), lines.end(), pred);
}

class Engine : public AppTest {
protected:
    // Single send of text to Alice through the scripted server; waits for the end of the dialogue.
    void singleSend(ScriptedServer& server, const std::string& text, int split, bool reverse) {
        startWithAlice(server.port());
        services[1].splitChars = split;
        services[1].splitFlag = reverse;
        sendTo("Alice", text);
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    }
    // Multiple send of text to every contact, all on service 1 at port (hostExtra as pointService).
    void sendToAll(const std::vector<Contact>& contacts, int port, const std::string& text = "Hi",
                   const std::string& hostExtra = "") {
        startApp(contacts);
        pointService(1, port, hostExtra);
        std::vector<std::string> names;
        for (const auto& c : contacts)
            names.push_back(c.name);
        sendToChecked(names, text);
    }
    // Single send of "Hi" to Alice through the peer; waits until the peer took the connection.
    void connectPeer(LoopbackPeer& peer) {
        startWithAlice(peer.port());
        sendTo("Alice");
        ASSERT_TRUE(pumpUntil([&] { return peer.tryAccept() && sendState == 3; }));
    }
};

} // namespace

TEST_F(Engine, BlocksGoFirstBlockFirstUnlessTheServiceSplitsInReverse) {
    const std::string longest(999, 'm');
    struct Case {
        std::string text;
        int split;
        bool reverse;
        std::vector<std::string> pages;
    } cases[] = {{"ABCDEFG", 3, true, {"G", "DEF", "ABC"}},
                 {"ABCDEFG", 3, false, {"ABC", "DEF", "G"}},
                 {"ABC", 3, true, {"ABC"}},          // length = block length: one block, forward
                 {"ABCD", 3, true, {"D", "ABC"}},    // length + 1 in reverse: the last character alone first
                 {longest, 1000, false, {longest}}}; // the built-in service and the longest memo text
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 8) + (c.reverse ? " reverse" : " forward"));
        ScriptedServer server;
        singleSend(server, c.text, c.split, c.reverse);
        EXPECT_EQ(server.texts(), c.pages);
        // Every block is a page of its own: PAGE, MESS, SEND each time, one QUIT at the end.
        const auto t = server.transcript();
        EXPECT_EQ(countLines(t, [](auto& l) { return l.rfind("C: PAGE 5551234\\r\\n", 0) == 0; }),
                  long(c.pages.size()));
        EXPECT_EQ(countLines(t, [](auto& l) { return l == "C: QUIT\\r\\n"; }), 1);
        // The log holds the message as cut for the service, whole.
        EXPECT_EQ(logText(),
                  "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:" + c.text + "\r\n");
        restartApp();
    }
}

TEST_F(Engine, MultipleSendGoesOnAfterARefusedPage) {
    ScriptedServer server;
    server.answer("PAGE 5552222", "550 Error, Invalid Pager ID\r\n");
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}});
    pointService(1, server.port());
    // The results window opens beside the main window: right of it where the screen has room.
    results->resize(150, 120);
    form->move(10, 20);
    sendToChecked({"Anna", "Bert", "Cleo"}, "Meeting at 3");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    const QRect main = form->frameGeometry();
    EXPECT_EQ(results->frameGeometry().topLeft(), QPoint(main.right() + 9, main.top()));
    // Else left of it.
    results->hide();
    form->move(main.width() / 2, 20);
    form->resultsShow();
    EXPECT_EQ(results->frameGeometry().topLeft(),
              QPoint(form->frameGeometry().left() - 8 - results->frameGeometry().width(),
                     form->frameGeometry().top()));

    EXPECT_EQ(resultsLines(),
              (std::vector<std::string>{"CONNECTING TO SERVICE: Tarvo ...", "Sending to: Anna ...",
                                        "MESSAGE SENT OK", "Sending to: Bert ...", "Sending to: Cleo ...",
                                        "MESSAGE SENT OK", "", "2 of 3 MESSAGES SENT OK"}));
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Anna, MSG:Meeting at 3\r\n"
              "3/7/2024 10:00:00 AM, ERROR code:550, SRVC:Tarvo, CONTACTS:Bert, MSG:Meeting at 3\r\n"
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Cleo, MSG:Meeting at 3\r\n");
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Engine, RecipientAndServiceErrorsStopTheSendBeforeAnyConnection) {
    ScriptedServer server;
    startApp({{"Alice", "5551234", 1}, {"Nowhere", "5550000", 7}});
    pointService(1, server.port());
    const char* const problem = "Error: Problem with contact and/or service";
    struct Case {
        const char* name;
        const char* text;
        int split, max; // of service 1
        const char* error;
    } cases[] = {{"", "Hi", 1000, 1000, "Error: No recipient selected"},
                 {"[ ]", "Hi", 1000, 1000, problem},     // nothing chosen yet
                 {"Nowhere", "Hi", 1000, 1000, problem}, // service 7 is empty
                 {"Alice", "Hi", 0, 1000, problem},      // a service without a block length is not usable
                 {"Alice", "", 1000, 1000, "Error: No message entered"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.error);
        services[1].splitChars = c.split;
        services[1].maxChars = c.max;
        sendTo(c.name, c.text);
        EXPECT_EQ(statusBar(), c.error);
        EXPECT_EQ(sendState, 1);
    }
    pumpFor(20);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(Engine, BannerFromTheGreetingScrollsAcrossThePanel) {
    // No STX at the 5th character: no banner; at most characters 6..45 of the reply, never past its CR.
    const std::pair<std::string, std::string> cases[] = {
        {"220 Hello there\r\n", ""},
        {"220 \x02" + std::string(60, 'x') + "\r\n", std::string(40, 'x')},
        {"220 \x02Hello there\r\n", "Hello there"}};
    for (const auto& [greeting, banner] : cases) {
        restartApp();
        ScriptedServer server;
        server.setGreeting(greeting);
        singleSend(server, "Hi", 1000, false);
        EXPECT_EQ(labelText(form->messageLabel), banner);
    }
    const int x0 = form->messageLabel->x();
    form->Timer1Timer(nullptr);
    EXPECT_EQ(form->messageLabel->x(), x0 + 4);
    for (int k = 0; k < 400 && form->messageLabel->x() != 2; ++k)
        form->Timer1Timer(nullptr);
    EXPECT_EQ(form->messageLabel->x(), 2);
}

TEST_F(Engine, ConnectFailureRetriesTheBackupHostOnItsOwnPort) {
    ScriptedServer backup;
    startWithAlice(guard.refusedPort());
    // Without a backup host the send fails and is logged.
    services[1].backupHostField.clear();
    splitIPintoParts();
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "FAIL" && sendState == 1; }));
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, ERROR connecting to service., SRVC:Tarvo, CONTACTS:Alice, MSG:Hi\r\n");

    services[1].backupHostField = "127.0.0.1";
    splitIPintoParts();
    backupPort = static_cast<uint16_t>(backup.port());
    std::vector<uint32_t> pauses;
    int stateAtPause = 0;
    form->sleepFn = [&](uint32_t ms) {
        pauses.push_back(ms);
        stateAtPause = sendState;
    };
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return !pauses.empty(); }));
    EXPECT_EQ(pauses, std::vector<uint32_t>{150});
    EXPECT_EQ(stateAtPause, 2);
    EXPECT_EQ(timeoutLeft, 30);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    EXPECT_EQ(backup.texts(), std::vector<std::string>{"Hi"});
}

TEST_F(Engine, SingleSendTimesOutAfterThirtySecondsOfTheClock) {
    ScriptedServer silent(""); // accepts, never answers
    startWithAlice(silent.port());
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3; }));
    advance(87 * kTimerInterval); // at least 29 seconds counted
    EXPECT_EQ(sendState, 3);
    EXPECT_EQ(logText(), "");
    advance(3 * kTimerInterval);
    EXPECT_EQ(statusLabel(), "FAIL");
    EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, ERROR: Timeout when sending to service., SRVC:Tarvo, "
                         "CONTACTS:Alice, MSG:Hi\r\n");
    ASSERT_TRUE(pumpUntil([&] { return silent.closedConnections() == 1; }));
}

TEST_F(Engine, CancelEndsTheDialogue) {
    ScriptedServer silent("");
    startWithAlice(silent.port());
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3; }));
    form->cancelSendButton->click();
    EXPECT_EQ(statusLabel(), "CANCEL");
    EXPECT_EQ(timeoutLeft, 0);
    ASSERT_TRUE(pumpUntil([&] { return silent.closedConnections() == 1; }));
    // A second Send works again.
    silent.setGreeting("220 ok\r\n");
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS"; }));
}

TEST_F(Engine, CancelInAMultipleSendEndsOnlyTheCurrentService) {
    ScriptedServer silent(""), second;
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 2}});
    pointService(1, silent.port());
    pointService(2, second.port());
    sendToChecked({"Anna", "Bert"});
    ASSERT_TRUE(pumpUntil([&] { return sendState == 3 && currentService == 1; }));
    // A Send during a send is refused, and says so.
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: A send is in progress");
    form->cancelSendButtonClick(form->cancelSendButton);
    EXPECT_EQ(statusLabel(), "CANCEL");
    // Between two services the state is idle until the next one is connected: still refused.
    ASSERT_EQ(sendState, 1);
    form->setStatusBarText("");
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: A send is in progress");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(second.pages().size(), 1u);
    EXPECT_EQ(resultsLines(), (std::vector<std::string>{
                                  "CONNECTING TO SERVICE: Tarvo ...", "CONNECTING TO SERVICE: Service2 ...",
                                  "Sending to: Bert ...", "MESSAGE SENT OK", "", "1 of 2 MESSAGES SENT OK"}));
    // The recipient the cancel left unpaged is named in the log.
    EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, ERROR: Send cancelled., SRVC:Tarvo, CONTACTS:Anna, MSG:Hi\r\n"
                         "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Service2, CONTACT:Bert, MSG:Hi\r\n");
}

// ---- Faults the engine guards against ------------------------------------------------------------

TEST_F(Engine, RepliesAreFramedByLinesAndAnEndlessLineIsCut) {
    LoopbackPeer peer;
    connectPeer(peer);
    // A reply split over two segments is one reply.
    peer.send("22");
    pumpFor(20);
    EXPECT_EQ(form->repliesHandled(), 0u);
    // An endless line is cut at its bound and still read as the greeting.
    peer.send("0 " + std::string(100000, 'z'));
    EXPECT_EQ(peer.waitLine(), "PAGE 5551234\r\n");
    // The rest of the long line is skipped; two replies in one segment are both read.
    peer.send("zzzz\r\n250 Pager ID Accepted\r\n421 Shutting down\r\n");
    ASSERT_TRUE(pumpUntil([&] { return peer.peerClosed() && sendState == 1; }));
    EXPECT_EQ(peer.waitLine().rfind("MESS SNPPENCRYPTED128", 0), 0u);
    EXPECT_EQ(form->repliesHandled(), 3u);
    EXPECT_NE(logText().find("ERROR code:421, SRVC:Tarvo, CONTACTS:Alice, MSG:Hi"), std::string::npos);
}

TEST_F(Engine, AnyLineEndEndsAReplyAndRepliesWithoutACommandAreDropped) {
    {
        // A lone CR and a lone LF end a reply as CR LF does: no wait for the time-out.
        ScriptedServer server("220 Ready\r");
        server.setScript([](const std::string& line) -> std::optional<std::string> {
            if (line.rfind("PAGE", 0) == 0) return "250 Pager ID Accepted\n";
            if (line.rfind("MESS", 0) == 0) return "250 Message OK\r";
            if (line == "SEND") return "250 Message Sent Successfully\r";
            return std::nullopt;
        });
        startWithAlice(server.port());
        sendTo("Alice");
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
        ASSERT_TRUE(pumpUntil([&] { return server.closedConnections() == 1; }));
        restartApp();
    }
    // Extra lines behind a refusal answer no command: they never count a page as sent.
    ScriptedServer server;
    server.setScript([](const std::string& line) -> std::optional<std::string> {
        if (line.rfind("MESS", 0) == 0) return "250 Message OK\r\n";
        if (line == "SEND") return "554 Failed\r\n250 Extra\r\n"; // one segment
        return std::nullopt;
    });
    sendToAll({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}}, server.port());
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "0 of 3 MESSAGES SENT OK");
    EXPECT_EQ(server.pagerIds(), std::vector<std::string>{});
    EXPECT_EQ(countOf(logText(), "ERROR code:554"), 3);
    // Logged where they came while a command was sent; those behind the last one go with the close.
    EXPECT_EQ(countOf(logText(), "WARNING: Reply without a command ignored: 250 Extra, SRVC:Tarvo"), 2)
        << logText();
    // Each is named with the recipient whose dialogue it came in, not with the next one.
    EXPECT_EQ(countOf(logText(), "ignored: 250 Extra, SRVC:Tarvo, CONTACTS:Anna, MSG:"), 1) << logText();
    EXPECT_EQ(countOf(logText(), "ignored: 250 Extra, SRVC:Tarvo, CONTACTS:Bert, MSG:"), 1) << logText();
}

TEST_F(Engine, ALostConnectionFailsItsPagesAtOnce) {
    {
        // The server hangs up after SEND, before its reply.
        ScriptedServer server;
        server.answer("SEND", ScriptedServer::kHangUp);
        startWithAlice(server.port());
        sendTo("Alice");
        ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "FAIL" && sendState == 1; }));
        EXPECT_EQ(statusBar(), "Error: Connection to service lost");
        EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, ERROR: Connection to service lost., SRVC:Tarvo, "
                             "CONTACTS:Alice, MSG:Hi\r\n");
        restartApp();
    }
    // In a multiple send the page in progress and those waiting are named; the next service starts.
    ScriptedServer first, second;
    first.answer("PAGE 5552222", ScriptedServer::kHangUp);
    startApp(
        {{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}, {"Dora", "5554444", 2}});
    pointService(1, first.port());
    pointService(2, second.port());
    sendToChecked({"Anna", "Bert", "Cleo", "Dora"});
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "2 of 4 MESSAGES SENT OK");
    EXPECT_EQ(second.pagerIds(), std::vector<std::string>{"5554444"});
    EXPECT_EQ(
        logText(),
        "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Anna, MSG:Hi\r\n"
        "3/7/2024 10:00:00 AM, ERROR: Connection to service lost., SRVC:Tarvo, CONTACTS:Bert,Cleo, MSG:Hi\r\n"
        "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Service2, CONTACT:Dora, MSG:Hi\r\n");
}

TEST_F(Engine, RepliesBufferedWhileClosingAreDropped) {
    LoopbackPeer peer;
    connectPeer(peer);
    peer.send("220 Ready\r\n");
    ASSERT_FALSE(peer.waitLine().empty());
    // 214 closes the connection; the 250 behind it must not send MESS on the closing socket.
    peer.send("214 Help follows\r\n250 Pager ID Accepted\r\n");
    ASSERT_TRUE(pumpUntil([&] { return peer.peerClosed() && sendState == 1; }));
    EXPECT_EQ(peer.received(), "");
    EXPECT_EQ(statusBar(), "214 Help follows");
}

TEST_F(Engine, MultipleSendGoesOnWhenAServiceCannotBeConnected) {
    ScriptedServer third;
    startApp(
        {{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 2}, {"Dora", "5554444", 3}});
    pointService(1, guard.refusedPort()); // its backup host refuses too
    pointService(2, guard.refusedPort());
    // A backup host that cannot be reached: no connection is ever open for service 2.
    services[2].backupHostField = "256.256.256.256";
    splitIPintoParts();
    pointService(3, third.port());
    sendToChecked({"Anna", "Bert", "Cleo", "Dora"});
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "1 of 4 MESSAGES SENT OK");
    EXPECT_EQ(third.pagerIds(), std::vector<std::string>{"5554444"});
    // One line names both waiting recipients of the failed service.
    EXPECT_NE(logText().find("ERROR connecting to service., SRVC:Tarvo, CONTACTS:Anna,Bert, MSG:Hi\r\n"),
              std::string::npos)
        << logText();
}

TEST_F(Engine, TimeOutDuringAPageNamesThePageInProgress) {
    ScriptedServer server;
    server.answer("PAGE 5552222", ""); // no answer
    // A time-out below one second counts as 45.
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\n[General]\ntimeout=0\n");
    sendToAll({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}, {"Cleo", "5553333", 1}}, server.port());
    EXPECT_EQ(timeoutLeft, 45);
    ASSERT_TRUE(pumpUntil([&] { return sendState == 6 && currentName == "Bert"; }));
    advance(46 * 1000);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "1 of 3 MESSAGES SENT OK");
    EXPECT_NE(
        logText().find("ERROR: Timeout when sending to service., SRVC:Tarvo, CONTACTS:Bert,Cleo, MSG:Hi"),
        std::string::npos)
        << logText();
}

TEST_F(Engine, RefusedLoginEndsTheServiceAtOnce) {
    ScriptedServer server;
    server.answer("LOGI", "550 Login refused\r\n");
    sendToAll({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}}, server.port(), "Hi", ",user,pw");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_EQ(resultsLines().back(), "0 of 2 MESSAGES SENT OK");
    EXPECT_NE(logText().find("ERROR code:550, SRVC:Tarvo, CONTACTS:Anna,Bert, MSG:Hi"), std::string::npos);
    EXPECT_EQ(server.pages().size(), 0u);
}

TEST_F(Engine, SuccessStaysSuccessWhenQuitIsNeverAnswered) {
    ScriptedServer server;
    server.answer("QUIT", "");
    startWithAlice(server.port());
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return sendState == 9; }));
    // Send again at once: the finished connection is dropped and the new page goes out.
    sendTo("Alice", "Again");
    ASSERT_TRUE(pumpUntil([&] { return server.texts().size() == 2 && sendState == 9; }));
    EXPECT_EQ(server.texts(), (std::vector<std::string>{"Hi", "Again"}));
    EXPECT_EQ(server.connections(), 2);
    advance(31 * 1000);
    EXPECT_EQ(statusLabel(), "SUCCESS");
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(logText(), "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Hi\r\n"
                         "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Again\r\n");
    ASSERT_TRUE(pumpUntil([&] { return server.closedConnections() == 2; }));
}

TEST_F(Engine, FutureDeliveryIsLoggedOnlyWhenTheServerTookHold) {
    for (bool accept : {true, false}) {
        ScriptedServer server;
        if (!accept) server.answer("HOLD", "500 Command Not Implemented, Try Again\r\n");
        startWithAlice(server.port());
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
            EXPECT_EQ(statusBar(),
                      "Warning: Server did not accept HOLD command: 500 Command Not Implemented, "
                      "Try Again");
            EXPECT_EQ(logText(),
                      "3/7/2024 10:00:00 AM, WARNING: Server did not accept HOLD command (future delivery)., "
                      "SRVC:Tarvo, CONTACTS:Alice, MSG:Later\r\n"
                      "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Later\r\n");
        }
        restartApp();
    }
}

TEST_F(Engine, UnsafePagerIdsAndDeletedRecipientsAreNotSent) {
    ScriptedServer server;
    std::atomic<bool> deleted{false};
    // Bert disappears from the table while Anna's page is under way (before his turn comes).
    server.setScript([&](const std::string& line) -> std::optional<std::string> {
        if (line == "PAGE 5551111") {
            deleteContact("Bert");
            deleted = true;
        }
        return std::nullopt;
    });
    sendToAll({{"Anna", "5551111", 1},
               {"Bert", "5552222", 1},
               {"Evil", "555\r\nSEND", 1},
               {"Gap", "555 1234", 1},
               {"Pin", "5554444", 1, "1\n2"},
               {"Zed", "5559999", 1}},
              server.port());
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    EXPECT_TRUE(deleted);
    EXPECT_EQ(server.pagerIds(), (std::vector<std::string>{"5551111", "5559999"}));
    EXPECT_EQ(countOf(logText(), "ERROR: Invalid pager ID or PIN."), 3);
    EXPECT_NE(logText().find("ERROR: Contact not found., SRVC:Tarvo, CONTACTS:Bert, MSG:Hi"),
              std::string::npos);
    EXPECT_EQ(resultsLines().back(), "2 of 6 MESSAGES SENT OK");
}

TEST_F(Engine, ALogThatCannotBeWrittenIsReportedOnceAndTheSendGoesOn) {
    ScriptedServer server;
    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}});
    pointService(1, server.port());
    pwtest::writeFile("logs-blocker", "x");
    loggingDir = "logs-blocker/sub/"; // cannot be created: a file stands in its way
    sendToChecked({"Anna", "Bert"});
    std::vector<std::string> shown;
    ASSERT_TRUE(pumpUntil([&] {
        if (shown.empty() || shown.back() != statusBar()) shown.push_back(statusBar());
        return statusLabel() == "DONE";
    }));
    EXPECT_EQ(resultsLines().back(), "2 of 2 MESSAGES SENT OK");
    EXPECT_EQ(countLines(shown, [](auto& s) { return s.rfind("Error: Unable to write log file: ", 0) == 0; }),
              1);
}

// A character the page's code page has no byte for is named, and nothing is sent; the notice that a
// send is in progress goes when the send ends.
TEST_F(AppTest, AMessageThePageCannotCarryIsRefusedAndTheBusyNoticeEndsWithTheSend) {
    startApp({{"Alice", "5551234", 1}});
    selectSingle("Alice");
    form->messageMemo->setPlainText(QString::fromUtf8("Caf\xC3\xA9 at 8 \xF0\x9F\x98\x80 ok"));
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(form->StatusBar1->currentMessage(),
              QString::fromUtf8(
                  "Error: The message contains \"\xF0\x9F\x98\x80\" (U+1F600), which a page cannot carry"));
    EXPECT_EQ(sendState, 1);
    EXPECT_EQ(statusLabel(), "NONE");

    // What Windows-1252 holds goes on.
    form->messageMemo->setPlainText(QString::fromUtf8("Caf\xC3\xA9 \xE2\x82\xAC 8"));
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(sendState, 2);
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(statusBar(), "Error: A send is in progress");
    form->cancelSendButtonClick(form->cancelSendButton);
    EXPECT_EQ(statusLabel(), "CANCEL");
    EXPECT_EQ(statusBar(), "");
    pumpFor(50);
}
