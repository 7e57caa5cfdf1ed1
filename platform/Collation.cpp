// The one collation of the system: fixed weights over Windows-1252 bytes, independent of the locale.
#include "platform/Collation.h"

#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace plat {

namespace {

struct Weight {
    uint16_t primary;  // base character
    uint8_t secondary; // accent (0 = none)
    uint8_t tertiary;  // 0 lower case or caseless, 1 upper case
};

// Letter families in order a..z; each entry is a lower-case byte and its upper-case partner
// (0 = none), the first entry unaccented, the following in the order of their accents.
struct Family {
    char base;
    const char* pairs; // pairs of bytes: lower, upper
};

constexpr Family kFamilies[] = {
    {'a', "aA\xE0\xC0\xE1\xC1\xE2\xC2\xE3\xC3\xE4\xC4\xE5\xC5\xE6\xC6\xAA\x01"},
    {'c', "cC\xE7\xC7"},
    {'d', "dD\xF0\xD0"},
    {'e', "eE\xE8\xC8\xE9\xC9\xEA\xCA\xEB\xCB"},
    {'f', "fF\x83\x01"},
    {'i', "iI\xEC\xCC\xED\xCD\xEE\xCE\xEF\xCF"},
    {'n', "nN\xF1\xD1"},
    {'o', "oO\xF2\xD2\xF3\xD3\xF4\xD4\xF5\xD5\xF6\xD6\xF8\xD8\x9C\x8C\xBA\x01"},
    {'s', "sS\x9A\x8A\xDF\x01"},
    {'t', "tT\xFE\xDE"},
    {'u', "uU\xF9\xD9\xFA\xDA\xFB\xDB\xFC\xDC"},
    {'y', "yY\xFD\xDD\xFF\x9F"},
    {'z', "zZ\x9E\x8E"},
};

constexpr bool isControl(unsigned c) {
    return c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// Primary ranges: controls, then blanks, then other symbols (in byte order), digits, letters.
constexpr uint16_t kBlank = 0x100, kSymbol = 0x110, kDigit = 0x300, kLetter = 0x400;

constexpr std::array<Weight, 256> buildWeights() {
    std::array<Weight, 256> w{};
    std::array<bool, 256> done{};
    auto set = [&](unsigned c, uint16_t p, uint8_t s, uint8_t t) {
        w[c] = Weight{p, s, t};
        done[c] = true;
    };
    for (char l = 'a'; l <= 'z'; ++l) {
        uint16_t p = uint16_t(kLetter + (l - 'a') * 4);
        set(static_cast<unsigned char>(l), p, 0, 0);
        set(static_cast<unsigned char>(l - 32), p, 0, 1);
    }
    for (const Family& f : kFamilies) {
        uint16_t p = uint16_t(kLetter + (f.base - 'a') * 4);
        size_t n = std::char_traits<char>::length(f.pairs);
        for (size_t i = 2; i + 1 < n + 1; i += 2) {
            uint8_t sec = uint8_t(i / 2);
            set(static_cast<unsigned char>(f.pairs[i]), p, sec, 0);
            if (f.pairs[i + 1] != '\x01') set(static_cast<unsigned char>(f.pairs[i + 1]), p, sec, 1);
        }
    }
    for (unsigned d = 0; d < 10; ++d)
        set('0' + d, uint16_t(kDigit + d * 2), 0, 0);
    set(0xB9, kDigit + 2, 1, 0); // superscript one, two, three
    set(0xB2, kDigit + 4, 1, 0);
    set(0xB3, kDigit + 6, 1, 0);
    uint16_t nextSymbol = kSymbol;
    for (unsigned c = 0; c < 256; ++c) {
        if (done[c]) continue;
        if (isControl(c))
            set(c, uint16_t(c < 0x20 ? c : 0x20 + (c & 0x7F)), 0, 0);
        else if (c == 0x20 || c == 0xA0)
            set(c, uint16_t(kBlank + (c == 0xA0)), 0, 0);
        else
            set(c, nextSymbol++, 0, 0);
    }
    return w;
}

// Built by the compiler: a comparison finds the table without a first-use check.
constexpr std::array<Weight, 256> kWeights = buildWeights();

const std::array<Weight, 256>& weights() {
    return kWeights;
}

Weight wideWeight(char16_t u) {
    char a = Utf16CharToAnsi(u);
    if (a != '?' || u == u'?') return weights()[static_cast<unsigned char>(a)];
    return Weight{uint16_t(0x1000 + (u >> 4)), uint8_t(u & 0x0F), 0}; // outside the code page
}

// Index of the first differing byte of a and b within n; eight bytes at a time, as keys often share
// long prefixes.
size_t firstDifference(const char* a, const char* b, size_t n) {
    auto differs = [&](size_t at, size_t& where) {
        uint64_t x, y;
        std::memcpy(&x, a + at, 8);
        std::memcpy(&y, b + at, 8);
        if (x == y) return false;
        const uint64_t d = x ^ y;
        if constexpr (std::endian::native == std::endian::little)
            where = at + size_t(std::countr_zero(d) / 8);
        else
            where = at + size_t(std::countl_zero(d) / 8);
        return true;
    };
    size_t i = 0, where = 0;
    for (; i + 8 <= n; i += 8)
        if (differs(i, where)) return where;
    // The tail as the last eight bytes, overlapping bytes already found equal.
    if (i < n && n >= 8) return differs(n - 8, where) ? where : n;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

size_t firstDifference(const char16_t* a, const char16_t* b, size_t n) {
    return size_t(std::mismatch(a, a + n, b).first - a);
}

// From byte i on, all before it equal.
template <class Str, class WeightOf>
int collateFrom(const Str& a, const Str& b, bool noCase, WeightOf weightOf, size_t i) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int second = 0, third = 0;
    for (; i < n; ++i) {
        Weight x = weightOf(a[i]), y = weightOf(b[i]);
        if (x.primary != y.primary) return x.primary < y.primary ? -1 : 1;
        if (!second && x.secondary != y.secondary) second = x.secondary < y.secondary ? -1 : 1;
        if (!third && x.tertiary != y.tertiary) third = x.tertiary < y.tertiary ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    if (second) return second;
    return noCase ? 0 : third;
}

template <class Str, class WeightOf> int collate(const Str& a, const Str& b, bool noCase, WeightOf weightOf) {
    // Equal characters weigh the same on every level: start at the first difference.
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    return collateFrom(a, b, noCase, weightOf, firstDifference(a.data(), b.data(), n));
}

// Out of line, so that the quick answer of CollateAnsi needs no registers saved.
[[gnu::noinline]] int collateAnsiFrom(std::string_view a, std::string_view b, bool noCase, size_t i) {
    const auto& w = weights();
    return collateFrom(a, b, noCase, [&w](char c) { return w[static_cast<unsigned char>(c)]; }, i);
}

} // namespace

int CollateAnsi(std::string_view a, std::string_view b, bool noCase) {
    // Most comparisons (index searches) end at the first differing byte with different base
    // characters: that case is answered here, the rest by the whole walk from that byte on.
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    const size_t i = firstDifference(a.data(), b.data(), n);
    if (i == n) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    const uint16_t x = kWeights[static_cast<unsigned char>(a[i])].primary;
    const uint16_t y = kWeights[static_cast<unsigned char>(b[i])].primary;
    if (x != y) return x < y ? -1 : 1;
    return collateAnsiFrom(a, b, noCase, i);
}

int CollateWide(std::u16string_view a, std::u16string_view b, bool noCase) {
    return collate(a, b, noCase, wideWeight);
}

} // namespace plat
