// Internal state shared by the message-layer sources: the window registry, the per-thread loops
// and the process-wide lock that guards both. Not for use outside platform/Messages*.cpp.
#pragma once
#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace plat::msgimpl {

struct Loop;

// A message sent to a window of another thread; the sender waits until `done`.
struct SentRecord {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<Loop> sender;
    LRESULT result = 0;
    bool started = false;
    bool done = false;
    bool failed = false;
};

// A queue changed only under Globals::mu whose length the owning loop may read without it: an
// empty queue is then passed over without the lock. Lengths are stored and read sequentially
// consistent: a poster stores the length before its wake-up, the loop reads it after draining its
// own, so a message whose wake-up the loop has taken is always seen.
template <class T> class CountedQueue {
public:
    bool empty() const { return q_.empty(); }
    size_t size() const { return q_.size(); }
    T& front() { return q_.front(); }
    auto begin() { return q_.begin(); }
    auto end() { return q_.end(); }
    void push_back(T v) {
        q_.push_back(std::move(v));
        counted(+1);
    }
    void pop_front() {
        q_.pop_front();
        counted(-1);
    }
    template <class P> size_t erase_if(P match) {
        size_t n = std::erase_if(q_, match);
        counted(-ptrdiff_t(n));
        return n;
    }
    void clear() {
        q_.clear();
        n_.store(0);
    }
    // Without the lock.
    size_t waiting() const { return n_.load(); }

private:
    // Kept by steps rather than from q_.size(), which a deque works out from its blocks; only
    // writers under the lock change it, so reading it relaxed here is exact.
    void counted(ptrdiff_t by) { n_.store(n_.load(std::memory_order_relaxed) + size_t(by)); }
    std::deque<T> q_;
    std::atomic<size_t> n_{0};
};

struct Timer {
    uint32_t interval;
    uint64_t due;
};

struct Watch {
    int fd;
    short events;
    std::shared_ptr<std::function<void(int, short)>> cb;
};

// One per thread that uses the layer. Fields other than the descriptors and `watches` are
// guarded by Globals::mu; `watches` and `external` belong to the owning thread.
struct Loop {
    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // The descriptor is written only when not already signalled, and read only when signalled.
    void wake() const;
    bool drain() const; // true when a wake-up was pending

    int epfd = -1; // holds evfd and every watched descriptor
    int evfd = -1;
    // Set by the wake that writes evfd, cleared by the drain that reads it. Either evfd is zero
    // and no write is on its way, or the flag is set.
    mutable std::atomic<bool> signalled{false};
    bool dead = false;
    CountedQueue<MSG> posted;
    CountedQueue<std::shared_ptr<SentRecord>> sent;
    std::map<std::pair<HWND, uintptr_t>, Timer> timers;
    std::set<std::tuple<uint64_t, HWND, uintptr_t>> timerOrder; // by due time
    // The first due time in timerOrder (UINT64_MAX: none), for reading without the lock; kept by
    // timersChanged() after every change of timerOrder, ordered as the queues' lengths.
    std::atomic<uint64_t> firstDue{UINT64_MAX};
    bool quit = false;
    int quitCode = 0;

    std::unordered_map<WatchId, Watch> watches;
    WatchId nextWatch = 1;
    // Ready watches found by PollWithLoop, run by the next round instead of asking epfd again.
    // Dropped by anything that waits on epfd or changes the watches.
    std::vector<std::pair<WatchId, short>> polled;
    bool polledValid = false;
    bool external = false; // someone else's loop (Qt) waits on epfd: keep it signalled while work is left
    // The outside loop's descriptors and time-out at its last PollWithLoop, for
    // ProcessWhileOutsideIdle to wait on in its place.
    std::vector<pollfd> outsideFds;
    size_t outsideAt = 0;   // where epfd stands among them
    int64_t outsideDue = 0; // end of its time-out, on the real clock (ms)
    bool outsideValid = false;
    // Ends ProcessWhileOutsideIdle's waits: set once for each end, not armed and cancelled by
    // every poll (-1: not made yet, or the system would not give one).
    int deadlineFd = -1;
    int64_t deadlineArmed = -1; // the end it is set to, on the real clock (ms); -2: none to be had
};

// Keeps Loop::firstDue in step with timerOrder. Caller holds G().mu.
inline void timersChanged(Loop& L) {
    L.firstDue.store(L.timerOrder.empty() ? UINT64_MAX : std::get<0>(*L.timerOrder.begin()));
}

struct Window {
    std::shared_ptr<Loop> loop;
    std::shared_ptr<WndProc> proc;
};

struct Slot {
    uint32_t gen = 1;
    std::shared_ptr<Window> w;
};

struct Globals {
    std::mutex mu;
    std::vector<Slot> slots{1}; // slot 0 is never used, so no handle is 0
    std::deque<uint32_t> freeSlots;
    std::vector<Loop*> loops;
    std::map<std::string, UINT> registered;
    UINT nextRegistered = 0xC000;
    DispatchExceptionHandler onException;
};

inline Globals& G() {
    static Globals* g = new Globals; // never destroyed: thread exits after static destruction still use it
    return *g;
}
// A handle is a slot index and the slot's generation.
constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
inline HWND makeHandle(uint32_t index, uint32_t gen) {
    return (gen << kIndexBits) | index;
}

// Window of a handle, or nullptr for 0, a stale or a forged handle. Caller holds G().mu.
inline Window* lookup(HWND h) {
    Globals& g = G();
    const uint32_t index = h & kIndexMask;
    if (index == 0 || index >= g.slots.size()) return nullptr;
    Slot& s = g.slots[index];
    if (!s.w || makeHandle(index, s.gen) != h) return nullptr;
    return s.w.get();
}
// The calling thread's loop, created on first use.
Loop& current();
std::shared_ptr<Loop> currentShared();
// Calls a window procedure; an exception is passed to the dispatch exception handler.
LRESULT callProc(const WndProc& proc, HWND h, UINT m, WPARAM w, LPARAM l);
void reportException(std::exception_ptr e);
// Runs the sent messages waiting on the loop; true when at least one ran.
bool runSent(Loop& L);
inline bool processSent(Loop& L) {
    return L.sent.waiting() != 0 && runSent(L); // most rounds find none: no call, no lock
}
void wakeAll();

// The loop whose watch callbacks the calling thread is running, or nullptr. Posts from those
// callbacks to that loop need no wake-up: the loop looks at its queue right after them.
extern thread_local constinit Loop* t_watchRound; // constinit: read without a wrapper call
// Clears t_watchRound for a stretch that may block or run arbitrary code (window procedures,
// nested loops), and restores it afterwards.
class OutsideWatchRound {
public:
    OutsideWatchRound() : saved_(t_watchRound) { t_watchRound = nullptr; }
    ~OutsideWatchRound() { t_watchRound = saved_; }
    OutsideWatchRound(const OutsideWatchRound&) = delete;
    OutsideWatchRound& operator=(const OutsideWatchRound&) = delete;

private:
    Loop* saved_;
};

} // namespace plat::msgimpl
