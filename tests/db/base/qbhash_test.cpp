// Tests of the hash tables: growth and shrink thresholds, disposal, iteration order, thread
// variants under concurrent use, and the byte hash.
#include "db/base/qbhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {
void* val(uintptr_t v) {
    return reinterpret_cast<void*>(v);
}
} // namespace

TEST(HashBytes, ElfHashValues) {
    EXPECT_EQ(HashShStr("abc"), 0x6783u);
    // Longer inputs push bits into the top nibble, which folds back in.
    EXPECT_EQ(HashBytes("abcdefghijklmnopqrstuvwxyz0123456789", 36), 0x067D7F09u);
    std::string big(100000, '\xFF');
    EXPECT_LT(HashBytes(big.data(), big.size()), 1u << 28);
}

// Runs of zero bytes, which the hash takes eight at a time, hash as they do one byte at a time:
// every length and place of a run, between bytes that fill all 28 bits.
TEST(HashBytes, ZeroRunsHashAsSingleBytes) {
    auto reference = [](const std::vector<unsigned char>& b) {
        uint32_t h = 0;
        for (unsigned char c : b) {
            h = (h << 4) + c;
            const uint32_t g = h & 0xF0000000u;
            h ^= g >> 24;
            h &= ~g;
        }
        return h;
    };
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (size_t len = 0; len <= 48; ++len)
        for (size_t start = 0; start <= len; ++start)
            for (size_t run = 0; start + run <= len; run += 1 + run / 3) {
                std::vector<unsigned char> b(len);
                for (auto& c : b)
                    c = static_cast<unsigned char>(next() >> 24 | 1);
                std::fill(b.begin() + std::ptrdiff_t(start), b.begin() + std::ptrdiff_t(start + run), 0);
                ASSERT_EQ(HashBytes(b.data(), b.size()), reference(b))
                    << "length " << len << ", zeros from " << start << " for " << run;
            }
    std::vector<unsigned char> zeros(1000, 0);
    zeros[999] = 0x7F;
    EXPECT_EQ(HashBytes(zeros.data(), zeros.size()), reference(zeros));
    // Many runs of every length, as bookmarks have them (a small number, then its zero bytes).
    for (int round = 0; round < 4000; ++round) {
        std::vector<unsigned char> b(next() >> 26);
        for (auto& c : b)
            c = next() >> 31 ? 0 : static_cast<unsigned char>(next() >> 24 | 1);
        ASSERT_EQ(HashBytes(b.data(), b.size()), reference(b)) << "round " << round;
    }
}

TEST(Hash, AddGetRemoveAndDisposal) {
    TqbHash h;
    std::vector<void*> disposed;
    h.OnDisposeValue = [&](TqbBaseHashTable* t, void* v) {
        EXPECT_EQ(t, &h);
        disposed.push_back(v);
    };
    EXPECT_TRUE(h.Add(5, val(50)));
    EXPECT_FALSE(h.Add(5, val(51)));     // the key exists
    EXPECT_TRUE(h.Add(5 + 59, val(64))); // same bucket
    EXPECT_TRUE(h.Remove(5));
    EXPECT_EQ(h.Get(64), val(64));
    EXPECT_EQ(disposed, std::vector<void*>{val(50)});
    // Keys of any value, object references included, land in a valid bucket.
    EXPECT_TRUE(h.Add(uintptr_t(-1), val(1)));
    int local;
    EXPECT_TRUE(h.Add(&local, val(3)));
    EXPECT_EQ(h.Get(uintptr_t(-1)), val(1));
    h.Clear();
    EXPECT_EQ(disposed.size(), 4u);
}

TEST(Hash, GrowthAndShrinkThresholds) {
    TqbHash h;
    for (uintptr_t k = 0; k < 236; ++k)
        h.Add(k, val(k + 1));
    EXPECT_EQ(h.BucketCount(), 59u); // 236 = 4 x 59: not yet
    h.Add(236, val(237));
    EXPECT_EQ(h.BucketCount(), 127u);
    for (uintptr_t k = 0; k <= 236; ++k)
        ASSERT_EQ(h.Get(k), val(k + 1));

    // Shrinking: only when enabled, at least 11 nodes, and buckets > 6 x count.
    for (uintptr_t k = 236; k >= 21; --k)
        h.Remove(k);
    EXPECT_EQ(h.BucketCount(), 127u); // not enabled
    h.SetShrinkEnabled(true);
    h.Remove(20); // 20 nodes: 127 > 120
    EXPECT_EQ(h.BucketCount(), 59u);
    for (uintptr_t k = 0; k < 10; ++k)
        ASSERT_EQ(h.Get(k), val(k + 1));

    // At the initial size a refused shrink is remembered until the next growth.
    TqbHash s(1);
    s.SetShrinkEnabled(true);
    for (uintptr_t k = 0; k < 20; ++k)
        s.Add(k, val(1));
    s.Remove(19); // 19 nodes, 127 > 114: refused at the initial size
    EXPECT_TRUE(s.AtInitialSize());
    EXPECT_EQ(s.BucketCount(), 127u);
}

TEST(Hash, ThreadHashConcurrentAddRemove) {
    std::atomic<int> disposed{0}; // outlives the table, which disposes of its values when it goes
    TqbThreadHash64 h(2);
    h.OnDisposeValue = [&](TqbBaseHashTable*, void*) { disposed++; };
    constexpr int kThreads = 8, kPer = 4000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < kPer; ++i) {
                U64 k = U64::From(uint64_t(t) << 40 | uint64_t(i));
                h.BeginWrite()->Add(k, val(uintptr_t(i + 1)));
                h.EndWrite();
                void* got = h.BeginRead()->Get(k);
                h.EndRead();
                ASSERT_EQ(got, val(uintptr_t(i + 1)));
                if (i % 2) {
                    bool removed = h.BeginWrite()->Remove(k);
                    h.EndWrite();
                    ASSERT_TRUE(removed);
                }
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(h.Count(), kThreads * kPer / 2);
    EXPECT_EQ(disposed.load(), kThreads * kPer / 2);
    int seen = 0;
    h.Iterate([&](const U64& k, void* v) {
        EXPECT_EQ((k.Value() & 0xFFFFFFFF) % 2, 0u);
        seen++;
    });
    EXPECT_EQ(seen, kThreads * kPer / 2);
}
