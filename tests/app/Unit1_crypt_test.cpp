// The message cipher: known vectors, output form, determinism and a full decipher round trip.
#include "app/Unit1_crypt.h"
#include "tests/app/SnppTestSupport.h"

#include <gtest/gtest.h>
#include <random>
#include <set>

TEST(Pc1Cipher, KnownVectors) {
    Pc1Cipher c;
    EXPECT_EQ(c.Crypt("Hi"), "cooh");
    EXPECT_EQ(c.Crypt("A"), "ch");
    EXPECT_EQ(c.Crypt("Call the office"), "cfpbkhakpbdccjmpdcaocpllbcdcbj");
    EXPECT_EQ(c.Crypt(std::string(1, '\0')), "gg");
    EXPECT_EQ(c.Crypt("\xFF"), "jj");
    EXPECT_EQ(c.Crypt(""), "");
}

TEST(Pc1Cipher, EveryBlockStartsFromTheStoredKey) {
    Pc1Cipher c;
    const std::string first = c.Crypt("Call the office");
    EXPECT_EQ(c.Crypt("Call the office"), first);
    // Blocks differing only in their last byte differ only in the last pair.
    const std::string other = c.Crypt("Call the officf");
    EXPECT_EQ(other.substr(0, other.size() - 2), first.substr(0, first.size() - 2));
    EXPECT_NE(other.substr(other.size() - 2), first.substr(first.size() - 2));
    // The first pair depends only on the first byte, and is a different pair for each byte.
    std::set<std::string> pairs;
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string a = c.Crypt(one + "xyz"), z = c.Crypt(one + "abc");
        EXPECT_EQ(a.substr(0, 2), z.substr(0, 2));
        pairs.insert(a.substr(0, 2));
    }
    EXPECT_EQ(pairs.size(), 256u);
}

TEST(Pc1Cipher, RandomBlocksRoundTripThroughTheDecipher) {
    std::mt19937 rng(20240611);
    Pc1Cipher c;
    for (size_t len :
         {size_t{1}, size_t{2}, size_t{17}, size_t{999}, size_t{1000}, size_t{4097}, size_t{16500}}) {
        std::string text(len, '\0');
        for (char& ch : text)
            ch = static_cast<char>(rng() & 0xFF);
        const std::string letters = c.Crypt(text);
        ASSERT_EQ(letters.size(), 2 * len);
        for (char l : letters)
            ASSERT_TRUE(l >= 'a' && l <= 'p') << int(l);
        EXPECT_EQ(snpptest::Decrypt(letters), text) << "length " << len;
    }
}

TEST(Pc1Cipher, RefusesBlocksLongerThanTheLimit) {
    Pc1Cipher c;
    EXPECT_THROW(c.Crypt(std::string(16501, 'x')), std::length_error);
    EXPECT_THROW(snpptest::Decrypt("abc"), std::invalid_argument);
    EXPECT_THROW(snpptest::Decrypt("az"), std::invalid_argument);
}
