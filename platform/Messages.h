// Per-thread message queues, hidden windows, window timers and descriptor watches, with an
// injectable millisecond clock. Built on epoll and eventfd; one loop object per thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string_view>

struct pollfd;

namespace plat {

using HWND = uint32_t; // 0 = none; from a registry (index + generation), never a pointer
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WndProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

constexpr UINT WM_NULL = 0, WM_DESTROY = 0x0002, WM_CLOSE = 0x0010, WM_QUIT = 0x0012, WM_COPYDATA = 0x004A,
               WM_TIMER = 0x0113, WM_USER = 0x0400;

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    uint64_t time;
};

struct COPYDATASTRUCT {
    uintptr_t dwData;
    uint32_t cbData;
    const void* lpData;
};

// Every call of a window procedure made by this layer (dispatch, send, timers) is guarded: an
// exception goes to the dispatch exception handler below and the call gives 0.
HWND CreateHiddenWindow(WndProc proc); // belongs to the calling thread's queue; 0 when proc is empty
// Any thread. Purges its queued messages, timers and waiting sends (their senders get a failure);
// the procedure is not called again, and the handle is never given to another window.
// Windows of a thread that ends are destroyed with its loop.
bool DestroyWindow(HWND);
bool IsWindow(HWND);
// A handle no window ever has: PostMessage to it posts a copy to every window of the process.
constexpr HWND HWND_BROADCAST = 0xFFFF;

bool PostMessage(HWND, UINT, WPARAM, LPARAM);    // any thread; false when the window is gone
LRESULT SendMessage(HWND, UINT, WPARAM, LPARAM); // same thread: direct call; other: queued, caller waits
// As SendMessage, but gives up after timeoutMs (injectable clock) and returns false; also false when
// the window is gone or goes away before answering.
bool SendMessageTimeout(HWND, UINT, WPARAM, LPARAM, uint32_t timeoutMs, LRESULT* result);
void PostQuitMessage(int exitCode);
bool GetMessage(MSG*); // blocks; false on WM_QUIT (wParam = exit code)
bool PeekMessage(MSG*, bool remove);
LRESULT DispatchMessage(const MSG&);
// WM_TIMER with wParam = id every elapseMs (at least 10). Timer messages are made only when no
// posted message waits, at most one per timer: ticks missed by a busy loop are not made up.
// Setting an existing id restarts it. Returns id (so use ids other than 0); 0 when the window is gone.
uintptr_t SetTimer(HWND, uintptr_t id, uint32_t elapseMs);
bool KillTimer(HWND, uintptr_t id);
UINT RegisterWindowMessage(std::string_view name); // same name -> same number, 0xC000..0xFFFF
// Removes queued messages matching a predicate (used by closesocket to purge stale notifications).
// The predicate runs under the layer's lock: it must not call into the layer.
size_t RemoveQueuedMessages(HWND, const std::function<bool(const MSG&)>& match);

// Descriptor watches on the calling thread's loop: the callback runs on that thread when poll()
// reports the events (POLLIN / POLLOUT ...). Used by the sockets stand-in. Readiness is level-
// triggered: the callback must consume it or change the watch. One watch per descriptor and
// thread (0 on failure); remove the watch before closing the descriptor. A callback must not run
// an outside (Qt) event loop itself: what it posts to its own thread is looked at once it returns.
using WatchId = uint32_t;
WatchId WatchFd(int fd, short events, std::function<void(int fd, short revents)> cb);
void ChangeWatch(WatchId, short events);
void UnwatchFd(WatchId);

// Runs pending work once without blocking: ready watches, due timers, posted messages
// (for loops owned by someone else, e.g. Qt). Returns after the queue is empty, or after a bounded
// number of rounds when handlers keep posting; LoopWakeFd() then stays readable. Leaves WM_QUIT.
// True when a descriptor watch ran.
bool ProcessPendingMessages();
// Blocks up to timeoutMs of real time (-1: until work comes) on the calling thread's loop
// descriptor; true when work is ready. Lets a thread that owns its loop sleep until work comes.
bool WaitForWork(int timeoutMs);
// Waits up to timeoutMs (of the injectable clock) while pumping messages, until pred() is true.
bool PumpUntil(const std::function<bool()>& pred, uint64_t timeoutMs);
// One descriptor that becomes readable whenever the calling thread's loop has work
// (posted message, ready watch, woken by a clock change); the Qt glue puts a QSocketNotifier on it.
int LoopWakeFd();
// poll() for an outside loop waiting on LoopWakeFd() among other descriptors: the loop's own
// descriptors are polled in its place, so the next ProcessPendingMessages() knows the ready
// watches without asking again. Same result as poll() on fds.
int PollWithLoop(struct pollfd* fds, size_t n, int timeoutMs);
// For an outside loop polling through PollWithLoop, after ProcessPendingMessages(): while only
// this loop's own descriptors become ready, waits for them in that loop's place and runs their
// work, saving the outside loop a round per event. Returns as soon as one of the outside loop's
// descriptors is ready (its events and wake-ups included), when its time-out from its last poll
// ends, or after budgetMs of real time, which bounds how late anything it was not told of can be.
void ProcessWhileOutsideIdle(int budgetMs);
// Milliseconds until the calling thread's next window timer is due; -1 when none.
int64_t NextTimerDelayMs();

// Receives exceptions that escape a window procedure or a watch callback run by the loop; the loop
// then goes on with the next message. Process-wide; nullptr restores the default (message to stderr).
using DispatchExceptionHandler = std::function<void(std::exception_ptr)>;
void SetDispatchExceptionHandler(DispatchExceptionHandler handler);

// Injectable clock (64-bit monotonic milliseconds). Real by default.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t NowMs() = 0;
};
uint64_t NowMs();
// The same clock read cheaply at the system tick's grain (a few ms), for stamps taken on hot paths
// and compared against minutes. An injected clock is read as it is.
uint64_t CoarseNowMs();
// About how far CoarseNowMs() lags NowMs(): one tick of the coarse clock and a millisecond for
// rounding (a late tick can make it more); 0 for an injected clock.
uint64_t CoarseGrainMs();
// nullptr = real clock. Pending window timers keep the time they had left.
void SetClock(Clock* clock);

// For tests: Advance() and Set() wake every loop so that due timers fire and time-outs expire.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t startMs = 1000000) : now_(startMs) {}
    uint64_t NowMs() override;
    void Advance(uint64_t ms);
    void Set(uint64_t ms);

private:
    std::atomic<uint64_t> now_;
};

} // namespace plat
