// The collation: base characters first, then accents, then case (ignored on request); the
// Windows-1252 comparison orders text as the UTF-16 one does.
#include "platform/Collation.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

int sign(int r) {
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

} // namespace

TEST(Collation, BaseCharacterThenAccentThenCase) {
    EXPECT_LT(plat::CollateAnsi("apple", "Banana", false), 0); // the base character decides first
    EXPECT_GT(plat::CollateAnsi("b", "A", true), 0);
    EXPECT_EQ(plat::CollateAnsi("Contact7", "cONTACT7", true), 0);
    EXPECT_NE(plat::CollateAnsi("Contact7", "cONTACT7", false), 0);
    EXPECT_LT(plat::CollateAnsi("e", "\xE9", true), 0);        // e before e acute
    EXPECT_LT(plat::CollateAnsi("\xE9"
                                "a",
                                "eb", true),
              0);                                             // but a later base character outweighs it
    EXPECT_LT(plat::CollateAnsi("contact", "contact0", true), 0); // a prefix comes first
    EXPECT_EQ(plat::CollateAnsi("", "", false), 0);
    EXPECT_LT(plat::CollateAnsi("9", "a", false), 0);         // digits before letters
}

TEST(Collation, AnsiOrderIsTheOrderOfTheSameTextInUtf16) {
    // Letters in both cases and with accents, digits, blanks and symbols; strings sharing long
    // prefixes, as index keys do, and strings of any length around the eight-byte steps.
    const std::string alphabet =
        "aAbBcCeEoOsSzZ019 -_.\xE0\xC0\xE9\xC9\xF6\xD6\xDF\x9A\x8A\xB9\xB2\xFF\x9F\xA0\x7F";
    std::mt19937 rng(20261208);
    auto text = [&](size_t length) {
        std::string s;
        for (size_t i = 0; i < length; ++i)
            s += alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 200000; ++round) {
        const std::string a = text(rng() % 20);
        std::string b;
        if (rng() % 2) {
            b = a;
            if (!b.empty() && rng() % 2) b[rng() % b.size()] = alphabet[rng() % alphabet.size()];
            if (rng() % 3 == 0) b += text(rng() % 3);
            if (rng() % 4 == 0 && !b.empty()) b.pop_back();
        } else {
            b = text(rng() % 20);
        }
        for (bool noCase : {false, true}) {
            const int ansi = plat::CollateAnsi(a, b, noCase);
            ASSERT_EQ(ansi, plat::CollateWide(plat::AnsiToUtf16(a), plat::AnsiToUtf16(b), noCase))
                << "\"" << a << "\" \"" << b << "\" noCase " << noCase;
            ASSERT_EQ(sign(plat::CollateAnsi(b, a, noCase)), -sign(ansi));
        }
    }
}
