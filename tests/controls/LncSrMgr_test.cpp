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
    EXPECT_EQ(LncGetString(1), "Unknown");     // below every id
    EXPECT_EQ(LncGetString(30171), "Unknown"); // a gap between two ids
    EXPECT_EQ(LncGetString(99999), "Unknown"); // above every id
    EXPECT_EQ(LncGetString(30172), "No Controller assigned");
    EXPECT_EQ(LncGetString(30189), "No Window's timers are available");
    EXPECT_EQ(LncGetString(30277), "(Unknown)");
    EXPECT_EQ(LncGetString(30281), "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    for (uint32_t id : {30266u, 30275u, 30276u, 30368u, 30369u, 30370u, 30371u})
        EXPECT_NE(LncGetString(id), "Unknown") << id;
    // Every text of the library table has an id of the table's ranges.
    EXPECT_TRUE(LncLibraryStrings().IsOpen());
    const std::vector<std::pair<uint32_t, uint32_t>> ranges = {
        {30168, 30219}, {30224, 30228}, {30232, 30239}, {30241, 30257}, {30266, 30266}, {30268, 30283},
        {30285, 30337}, {30368, 30383}, {30385, 30385}, {30387, 30395}, {30400, 30403}, {30500, 30515},
        {33768, 33843}, {34068, 34083}, {34468, 34491}, {34493, 34510}, {34518, 34541}};
    auto res = plat::FindResource("LANTERNE3_STRINGS_ENGLISH");
    ASSERT_TRUE(res.has_value());
    plat::StringTable table(res->data, res->size);
    ASSERT_GT(table.Count(), 0u);
    for (uint32_t i = 0; i < table.Count(); ++i) {
        uint32_t id = table.IdAt(i);
        bool inRange = false;
        for (auto [lo, hi] : ranges)
            inRange |= id >= lo && id <= hi;
        EXPECT_TRUE(inRange) << id;
    }
}

TEST(LncStrings, EmptyTextGivesUnknownAndReaderErrors) {
    static auto blob = plat::BuildStringTable({{5, u""}, {7, u"seven"}, {9, u"caf\u00e9"}});
    plat::RegisterResource("CTL_TEST_TABLE", blob.data(), blob.size());
    TLncStringResource r("CTL_TEST_TABLE");
    EXPECT_EQ(r.GetText(7), "seven");
    EXPECT_EQ(r.GetText(9), "caf\xE9"); // Windows-1252
    EXPECT_EQ(r.GetText(5), "");
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

    r.ChangeResource("");
    EXPECT_FALSE(r.IsOpen());
    r.RaiseIfMissing = false;
    EXPECT_EQ(r.GetText(7), "");
    r.ChangeResource("CTL_TEST_TABLE");
    EXPECT_EQ(r.GetText(7), "seven");
}

TEST(LncStrings, ExceptionMessagesAndHierarchy) {
    EXPECT_STREQ(EDuplicateCommand().what(),
                 "Duplicate command found while adding a new command to the table");
    EXPECT_STREQ(ETableNotFound().what(), "Command table not found or command table index out of range");
    EXPECT_EQ(ETableNotFound().Message(), "Command table not found or command table index out of range");
    static_assert(std::is_base_of_v<EControllerError, ENoControllerAssigned>);
    static_assert(std::is_base_of_v<ECmdProcessorError, ETableNotFound>);
    static_assert(std::is_base_of_v<ELncException, EDuplicateCommand>);
}

TEST(LncUser, DefaultsAndAlphaSet) {
    TLncUserData u;
    for (int i = 0; i < TLncUserData::kSetCount; ++i) {
        EXPECT_FALSE(u.UserCharSet(i).test(0));
        EXPECT_EQ(u.UserCharSet(i).count(), 255u);
        EXPECT_EQ(u.ForceCase(i), 0);
        EXPECT_EQ(u.SubstChar(i), 241 + i);
    }
    EXPECT_THROW(u.UserCharSet(8), std::out_of_range);

    const TLncCharSet& a = LncAlphaCharSet();
    for (unsigned char c : {' ', ',', '-', '.', 'A', 'Z', 'a', 'z'})
        EXPECT_TRUE(a.test(c)) << int(c);
    for (unsigned char c : {'0', '9', '!', '/', '\t'})
        EXPECT_FALSE(a.test(c)) << int(c);
    EXPECT_TRUE(a.test(0xE9));  // e acute
    EXPECT_TRUE(a.test(0x8A));  // S caron
    EXPECT_FALSE(a.test(0xA9)); // copyright sign
    EXPECT_FALSE(a.test(0xD7)); // multiplication sign
}
