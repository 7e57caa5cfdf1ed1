// Windows-1252 conversion tables and locale-independent case folding.
#include "platform/Text.h"

#include <array>
#include <unordered_map>

namespace plat {

namespace {
// 0x80..0x9F; the undefined bytes map to themselves.
constexpr std::array<char16_t, 32> kHigh = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

const std::unordered_map<char16_t, unsigned char>& reverseHigh() {
    static const std::unordered_map<char16_t, unsigned char> m = [] {
        std::unordered_map<char16_t, unsigned char> r;
        for (int i = 0; i < 32; ++i)
            r.emplace(kHigh[i], static_cast<unsigned char>(0x80 + i));
        return r;
    }();
    return m;
}
} // namespace

char16_t AnsiCharToUtf16(unsigned char c) {
    if (c >= 0x80 && c < 0xA0) return kHigh[c - 0x80];
    return c;
}

char Utf16CharToAnsi(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    auto& m = reverseHigh();
    auto it = m.find(u);
    return it == m.end() ? '?' : static_cast<char>(it->second);
}

void AnsiToUtf16(std::string_view s, char16_t* out) {
    for (size_t i = 0; i < s.size(); ++i)
        out[i] = AnsiCharToUtf16(static_cast<unsigned char>(s[i]));
}

std::u16string AnsiToUtf16(std::string_view s) {
    std::u16string r(s.size(), u'\0');
    AnsiToUtf16(s, r.data());
    return r;
}

std::string Utf16ToAnsi(std::u16string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            ++i; // a surrogate pair is one character outside the code page
            r.push_back('?');
            continue;
        }
        r.push_back(Utf16CharToAnsi(u));
    }
    return r;
}

int DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80) {
        cp = c;
        n = 1;
    } else if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1F;
        n = 2;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F;
        n = 3;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07;
        n = 4;
    } else {
        return 0;
    }
    if (i + n > s.size()) return -1;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    return int(n);
}

std::string Utf8ToAnsi(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const int n = DecodeUtf8(s, i, cp);
        if (n < 0) { // cut short at the end
            r.push_back('?');
            break;
        }
        if (n == 0) {
            r.push_back('?');
            ++i;
            continue;
        }
        i += size_t(n);
        r.push_back(cp <= 0xFFFF ? Utf16CharToAnsi(static_cast<char16_t>(cp)) : '?');
    }
    return r;
}

std::string AnsiToUtf8(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (unsigned char c : s) {
        char16_t u = AnsiCharToUtf16(c);
        if (u < 0x80)
            r.push_back(static_cast<char>(u));
        else if (u < 0x800) {
            r.push_back(static_cast<char>(0xC0 | (u >> 6)));
            r.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            r.push_back(static_cast<char>(0xE0 | (u >> 12)));
            r.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            r.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return r;
}

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiUpper(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        c = AsciiUpper(c);
    return r;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

} // namespace plat
