// Base-layer costs beside their standard-library references, uncontended: padlock against
// std::recursive_mutex, portal reads and writes against std::shared_mutex, hash look-up against
// std::unordered_map, and a 32-byte string-key comparison with the fixed collation against memcmp.
#include "bench/BenchFigures.h"
#include "db/base/qbhash.h"
#include "db/base/qbllbase.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

void BM_Padlock(benchmark::State& state) {
    TqbPadlock p;
    for (auto _ : state) {
        p.Lock();
        p.Unlock();
    }
}
BENCHMARK(BM_Padlock);

void BM_RecursiveMutex(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_RecursiveMutex);

void BM_PortalRead(benchmark::State& state) {
    TqbReadWritePortal p;
    for (auto _ : state) {
        p.BeginRead();
        p.EndRead();
    }
}
BENCHMARK(BM_PortalRead);

void BM_SharedMutexRead(benchmark::State& state) {
    std::shared_mutex m;
    for (auto _ : state) {
        m.lock_shared();
        m.unlock_shared();
    }
}
BENCHMARK(BM_SharedMutexRead);

void BM_PortalWrite(benchmark::State& state) {
    TqbReadWritePortal p;
    for (auto _ : state) {
        p.BeginWrite();
        p.EndWrite();
    }
}
BENCHMARK(BM_PortalWrite);

void BM_SharedMutexWrite(benchmark::State& state) {
    std::shared_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_SharedMutexWrite);

std::vector<uint64_t> hashKeys(size_t n) {
    std::mt19937_64 rng(7);
    std::vector<uint64_t> k(n);
    for (auto& x : k)
        x = rng() >> 1;
    return k;
}

void BM_TqbHashGet(benchmark::State& state) {
    auto keys = hashKeys(size_t(state.range(0)));
    TqbHash h;
    for (uint64_t k : keys)
        h.Add(uintptr_t(k), reinterpret_cast<void*>(uintptr_t(k | 1)));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(h.Get(uintptr_t(keys[i])));
        if (++i == keys.size()) i = 0;
    }
}
BENCHMARK(BM_TqbHashGet)->Arg(1000)->Arg(pwbench::size(1000000, 10000));

void BM_UnorderedMapFind(benchmark::State& state) {
    auto keys = hashKeys(size_t(state.range(0)));
    std::unordered_map<uintptr_t, void*> m;
    for (uint64_t k : keys)
        m.emplace(uintptr_t(k), reinterpret_cast<void*>(uintptr_t(k | 1)));
    size_t i = 0;
    for (auto _ : state) {
        auto it = m.find(uintptr_t(keys[i]));
        benchmark::DoNotOptimize(it->second);
        if (++i == keys.size()) i = 0;
    }
}
BENCHMARK(BM_UnorderedMapFind)->Arg(1000)->Arg(pwbench::size(1000000, 10000));

// Length-prefixed keys of 32 bytes (length byte and 31 characters) that differ near the end, as
// names sharing a long prefix do in an index.
std::vector<std::string> stringKeys() {
    std::vector<std::string> keys;
    std::mt19937 rng(11);
    std::string prefix = "Harrowgate-Quillbase-Contact-";
    for (int i = 0; i < 256; ++i) {
        std::string k(1, char(31));
        k += prefix;
        while (k.size() < 32)
            k.push_back(char('a' + rng() % 26));
        keys.push_back(k);
    }
    return keys;
}

void BM_KeyCompareCollation(benchmark::State& state) {
    auto keys = stringKeys();
    KeyCompareDesc d{31, 0, true, state.range(0) != 0};
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(KeyCompareShStrLocale(keys[i].data(), keys[(i + 1) & 255].data(), d));
        i = (i + 1) & 255;
    }
}
BENCHMARK(BM_KeyCompareCollation)->Arg(0)->Arg(1);

void BM_Memcmp32(benchmark::State& state) {
    auto keys = stringKeys();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memcmp(keys[i].data(), keys[(i + 1) & 255].data(), 32));
        i = (i + 1) & 255;
    }
}
BENCHMARK(BM_Memcmp32);

} // namespace

BENCHMARK_MAIN();
