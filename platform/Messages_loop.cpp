// Message layer, part 2: retrieval and dispatch, window timers, descriptor watches and the
// entry points for loops owned by someone else (Qt) or waits that pump messages.
#include "platform/Messages_impl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <span>
#include <sys/epoll.h>
#include <sys/timerfd.h>

namespace plat {

using namespace msgimpl;

namespace {

constexpr uint32_t kMinTimerMs = 10; // shorter intervals would keep a thread busy for nothing

uint32_t toEpoll(short events) {
    uint32_t e = 0;
    if (events & POLLIN) e |= EPOLLIN;
    if (events & POLLOUT) e |= EPOLLOUT;
    if (events & POLLPRI) e |= EPOLLPRI;
    if (events & POLLRDHUP) e |= EPOLLRDHUP;
    return e;
}

short fromEpoll(uint32_t e) {
    short r = 0;
    if (e & EPOLLIN) r |= POLLIN;
    if (e & EPOLLOUT) r |= POLLOUT;
    if (e & EPOLLPRI) r |= POLLPRI;
    if (e & EPOLLRDHUP) r |= POLLRDHUP;
    if (e & EPOLLERR) r |= POLLERR;
    if (e & EPOLLHUP) r |= POLLHUP;
    return r;
}

void dropPolled(Loop& L) {
    L.polledValid = false;
    L.polled.clear();
}

// Waits up to timeoutMs (-1: no limit) for the loop's descriptors and runs the callbacks of
// the ready watches. True when a callback ran.
bool runWatches(Loop& L, int timeoutMs) {
    struct Ready {
        WatchId id;
        short revents;
    } ready[32]; // left unset: only the first count are read
    size_t count = 0;
    if (timeoutMs == 0 && L.polledValid) {
        for (auto r : L.polled) // an outside loop's poll just found these
            ready[count++] = {r.first, r.second};
    } else {
        epoll_event evs[32];
        int n = epoll_wait(L.epfd, evs, 32, timeoutMs);
        for (int i = 0; i < n; ++i)
            if (evs[i].data.u64 != 0) ready[count++] = {WatchId(evs[i].data.u64), fromEpoll(evs[i].events)};
    }
    dropPolled(L);
    bool did = false;
    for (auto [id, revents] : std::span(ready, count)) {
        auto it = L.watches.find(id);
        if (it == L.watches.end()) continue; // removed by an earlier callback of this round
        auto cb = it->second.cb;
        int fd = it->second.fd;
        Loop* saved = t_watchRound;
        t_watchRound = &L;
        try {
            (*cb)(fd, revents);
        } catch (...) {
            t_watchRound = saved;
            reportException(std::current_exception());
        }
        t_watchRound = saved;
        did = true;
    }
    return did;
}

constexpr size_t kMaxPolledWatches = 32;

int64_t realMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Together {
    int result = 0;
    bool loopReady = false;      // the loop's wake-up or one of its watches
    bool closedWatch = false;    // a watched descriptor was closed under its watch: epoll forgot it
    const pollfd* fds = nullptr; // the outside descriptors' results, in the caller's order
};

// Polls an outside loop's descriptors with this loop's own in epfd's place (at): its wake-up
// eventfd and each watch, and the deadline descriptor when there is one. The ready watches are
// kept for the next round.
Together pollTogether(Loop& L, const pollfd* fds, size_t n, size_t at, int timeoutMs, int deadlineFd = -1) {
    thread_local std::vector<pollfd> p; // kept: this runs once per outside loop round
    thread_local std::vector<WatchId> ids;
    p.assign(fds, fds + n);
    p[at] = pollfd{L.evfd, POLLIN, 0};
    ids.clear();
    for (const auto& [id, w] : L.watches) {
        p.push_back(pollfd{w.fd, short(w.events & (POLLIN | POLLOUT | POLLPRI | POLLRDHUP)), 0});
        ids.push_back(id);
    }
    if (deadlineFd >= 0) p.push_back(pollfd{deadlineFd, POLLIN, 0});
    dropPolled(L);
    Together t;
    t.fds = p.data();
    t.result = ::poll(p.data(), p.size(), timeoutMs);
    if (t.result < 0) return t;
    for (size_t i = 0; i < ids.size(); ++i) {
        const short rev = p[n + i].revents;
        if (rev & POLLNVAL) {
            dropPolled(L);
            t.closedWatch = true;
            return t;
        }
        if (rev) L.polled.emplace_back(ids[i], rev);
    }
    t.loopReady = p[at].revents != 0 || !L.polled.empty();
    L.polledValid = true;
    return t;
}

// Keeps the wake descriptor readable while work is left for an outside loop. Caller holds G().mu.
void keepSignalled(Loop& L) {
    if (L.external && (!L.posted.empty() || !L.sent.empty())) L.wake();
}

// The first due timer as a WM_TIMER message; with remove it is rescheduled one interval on
// (or one interval from now when the loop fell behind: missed ticks are not queued up).
bool takeDueTimer(Loop& L, MSG* msg, bool remove, uint64_t now) {
    std::lock_guard lk(G().mu);
    if (L.timerOrder.empty()) return false;
    auto [due, h, id] = *L.timerOrder.begin();
    if (due > now) return false;
    *msg = MSG{h, WM_TIMER, id, 0, now};
    if (remove) {
        Timer& t = L.timers.at({h, id});
        L.timerOrder.erase(L.timerOrder.begin());
        t.due = due + t.interval > now ? due + t.interval : now + t.interval;
        L.timerOrder.emplace(t.due, h, id);
        timersChanged(L);
        if (L.external) L.wake(); // lets a nested outside loop re-arm its timer
    }
    return true;
}

inline bool takeTimer(Loop& L, MSG* msg, bool remove) {
    const uint64_t now = NowMs();
    return L.firstDue.load() <= now && takeDueTimer(L, msg, remove, now); // none due: no lock
}

bool takePosted(Loop& L, MSG* msg, bool remove, std::shared_ptr<WndProc>* proc = nullptr) {
    if (L.posted.waiting() == 0) return false;
    std::lock_guard lk(G().mu);
    if (L.posted.empty()) return false;
    *msg = L.posted.front();
    if (remove) L.posted.pop_front();
    keepSignalled(L);
    if (proc) { // the window's procedure, looked up in the same hold as DispatchMessage would
        Window* w = lookup(msg->hwnd);
        *proc = w ? w->proc : nullptr;
    }
    return true;
}

int waitForTimer() {
    int64_t d = NextTimerDelayMs();
    return d < 0 ? -1 : int(std::min<int64_t>(d, 60000));
}

} // namespace

bool GetMessage(MSG* msg) {
    OutsideWatchRound outside;
    Loop& L = current();
    for (;;) {
        L.drain();
        processSent(L);
        if (takePosted(L, msg, true)) return true;
        if (L.quit) {
            L.quit = false;
            *msg = MSG{0, WM_QUIT, WPARAM(L.quitCode), 0, NowMs()};
            return false;
        }
        if (runWatches(L, 0)) continue;
        if (takeTimer(L, msg, true)) return true;
        runWatches(L, waitForTimer());
    }
}

bool PeekMessage(MSG* msg, bool remove) {
    OutsideWatchRound outside;
    Loop& L = current();
    processSent(L);
    if (takePosted(L, msg, remove)) return true;
    if (L.quit) {
        if (remove) L.quit = false;
        *msg = MSG{0, WM_QUIT, WPARAM(L.quitCode), 0, NowMs()};
        return true;
    }
    if (runWatches(L, 0) && takePosted(L, msg, remove)) return true;
    return takeTimer(L, msg, remove);
}

LRESULT DispatchMessage(const MSG& msg) {
    std::shared_ptr<WndProc> proc;
    {
        std::lock_guard lk(G().mu);
        Window* w = lookup(msg.hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return callProc(*proc, msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void PostQuitMessage(int exitCode) {
    Loop& L = current();
    L.quit = true;
    L.quitCode = exitCode;
    L.wake();
}

uintptr_t SetTimer(HWND h, uintptr_t id, uint32_t elapseMs) {
    uint64_t now = NowMs();
    std::lock_guard lk(G().mu);
    Window* w = lookup(h);
    if (!w || w->loop->dead) return 0;
    Loop& L = *w->loop;
    uint32_t interval = std::max(elapseMs, kMinTimerMs);
    auto [it, fresh] = L.timers.try_emplace({h, id}, Timer{interval, now + interval});
    if (!fresh) {
        L.timerOrder.erase({it->second.due, h, id});
        it->second = Timer{interval, now + interval};
    }
    L.timerOrder.emplace(now + interval, h, id);
    timersChanged(L);
    L.wake(); // a waiting loop recomputes its time-out
    return id;
}

bool KillTimer(HWND h, uintptr_t id) {
    std::lock_guard lk(G().mu);
    Window* w = lookup(h);
    if (!w) return false;
    Loop& L = *w->loop;
    auto it = L.timers.find({h, id});
    if (it == L.timers.end()) return false;
    L.timerOrder.erase({it->second.due, h, id});
    L.timers.erase(it);
    timersChanged(L);
    return true;
}

WatchId WatchFd(int fd, short events, std::function<void(int fd, short revents)> cb) {
    Loop& L = current();
    WatchId id = L.nextWatch++;
    if (id == 0) id = L.nextWatch++;
    epoll_event ev{};
    ev.events = toEpoll(events);
    ev.data.u64 = id;
    if (!cb || epoll_ctl(L.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    dropPolled(L);
    L.watches.emplace(id,
                      Watch{fd, events, std::make_shared<std::function<void(int, short)>>(std::move(cb))});
    return id;
}

void ChangeWatch(WatchId id, short events) {
    Loop& L = current();
    auto it = L.watches.find(id);
    if (it == L.watches.end()) return;
    epoll_event ev{};
    ev.events = toEpoll(events);
    ev.data.u64 = id;
    epoll_ctl(L.epfd, EPOLL_CTL_MOD, it->second.fd, &ev);
    it->second.events = events;
    dropPolled(L);
}

void UnwatchFd(WatchId id) {
    Loop& L = current();
    auto it = L.watches.find(id);
    if (it == L.watches.end()) return;
    epoll_ctl(L.epfd, EPOLL_CTL_DEL, it->second.fd, nullptr); // fails harmlessly when already closed
    L.watches.erase(it);
    dropPolled(L);
}

bool ProcessPendingMessages() {
    OutsideWatchRound outside;
    Loop& L = current();
    L.drain();
    bool watched = false;
    // Bounded, so that a handler that keeps posting cannot starve the outside loop; what is
    // left keeps the wake descriptor signalled.
    for (int round = 0; round < 64; ++round) {
        bool did = processSent(L);
        const size_t n = L.posted.waiting();
        MSG msg;
        std::shared_ptr<WndProc> proc;
        for (size_t i = 0; i < n && takePosted(L, &msg, true, &proc); ++i) {
            if (proc) callProc(*proc, msg.hwnd, msg.message, msg.wParam, msg.lParam);
            proc.reset();
            did = true;
        }
        if (round == 0 && runWatches(L, 0)) did = watched = true;
        if (!did && takeTimer(L, &msg, true)) {
            DispatchMessage(msg);
            did = true;
        }
        if (!did) return watched;
    }
    L.wake();
    return watched;
}

bool WaitForWork(int timeoutMs) {
    Loop& L = current();
    dropPolled(L);
    epoll_event ev;
    int n;
    while ((n = epoll_wait(L.epfd, &ev, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

bool PumpUntil(const std::function<bool()>& pred, uint64_t timeoutMs) {
    OutsideWatchRound outside;
    Loop& L = current();
    uint64_t start = NowMs();
    uint64_t deadline = timeoutMs > UINT64_MAX - start ? UINT64_MAX : start + timeoutMs;
    for (;;) {
        if (pred()) return true;
        ProcessPendingMessages();
        if (pred()) return true;
        uint64_t now = NowMs();
        if (now >= deadline) return false;
        int64_t wait = int64_t(std::min<uint64_t>(deadline - now, 60000));
        int64_t t = NextTimerDelayMs();
        if (t >= 0) wait = std::min(wait, t);
        dropPolled(L);
        epoll_event ev;
        epoll_wait(L.epfd, &ev, 1, int(wait)); // only to block; the next round does the work
    }
}

int LoopWakeFd() {
    Loop& L = current();
    L.external = true;
    return L.epfd;
}

int PollWithLoop(pollfd* fds, size_t n, int timeoutMs) {
    Loop& L = current();
    size_t at = 0;
    while (at < n && fds[at].fd != L.epfd)
        ++at;
    L.outsideValid = false; // a round that leaves the loop out is not to be waited for in its place
    if (at == n || L.watches.size() > kMaxPolledWatches) return ::poll(fds, n, timeoutMs);
    L.outsideFds.assign(fds, fds + n);
    L.outsideAt = at;
    L.outsideDue = timeoutMs < 0 ? INT64_MAX : realMs() + timeoutMs;
    L.outsideValid = true;
    const Together t = pollTogether(L, fds, n, at, timeoutMs);
    if (t.result < 0) return t.result;
    if (t.closedWatch) return ::poll(fds, n, timeoutMs);
    int ready = 0;
    for (size_t i = 0; i < n; ++i) {
        fds[i].revents =
            i == at ? (t.loopReady ? short(fds[i].events & POLLIN) : short(0)) : t.fds[i].revents;
        ready += fds[i].revents != 0;
    }
    return ready;
}

// The loop's deadline descriptor, set to go off at dueMs on the real clock; -1 when the system
// gives none (the caller then passes a time-out).
int deadlineAt(Loop& L, int64_t dueMs) {
    if (L.deadlineFd < 0) {
        if (L.deadlineArmed == -2) return -1;
        L.deadlineFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (L.deadlineFd < 0) {
            L.deadlineArmed = -2; // asked once
            return -1;
        }
    }
    if (dueMs == L.deadlineArmed) return L.deadlineFd;
    itimerspec when{};
    when.it_value.tv_sec = time_t(dueMs / 1000);
    when.it_value.tv_nsec = long(dueMs % 1000) * 1000000;
    if (timerfd_settime(L.deadlineFd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) return -1;
    L.deadlineArmed = dueMs;
    return L.deadlineFd;
}

void ProcessWhileOutsideIdle(int budgetMs) {
    Loop& L = current();
    const int64_t end = realMs() + budgetMs;
    for (;;) {
        // Read again each round: a nested outside loop run by a handler polls afresh.
        if (!L.outsideValid || L.watches.size() > kMaxPolledWatches) return;
        const int64_t now = realMs();
        int64_t due = std::min(end, L.outsideDue);
        if (due <= now) return;
        const int64_t timer = NextTimerDelayMs();
        if (timer >= 0) due = std::min(due, now + timer);
        // A conversation's replies come in far more often than the wait's end moves: the end is
        // a timer descriptor set when it moves, not a time-out that each poll arms and cancels.
        const int fd = deadlineAt(L, due);
        const Together t = pollTogether(L, L.outsideFds.data(), L.outsideFds.size(), L.outsideAt,
                                        fd < 0 ? int(std::max<int64_t>(due - now, 0)) : -1, fd);
        if (t.result < 0 || t.closedWatch) return;
        for (size_t i = 0; i < L.outsideFds.size(); ++i)
            if (i != L.outsideAt && t.fds[i].revents) return; // the outside loop's turn
        if (!t.loopReady && NextTimerDelayMs() != 0) return;  // the time is up
        ProcessPendingMessages();
    }
}

int64_t NextTimerDelayMs() {
    Loop& L = current();
    uint64_t now = NowMs();
    const uint64_t due = L.firstDue.load();
    if (due == UINT64_MAX) return -1;
    return due > now ? int64_t(due - now) : 0;
}

} // namespace plat
