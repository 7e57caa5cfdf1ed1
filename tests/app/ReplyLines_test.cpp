// Tests of the reply framing: CR, LF and CR LF end a line, segments never change the lines, an
// over-long line is cut and its rest skipped, and random streams agree with a byte-at-a-time reader.
#include "app/ReplyLines.h"
#include "tests/fuzz/ReplyLinesFuzz.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::vector<std::string> drain(ReplyLines& r) {
    std::vector<std::string> out;
    std::string line;
    while (r.next(line))
        out.push_back(line);
    return out;
}

} // namespace

TEST(ReplyLines, SegmentsAreJoinedAndSplitIntoLines) {
    ReplyLines r(2048);
    r.append("250 Pager ID");
    EXPECT_TRUE(drain(r).empty()); // no line end yet
    r.append(" Accepted\r\n250 Message OK\n220 ");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"250 Pager ID Accepted\r", "250 Message OK\n"}));
    // A lone CR ends the line at once; the LF of a CR LF cut between two segments is not a line.
    r.append("Ready\r");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"220 Ready\r"}));
    r.append("\n250 OK\r\r\n\n");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"250 OK\r", "\r", "\n"}));
    r.append("421 half\r");
    r.clear(); // a new connection starts clean
    r.append("\n250 OK\r\n");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"\n", "250 OK\r"}));
}

TEST(ReplyLines, AnOverLongLineIsCutAndItsRestSkipped) {
    ReplyLines r(8);
    r.append("250 abcdefghij");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"250 abcd"}));
    r.append("klm\r\n550 No\r\n");
    EXPECT_EQ(drain(r), (std::vector<std::string>{"550 No\r"}));
    r.append("1234567\n"); // exactly the bound, with its end: whole
    EXPECT_EQ(drain(r), (std::vector<std::string>{"1234567\n"}));
}

TEST(ReplyLines, RandomStreamsAgreeWithAByteAtATimeReader) {
    std::mt19937 rng(11);
    for (int k = 0; k < 3000; ++k) {
        std::string in(2 + rng() % 300, '\0');
        for (char& c : in)
            c = "25 0\r\nA\n"[rng() % 8];
        in[0] = static_cast<char>(rng());
        in[1] = static_cast<char>(rng());
        pwfuzz::RunReplyLines(reinterpret_cast<const uint8_t*>(in.data()), in.size()); // aborts on a mismatch
    }
    EXPECT_EQ(pwfuzz::ReferenceReplyLines("a\r\nbcdef\rg\n", 3),
              (std::vector<std::string>{"a\r", "bcd", "g\n"}));
}
