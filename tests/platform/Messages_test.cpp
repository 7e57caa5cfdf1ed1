// Tests of the message layer on one thread: ordering of posted messages, window timers on the
// manual clock, window destruction, registered numbers, descriptor watches and the exception barrier.
#include "PlatformFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace platformtest;

namespace {

// Collects exceptions that escape window procedures.
struct ExceptionLog {
    std::vector<std::string> texts;
    ExceptionLog() {
        SetDispatchExceptionHandler([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                texts.push_back(x.what());
            } catch (...) {
                texts.push_back("?");
            }
        });
    }
    ~ExceptionLog() { SetDispatchExceptionHandler(nullptr); }
};

// What an outside loop sees: the wake descriptor is readable.
bool workReady() {
    pollfd p{LoopWakeFd(), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

void pumpAll() {
    MSG m;
    while (PeekMessage(&m, true))
        DispatchMessage(m);
}

// Moves the manual clock on by total ms in steps of step ms, running what is due after each step.
void advance(ManualClockScope& mc, uint64_t total, uint64_t step) {
    for (uint64_t t = 0; t < total; t += step) {
        mc.clock.Advance(step);
        pumpAll();
    }
}

} // namespace

TEST(Messages, PostedMessagesRunInOrderAfterThePostingHandler) {
    std::vector<std::string> log;
    Window w([&](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_USER + 1) {
            log.push_back("first begins");
            PostMessage(h, WM_USER + 2, 7, -7);
            PostMessage(h, WM_USER + 3, 8, -8);
            log.push_back("first ends");
        } else {
            log.push_back(std::to_string(m - WM_USER) + ":" + std::to_string(wp) + ":" + std::to_string(lp));
        }
        return 0;
    });
    ASSERT_TRUE(PostMessage(w, WM_USER + 1, 0, 0));
    // Messages from another thread keep their order behind the ones already queued.
    std::thread([&] {
        for (int i = 0; i < 50; ++i)
            PostMessage(w, WM_USER + 10, WPARAM(i), 0);
    }).join();
    pumpAll();
    std::vector<std::string> want = {"first begins", "first ends"};
    for (int i = 0; i < 50; ++i)
        want.push_back("10:" + std::to_string(i) + ":0");
    want.insert(want.end(), {"2:7:-7", "3:8:-8"});
    EXPECT_EQ(log, want);
}

TEST(Messages, TimersDoNotDriftOrBurstAndAreLowPriority) {
    ManualClockScope mc;
    std::vector<UINT> seen;
    Window w(returning0([&](UINT m, WPARAM, LPARAM) { seen.push_back(m); }));
    ASSERT_EQ(SetTimer(w, 42, 333), 42u);
    advance(mc, 10000, 37);
    EXPECT_NEAR(std::count(seen.begin(), seen.end(), WM_TIMER), 30, 1); // no drift over ten seconds
    // A loop that falls behind gets one tick, not a burst; a posted message goes first.
    seen.clear();
    mc.clock.Advance(5000);
    PostMessage(w, WM_USER, 0, 0);
    pumpAll();
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER, WM_TIMER}));
    EXPECT_TRUE(KillTimer(w, 42));
    EXPECT_EQ(NextTimerDelayMs(), -1);
}

TEST(Messages, SwitchingTheClockKeepsWhatEachTimerHasLeft) {
    ManualClockScope mc;
    mc.clock.Set(
        10'000'000'000); // far from any real uptime, so due times of one clock mean nothing on the other
    Window w(returning0([](UINT, WPARAM, LPARAM) {}));
    ASSERT_EQ(SetTimer(w, 1, 60000), 1u);
    mc.clock.Advance(20000);
    SetClock(nullptr);
    EXPECT_GT(NextTimerDelayMs(), 30000);
    EXPECT_LE(NextTimerDelayMs(), 40000);
    SetClock(&mc.clock);
    const int64_t left = NextTimerDelayMs();
    EXPECT_GT(left, 30000);
    EXPECT_LE(left, 40000);
    mc.clock.Advance(uint64_t(left));
    MSG m{};
    EXPECT_TRUE(PeekMessage(&m, true) && m.message == WM_TIMER);
}

TEST(Messages, DestroyWindowPurgesQueueAndTimersAndRefusesStaleHandles) {
    ManualClockScope mc;
    int calls = 0;
    auto proc = [&](HWND h, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER + 1) DestroyWindow(h); // its own message behind this one is never dispatched
        return ++calls;
    };
    Window keep(proc);
    HWND w = CreateHiddenWindow(proc);
    PostMessage(w, WM_USER, 0, 0);
    PostMessage(keep, WM_USER, 0, 0);
    SetTimer(w, 1, 50);
    ASSERT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(DestroyWindow(w));
    HWND self = CreateHiddenWindow(proc);
    PostMessage(self, WM_USER + 1, 0, 0);
    PostMessage(self, WM_USER, 0, 0);
    advance(mc, 1000, 1000);
    EXPECT_EQ(calls, 2); // keep's message and self's first
    EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 0);
    EXPECT_EQ(calls, 2);

    // Slots are reused, handles are not: the stale handle never reaches the new window.
    std::deque<Window> made;
    for (int i = 0; i < 64; ++i)
        EXPECT_NE(made.emplace_back(proc), w);
    EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
    EXPECT_FALSE(IsWindow(0xFFFFFFFFu)); // forged
}

TEST(Messages, RegisteredMessageNumbersIgnoreCaseAcrossThreads) {
    UINT a = RegisterWindowMessage("Quillbase2SingleUser");
    EXPECT_GE(a, 0xC000u);
    EXPECT_NE(a, RegisterWindowMessage("Quillbase2SingleUserPostMessage"));
    UINT other = 0;
    std::thread([&] { other = RegisterWindowMessage("QUILLBASE2SINGLEUSER"); }).join();
    EXPECT_EQ(other, a);
    EXPECT_EQ(RegisterWindowMessage(""), 0u);
}

TEST(Messages, ExceptionFromAHandlerReachesTheHandlerAndTheLoopGoesOn) {
    ExceptionLog ex;
    std::vector<int> seen;
    Window w([&](HWND, UINT m, WPARAM wp, LPARAM) -> LRESULT {
        if (m == WM_USER) throw std::runtime_error("handler failed " + std::to_string(wp));
        seen.push_back(int(wp));
        return 5;
    });
    PostMessage(w, WM_USER, 1, 0);
    PostMessage(w, WM_USER + 1, 2, 0);
    PostQuitMessage(3);
    MSG m;
    while (GetMessage(&m))
        DispatchMessage(m);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_EQ(ex.texts, (std::vector<std::string>{"handler failed 1"}));
    EXPECT_EQ(seen, (std::vector<int>{2}));
    // A same-thread send goes through the same barrier and gives 0.
    EXPECT_EQ(SendMessage(w, WM_USER, 9, 0), 0);
    EXPECT_EQ(ex.texts.size(), 2u);
}

TEST(Messages, RemoveQueuedMessagesTakesOnlyMatchesOfThatWindow) {
    std::vector<WPARAM> seen;
    auto proc = returning0([&](UINT, WPARAM wp, LPARAM) { seen.push_back(wp); });
    Window a(proc), b(proc);
    for (WPARAM i = 0; i < 6; ++i)
        PostMessage(i % 2 ? a : b, WM_USER + UINT(i % 3), i, 0);
    EXPECT_EQ(RemoveQueuedMessages(a, [](const MSG& m) { return m.message != WM_USER + 2; }), 2u);
    pumpAll();
    EXPECT_EQ(seen, (std::vector<WPARAM>{0, 2, 4, 5}));
}

TEST(Messages, DescriptorWatchesRunOnTheLoopThreadAndCountAsWork) {
    Pipe p;
    Window w(returning0([](UINT, WPARAM, LPARAM) {}));
    auto self = std::this_thread::get_id();
    int calls = 0;
    WatchId id = WatchFd(p.fds[0], POLLIN, [&](int fd, short rev) {
        EXPECT_EQ(std::this_thread::get_id(), self);
        EXPECT_TRUE(rev & POLLIN);
        ++calls;
        char c;
        EXPECT_EQ(read(fd, &c, 1), 1);
        if (c == 'q') PostQuitMessage(0);
    });
    ASSERT_NE(id, 0u);
    std::thread([&] { ASSERT_EQ(write(p.fds[1], "q", 1), 1); }).join();
    MSG m;
    while (GetMessage(&m))
        DispatchMessage(m);
    EXPECT_EQ(calls, 1);

    // Switched off: readiness is neither work nor reported; switched back on: both again.
    ChangeWatch(id, 0);
    ASSERT_EQ(write(p.fds[1], "y", 1), 1);
    EXPECT_FALSE(workReady());
    EXPECT_FALSE(ProcessPendingMessages()); // no watch ran
    EXPECT_EQ(calls, 1);
    ChangeWatch(id, POLLIN);
    EXPECT_TRUE(workReady());
    EXPECT_TRUE(ProcessPendingMessages());
    EXPECT_EQ(calls, 2);
    PostMessage(w, WM_USER + 7, 0, 0); // a posted message is work too, but not a watch
    EXPECT_TRUE(workReady());
    EXPECT_FALSE(ProcessPendingMessages());
    EXPECT_FALSE(workReady());
    UnwatchFd(id);
    UnwatchFd(id); // a second removal is harmless
}

// An outside loop polling through the layer sees the same readiness as on the wake descriptor,
// and the next round runs exactly the watches that poll found, never one changed since.
TEST(Messages, PollWithLoopFindsTheReadyWatchesForTheNextRound) {
    Pipe a, b, other;
    Window w(returning0([](UINT, WPARAM, LPARAM) {}));
    std::vector<std::string> ran;
    auto watch = [&](Pipe& p, const char* name) {
        return WatchFd(p.fds[0], POLLIN, [&ran, name](int fd, short rev) {
            EXPECT_TRUE(rev & POLLIN);
            char c;
            EXPECT_EQ(read(fd, &c, 1), 1);
            ran.push_back(std::string(name) + c);
        });
    };
    WatchId ia = watch(a, "a"), ib = watch(b, "b");
    ASSERT_NE(ia, 0u);
    ASSERT_NE(ib, 0u);
    auto outsidePoll = [&] {
        pollfd fds[2] = {{other.fds[0], POLLIN, 0}, {LoopWakeFd(), POLLIN, 0}};
        int r = PollWithLoop(fds, 2, 0);
        return std::to_string(r) + ":" + std::to_string(fds[0].revents) + "," +
               std::to_string(fds[1].revents);
    };
    EXPECT_EQ(outsidePoll(), "0:0,0");
    ASSERT_EQ(write(b.fds[1], "1", 1), 1);
    EXPECT_EQ(outsidePoll(), "1:0," + std::to_string(POLLIN));
    EXPECT_TRUE(ProcessPendingMessages());
    EXPECT_EQ(ran, (std::vector<std::string>{"b1"}));

    ASSERT_EQ(write(other.fds[1], "x", 1), 1);
    ASSERT_EQ(write(a.fds[1], "2", 1), 1);
    EXPECT_EQ(outsidePoll(), "2:" + std::to_string(POLLIN) + "," + std::to_string(POLLIN));
    EXPECT_TRUE(ProcessPendingMessages());
    EXPECT_EQ(ran, (std::vector<std::string>{"b1", "a2"}));

    // Switched off after the poll: its readiness is not delivered; switched on, it is.
    ASSERT_EQ(write(a.fds[1], "3", 1), 1);
    EXPECT_EQ(outsidePoll(), "2:" + std::to_string(POLLIN) + "," + std::to_string(POLLIN));
    ChangeWatch(ia, 0);
    EXPECT_FALSE(ProcessPendingMessages());
    ChangeWatch(ia, POLLIN);
    EXPECT_TRUE(ProcessPendingMessages());
    EXPECT_EQ(ran, (std::vector<std::string>{"b1", "a2", "a3"}));

    // A posted message makes the wake descriptor ready too, without running a watch.
    PostMessage(w, WM_USER, 0, 0);
    char c;
    ASSERT_EQ(read(other.fds[0], &c, 1), 1);
    EXPECT_EQ(outsidePoll(), "1:0," + std::to_string(POLLIN));
    EXPECT_FALSE(ProcessPendingMessages());
    EXPECT_EQ(outsidePoll(), "0:0,0");
    UnwatchFd(ia);
    UnwatchFd(ib);
}

// An outside loop that polled through the layer and has nothing of its own lets the layer wait
// in its place: a conversation is served without the outside loop's rounds, and the outside
// loop gets its turn as soon as one of its descriptors is ready, or when its time-out ends.
TEST(Messages, WhileTheOutsideLoopIsIdleTheLoopServesItsOwnDescriptors) {
    using Clock = std::chrono::steady_clock;
    Pipe other;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    // The peer answers every byte at once, from its own thread.
    std::thread peer([&] {
        char c;
        while (read(sv[1], &c, 1) == 1)
            if (send(sv[1], &c, 1, MSG_NOSIGNAL) != 1) break; // the test's end may come first
    });
    int exchanges = 0;
    int stopAt = 50;
    WatchId id = WatchFd(sv[0], POLLIN, [&](int fd, short) {
        char c;
        ASSERT_EQ(read(fd, &c, 1), 1);
        if (++exchanges == stopAt) {
            ASSERT_EQ(write(other.fds[1], "o", 1), 1); // the outside loop now has something
        } else {
            ASSERT_EQ(write(fd, &c, 1), 1);
        }
    });
    ASSERT_NE(id, 0u);
    auto outsidePoll = [&](int timeoutMs) {
        pollfd fds[2] = {{other.fds[0], POLLIN, 0}, {LoopWakeFd(), POLLIN, 0}};
        return PollWithLoop(fds, 2, timeoutMs);
    };
    auto seconds = [](Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    };

    // The whole conversation in one call, which ends when the outside descriptor is ready,
    // long before its budget.
    ASSERT_EQ(write(sv[0], "x", 1), 1);
    EXPECT_EQ(outsidePoll(60000), 1);
    ProcessPendingMessages();
    auto start = Clock::now();
    ProcessWhileOutsideIdle(120000);
    EXPECT_EQ(exchanges, 50);
    EXPECT_LT(seconds(start), 60.0);
    char c;
    ASSERT_EQ(read(other.fds[0], &c, 1), 1);

    // The outside loop's own time-out bounds the wait: none left, no wait at all.
    stopAt = 0;
    EXPECT_EQ(outsidePoll(0), 0);
    start = Clock::now();
    ProcessWhileOutsideIdle(120000);
    EXPECT_LT(seconds(start), 60.0);
    // An outside poll that returned early leaves the rest of its time-out to wait.
    auto outsidePollReturningEarly = [&](int timeoutMs) {
        ASSERT_EQ(write(other.fds[1], "o", 1), 1);
        EXPECT_EQ(outsidePoll(timeoutMs), 1);
        ASSERT_EQ(read(other.fds[0], &c, 1), 1);
    };
    outsidePollReturningEarly(300);
    start = Clock::now();
    ProcessWhileOutsideIdle(120000);
    EXPECT_GE(seconds(start), 0.2);
    EXPECT_LT(seconds(start), 60.0);
    // The layer's own budget ends a wait the outside loop would let run on; each wait has its
    // own end, also right after one that ended.
    for (int i = 0; i < 2; ++i) {
        outsidePollReturningEarly(60000);
        start = Clock::now();
        ProcessWhileOutsideIdle(100);
        EXPECT_GE(seconds(start), 0.09) << i;
        EXPECT_LT(seconds(start), 60.0) << i;
    }

    // A window timer that comes due meanwhile runs inside the wait; a posted message too.
    {
        ManualClockScope mc;
        std::vector<UINT> seen;
        Window w(returning0([&](UINT m, WPARAM, LPARAM) {
            seen.push_back(m);
            if (m == WM_USER) {
                ASSERT_EQ(write(other.fds[1], "o", 1), 1);
            }
        }));
        SetTimer(w, 1, 10);
        ProcessPendingMessages();
        outsidePollReturningEarly(60000);
        std::thread later([&] {
            mc.clock.Advance(10);
            PostMessage(w, WM_USER, 0, 0);
        });
        ProcessWhileOutsideIdle(120000);
        later.join();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), UINT(WM_TIMER)), 1);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), UINT(WM_USER)), 1);
        ASSERT_EQ(read(other.fds[0], &c, 1), 1);
    }
    // An outside round that left the loop's descriptor out is not waited for in its place.
    ProcessPendingMessages(); // the clock's switch back woke the loop
    outsidePollReturningEarly(60000);
    pollfd alone{other.fds[0], POLLIN, 0};
    EXPECT_EQ(PollWithLoop(&alone, 1, 0), 0);
    stopAt = exchanges + 5;
    ASSERT_EQ(write(sv[0], "y", 1), 1);
    const int before = exchanges;
    start = Clock::now();
    ProcessWhileOutsideIdle(120000);
    EXPECT_EQ(exchanges, before);
    EXPECT_LT(seconds(start), 60.0);
    UnwatchFd(id);
    shutdown(sv[0], SHUT_RDWR);
    peer.join();
    close(sv[0]);
    close(sv[1]);
}

TEST(Messages, PumpUntilTimesOutOnTheManualClockWithTimersRunning) {
    ManualClockScope mc;
    int ticks = 0;
    Window w(returning0([&](UINT m, WPARAM, LPARAM) { ticks += m == WM_TIMER; }));
    SetTimer(w, 1, 100);
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        while (!done) {
            mc.clock.Advance(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    uint64_t start = NowMs();
    EXPECT_FALSE(PumpUntil([] { return false; }, 1000));
    done = true;
    ticker.join();
    EXPECT_GE(NowMs() - start, 1000u);
    EXPECT_GE(ticks, 1);
}

TEST(Messages, ProcessPendingMessagesLeavesTheRestSignalledWhenAHandlerKeepsPosting) {
    int count = 0;
    HWND w = CreateHiddenWindow([&](HWND h, UINT, WPARAM, LPARAM) -> LRESULT {
        ++count;
        PostMessage(h, WM_USER, 0, 0);
        return 0;
    });
    int fd = LoopWakeFd();
    PostMessage(w, WM_USER, 0, 0);
    ProcessPendingMessages(); // returns although the handler never stops posting
    EXPECT_GT(count, 0);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1); // the outside loop is told to call again
    DestroyWindow(w);
    ProcessPendingMessages();
    EXPECT_EQ(poll(&p, 1, 0), 0); // and goes quiet once the work is gone
}

// The coarse reading keeps to the same clock: an injected one exactly, the real one within a tick.
TEST(Messages, CoarseClockFollowsTheClock) {
    {
        ManualClockScope mc;
        EXPECT_EQ(CoarseNowMs(), 5000u);
        mc.clock.Advance(300000);
        EXPECT_EQ(CoarseNowMs(), 305000u);
    }
    const uint64_t before = NowMs();
    const uint64_t coarse = CoarseNowMs();
    const uint64_t after = NowMs();
    EXPECT_LE(coarse, after);
    EXPECT_LT(before, coarse + 1000); // a tick is milliseconds, never a second
}
