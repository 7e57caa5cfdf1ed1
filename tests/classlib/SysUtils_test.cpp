// Day numbers and time stamps, number text, the fixed collation and variant conversions.
#include "classlib/SysUtils.h"
#include "classlib/Variants.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace cls;

TEST(DateTime, DayNumbersAndTimeOfDayMatchTheNativeScale) {
    EXPECT_EQ(DateTimeToTimeStamp(0).Date, 693594); // 1899-12-30
    EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(9999, 12, 31)).Date, 3652059);
    TDateTime d;
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, d));
    EXPECT_THROW(DateTimeToTimeStamp(-700000), EConvertError);
    EXPECT_THROW(MSecsToTimeStamp(0), EConvertError); // day 0 does not exist
    // Every 97th day of the whole range decodes to the date it was made from.
    for (int32_t dn = 1; dn <= 3652059; dn += 97) {
        int y, m, day;
        DecodeDate(TimeStampToDateTime({0, dn}), y, m, day);
        ASSERT_EQ(DateTimeToTimeStamp(EncodeDate(y, m, day)).Date, dn);
    }
    // Before 1899-12-30 the fraction still counts forwards from midnight.
    TTimeStamp ts = DateTimeToTimeStamp(-1.25);
    EXPECT_EQ(ts.Time, 6 * 3600000);
    EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), -1.25);
    int h, n, s, z;
    DecodeTime(EncodeTime(23, 59, 59, 999), h, n, s, z);
    EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + z, 235959999);
}

TEST(DateTime, TextFormsAreFixedAndCheckedOnInput) {
    TDateTime d = EncodeDate(1999, 12, 31) + EncodeTime(8, 5, 3, 0);
    EXPECT_EQ(DateTimeToStr(d), "1999-12-31 08:05:03");
    TDateTime back;
    ASSERT_TRUE(TryStrToDateTime(" 1999-12-31 08:05:03 ", back));
    EXPECT_NEAR(back, d, 1e-9);
    EXPECT_FALSE(TryStrToTime("24:00:00", back));
    EXPECT_FALSE(TryStrToDateTime("1999-12-31x", back));
}

TEST(Numbers, TextConversionIgnoresTheLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8"); // decimal comma, if installed
    double d;
    EXPECT_TRUE(TryStrToFloat("12.3456", d));
    EXPECT_DOUBLE_EQ(d, 12.3456);
    EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_FALSE(TryStrToFloat("inf", d));
    int64_t i;
    EXPECT_TRUE(TryStrToInt(" +42 ", i));
    EXPECT_EQ(i, 42);
    EXPECT_FALSE(TryStrToInt("99999999999999999999", i));
}

TEST(Collation, LettersCompareWithoutCaseFirstThenByCase) {
    EXPECT_LT(CollateText("\xE9tude", "zoo", true), 0); // accented letters sort with their base letter
    EXPECT_GT(CollateText("Bob", "bob", false), 0);     // same letters: lower case first
    EXPECT_LT(CollateText("bob", "Bobby", true), 0);
    EXPECT_EQ(CollateText("\xE9t\xE9", "\xC9T\xC9", true), 0); // Latin letters of the code page fold too
    EXPECT_EQ(CompareText("stra\232e", "STRA\212E"), 0);       // s and S with caron (0x9A, 0x8A)
}

TEST(Variant, ConvertsBetweenItsFormsAndRefusesNonsense) {
    EXPECT_EQ(Variant(2.5).AsInteger(), 3);
    EXPECT_DOUBLE_EQ(Variant("1899-12-31").AsDateTime(), 1.0);
    EXPECT_THROW(Variant().AsString(), EConvertError);
    EXPECT_THROW(Variant("abc").AsInteger(), EConvertError);
    EXPECT_THROW(Variant(1e30).AsInteger(), EConvertError);
    EXPECT_EQ(VarArrayOf({1, "x", Null}), VarArrayOf({1, "x", Null}));
    EXPECT_NE(Variant(1), Variant("1"));
}
