// String tables of the controls, the library message table, exception texts, user data and the
// alpha character set.
#include "controls/LncExcpt.h"
#include "controls/LncSrMgr.h"
#include "controls/LncUser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::StrEq;
using testing::ThrowsMessage;

TEST(LncStrings, LibraryTableTextsAndUnknown) {
    EXPECT_EQ(LncGetString(1), "Unknown");
    EXPECT_EQ(LncGetString(30171), "Unknown"); // a gap between two ids
    EXPECT_EQ(LncGetString(30172), "No Controller assigned");
    EXPECT_EQ(LncGetString(30281), "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    // Every id of the table resolves to a text.
    auto res = plat::FindResource("LANTERNE3_STRINGS_ENGLISH");
    ASSERT_TRUE(res.has_value());
    plat::StringTable table(res->data, res->size);
    ASSERT_GT(table.Count(), 0u);
    for (uint32_t i = 0; i < table.Count(); ++i) {
        std::string text = LncGetString(table.IdAt(i));
        EXPECT_TRUE(!text.empty() && text != "Unknown") << table.IdAt(i);
    }
}

TEST(LncStrings, ReaderTextsAndBadResources) {
    static auto blob = plat::BuildStringTable({{5, u""}, {7, u"seven"}, {9, u"caf\u00e9"}});
    plat::RegisterResource("CTL_TEST_TABLE", blob.data(), blob.size());
    TLncStringResource r("CTL_TEST_TABLE");
    EXPECT_EQ(r.GetText(7), "seven");
    EXPECT_EQ(r.GetText(9), "caf\xE9"); // Windows-1252
    EXPECT_EQ(r.GetText(6), "");
    r.RaiseIfMissing = true;
    EXPECT_THAT([&] { r.GetText(6); }, ThrowsMessage<EHgsStringResourceError>(StrEq("String not found: 6")));

    char buf[4];
    EXPECT_STREQ(r.GetTextBuf(7, buf, sizeof buf), "sev");
    EXPECT_STREQ(r.GetTextBuf(8, buf, sizeof buf), "");

    auto open = [](const char* name) { return [name] { TLncStringResource bad(name); }; };
    EXPECT_THAT(open("NO_SUCH_TABLE"),
                ThrowsMessage<EHgsStringResourceError>(StrEq("String resource not found: NO_SUCH_TABLE")));
    static const unsigned char junk[] = {'S', 'T', 'R', '1', 0, 0, 0, 0};
    plat::RegisterResource("CTL_JUNK_TABLE", junk, sizeof junk);
    EXPECT_THROW(open("CTL_JUNK_TABLE")(), EHgsStringResourceError);
    // A directory that claims more entries than the resource holds is refused, not read past its end.
    static const unsigned char shortDir[] = {'S', 'T', 'R', '0', 200, 0, 0, 0, 1, 0, 0, 0};
    plat::RegisterResource("CTL_SHORT_TABLE", shortDir, sizeof shortDir);
    EXPECT_THAT(open("CTL_SHORT_TABLE"),
                ThrowsMessage<EHgsStringResourceError>(StrEq("Invalid HGString resource")));

    r.ChangeResource(""); // a closed resource reads as empty
    r.RaiseIfMissing = false;
    EXPECT_EQ(r.GetText(7), "");
}

TEST(LncUser, AlphaSet) {
    const TLncCharSet& a = LncAlphaCharSet();
    for (unsigned char c : std::string(" ,-.Az\xE9\x8A")) // with e acute and S caron
        EXPECT_TRUE(a.test(c)) << int(c);
    for (unsigned char c : std::string("09!/\xA9\xD7")) // with the copyright and multiplication signs
        EXPECT_FALSE(a.test(c)) << int(c);
    EXPECT_THROW(TLncUserData().UserCharSet(8), std::out_of_range);
}
