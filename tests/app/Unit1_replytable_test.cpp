// The SNPP dialogue's reply table: every state met with "220", "250", a 5xx code, "421", "221",
// "214" and a reply shorter than a code, over a real loopback connection.
#include "tests/app/AppFixture.h"

using namespace snpptest;

namespace {

enum class Outcome {
    Ignored,     // nothing sent, state kept, connection open
    Closed,      // connection closed without a text (the page is done)
    StatusClose, // status bar := reply, connection closed (the page is done)
    Next,        // the next command is sent and the state moves on
    PageFail,    // single send: "FAIL, Send process terminated", "FAIL", closed, status bar := reply
    EndService,  // the page fails at once: "FAIL", closed, status bar := reply (but for a quiet
                 // "221"), one log line
};

struct Cell {
    int state;
    const char* reply;
    Outcome outcome;
    const char* nextLine = nullptr; // Next: the start of the line sent
    int nextState = 0;
};

std::string name(const char* reply) {
    std::string r = reply;
    return r.size() >= 3 ? r.substr(0, 3) : "short";
}

// What reply r does in state s.
Cell cellFor(int s, const char* r) {
    const std::string code = name(r);
    const auto next = [&](const char* line, int to) { return Cell{s, r, Outcome::Next, line, to}; };
    // A reply that ends the connection before the page is done fails it; after it, it just closes.
    if (code == "214" || code == "short") return {s, r, s == 9 ? Outcome::StatusClose : Outcome::EndService};
    if (code == "221" || code == "421") return {s, r, s == 9 ? Outcome::Closed : Outcome::EndService};
    if (code == "550" && (s == 3 || s == 4)) return {s, r, Outcome::EndService};
    if (code == "550" && s >= 6 && s <= 8) return {s, r, Outcome::PageFail};
    if ((code == "220" && s == 3) || (code == "250" && (s == 4 || s == 5)) || (code == "550" && s == 5))
        return next("PAGE 5551234", 6);
    const char* const after[] = {"MESS SNPPENCRYPTED128cooh", "SEND", "QUIT"};
    if (code == "250" && s >= 6 && s <= 8) return next(after[s - 6], s + 1);
    return {s, r, Outcome::Ignored};
}

std::vector<Cell> cells() {
    std::vector<Cell> c;
    for (int state = 1; state <= 9; ++state)
        for (const char* r :
             {"220 Ready", "250 OK", "550 Refused", "421 Closing", "221 Bye", "214 Help", "2"})
            c.push_back(cellFor(state, r));
    return c;
}

class ReplyTable : public AppTest, public ::testing::WithParamInterface<Cell> {};

// Plays the dialogue up to the wanted state: a login for state 4, a delivery time for state 5.
void reach(AppTest& t, TForm1& form, LoopbackPeer& peer, int state) {
    auto expectLine = [&](const std::string& start) {
        const std::string line = peer.waitLine();
        ASSERT_EQ(line.rfind(start, 0), 0u) << "waiting for " << start << ", got " << line;
        ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
    };
    ASSERT_TRUE(pumpUntil([&] { return peer.tryAccept() && sendState == 3; }));
    if (state <= 3) {
        if (state < 3) sendState = state;
        return;
    }
    const uint64_t before = form.repliesHandled();
    peer.send("220 SNPP Gateway Ready\r\n");
    ASSERT_TRUE(pumpUntil([&] { return form.repliesHandled() > before; }));
    if (state == 4) return expectLine("LOGI user secret");
    if (state == 5) return expectLine("HOLD 240101120000");
    expectLine("PAGE 5551234");
    const char* steps[][2] = {{"250 Pager ID Accepted\r\n", "MESS SNPPENCRYPTED128cooh"},
                              {"250 Message OK\r\n", "SEND"},
                              {"250 Message Sent Successfully\r\n", "QUIT"}};
    for (int s = 6; s < state; ++s) {
        peer.send(steps[s - 6][0]);
        expectLine(steps[s - 6][1]);
    }
    ASSERT_EQ(sendState, state);
}

TEST_P(ReplyTable, Cell) {
    const Cell& cell = GetParam();
    LoopbackPeer peer;
    startWithAlice(peer.port());
    if (cell.state == 4) pointService(1, peer.port(), ",user, secret");
    if (cell.state == 5) holdTime = "240101120000";
    selectSingle("Alice");
    setMessage("Hi");
    form->sendButtonClick(nullptr); // keeps the delivery time
    ASSERT_NO_FATAL_FAILURE(reach(*this, *form, peer, cell.state));
    const std::string labelBefore = statusLabel();
    const std::string logBefore = logText();

    const uint64_t before = form->repliesHandled();
    peer.send(std::string(cell.reply) + "\r\n");
    ASSERT_TRUE(pumpUntil([&] { return form->repliesHandled() > before; }));

    switch (cell.outcome) {
    case Outcome::Ignored:
        pumpFor(30);
        EXPECT_EQ(peer.received(), "");
        EXPECT_FALSE(peer.peerClosed());
        EXPECT_EQ(sendState, cell.state);
        EXPECT_EQ(logText(), logBefore);
        break;
    case Outcome::Next:
        EXPECT_EQ(peer.waitLine(), std::string(cell.nextLine) + "\r\n");
        EXPECT_EQ(sendState, cell.nextState);
        EXPECT_FALSE(peer.peerClosed());
        if (cell.state == 5 && name(cell.reply) == "550") {
            EXPECT_NE(
                logText().find("WARNING: Server did not accept HOLD command (future delivery)., SRVC:Tarvo"),
                std::string::npos);
        }
        if (cell.nextState == 9) {
            EXPECT_EQ(statusLabel(), "SUCCESS");
            EXPECT_NE(logText().find("Message Sent OK, SRVC:Tarvo, CONTACT:Alice, MSG:Hi\r\n"),
                      std::string::npos);
        }
        break;
    case Outcome::Closed:
    case Outcome::StatusClose:
    case Outcome::PageFail:
    case Outcome::EndService:
        ASSERT_TRUE(pumpUntil([&] { return peer.peerClosed() && sendState == 1; }));
        EXPECT_EQ(peer.received(), "") << "nothing is sent before closing";
        EXPECT_EQ(timeoutLeft, 0);
        if (cell.outcome == Outcome::Closed || cell.outcome == Outcome::StatusClose) {
            EXPECT_EQ(statusLabel(), labelBefore);
            EXPECT_EQ(logText(), logBefore);
        }
        if (cell.outcome != Outcome::Closed && (name(cell.reply) != "221" || cell.state == 4)) {
            EXPECT_EQ(statusBar(), cell.reply);
        }
        if (cell.outcome == Outcome::PageFail) {
            EXPECT_EQ(statusLabel(), "FAIL");
            ASSERT_FALSE(resultsLines().empty());
            EXPECT_EQ(resultsLines().back(), "FAIL, Send process terminated");
            EXPECT_EQ(logText().substr(logBefore.size()),
                      "3/7/2024 10:00:00 AM, ERROR code:550, SRVC:Tarvo, CONTACTS:Alice, MSG:Hi\r\n");
        }
        if (cell.outcome == Outcome::EndService) {
            EXPECT_EQ(statusLabel(), "FAIL");
            EXPECT_EQ(logText().substr(logBefore.size()),
                      "3/7/2024 10:00:00 AM, ERROR code:" + std::string(cell.reply).substr(0, 3) +
                          ", SRVC:Tarvo, CONTACTS:Alice, MSG:Hi\r\n");
        }
        break;
    }
}

// Shown for a failing case instead of the cell's bytes.
void PrintTo(const Cell& c, std::ostream* os) {
    *os << "state " << c.state << ", reply \"" << c.reply << "\"";
}

std::string cellName(const ::testing::TestParamInfo<Cell>& info) {
    return "State" + std::to_string(info.param.state) + "_" + name(info.param.reply);
}

} // namespace

INSTANTIATE_TEST_SUITE_P(EveryStateAndReply, ReplyTable, ::testing::ValuesIn(cells()), cellName);
