// Lock manager throughput: uncontended record-lock acquire/release pairs per second, and 8 threads
// on disjoint records against 8 threads on one record, each beside a plain mutex-and-map lock table.
#include "db/storage/qbsrlock.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace {

TqbLockManager g_manager;
TqbFileRecordLocks g_file;

// Reference: the least a record-lock table does, one mutex around a map of holders.
struct ReferenceLockTable {
    std::mutex m;
    std::unordered_map<uint64_t, uint64_t> holders;
    void lock(uint64_t ref, uint64_t owner) {
        std::lock_guard lk(m);
        holders.emplace(ref, owner);
    }
    void unlock(uint64_t ref) {
        std::lock_guard lk(m);
        holders.erase(ref);
    }
};
ReferenceLockTable g_reference;
std::mutex g_oneMutex;

void BM_RecordLockPair(benchmark::State& state) {
    TqbLockManager lm;
    TqbFileRecordLocks file;
    const TqbLockOwnerID cursor = NewLockOwnerID();
    for (auto _ : state) {
        TqbLockResult r = lm.AcquireRecordLock(4096, file, cursor, cursor, nullptr, 0, false, lmExclusive);
        benchmark::DoNotOptimize(r);
        lm.ReleaseRecordLock(4096, file, cursor, nullptr);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordLockPair);

void BM_Reference_MutexMapPair(benchmark::State& state) {
    ReferenceLockTable table;
    for (auto _ : state) {
        table.lock(4096, 1);
        table.unlock(4096);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_MutexMapPair);

void BM_CursorContentLockPair(benchmark::State& state) {
    TqbLockManager lm;
    TqbLockContainer content;
    const TqbLockOwnerID cursor = NewLockOwnerID();
    for (auto _ : state) {
        TqbLockResult r = lm.AcquireCursorContentLock(content, cursor, lmShare, 0);
        benchmark::DoNotOptimize(r);
        lm.ReleaseCursorContentLock(content, cursor);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CursorContentLockPair);

void BM_RecordLock8Disjoint(benchmark::State& state) {
    const TqbLockOwnerID cursor = NewLockOwnerID();
    const uint64_t ref = 4096 * uint64_t(state.thread_index() + 1);
    for (auto _ : state) {
        g_manager.AcquireRecordLock(ref, g_file, cursor, cursor, nullptr, 0, false, lmExclusive);
        g_manager.ReleaseRecordLock(ref, g_file, cursor, nullptr);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordLock8Disjoint)->Threads(8)->UseRealTime();

void BM_RecordLock8Same(benchmark::State& state) {
    const TqbLockOwnerID cursor = NewLockOwnerID();
    for (auto _ : state) {
        g_manager.AcquireRecordLock(4096, g_file, cursor, cursor, nullptr, 0, false, lmExclusive);
        g_manager.ReleaseRecordLock(4096, g_file, cursor, nullptr);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordLock8Same)->Threads(8)->UseRealTime();

void BM_Reference_MutexMap8Disjoint(benchmark::State& state) {
    const uint64_t ref = 4096 * uint64_t(state.thread_index() + 1);
    for (auto _ : state) {
        g_reference.lock(ref, 1);
        g_reference.unlock(ref);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_MutexMap8Disjoint)->Threads(8)->UseRealTime();

// Reference for one hot record: 8 threads taking turns on one mutex.
void BM_Reference_OneMutex8Same(benchmark::State& state) {
    for (auto _ : state) {
        g_oneMutex.lock();
        benchmark::ClobberMemory();
        g_oneMutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reference_OneMutex8Same)->Threads(8)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
