// Field value conversion: every pair that converts with a value and the bytes it must give, every
// other pair refused with the destination untouched, and the edges of texts, currency and dates.
#include "db/engine/qbconvqb.h"

#include "db/storage/qbstdate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kSentinel = 0xA5;

Bytes le(int64_t v, int n) {
    Bytes b;
    for (int i = 0; i < n; ++i)
        b.push_back(uint8_t(uint64_t(v) >> (8 * i)));
    return b;
}
template <class T> Bytes raw(T v, int n = sizeof(T)) {
    Bytes b(size_t(n), 0);
    std::memcpy(b.data(), &v, size_t(n));
    return b;
}
Bytes f32(float v) {
    return raw(v);
}
Bytes f64(double v) {
    return raw(v);
}
Bytes ext(long double v) {
    return raw(v, 10); // x86-64 long double is the 80-bit format
}
// A string field of len bytes: short (length byte), null (terminated) or wide (UTF-16).
Bytes sstr(const std::string& s, int len) {
    Bytes b(size_t(len), 0);
    b[0] = uint8_t(s.size());
    std::memcpy(b.data() + 1, s.data(), s.size());
    return b;
}
Bytes zstr(const std::string& s, int len) {
    Bytes b(size_t(len), 0);
    std::memcpy(b.data(), s.data(), s.size());
    return b;
}
Bytes wstr(const std::u16string& s, int len) {
    Bytes b(size_t(len), 0);
    for (size_t k = 0; k < s.size(); ++k)
        b[2 * k] = uint8_t(s[k]), b[2 * k + 1] = uint8_t(s[k] >> 8);
    return b;
}

struct Case {
    int32_t s;
    Bytes src;
    int32_t d;
    int32_t dlen;
    Bytes want; // empty: accepted, nothing written
};

int32_t convert(const Case& c, Bytes& dst) {
    dst.assign(size_t(c.dlen), kSentinel);
    return ConvertFieldValue(c.src.data(), dst.data(), c.s, c.d, int32_t(c.src.size()), c.dlen);
}

const std::vector<int32_t> kBLOBs = {18, 19, 20, 21, 22, 23, 24, 25};
const std::vector<int32_t> kShort = {qbtShortString, qbtShortAnsiStr},
                           kNull = {qbtNullString, qbtNullAnsiStr};

// The texts of a value into every kind of string field (12 characters of room).
void texts(std::vector<Case>& cases, int32_t s, const Bytes& src, const std::string& t) {
    std::u16string w(t.begin(), t.end());
    for (int32_t d : kShort)
        cases.push_back({s, src, d, 13, sstr(t, 13)});
    for (int32_t d : kNull)
        cases.push_back({s, src, d, 13, zstr(t, 13)});
    cases.push_back({s, src, qbtWideString, 26, wstr(w, 26)});
}

// Integer sources: widened, as floats, comp, currency and decimal text.
void integers(std::vector<Case>& cases, int32_t s, const Bytes& src, int64_t v,
              const std::vector<int32_t>& ints) {
    for (int32_t d : ints) {
        int w = d == qbtByte || d == qbtInt8 ? 1 : d == qbtWord16 || d == qbtInt16 ? 2 : 4;
        cases.push_back({s, src, d, w, le(v, w)});
    }
    cases.push_back({s, src, qbtSingle, 4, f32(float(v))});
    cases.push_back({s, src, qbtDouble, 8, f64(double(v))});
    cases.push_back({s, src, qbtExtended, 10, ext((long double)v)});
    cases.push_back({s, src, qbtComp, 8, le(v, 8)});
    cases.push_back({s, src, qbtCurrency, 8, le(v * 10000, 8)});
    texts(cases, s, src, std::to_string(v));
}

std::vector<Case> listedCases() {
    std::vector<Case> c;
    // Boolean.
    Bytes t = {1};
    for (int32_t d : {qbtBoolean, qbtByte, qbtInt8})
        c.push_back({qbtBoolean, t, d, 1, {1}});
    c.push_back({qbtBoolean, t, qbtChar, 1, {'Y'}});
    c.push_back({qbtBoolean, t, qbtWideChar, 2, le('Y', 2)});
    for (int32_t d : {qbtWord16, qbtInt16})
        c.push_back({qbtBoolean, t, d, 2, le(1, 2)});
    for (int32_t d : {qbtWord32, qbtInt32})
        c.push_back({qbtBoolean, t, d, 4, le(1, 4)});
    for (int32_t d : kShort)
        c.push_back({qbtBoolean, t, d, 2, sstr("Y", 2)});
    for (int32_t d : kNull)
        c.push_back({qbtBoolean, t, d, 2, zstr("Y", 2)});
    c.push_back({qbtBoolean, t, qbtWideString, 4, wstr(u"Y", 4)});
    // Characters.
    Bytes a = {'a'}, e = le(0xE9, 2);
    c.push_back({qbtChar, a, qbtChar, 1, {'a'}});
    c.push_back({qbtChar, a, qbtWideChar, 2, le('a', 2)});
    c.push_back({qbtWideChar, e, qbtChar, 1, {0xE9}});
    c.push_back({qbtWideChar, e, qbtWideChar, 2, e});
    for (int32_t b : kBLOBs) {
        c.push_back({qbtChar, a, b, 4, {}});
        c.push_back({qbtWideChar, e, b, 4, {}});
    }
    for (int32_t d : kShort) {
        c.push_back({qbtChar, a, d, 2, sstr("a", 2)});
        c.push_back({qbtWideChar, e, d, 2, sstr("\xE9", 2)});
    }
    for (int32_t d : kNull) {
        c.push_back({qbtChar, a, d, 2, zstr("a", 2)});
        c.push_back({qbtWideChar, e, d, 2, zstr("\xE9", 2)});
    }
    c.push_back({qbtChar, {0x80}, qbtWideString, 4, wstr(u"\u20AC", 4)}); // the code page's euro
    c.push_back({qbtWideChar, e, qbtWideString, 4, wstr(u"\u00E9", 4)});
    // Integers.
    integers(c, qbtByte, {200}, 200, {qbtByte, qbtWord16, qbtInt16, qbtWord32, qbtInt32, qbtAutoInc});
    integers(c, qbtWord16, le(60000, 2), 60000, {qbtWord16, qbtWord32, qbtInt32, qbtAutoInc});
    integers(c, qbtWord32, le(4000000000LL, 4), 4000000000LL, {qbtWord32, qbtAutoInc});
    integers(c, qbtAutoInc, le(4000000000LL, 4), 4000000000LL, {qbtWord32, qbtAutoInc});
    integers(c, qbtInt8, le(-5, 1), -5, {qbtInt8, qbtInt16, qbtInt32});
    integers(c, qbtInt16, le(-300, 2), -300, {qbtInt16, qbtInt32});
    integers(c, qbtInt32, le(-70000, 4), -70000, {qbtInt32});
    for (auto [s, w] : {std::pair{qbtInt8, 1}, {qbtInt16, 2}, {qbtInt32, 4}})
        for (int32_t d : {qbtWord32, qbtAutoInc})
            c.push_back({s, le(100, w), d, 4, le(100, 4)});
    // Floats and currency.
    c.push_back({qbtSingle, f32(1.5f), qbtSingle, 4, f32(1.5f)});
    c.push_back({qbtSingle, f32(1.5f), qbtDouble, 8, f64(1.5)});
    c.push_back({qbtSingle, f32(1.5f), qbtExtended, 10, ext(1.5L)});
    c.push_back({qbtSingle, f32(1.5f), qbtCurrency, 8, le(15000, 8)});
    c.push_back({qbtDouble, f64(2.25), qbtDouble, 8, f64(2.25)});
    c.push_back({qbtDouble, f64(2.25), qbtExtended, 10, ext(2.25L)});
    c.push_back({qbtDouble, f64(2.25), qbtCurrency, 8, le(22500, 8)});
    c.push_back({qbtExtended, ext(1.5L), qbtExtended, 10, ext(1.5L)});
    c.push_back({qbtExtended, ext(1.5L), qbtCurrency, 8, le(15000, 8)});
    c.push_back({qbtComp, le(123456789012LL, 8), qbtComp, 8, le(123456789012LL, 8)});
    c.push_back({qbtCurrency, le(12500, 8), qbtSingle, 4, f32(1.25f)});
    c.push_back({qbtCurrency, le(12500, 8), qbtDouble, 8, f64(1.25)});
    c.push_back({qbtCurrency, le(12500, 8), qbtExtended, 10, ext(1.25L)});
    c.push_back({qbtCurrency, le(12500, 8), qbtCurrency, 8, le(12500, 8)});
    // Dates and times: 2024-02-29 is day 154364 from 1600-01-01; 01:00:00 is 3600 seconds.
    int32_t day = DMYtoStDate(29, 2, 2024, 1950);
    double dt = StDateToDateTime(day) + 693594, tm = 3600.0 / 86400 + 693594 + 3;
    c.push_back({qbtStDate, le(day, 4), qbtStDate, 4, le(day, 4)});
    c.push_back({qbtStDate, le(day, 4), qbtDateTime, 8, f64(dt)});
    c.push_back({qbtStTime, le(3600, 4), qbtStTime, 4, le(3600, 4)});
    c.push_back({qbtStTime, le(3600, 4), qbtDateTime, 8, f64(3600.0 / 86400)});
    c.push_back({qbtDateTime, f64(tm), qbtStDate, 4, le(kDateTimeDelta + 3, 4)});
    c.push_back({qbtDateTime, f64(tm), qbtStTime, 4, le(3600, 4)});
    c.push_back({qbtDateTime, f64(tm), qbtDateTime, 8, f64(tm)});
    // BLOBs and byte arrays.
    for (int32_t s : kBLOBs)
        for (int32_t d : kBLOBs)
            c.push_back({s, le(7, 8), d, 8, {}});
    Bytes five = {1, 2, 3, 4, 5};
    c.push_back({qbtByteArray, five, qbtByteArray, 3, {1, 2, 3}});
    for (int32_t b : kBLOBs)
        c.push_back({qbtByteArray, five, b, 8, {}});
    // Strings.
    std::vector<std::pair<int32_t, Bytes>> strings;
    for (int32_t s : kShort)
        strings.push_back({s, sstr("hello", 8)});
    for (int32_t s : kNull)
        strings.push_back({s, zstr("hello", 8)});
    strings.push_back({qbtWideString, wstr(u"hello", 14)});
    for (auto& [s, src] : strings) {
        c.push_back({s, src, qbtChar, 1, {'h'}});
        c.push_back({s, src, qbtWideChar, 2, le('h', 2)});
        for (int32_t b : kBLOBs)
            c.push_back({s, src, b, 8, {}});
        for (int32_t d : kShort)
            c.push_back({s, src, d, 4, sstr("hel", 4)});
        for (int32_t d : kNull)
            c.push_back({s, src, d, 4, zstr("hel", 4)});
        c.push_back({s, src, qbtWideString, 8, wstr(u"hel", 8)});
    }
    return c;
}

} // namespace

TEST(ConvertFieldValue, EveryListedPairConvertsToTheExpectedBytes) {
    for (const Case& c : listedCases()) {
        Bytes dst;
        SCOPED_TRACE(std::to_string(c.s) + " -> " + std::to_string(c.d));
        ASSERT_EQ(convert(c, dst), 0);
        Bytes want = c.want.empty() ? Bytes(size_t(c.dlen), kSentinel) : c.want;
        EXPECT_EQ(dst, want);
        EXPECT_EQ(ConvertFieldValue(c.src.data(), nullptr, c.s, c.d, int32_t(c.src.size()), c.dlen), 0);
    }
}

TEST(ConvertFieldValue, EveryOtherPairIsRefusedAndLeavesTheDestination) {
    std::set<std::pair<int32_t, int32_t>> listed;
    for (const Case& c : listedCases())
        listed.insert({c.s, c.d});
    Bytes src(64, 0x11);
    for (int32_t s = -1; s <= 51; ++s)
        for (int32_t d = -1; d <= 51; ++d) {
            bool ok = listed.count({s, d}) > 0;
            Bytes dst(64, kSentinel);
            EXPECT_EQ(ConvertFieldValue(src.data(), nullptr, s, d, 64, 64), ok ? 0 : 10002) << s << " " << d;
            if (ok) continue;
            EXPECT_EQ(ConvertFieldValue(src.data(), dst.data(), s, d, 64, 64), 10002) << s << " " << d;
            EXPECT_EQ(dst, Bytes(64, kSentinel)) << s << " " << d;
        }
    // Judging a pair needs no value: the text fit is checked only when writing.
    EXPECT_EQ(ConvertFieldValue(nullptr, nullptr, qbtWord16, qbtShortString, 2, 2), 0);
}

TEST(ConvertFieldValue, EdgesOfTextsNumbersAndDates) {
    Bytes dst;
    auto run = [&](Case c) { return convert(c, dst); };
    // Booleans as text; negatives into unsigned; the widest decimal text and one short of room.
    ASSERT_EQ(run({qbtBoolean, {0}, qbtShortString, 2, {}}), 0);
    EXPECT_EQ(dst, sstr("N", 2));
    EXPECT_EQ(run({qbtInt32, le(-5, 4), qbtAutoInc, 4, {}}), 10002);
    EXPECT_EQ(dst, Bytes(4, kSentinel));
    ASSERT_EQ(run({qbtInt32, le(INT32_MIN, 4), qbtShortString, 12, {}}), 0);
    EXPECT_EQ(dst, sstr("-2147483648", 12));
    EXPECT_EQ(run({qbtInt32, le(INT32_MIN, 4), qbtShortString, 11, {}}), 10002);
    EXPECT_EQ(dst, Bytes(11, kSentinel));
    ASSERT_EQ(run({qbtWord32, le(4000000000LL, 4), qbtWideString, 22, {}}), 0); // ten characters and 0
    EXPECT_EQ(dst, wstr(u"4000000000", 22));
    EXPECT_EQ(run({qbtWord32, le(4000000000LL, 4), qbtWideString, 21, {}}), 10002);
    EXPECT_EQ(dst, Bytes(21, kSentinel));

    // Currency: rounded to nearest, ties to even; out of range or NaN refused.
    ASSERT_EQ(run({qbtDouble, f64(1.23456), qbtCurrency, 8, {}}), 0);
    EXPECT_EQ(dst, le(12346, 8));
    ASSERT_EQ(run({qbtDouble, f64(0.03125), qbtCurrency, 8, {}}), 0); // 312.5
    EXPECT_EQ(dst, le(312, 8));
    ASSERT_EQ(run({qbtDouble, f64(-0.03125), qbtCurrency, 8, {}}), 0);
    EXPECT_EQ(dst, le(-312, 8));
    for (Bytes bad : {f64(1e15), f64(-1e15), f64(std::nan("")), f64(INFINITY)}) {
        EXPECT_EQ(run({qbtDouble, bad, qbtCurrency, 8, {}}), 10002);
        EXPECT_EQ(dst, Bytes(8, kSentinel));
    }
    EXPECT_EQ(run({qbtSingle, f32(NAN), qbtCurrency, 8, {}}), 10002);
    EXPECT_EQ(run({qbtExtended, ext(1e300L), qbtCurrency, 8, {}}), 10002);
    ASSERT_EQ(run({qbtExtended, ext(9.2e14L), qbtCurrency, 8, {}}), 0);
    EXPECT_EQ(dst, le(9200000000000000000LL, 8));

    // Wide strings stay inside their field with a 16-bit terminator, whatever the lengths.
    for (int32_t dlen : {2, 3, 5, 6, 7}) {
        Bytes field(size_t(dlen) + 4, kSentinel);
        Bytes src = wstr(u"abcdef", 14);
        ASSERT_EQ(ConvertFieldValue(src.data(), field.data(), qbtWideString, qbtWideString, 14, dlen), 0);
        int units = dlen / 2 - 1;
        Bytes want = wstr(std::u16string(u"abcdef").substr(0, size_t(units)), dlen);
        EXPECT_EQ(Bytes(field.begin(), field.begin() + dlen), want) << dlen;
        EXPECT_EQ(Bytes(field.begin() + dlen, field.end()), Bytes(4, kSentinel)) << dlen;
    }
    // A wide character above the code page's range.
    ASSERT_EQ(run({qbtWideChar, le(0x4E2D, 2), qbtChar, 1, {}}), 0);
    EXPECT_EQ(dst, Bytes{0});

    // String copies never read past the source's length byte or field.
    Bytes corrupt = sstr("abc", 4);
    corrupt[0] = 250;
    ASSERT_EQ(run({qbtShortString, corrupt, qbtShortString, 40, {}}), 0);
    EXPECT_EQ(dst, sstr("abc", 40));
    ASSERT_EQ(run({qbtShortString, sstr("ab", 8), qbtNullString, 40, {}}), 0);
    EXPECT_EQ(dst, zstr("ab", 40));
    Bytes unterminated = {'x', 'y', 'z'};
    ASSERT_EQ(run({qbtNullString, unterminated, qbtShortString, 40, {}}), 0);
    EXPECT_EQ(dst, sstr("xy", 40));

    // Narrowing is not offered.
    EXPECT_EQ(run({qbtDouble, f64(1), qbtSingle, 4, {}}), 10002);
    EXPECT_EQ(run({qbtSingle, f32(1), qbtInt32, 4, {}}), 10002);
    // A destination shorter than its type is refused, not overrun.
    EXPECT_EQ(run({qbtInt32, le(5, 4), qbtInt32, 2, {}}), 10002);
    EXPECT_EQ(dst, Bytes(2, kSentinel));
}

TEST(ConvertFieldValue, DatesSurviveTheRoundTrip) {
    for (int32_t day = 0; day <= kMaxStDate; day += 997) {
        Bytes dt(8), back(4);
        Bytes src = le(day, 4);
        ASSERT_EQ(ConvertFieldValue(src.data(), dt.data(), qbtStDate, qbtDateTime, 4, 8), 0);
        ASSERT_EQ(ConvertFieldValue(dt.data(), back.data(), qbtDateTime, qbtStDate, 8, 4), 0);
        EXPECT_EQ(back, src) << day;
    }
    // A date-time before 1600 has no day number: the blank day.
    Bytes early = f64(500000.0), day(4);
    ASSERT_EQ(ConvertFieldValue(early.data(), day.data(), qbtDateTime, qbtStDate, 8, 4), 0);
    EXPECT_EQ(day, le(kBlankStDate, 4));
    for (int32_t s : {0, 1, 43199, 86399}) {
        Bytes dt(8), back(4);
        Bytes src = le(s, 4);
        ASSERT_EQ(ConvertFieldValue(src.data(), dt.data(), qbtStTime, qbtDateTime, 4, 8), 0);
        ASSERT_EQ(ConvertFieldValue(dt.data(), back.data(), qbtDateTime, qbtStTime, 8, 4), 0);
        EXPECT_EQ(back, src) << s;
    }
}
