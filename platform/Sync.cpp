// Events, semaphores, thread-local slots and tick counts over the standard library.
#include "platform/Sync.h"

#include <array>
#include <atomic>
#include <chrono>
#include <vector>

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

// Waits on cv until ready() or the time-out; true when ready.
template <class Pred>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
             Pred ready) {
    if (timeoutMs == Infinite) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(timeoutMs), ready);
}

} // namespace

void AutoResetEvent::Set() {
    {
        std::lock_guard lock(m_);
        signaled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Reset() {
    std::lock_guard lock(m_);
    signaled_ = false;
}

WaitResult AutoResetEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    if (!waitFor(cv_, lock, timeoutMs, [this] { return signaled_; })) return WaitResult::Timeout;
    signaled_ = false;
    return WaitResult::Signaled;
}

void ManualResetEvent::Set() {
    {
        std::lock_guard lock(m_);
        signaled_ = true;
    }
    cv_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(m_);
    signaled_ = false;
}

bool ManualResetEvent::IsSet() {
    std::lock_guard lock(m_);
    return signaled_;
}

WaitResult ManualResetEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    return waitFor(cv_, lock, timeoutMs, [this] { return signaled_; }) ? WaitResult::Signaled
                                                                       : WaitResult::Timeout;
}

Semaphore::Semaphore(int32_t initialCount, int32_t maximumCount)
    : count_(initialCount < 0 ? 0 : initialCount), max_(maximumCount < 1 ? 1 : maximumCount) {
    if (count_ > max_) count_ = max_;
}

bool Semaphore::Release(int32_t count, int32_t* previousCount) {
    {
        std::lock_guard lock(m_);
        if (count < 1 || count > max_ - count_) return false;
        if (previousCount) *previousCount = count_;
        count_ += count;
    }
    if (count == 1)
        cv_.notify_one();
    else
        cv_.notify_all();
    return true;
}

WaitResult Semaphore::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    if (!waitFor(cv_, lock, timeoutMs, [this] { return count_ > 0; })) return WaitResult::Timeout;
    --count_;
    return WaitResult::Signaled;
}

// Each slot carries a generation (0 = free); a thread's stored value counts only while its
// generation matches, which makes a freshly allocated slot read as nullptr in every thread.
namespace {

std::mutex tlsMutex;
std::array<std::atomic<uint64_t>, TlsMaximumSlots> tlsGeneration{};
uint64_t tlsNextGeneration = 1;

struct TlsEntry {
    uint64_t generation = 0;
    void* value = nullptr;
};
thread_local std::vector<TlsEntry> tlsValues;

} // namespace

uint32_t TlsAlloc() {
    std::lock_guard lock(tlsMutex);
    for (uint32_t i = 0; i < TlsMaximumSlots; ++i)
        if (tlsGeneration[i].load() == 0) {
            tlsGeneration[i].store(tlsNextGeneration++);
            return i;
        }
    return TlsOutOfIndexes;
}

bool TlsFree(uint32_t index) {
    std::lock_guard lock(tlsMutex);
    if (index >= TlsMaximumSlots || tlsGeneration[index].load() == 0) return false;
    tlsGeneration[index].store(0);
    return true;
}

void* TlsGetValue(uint32_t index) {
    if (index >= TlsMaximumSlots || index >= tlsValues.size()) return nullptr;
    uint64_t gen = tlsGeneration[index].load();
    const TlsEntry& e = tlsValues[index];
    return gen != 0 && e.generation == gen ? e.value : nullptr;
}

bool TlsSetValue(uint32_t index, void* value) {
    if (index >= TlsMaximumSlots) return false;
    uint64_t gen = tlsGeneration[index].load();
    if (gen == 0) return false;
    if (tlsValues.size() <= index) tlsValues.resize(index + 1);
    tlsValues[index] = {gen, value};
    return true;
}

namespace {
std::atomic<uint32_t> tickOffset{0};
}

uint64_t GetTickCount64() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(GetTickCount64()) + tickOffset.load();
}

void SetTickCountOffsetForTesting(uint32_t offset) {
    tickOffset.store(offset);
}

} // namespace plat
