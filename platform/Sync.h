// Synchronisation stand-ins: re-entrant critical sections, auto- and manual-reset events,
// counting semaphores, thread-local storage slots and the millisecond tick counts.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

// Wait time-outs in milliseconds; Infinite waits for ever, 0 only polls.
inline constexpr uint32_t Infinite = 0xFFFFFFFFu;

// Results of a wait, numbered as the waits they stand in for report them.
enum class WaitResult : uint32_t { Signaled = 0, Timeout = 258 };

// Re-entrant mutual exclusion: the owning thread may enter again and must leave as often.
// Also satisfies BasicLockable, so std::lock_guard and std::unique_lock work with it.
class CriticalSection {
public:
    void Enter() { m_.lock(); }
    bool TryEnter() { return m_.try_lock(); }
    void Leave() { m_.unlock(); }

    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_;
};

// Starts not signalled (unless asked); a successful wait consumes the signal, so one Set wakes
// exactly one waiter, and a Set with nobody waiting is kept for the next wait.
class AutoResetEvent {
public:
    explicit AutoResetEvent(bool signaled = false) : signaled_(signaled) {}
    void Set();
    void Reset();
    WaitResult Wait(uint32_t timeoutMs = Infinite);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signaled_;
};

// Stays signalled until Reset: Set releases every waiter.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool signaled = false) : signaled_(signaled) {}
    void Set();
    void Reset();
    bool IsSet();
    WaitResult Wait(uint32_t timeoutMs = Infinite);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signaled_;
};

// A counting semaphore between 0 and a maximum; each successful wait takes one unit.
class Semaphore {
public:
    Semaphore(int32_t initialCount, int32_t maximumCount);
    // Adds count units; false (and nothing changes) when count < 1 or the maximum would be passed.
    bool Release(int32_t count = 1, int32_t* previousCount = nullptr);
    WaitResult Wait(uint32_t timeoutMs = Infinite);

private:
    std::mutex m_;
    std::condition_variable cv_;
    int32_t count_;
    const int32_t max_;
};

// Thread-local storage slots. A new slot holds nullptr in every thread, including threads that
// stored a value under an earlier slot of the same index. Using a free or invalid index fails.
inline constexpr uint32_t TlsOutOfIndexes = 0xFFFFFFFFu;
inline constexpr uint32_t TlsMaximumSlots = 1088;
uint32_t TlsAlloc();
bool TlsFree(uint32_t index);
void* TlsGetValue(uint32_t index);
bool TlsSetValue(uint32_t index, void* value);

// Milliseconds of a monotonic clock that never wraps.
uint64_t GetTickCount64();
// Its low 32 bits, which wrap about every 49.7 days; only for deadlines held in 32 bits.
uint32_t GetTickCount();
// Test hook: added to GetTickCount (not to GetTickCount64) so that tests can cross the wrap.
void SetTickCountOffsetForTesting(uint32_t offset);

} // namespace plat
