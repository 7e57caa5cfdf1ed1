// String tables: the compiler's output read back by the reader, bounds checks on bad resources.
#include "platform/Resources.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

void pw_register_test_strings();

namespace {

TEST(StringTable, CompiledTablesGiveEveryTextByNumber) {
    pw_register_test_strings();
    auto res = plat::FindResource("test_strings");
    ASSERT_TRUE(res.has_value());
    plat::StringTable t(res->data, res->size);
    ASSERT_TRUE(t.Valid());
    EXPECT_EQ(t.Count(), 5u);
    EXPECT_EQ(t.FindAnsi(7).value(), "Two\nlines\twith tab \\ and backslash");
    EXPECT_EQ(t.FindAnsi(100).value(), "");
    // 0x80 in Windows-1252 is the euro sign.
    EXPECT_EQ(t.FindAnsi(42).value(), "Price \x80"
                                      "5 caf\xE9");
    EXPECT_EQ(t.Find(42).value(), u"Price \u20AC5 caf\u00E9");
    // Missing numbers, between two ids and beyond the end.
    EXPECT_FALSE(t.Find(41).has_value());
    EXPECT_FALSE(t.Find(4000000001u).has_value());
}

TEST(StringTable, DamagedResourcesNeverReadOutOfBounds) {
    auto bytes = plat::BuildStringTable({{1, u"one"}, {2, u"two"}});
    // Wrong signature.
    auto bad = bytes;
    bad[3] = '1';
    EXPECT_FALSE(plat::StringTable(bad.data(), bad.size()).Find(1).has_value());
    // Count larger than the directory that fits.
    bad = bytes;
    bad[4] = 0xFF;
    bad[5] = 0xFF;
    EXPECT_FALSE(plat::StringTable(bad.data(), bad.size()).Find(1).has_value());
    // Text offset pointing past the end: that entry is missing, the other still reads.
    bad = bytes;
    bad[8 + 12 + 4] = 0xF0;
    bad[8 + 12 + 5] = 0xFF;
    plat::StringTable off(bad.data(), bad.size());
    EXPECT_EQ(off.Find(1).value(), u"one");
    EXPECT_FALSE(off.Find(2).has_value());
    // Truncated to the header.
    plat::StringTable cut(bytes.data(), 6);
    EXPECT_FALSE(cut.Valid());
    EXPECT_EQ(cut.Count(), 0u);
}

} // namespace
