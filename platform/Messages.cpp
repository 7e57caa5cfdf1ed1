// Message layer, part 1: window registry, per-thread loops, posting and sending, registered
// message numbers, the dispatch exception handler and the injectable clock.
#include "platform/Messages_impl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace plat {
namespace msgimpl {

namespace {

constexpr uint32_t kMaxGen = (1u << (32 - kIndexBits)) - 1;

// Frees a window slot and drops everything queued for the window. Caller holds G().mu.
void releaseSlot(uint32_t index) {
    Globals& g = G();
    Slot& s = g.slots[index];
    HWND h = makeHandle(index, s.gen);
    Loop& L = *s.w->loop;
    s.w.reset();
    s.gen = s.gen == kMaxGen ? 1 : s.gen + 1;
    g.freeSlots.push_back(index);
    L.posted.erase_if([h](const MSG& m) { return m.hwnd == h; });
    for (auto it = L.timers.lower_bound({h, 0}); it != L.timers.end() && it->first.first == h;) {
        L.timerOrder.erase({it->second.due, h, it->first.second});
        it = L.timers.erase(it);
    }
    timersChanged(L);
    L.sent.erase_if([h](const std::shared_ptr<SentRecord>& r) {
        if (r->hwnd != h) return false;
        r->done = r->failed = true;
        r->sender->wake();
        return true;
    });
}

// Ends the calling thread's loop when the thread exits: its windows go, waiting senders are released.
struct LoopHolder {
    std::shared_ptr<Loop> loop;
    ~LoopHolder() {
        if (!loop) return;
        Globals& g = G();
        std::lock_guard lk(g.mu);
        loop->dead = true;
        std::erase(g.loops, loop.get());
        for (uint32_t i = 1; i < g.slots.size(); ++i)
            if (g.slots[i].w && g.slots[i].w->loop == loop) releaseSlot(i);
        for (auto& r : loop->sent) {
            r->done = r->failed = true;
            r->sender->wake();
        }
        loop->sent.clear();
        loop->posted.clear();
        loop->timers.clear();
        loop->timerOrder.clear();
        timersChanged(*loop);
    }
};
thread_local LoopHolder t_loop;

class RealClock : public Clock {
public:
    uint64_t NowMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
    }
};
RealClock g_realClock;
std::atomic<Clock*> g_clock{nullptr};

} // namespace

Loop::Loop() {
    epfd = epoll_create1(EPOLL_CLOEXEC);
    evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    if (epfd < 0 || evfd < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, evfd, &ev) != 0) {
        int err = errno;
        if (epfd >= 0) close(epfd);
        if (evfd >= 0) close(evfd);
        throw std::system_error(err, std::generic_category(), "message loop");
    }
}

Loop::~Loop() {
    close(epfd);
    close(evfd);
    if (deadlineFd >= 0) close(deadlineFd);
}

void Loop::wake() const {
    if (signalled.exchange(true)) return; // already signalled, or the write is on its way
    uint64_t one = 1;
    ssize_t r = write(evfd, &one, sizeof one);
    (void)r; // EAGAIN means the counter is already far from zero: the loop is awake anyway
}

bool Loop::drain() const {
    if (!signalled.load()) return false;
    uint64_t v = 0;
    if (read(evfd, &v, sizeof v) != ssize_t(sizeof v))
        return false; // the waker set the flag and has not written yet: leave both to it
    // A wake between the read and this store sees the flag still set and writes nothing; the
    // caller looks at the queues after draining, so its message is not missed.
    signalled.store(false);
    return true;
}

thread_local constinit Loop* t_watchRound = nullptr;

std::shared_ptr<Loop> currentShared() {
    if (!t_loop.loop) {
        auto loop = std::make_shared<Loop>();
        std::lock_guard lk(G().mu);
        G().loops.push_back(loop.get());
        t_loop.loop = std::move(loop);
    }
    return t_loop.loop;
}

Loop& current() {
    if (!t_loop.loop) currentShared();
    return *t_loop.loop;
}

void reportException(std::exception_ptr e) {
    OutsideWatchRound outside;
    DispatchExceptionHandler h;
    {
        std::lock_guard lk(G().mu);
        h = G().onException;
    }
    try {
        if (h) {
            h(e);
            return;
        }
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        std::fprintf(stderr, "Unhandled exception in message handler: %s\n", x.what());
    } catch (...) {
        std::fprintf(stderr, "Unhandled exception in message handler\n");
    }
}

LRESULT callProc(const WndProc& proc, HWND h, UINT m, WPARAM w, LPARAM l) {
    OutsideWatchRound outside;
    try {
        return proc(h, m, w, l);
    } catch (...) {
        reportException(std::current_exception());
        return 0;
    }
}

bool runSent(Loop& L) {
    bool did = false;
    while (L.sent.waiting() != 0) {
        std::shared_ptr<SentRecord> r;
        std::shared_ptr<WndProc> proc;
        {
            std::lock_guard lk(G().mu);
            if (L.sent.empty()) break;
            r = std::move(L.sent.front());
            L.sent.pop_front();
            r->started = true;
            if (Window* w = lookup(r->hwnd); w && w->loop.get() == &L) proc = w->proc;
        }
        LRESULT res = proc ? callProc(*proc, r->hwnd, r->message, r->wParam, r->lParam) : 0;
        {
            std::lock_guard lk(G().mu);
            r->result = res;
            r->failed = !proc;
            r->done = true;
            r->sender->wake();
        }
        did = true;
    }
    return did;
}

void wakeAll() {
    std::lock_guard lk(G().mu);
    for (Loop* L : G().loops)
        L->wake();
}

} // namespace msgimpl

using namespace msgimpl;

HWND CreateHiddenWindow(WndProc proc) {
    if (!proc) return 0;
    auto loop = currentShared();
    Globals& g = G();
    std::lock_guard lk(g.mu);
    uint32_t index;
    if (!g.freeSlots.empty()) {
        index = g.freeSlots.front();
        g.freeSlots.pop_front();
    } else {
        if (g.slots.size() > kIndexMask) return 0;
        index = uint32_t(g.slots.size());
        g.slots.emplace_back();
    }
    Slot& s = g.slots[index];
    s.w = std::make_shared<Window>(Window{std::move(loop), std::make_shared<WndProc>(std::move(proc))});
    return makeHandle(index, s.gen);
}

bool DestroyWindow(HWND h) {
    std::lock_guard lk(G().mu);
    if (!lookup(h)) return false;
    releaseSlot(h & kIndexMask);
    return true;
}

bool IsWindow(HWND h) {
    std::lock_guard lk(G().mu);
    return lookup(h) != nullptr;
}

bool PostMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    uint64_t now = NowMs();
    Globals& g = G();
    std::lock_guard lk(g.mu);
    if (h == HWND_BROADCAST) {
        for (uint32_t i = 1; i < g.slots.size(); ++i) {
            Slot& s = g.slots[i];
            if (!s.w || s.w->loop->dead) continue;
            s.w->loop->posted.push_back(MSG{makeHandle(i, s.gen), m, w, l, now});
            s.w->loop->wake();
        }
        return true;
    }
    Window* win = lookup(h);
    if (!win || win->loop->dead) return false;
    win->loop->posted.push_back(MSG{h, m, w, l, now});
    if (win->loop.get() != t_watchRound) win->loop->wake();
    return true;
}

namespace {

// Sends to a window; waits (running messages sent to this thread) when it belongs to another thread.
bool sendImpl(HWND h, UINT m, WPARAM w, LPARAM l, const uint32_t* timeoutMs, LRESULT* result) {
    OutsideWatchRound outside;
    std::shared_ptr<WndProc> proc;
    std::shared_ptr<Loop> target;
    {
        std::lock_guard lk(G().mu);
        Window* win = lookup(h);
        if (!win) return false;
        proc = win->proc;
        target = win->loop;
    }
    if (target == t_loop.loop) {
        *result = callProc(*proc, h, m, w, l);
        return true;
    }
    auto me = currentShared();
    auto rec = std::make_shared<SentRecord>(SentRecord{h, m, w, l, me});
    uint64_t deadline = timeoutMs ? NowMs() + *timeoutMs : 0;
    {
        std::lock_guard lk(G().mu);
        if (target->dead || !lookup(h)) return false;
        target->sent.push_back(rec);
        target->wake();
    }
    bool drained = false;
    for (;;) {
        drained |= me->drain();
        {
            std::lock_guard lk(G().mu);
            if (rec->done) break;
        }
        if (processSent(*me)) continue;
        int waitMs = -1;
        if (timeoutMs) {
            uint64_t now = NowMs();
            if (now >= deadline) {
                std::lock_guard lk(G().mu);
                if (!rec->done) {
                    if (!rec->started)
                        target->sent.erase_if([&](const std::shared_ptr<SentRecord>& x) { return x == rec; });
                    if (drained && me->external) me->wake();
                    *result = 0;
                    return false;
                }
                break;
            }
            waitMs = int(std::min<uint64_t>(deadline - now, 60000));
        }
        pollfd pfd{me->evfd, POLLIN, 0};
        poll(&pfd, 1, waitMs);
    }
    if (drained && me->external) me->wake(); // the wake-ups taken here may belong to the outer loop
    std::lock_guard lk(G().mu);
    *result = rec->failed ? 0 : rec->result;
    return !rec->failed;
}

} // namespace

LRESULT SendMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    LRESULT r = 0;
    sendImpl(h, m, w, l, nullptr, &r);
    return r;
}

bool SendMessageTimeout(HWND h, UINT m, WPARAM w, LPARAM l, uint32_t timeoutMs, LRESULT* result) {
    LRESULT r = 0;
    bool ok = sendImpl(h, m, w, l, &timeoutMs, &r);
    if (result) *result = r;
    return ok;
}

UINT RegisterWindowMessage(std::string_view name) {
    if (name.empty()) return 0;
    std::string key(name);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    Globals& g = G();
    std::lock_guard lk(g.mu);
    auto it = g.registered.find(key);
    if (it != g.registered.end()) return it->second;
    if (g.nextRegistered > 0xFFFF) return 0;
    UINT id = g.nextRegistered++;
    g.registered.emplace(std::move(key), id);
    return id;
}

size_t RemoveQueuedMessages(HWND h, const std::function<bool(const MSG&)>& match) {
    std::lock_guard lk(G().mu);
    Window* win = lookup(h);
    if (!win) return 0;
    return win->loop->posted.erase_if([&](const MSG& m) { return m.hwnd == h && match(m); });
}

void SetDispatchExceptionHandler(DispatchExceptionHandler handler) {
    std::lock_guard lk(G().mu);
    G().onException = std::move(handler);
}

uint64_t NowMs() {
    Clock* c = g_clock.load(std::memory_order_acquire);
    return c ? c->NowMs() : g_realClock.NowMs();
}

uint64_t CoarseNowMs() {
    if (Clock* c = g_clock.load(std::memory_order_acquire)) return c->NowMs();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

uint64_t CoarseGrainMs() {
    if (g_clock.load(std::memory_order_acquire)) return 0;
    static const uint64_t grain = [] {
        timespec r{};
        if (clock_getres(CLOCK_MONOTONIC_COARSE, &r) != 0) return uint64_t(10);
        // One tick, and one millisecond more: both readings are cut to whole milliseconds.
        return uint64_t(r.tv_sec) * 1000 + (uint64_t(r.tv_nsec) + 999999) / 1000000 + 1;
    }();
    return grain;
}

void SetClock(Clock* clock) {
    // Pending window timers keep their remaining times: their due times move to the new clock.
    Globals& g = G();
    std::lock_guard lk(g.mu);
    Clock* old = g_clock.load(std::memory_order_acquire);
    const uint64_t before = old ? old->NowMs() : g_realClock.NowMs();
    const uint64_t after = clock ? clock->NowMs() : g_realClock.NowMs();
    g_clock.store(clock, std::memory_order_release);
    for (Loop* L : g.loops) {
        L->timerOrder.clear();
        for (auto& [key, t] : L->timers) {
            t.due = after + (t.due > before ? t.due - before : 0);
            L->timerOrder.emplace(t.due, key.first, key.second);
        }
        timersChanged(*L);
        L->wake();
    }
}

uint64_t ManualClock::NowMs() {
    return now_.load();
}

void ManualClock::Advance(uint64_t ms) {
    now_ += ms;
    wakeAll();
}

void ManualClock::Set(uint64_t ms) {
    now_ = ms;
    wakeAll();
}

} // namespace plat
