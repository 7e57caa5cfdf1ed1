// Tests of the table-block scrambler: fixed keystreams, geometry and round trip.
#include "db/base/qbtbcryp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The keystream from index 0: a zero block at position 0 scrambles to it.
std::vector<uint8_t> keystream(TqbScrambleKey key) {
    std::vector<uint8_t> b(4096, 0);
    ScrambleBlock(b.data(), b.size(), 0, key);
    return b;
}

uint64_t fnv1a(const std::vector<uint8_t>& b) {
    uint64_t h = 14695981039346656037ull;
    for (uint8_t x : b)
        h = (h ^ x) * 1099511628211ull;
    return h;
}

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        s += buf;
    }
    return s;
}

} // namespace

// Encrypted table files depend on these bytes: they must never change.
TEST(Scrambler, KeystreamsAreFixed) {
    auto a = keystream(TqbScrambleKey::A), b = keystream(TqbScrambleKey::B);
    EXPECT_EQ(hex(a.data(), 16), "3c129628ae3e829b68a2473ae221f53b");
    EXPECT_EQ(hex(b.data(), 16), "d2a719381ceb6f7e0e23b39238de02c1");
    EXPECT_EQ(fnv1a(a), 707401234368473576ull);
    EXPECT_EQ(fnv1a(b), 12107931145585606604ull);
}

TEST(Scrambler, GeometryOfOffsetsStridesAndTail) {
    auto ks = keystream(TqbScrambleKey::A);
    // A 4096-byte block at position 4096 starts at keystream index 4080 and wraps to 0.
    std::vector<uint8_t> z(4096, 0);
    ScrambleBlock(z.data(), z.size(), 4096, TqbScrambleKey::A);
    for (size_t i = 0; i < 16; ++i)
        ASSERT_EQ(z[i], ks[4080 + i]) << i;
    for (size_t i = 16; i < 4096; ++i)
        ASSERT_EQ(z[i], ks[i - 16]) << i;

    // Only bits 12..19 of the position (low 32 bits) choose the start.
    auto at = [](uint64_t pos) {
        std::vector<uint8_t> b(64, 0x5A);
        ScrambleBlock(b.data(), b.size(), pos, TqbScrambleKey::B);
        return b;
    };
    EXPECT_EQ(at(0x3000), at(0x3FFF));
    EXPECT_EQ(at(0x3000), at(0x100003000ull));
    EXPECT_NE(at(0x3000), at(0x83000));

    // A tail shorter than 16 bytes is left as it is.
    std::vector<uint8_t> t(37, 0xAB);
    ScrambleBlock(t.data(), t.size(), 0, TqbScrambleKey::A);
    for (size_t i = 0; i < 37; ++i)
        EXPECT_EQ(t[i], i < 32 ? uint8_t(0xAB ^ ks[i]) : 0xAB) << i;
}

TEST(Scrambler, RoundTripRestoresEveryBlockSize) {
    for (size_t size : {4096u, 65536u}) {
        std::vector<uint8_t> orig(size);
        for (size_t i = 0; i < size; ++i)
            orig[i] = uint8_t(i * 31 + size);
        for (auto key : {TqbScrambleKey::A, TqbScrambleKey::B}) {
            auto b = orig;
            uint64_t pos = uint64_t(size) * 7;
            ScrambleBlock(b.data(), b.size(), pos, key);
            ASSERT_NE(b, orig);
            (key == TqbScrambleKey::A ? UnscrambleBlockA : UnscrambleBlockB)(b.data(), b.size(), pos);
            ASSERT_EQ(b, orig) << size;
        }
    }
}
