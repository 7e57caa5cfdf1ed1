// Tests of the base routines: timers, comparisons, 64-bit values, length-prefixed strings,
// character sets, paths and directory search, bits, validity checks and pooled memory.
#include "db/base/qbllbase.h"
#include "db/base/qbllexcp.h"
#include "platform/Sync.h"
#include "tests/db/DbTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>

namespace {

int errorCodeOf(const std::function<void()>& f) {
    return dbtest::raised<EqbException>(f).code;
}

struct TickOffsetReset {
    ~TickOffsetReset() { plat::SetTickCountOffsetForTesting(0); }
};

// Moves the tick count to the given value (from now on it runs on with real time).
void setTick(uint32_t value) {
    plat::SetTickCountOffsetForTesting(0);
    plat::SetTickCountOffsetForTesting(value - plat::GetTickCount());
}

} // namespace

TEST(BaseTimers, ClampNeverExpiresAndWrap) {
    TickOffsetReset reset;
    TimerRecord t;
    TimerStart(t, 0); // never expires
    EXPECT_FALSE(TimerExpired(t));

    setTick(1000);
    TimerStart(t, 5000000); // clamped to one hour
    EXPECT_EQ(t.Expiry - t.Start, 3600000u);
    setTick(t.Start + 3600000 + 10);
    EXPECT_TRUE(TimerExpired(t));

    // Started 100 ms before the wrap with 1000 ms: expires 900 ms after the wrap.
    setTick(0xFFFFFFFFu - 99);
    TimerStart(t, 1000);
    setTick(700); // after the wrap, before the expiry
    EXPECT_FALSE(TimerExpired(t));
    setTick(t.Expiry + 5);
    EXPECT_TRUE(TimerExpired(t));
    setTick(t.Start - 10); // before the start is outside the window too
    EXPECT_TRUE(TimerExpired(t));
}

TEST(BaseCompare, IntegersBuffersAndShortStrings) {
    EXPECT_EQ(CompareShortInt(int8_t(-56), 100), -1); // 200 as signed
    EXPECT_EQ(CompareDWord(0xFFFFFFFFu, 1), 1);
    EXPECT_EQ(CompareBuffers("\x01\xFF", "\x01\x02", 2), 1); // bytes unsigned

    EXPECT_EQ(CompareShStr("abc", "abcd", 3), 0);
    EXPECT_EQ(CompareShStrNoCase("\xC9", "\xE9", 255), -1); // only a-z fold
    EXPECT_EQ(PCharCompareNoCase("Smith", "smithers"), -1);
}

TEST(BaseU64, ArithmeticOnTwoWords) {
    U64 v = U64::From((uint64_t(1) << 32) + 5);
    EXPECT_EQ(U64DivDWord(v, 7).Value(), 4294967301ull / 7);
    EXPECT_EQ(U64AddDWord(U64{0xFFFFFFFFu, 0}, 1), (U64{0, 1})); // carry
    EXPECT_EQ(U64Compare(U64{0, 1}, U64{0xFFFFFFFFu, 0}), 1);    // high words first
    EXPECT_TRUE(U64IsZero(U64ShiftRight(U64{1, 0}, 64)));
    EXPECT_THROW(U64ModDWord(v, 0), std::domain_error);
}

TEST(BaseShStr, BoundsAreErrorsNotTruncation) {
    std::string s200(200, 'a'), s56(56, 'b');
    EXPECT_EQ(ShStrConcat(s200, std::string(55, 'b')).size(), 255u);
    EXPECT_EQ(errorCodeOf([&] { ShStrConcat(s200, s56); }), 338);
    EXPECT_EQ(PCharToShStr(std::string(300, 'q').c_str()).size(), 255u);
    EXPECT_EQ(PCharToShStr(nullptr), "");

    char buf[4];
    EXPECT_STREQ(ShStrToPChar(buf, sizeof buf, "abc"), "abc");
    EXPECT_EQ(errorCodeOf([&] { ShStrToPChar(buf, sizeof buf, "abcd"); }), 338);

    uint8_t* e1 = ShStrNew("");
    uint8_t* e2 = ShStrNew("");
    EXPECT_EQ(e1, e2); // one shared empty constant
    ShStrDispose(e1);
    EXPECT_EQ(ShStrView(e2), "");
}

TEST(BaseCharsets, ConversionsCheckTheirDestination) {
    char16_t w[4];
    EXPECT_EQ(ShStrToWideChars("\200ab", w, 4), 3u);
    EXPECT_EQ(w[0], u'\u20AC'); // the euro sign of Windows-1252
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(errorCodeOf([&] { ShStrToWideChars("abcd", w, 4); }), 338);

    char b[3];
    EXPECT_EQ(errorCodeOf([&] { WideCharsToPChar(u"abc", 3, b, sizeof b); }), 338);

    // The terminator goes at unit bytes / 2, which the destination must hold as well.
    char16_t dest[3] = {u'x', u'x', u'x'};
    EXPECT_EQ(errorCodeOf([&] { WideCharsCopyZ(u"abc", dest, 6, 3); }), 338);
    EXPECT_EQ(dest[0], u'x'); // nothing written
}

TEST(BasePaths, PartsWithEitherSeparator) {
    EXPECT_EQ(PathExtractExt("C:\\dir.x\\file"), "");
    EXPECT_EQ(PathExtractFileRoot("C:\\data\\contacts.QB2"), "contacts");
    EXPECT_EQ(PathExtractDir("/contacts.QB2"), "/");
    std::string r;
    PathForceExt("/data.d/contacts", "QB2", r);
    EXPECT_EQ(r, "/data.d/contacts.QB2");
    EXPECT_EQ(PathMakeFull("C:\\data\\", "x.QB2"), "C:\\data\\x.QB2");

    // Over-long parts are refused, never cut down to some other name.
    EXPECT_EQ(errorCodeOf([] { PathExtractExt("a.html"); }), 417);
    EXPECT_EQ(errorCodeOf([] { PathExtractTableName("/d/" + std::string(32, 'n') + ".QB2"); }), 417);
    EXPECT_EQ(errorCodeOf([] { PathExpand("/" + std::string(300, 'p')); }), 417);
    EXPECT_EQ(errorCodeOf([&] { PathForceExt("a.b", "long", r); }), 417);
}

TEST(BasePaths, ExistenceAndDirectorySearch) {
    pwtest::TempDir dir;
    pwtest::writeFile(dir.file("Contacts.QB2"), "data");
    pwtest::writeFile(dir.file("groups.qb2"), std::string(5000, 'g'));
    pwtest::writeFile(dir.file(".hidden.qb2"), "");
    pwtest::writeFile(dir.file(std::string(36, 'l') + ".qb2"), "");
    std::filesystem::create_directory(dir.path() / "Sub.qb2");

    EXPECT_TRUE(PathFileExists(dir.str() + "\\contacts.qb2")); // any case, either separator
    EXPECT_FALSE(PathFileExists(dir.file("*.qb2")));

    auto names = [](std::string_view pattern, int kinds, int attrs) {
        std::set<std::string> r;
        TqbFindRec f;
        for (int rc = PathFindFirst(pattern, kinds, attrs, f); rc == 0; rc = PathFindNext(f))
            r.insert(f.Name);
        PathFindClose(f);
        return r;
    };
    std::string base = dir.str() + "/";
    EXPECT_EQ(names(base + "*.QB2", 1, 31),
              (std::set<std::string>{".hidden.qb2", "Contacts.QB2", "groups.qb2"}));
    EXPECT_EQ(names(base + "*.qb2", 1, 4), (std::set<std::string>{".hidden.qb2"})); // hidden only
    EXPECT_EQ(names(base + "G?OUPS.*", 3, 31), (std::set<std::string>{"groups.qb2"}));

    TqbFindRec f;
    ASSERT_EQ(PathFindFirst(base + "groups.qb2", 1, 31, f), 0);
    EXPECT_EQ(f.SizeLow, 5000u);
    EXPECT_EQ(PathFindNext(f), 18);
    PathFindClose(f);
    EXPECT_EQ(PathFindFirst(base + "missing/*.*", 1, 31, f), 3);
}

TEST(BaseBits, BitsAndNameLimits) {
    uint8_t bits[3] = {};
    BitSetAll(bits, 9); // two bytes
    EXPECT_EQ(bits[1], 255);
    EXPECT_EQ(bits[2], 0);

    EXPECT_FALSE(IsValidBlockSize(2048));
    EXPECT_TRUE(IsValidTableName(std::string(31, 'a')));
    EXPECT_FALSE(IsValidTableName(std::string(32, 'a')));
    for (char c : std::string("\"*./:<>?\\|"))
        EXPECT_FALSE(IsValidName(std::string("a") + c, 35)) << c;
    EXPECT_FALSE(IsValidKeyLength(1025));
}

TEST(BasePools, SizeClassesAndReallocation) {
    EXPECT_EQ(PoolSizeClass(16385), -1);
    void* p = nullptr;
    PoolGetZeroMem(p, 120);
    std::memset(p, 7, 120);
    PoolReallocMem(p, 120, 20000); // to the heap, contents kept
    EXPECT_EQ(static_cast<unsigned char*>(p)[119], 7);
    PoolReallocMem(p, 20000, 0);
    EXPECT_EQ(p, nullptr);
    PoolReallocMem(p, 0, 50); // nil behaves as a get
    ASSERT_NE(p, nullptr);
    PoolFreeMem(p, 50);
    PoolFreeMem(p, 50); // nil ignored
}
