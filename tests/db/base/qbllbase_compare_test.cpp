// Tests of the fixed collation and the key comparers.
#include "db/base/qbllbase.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

int sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

std::vector<std::string> corpus() {
    std::vector<std::string> c = {
        "",          "a",         "A",        "\xE1",    "\xC1",   "b",       "Smith",   "smith",
        "SMITH",     "Smithers",  "Sm\xEFth", "Z",       "z",      "\xC6gir", "Aegir",   "10",
        "9",         "-x",        " x",       "x",       "\xDF",   "ss",      "\x80uro", "Mueller",
        "M\xFCller", "M\xDCLLER", "\x9E",     "\x8E",    "zz",     "\xFF",    "Y",       "\xB2",
        "2",         "\xA0x",     "\x01",     "abc\x81", "abc\x8D"};
    std::mt19937 rng(12345);
    for (int i = 0; i < 300; ++i) {
        std::string s(size_t(rng() % 6), ' ');
        for (char& ch : s)
            ch = char(rng() % 256);
        c.push_back(s);
    }
    return c;
}

// Upper case of Windows-1252: a-z, the accented letters and the four pairs outside 0xC0..0xFE.
std::string fold(std::string s) {
    for (char& ch : s) {
        unsigned u = static_cast<unsigned char>(ch);
        if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
            u -= 32;
        else if (u == 0x9A || u == 0x9C || u == 0x9E)
            u -= 16;
        else if (u == 0xFF)
            u = 0x9F;
        ch = char(u);
    }
    return s;
}

// The order the collation gives the corpus, as indexes.
std::vector<size_t> orderOf(const std::vector<std::string>& c, bool noCase) {
    std::vector<size_t> idx(c.size());
    std::iota(idx.begin(), idx.end(), size_t(0));
    std::stable_sort(idx.begin(), idx.end(),
                     [&](size_t a, size_t b) { return collateAnsi(c[a], c[b], noCase) < 0; });
    return idx;
}

} // namespace

TEST(Collation, ExpectedOrderOfLettersDigitsAndSymbols) {
    auto lt = [](std::string_view a, std::string_view b, bool noCase = false) {
        return collateAnsi(a, b, noCase) < 0;
    };
    EXPECT_TRUE(lt("a", "A"));          // lower before upper
    EXPECT_TRUE(lt("A", "\xE1"));       // then the accent
    EXPECT_TRUE(lt("\xC1", "b"));       // accented a before b
    EXPECT_TRUE(lt("M\xFCller", "Mz")); // u-umlaut sorts with u
    EXPECT_TRUE(lt("-", "0"));
    EXPECT_TRUE(lt("Smith", "smithers")); // the base letters decide before the case
    EXPECT_EQ(collateWide(u"M\u00FCller", u"M\u00DCLLER", true), 0);
    EXPECT_LT(collateWide(u"\u20AC", u"\u0100", false), 0); // in the code page before outside it
}

TEST(Collation, TotalOrderEqualOnlyForEqualBytes) {
    auto c = corpus();
    for (unsigned x = 0; x < 256; ++x)
        for (unsigned y = 0; y < 256; ++y) {
            std::string a(1, char(x)), b(1, char(y));
            int r = collateAnsi(a, b, false);
            ASSERT_EQ(r == 0, x == y) << x << " " << y;
            ASSERT_EQ(sign(r), -sign(collateAnsi(b, a, false)));
        }
    for (size_t i = 0; i < c.size(); ++i)
        for (size_t j = 0; j < c.size(); ++j) {
            for (bool nc : {false, true}) {
                int r = collateAnsi(c[i], c[j], nc);
                ASSERT_EQ(sign(r), -sign(collateAnsi(c[j], c[i], nc)));
                ASSERT_EQ(r == 0, nc ? fold(c[i]) == fold(c[j]) : c[i] == c[j]) << i << " " << j;
            }
        }
    // Transitive: a sorted corpus is ordered pairwise.
    auto order = orderOf(c, false);
    for (size_t i = 0; i + 1 < order.size(); ++i)
        ASSERT_LE(collateAnsi(c[order[i]], c[order[i + 1]], false), 0);
    for (size_t i = 0; i < order.size(); i += 7)
        for (size_t j = i + 1; j < order.size(); j += 5)
            ASSERT_LE(collateAnsi(c[order[i]], c[order[j]], false), 0);
}

// Byte texts skip their common prefix in words; the same texts as UTF-16 go through the plain
// loop. Both must agree on every pair, whatever the length of the shared prefix.
TEST(Collation, ByteTextsOrderAsTheirWideForm) {
    std::string alphabet;
    for (unsigned x = 1; x < 256; ++x)
        if (plat::Utf16CharToAnsi(plat::AnsiCharToUtf16(static_cast<unsigned char>(x))) == char(x))
            alphabet.push_back(char(x));
    ASSERT_GT(alphabet.size(), 200u);
    std::mt19937 rng(11);
    auto pick = [&] { return alphabet[rng() % alphabet.size()]; };
    const std::string near = "aAbB0\xE9\xC9 ";
    for (int round = 0; round < 40000; ++round) {
        std::string a(rng() % 40, 'x');
        for (char& ch : a)
            ch = pick();
        std::string b = a.substr(0, rng() % (a.size() + 1));
        // Differ at one spot (often by case or accent only), then maybe a different tail.
        if (!b.empty() && rng() % 2) b[rng() % b.size()] = rng() % 2 ? pick() : near[rng() % near.size()];
        for (size_t t = rng() % 12; t > 0; --t)
            b.push_back(b.size() < a.size() && rng() % 3 ? a[b.size()] : pick());
        if (rng() % 2) std::swap(a, b);
        for (bool nc : {false, true}) {
            int r = collateAnsi(a, b, nc);
            ASSERT_EQ(sign(r), sign(collateWide(plat::AnsiToUtf16(a), plat::AnsiToUtf16(b), nc)))
                << a << " | " << b << " " << nc;
        }
    }
}

// Every length and every place of the one difference, so that each alignment of the word-wise
// skip and of its last, overlapping word is met: the byte texts still order as their wide form.
TEST(Collation, EveryPlaceOfOneDifferenceOrdersAsTheWideForm) {
    std::mt19937 rng(5);
    const std::string plainLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
    // Each pair differs by case only, by accent only, or in the base letter.
    const std::pair<char, char> changes[] = {
        {'e', 'E'}, {'e', '\xE9'}, {'E', '\xC9'}, {'e', 'f'}, {'9', 'a'}};
    for (size_t n = 1; n <= 40; ++n)
        for (size_t at = 0; at < n; ++at)
            for (auto [from, to] : changes) {
                std::string a(n, 'x');
                for (char& ch : a)
                    ch = plainLetters[rng() % plainLetters.size()];
                a[at] = from;
                std::string b = a;
                b[at] = to;
                for (const std::string& tail : {std::string(), std::string("z")}) {
                    const std::string b2 = b + tail;
                    for (bool nc : {false, true}) {
                        const int r = collateAnsi(a, b2, nc);
                        ASSERT_EQ(sign(r), sign(collateWide(plat::AnsiToUtf16(a), plat::AnsiToUtf16(b2), nc)))
                            << n << " " << at << " " << to << " " << nc;
                        ASSERT_EQ(sign(collateAnsi(b2, a, nc)), -sign(r));
                    }
                }
            }
}

TEST(Collation, SameOrderWhateverTheProcessLocale) {
    auto c = corpus();
    std::string saved = std::setlocale(LC_ALL, nullptr);
    std::vector<std::vector<size_t>> orders;
    std::vector<std::string> used;
    for (const char* loc : {"C", "C.UTF-8", "C.utf8", "de_DE.UTF-8", "en_US.UTF-8", "POSIX"}) {
        if (!std::setlocale(LC_ALL, loc)) continue;
        setenv("LANG", loc, 1);
        setenv("LC_ALL", loc, 1);
        used.push_back(loc);
        orders.push_back(orderOf(c, false));
        orders.push_back(orderOf(c, true));
    }
    std::setlocale(LC_ALL, saved.c_str());
    unsetenv("LC_ALL");
    ASSERT_GE(used.size(), 2u) << "needs two locales";
    for (size_t i = 2; i < orders.size(); ++i)
        EXPECT_EQ(orders[i], orders[i % 2]) << used[i / 2];
}

TEST(KeyComparers, PartialLengthCaseAndDirection) {
    auto sh = [](std::string_view s) {
        std::string r(1, char(s.size()));
        r += s;
        r.resize(32, '\0');
        return r;
    };
    std::string smith = sh("Smith"), smithers = sh("Smithers"), lower = sh("smith");
    KeyCompareDesc d{31, 3, true, false};
    EXPECT_EQ(KeyCompareShStrLocale(smith.data(), smithers.data(), d), 0);
    d.PartialLength = 0;
    EXPECT_NE(KeyCompareShStr(smith.data(), lower.data(), d), 0);
    d.NoCase = true;
    EXPECT_EQ(KeyCompareShStr(smith.data(), lower.data(), d), 0);

    // Every comparer reverses its sign when descending.
    char pa[8] = "Smith", pb[8] = "Smyth";
    uint8_t u1[8] = {1, 0, 0, 0, 0, 0, 0, 0}, u2[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    char16_t wa[4] = u"ab", wb[4] = u"ac";
    char16_t ca = u'a', cb = u'b';
    for (bool asc : {true, false}) {
        KeyCompareDesc k{8, 0, asc, false};
        int s = asc ? -1 : 1;
        EXPECT_EQ(sign(KeyCompareU64(u1, u2, k)), s);
        EXPECT_EQ(sign(KeyCompareBytes(pa, pb, k)), s);
        EXPECT_EQ(sign(KeyCompareShStr(smith.data(), smithers.data(), k)), s);
        EXPECT_EQ(sign(KeyComparePChar(pa, pb, k)), s);
        EXPECT_EQ(sign(KeyCompareShStrLocale(smith.data(), smithers.data(), k)), s);
        EXPECT_EQ(sign(KeyComparePCharLocale(pa, pb, k)), s);
        EXPECT_EQ(sign(KeyCompareWideChar(&ca, &cb, k)), s);
        k.FieldLength = 3;
        EXPECT_EQ(sign(KeyCompareWideStrLocale(wa, wb, k)), s);
    }
    EXPECT_EQ(KeyCompareWideStrLocale(u"abX", u"abY", KeyCompareDesc{6, 2, true, false}), 0);
}

TEST(KeyComparers, LengthByteNeverReadsPastTheKey) {
    // A corrupt length byte larger than the field: only the effective length is read.
    unsigned char a[4] = {250, 'a', 'b', 'c'}, b[4] = {250, 'a', 'b', 'd'};
    KeyCompareDesc d{3, 0, true, false};
    EXPECT_LT(KeyCompareShStr(a, b, d), 0);
    EXPECT_LT(KeyCompareShStrLocale(a, b, d), 0);
    // Texts without a terminator inside the field stop at the field's end.
    char p[3] = {'x', 'y', 'z'}, q[3] = {'x', 'y', 'z'};
    EXPECT_EQ(KeyComparePCharLocale(p, q, d), 0);
    EXPECT_EQ(KeyComparePChar(p, q, d), 0);
}
