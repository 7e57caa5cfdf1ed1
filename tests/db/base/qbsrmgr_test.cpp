// Tests of the string tables: every id resolves, gaps, the buffer form, and tables that are missing
// or malformed.
#include "db/base/qbllcomp.h"
#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "platform/Resources.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// Every entry of the named table resolves to a text that is not empty.
void expectEveryIdResolves(TqbStringResource& r) {
    auto res = plat::FindResource(r.ResourceName());
    ASSERT_TRUE(res);
    plat::StringTable t(res->data, res->size);
    ASSERT_GT(t.Count(), 0u) << r.ResourceName();
    for (uint32_t i = 0; i < t.Count(); ++i)
        EXPECT_FALSE(r.GetText(int32_t(t.IdAt(i))).empty()) << r.ResourceName() << " " << t.IdAt(i);
}

std::string readerError(const std::function<void()>& f) {
    return dbtest::raised<EqbStringResourceError>(f).message;
}

// Registers a hand-made table under a name (the bytes must outlive the test).
void registerBytes(const char* name, const std::vector<unsigned char>& bytes) {
    static std::vector<std::vector<unsigned char>> keep;
    keep.push_back(bytes);
    plat::RegisterResource(name, keep.back().data(), keep.back().size());
}

void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

TEST(StringTables, EveryIdResolvesAndSamplesReadExactly) {
    TqbStringResource server("QB_SERVER_STRINGS");
    for (TqbStringResource* r :
         {&SrMgrStrings(), &ServerCmpStrings(), &GeneralStrings(), &server, &CompatErrorStrings()})
        expectEveryIdResolves(*r);
    EXPECT_EQ(GeneralStrings().GetText(434), "\\Software\\Harrowgate\\Quillbase\\"); // escapes
    EXPECT_EQ(server.GetText(11), ""); // a gap between 10 and 32
    server.SetRaiseIfMissing(true);
    EXPECT_EQ(readerError([&] { server.GetText(11); }), "String not found: 11");
    char buf[8] = "xxxxxxx";
    EXPECT_STREQ(server.GetTextBuf(11, buf, sizeof buf), ""); // the buffer form never raises
}

TEST(StringTables, BufferFormCutsBetweenCharacters) {
    TqbStringResource& r = SrMgrStrings();
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(r.GetTextBuf(2, buf, 0), buf);
    EXPECT_EQ(buf[0], 'x'); // size 0: nothing written
    EXPECT_STREQ(r.GetTextBuf(2, buf, 10), "Cannot lo");
    EXPECT_EQ(buf[10], 'x');

    // A character outside the basic plane is never cut in half.
    registerBytes("PW_TEST_WIDE", plat::BuildStringTable({{1, u"ab\U0001F600c"}, {2, u"\u00E9t\u00E9"}}));
    TqbStringResource wide("PW_TEST_WIDE");
    EXPECT_STREQ(wide.GetTextBuf(1, buf, 4), "ab?"); // the pair is one character
    EXPECT_EQ(wide.GetText(2), "\xE9t\xE9");         // Windows-1252
}

TEST(StringTables, MissingAndMalformedTablesAreRefused) {
    EXPECT_EQ(readerError([] { TqbStringResource r("PW_NO_SUCH_TABLE"); }),
              "String resource not found: PW_NO_SUCH_TABLE");

    auto good = plat::BuildStringTable({{1, u"one"}, {5, u"five"}, {9, u"nine"}});
    auto badSig = good;
    badSig[3] = '1';
    auto badCount = good;
    put32(badCount, 4, 0x10000000);
    auto badOffset = good;
    put32(badOffset, 8 + 12 + 4, uint32_t(good.size() - 2)); // second text runs off the end
    auto badLength = good;
    put32(badLength, 8 + 8, 0xFFFFFFFF);
    auto unsorted = good;
    put32(unsorted, 8 + 12, 0); // ids 1, 0, 9
    const std::pair<const char*, std::vector<unsigned char>> bad[] = {
        {"PW_BAD_SIG", badSig},       {"PW_BAD_COUNT", badCount}, {"PW_BAD_OFFSET", badOffset},
        {"PW_BAD_LENGTH", badLength}, {"PW_UNSORTED", unsorted},  {"PW_TINY", {'S', 'T', 'R'}}};
    for (const auto& [n, bytes] : bad) {
        registerBytes(n, bytes);
        EXPECT_EQ(readerError([name = n] { TqbStringResource r(name); }), "Invalid HGString resource") << n;
    }

    registerBytes("PW_GOOD", good);
    TqbStringResource r("pw_good"); // names match without regard to case
    EXPECT_EQ(r.GetText(9), "nine");
    r.ChangeResource("");
    EXPECT_EQ(r.GetText(5), "");

    registerBytes("PW_EMPTY", plat::BuildStringTable({}));
    TqbStringResource empty("PW_EMPTY");
    EXPECT_EQ(empty.GetText(0), "");
}

TEST(StringTables, SharedReaderServesManyThreads) {
    const std::string texts[2] = {"Timed out waiting for reply", "Invalid name or path"};
    const int32_t ids[2] = {288, 417};
    std::vector<std::thread> ts;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i)
                if (GeneralStrings().GetText(ids[(i + t) % 2]) != texts[(i + t) % 2]) ++wrong;
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
