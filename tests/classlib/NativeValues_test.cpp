// The native value codec: every kind written and read back, reads that stay inside damaged fields,
// the 80-bit format, and the order CompareNative gives.
#include "classlib/NativeValues.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace cls;

namespace {

TFilterValue roundTrip(TNativeKind kind, size_t size, const TFilterValue& in,
                       std::vector<uint8_t>* bytes = nullptr) {
    // Kept until the next call, for the texts that point into it. The bytes after the field must
    // stay untouched.
    static std::vector<uint8_t> field;
    field.assign(size + 8, 0xEE);
    EncodeNative(kind, field.data(), size, in);
    for (size_t k = size; k < field.size(); ++k)
        EXPECT_EQ(field[k], 0xEE) << "written past the field, kind " << int(kind);
    if (bytes) bytes->assign(field.begin(), field.begin() + long(size));
    TFilterValue out;
    DecodeNative(kind, field.data(), size, false, out);
    return out;
}

} // namespace

TEST(NativeValues, EveryKindReadsBackWhatWasWritten) {
    struct IntCase {
        TNativeKind kind;
        size_t size;
        int64_t v;
    };
    for (IntCase c : {IntCase{TNativeKind::UInt8, 1, 250},
                      {TNativeKind::Int8, 1, -100},
                      {TNativeKind::UInt16, 2, 65000},
                      {TNativeKind::Int16, 2, -32000},
                      {TNativeKind::UInt32, 4, 4000000000LL},
                      {TNativeKind::Int32, 4, -2000000000},
                      {TNativeKind::Int64, 8, -9000000000000000000LL}}) {
        TFilterValue v = roundTrip(c.kind, c.size, IntegerValue(c.v));
        EXPECT_EQ(v.cls, TFilterValue::vcInteger);
        EXPECT_EQ(v.i, c.v) << int(c.kind);
    }
    for (auto [kind, size, x] : {std::tuple{TNativeKind::Float32, 4, 1.5L},
                                 {TNativeKind::Float64, 8, -2.25L},
                                 {TNativeKind::Float80, 10, 1e-4000L},
                                 {TNativeKind::Float80, 10, -3.75e300L},
                                 {TNativeKind::Currency64, 8, 1.2345L}}) {
        TFilterValue v = roundTrip(kind, size_t(size), FloatValue(x));
        EXPECT_EQ(v.cls, TFilterValue::vcFloat);
        EXPECT_NEAR(double(v.f / x), 1.0, 1e-15) << int(kind);
    }
    // Dates on the scale of day 1 = 0001-01-01: 1600-01-01 is day 584024.
    std::vector<uint8_t> b;
    EXPECT_EQ(roundTrip(TNativeKind::StDate32, 4, DateTimeValue(584024), &b).f, 584024);
    EXPECT_EQ(b, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(roundTrip(TNativeKind::DayNo32, 4, DateTimeValue(693594)).f, 693594);
    EXPECT_EQ(roundTrip(TNativeKind::MSecOfDay32, 4, DateTimeValue(0.5)).f, 0.5);
    EXPECT_EQ(roundTrip(TNativeKind::StTime32, 4, DateTimeValue(0.25)).f, 0.25);
    EXPECT_EQ(roundTrip(TNativeKind::DateTime64, 8, DateTimeValue(700000.5)).f, 700000.5);
    EXPECT_EQ(roundTrip(TNativeKind::MSecStamp64, 8, DateTimeValue(700000.5)).f, 700000.5);
    // Booleans.
    EXPECT_TRUE(roundTrip(TNativeKind::Bool8, 1, BooleanValue(true), &b).b);
    EXPECT_EQ(b, std::vector<uint8_t>{1});
    EXPECT_TRUE(roundTrip(TNativeKind::Bool16, 2, BooleanValue(true), &b).b);
    EXPECT_EQ(b, (std::vector<uint8_t>{0xFF, 0xFF}));
    // Texts are cut to their field with the terminator inside it.
    for (auto [kind, size, want] : {std::tuple{TNativeKind::ShortStr, 4, "abc"},
                                    {TNativeKind::ZStr, 4, "abc"},
                                    {TNativeKind::Char8, 1, "a"},
                                    {TNativeKind::WideZStr, 8, "abc"},
                                    {TNativeKind::WideChar, 2, "a"}}) {
        TFilterValue v = roundTrip(kind, size_t(size), TextValue("abcdef"), &b);
        EXPECT_EQ(v.cls, TFilterValue::vcText);
        std::string got;
        for (size_t k = 0; k < v.size; k += v.wide ? 2 : 1)
            got += v.data[k];
        EXPECT_EQ(got, want) << int(kind);
    }
    EXPECT_EQ(roundTrip(TNativeKind::WideZStr, 8, TextValue("\x80"), &b).size, 2u);
    EXPECT_EQ(b[0] | b[1] << 8, 0x20AC); // the code page's euro sign
}

TEST(NativeValues, DamagedFieldsAreReadInsideTheirBytes) {
    // A length byte beyond the field, a text without terminator, a wide text without one.
    const char shortStr[4] = {char(200), 'x', 'y', 'z'};
    TFilterValue v;
    DecodeNative(TNativeKind::ShortStr, shortStr, 4, false, v);
    EXPECT_EQ(std::string(v.data, v.size), "xyz");
    const char z[3] = {'a', 'b', 'c'};
    DecodeNative(TNativeKind::ZStr, z, 3, false, v);
    EXPECT_EQ(std::string(v.data, v.size), "abc");
    const char w[5] = {'a', 0, 'b', 0, 'c'};
    DecodeNative(TNativeKind::WideZStr, w, 5, false, v);
    EXPECT_EQ(v.size, 4u);
    const char var[4] = {char(0xFF), char(0xFF), 1, 2};
    DecodeNative(TNativeKind::VarBytes, var, 4, false, v);
    EXPECT_EQ(v.size, 2u);
    // A field shorter than its kind reads as zero; an engine day outside the calendar as 1899-12-30.
    DecodeNative(TNativeKind::Int64, z, 3, false, v);
    EXPECT_EQ(v.i, 0);
    const uint8_t badDay[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    DecodeNative(TNativeKind::StDate32, badDay, 4, false, v);
    EXPECT_EQ(v.f, DateDelta);
}

TEST(NativeValues, ExtendedFormatAndOrder) {
    uint8_t one[10];
    StoreExtended(one, 1.0L);
    EXPECT_EQ(std::vector<uint8_t>(one, one + 10),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}));
    EXPECT_TRUE(std::isnan(LoadExtended((StoreExtended(one, NAN), one))));
    EXPECT_EQ(LoadExtended((StoreExtended(one, -INFINITY), one)), -INFINITY);

    auto cmp = [](TNativeKind k, size_t n, const TFilterValue& a, const TFilterValue& b) {
        std::vector<uint8_t> x(n), y(n);
        EncodeNative(k, x.data(), n, a);
        EncodeNative(k, y.data(), n, b);
        return CompareNative(k, x.data(), y.data(), n, false);
    };
    EXPECT_EQ(cmp(TNativeKind::UInt32, 4, IntegerValue(4000000000LL), IntegerValue(1)), 1);
    EXPECT_EQ(cmp(TNativeKind::Int32, 4, IntegerValue(-1), IntegerValue(1)), -1);
    EXPECT_EQ(cmp(TNativeKind::Bool16, 2, BooleanValue(false), BooleanValue(true)), -1);
    EXPECT_EQ(cmp(TNativeKind::ZStr, 8, TextValue("bob"), TextValue("Bob")), -1); // lower case first
    EXPECT_EQ(CompareNative(TNativeKind::ZStr, "bob", "BOB", 4, true), 0);
    EXPECT_EQ(cmp(TNativeKind::VarBytes, 6, TextValue("ab"), TextValue("abc")), -1);
    EXPECT_EQ(cmp(TNativeKind::WideZStr, 8, TextValue("b"), TextValue("a")), 1);
}
