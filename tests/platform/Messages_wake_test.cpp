// Tests of the loop's wake-ups: posts made by a watch callback to its own thread, posts from a
// window procedure run inside a watch round, and posts, sends and timers from other threads racing
// a loop that keeps blocking (its own or an outside loop's way).
#include "PlatformFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <poll.h>

using namespace platformtest;
using namespace std::chrono_literals;

namespace {

TEST(MessagesWakeTest, PostsFromWatchCallbacksAndNestedLoopsAreNotMissed) {
    Pipe p;
    std::promise<HWND> made;
    std::atomic<int> got{0}, nestedGot{0};
    std::thread loop([&] {
        std::vector<std::thread> posters;
        int rounds = 0;
        HWND w = CreateHiddenWindow([&](HWND h, UINT m, WPARAM, LPARAM) -> LRESULT {
            if (m == WM_USER) {
                // A nested loop run by a procedure called from the watch round: a post made
                // while it waits must still wake it.
                posters.emplace_back([h] {
                    std::this_thread::sleep_for(5ms);
                    PostMessage(h, WM_USER + 2, 0, 0);
                });
                PumpUntil([&] { return nestedGot.load() > 0; }, 10000);
                ++got;
            } else if (m == WM_USER + 2) {
                ++nestedGot;
            } else if ((m == WM_USER + 1 && ++rounds == 3) || m == WM_USER + 3) {
                PostQuitMessage(0);
            }
            return 0;
        });
        WatchId id = WatchFd(p.fds[0], POLLIN, [&](int fd, short) {
            char c;
            if (read(fd, &c, 1) == 1) {
                PostMessage(w, WM_USER, 0, 0); // own thread, no other wake-up follows
                if (c == 'n') PostMessage(w, WM_USER + 1, 0, 0);
            }
        });
        made.set_value(w);
        MSG m;
        while (GetMessage(&m))
            DispatchMessage(m);
        UnwatchFd(id);
        DestroyWindow(w);
        for (auto& t : posters)
            t.join();
    });
    HWND w = made.get_future().get();
    for (int i = 0; i < 3; ++i) {
        int before = got.load();
        ASSERT_EQ(write(p.fds[1], "n", 1), 1);
        waitUntil([&] { return got.load() != before; }, 10000);
        EXPECT_EQ(got.load(), before + 1) << "round " << i;
        nestedGot = 0;
    }
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(w); }, 10000));
    PostMessage(w, WM_USER + 3, 0, 0); // frees a stalled loop so that join returns
    loop.join();
    EXPECT_EQ(got.load(), 3);
}

TEST(MessagesWakeTest, ManyPostsRacingABlockingLoopAllArrive) {
    constexpr int kPosts = 20000;
    std::atomic<int> got{0};
    LoopThread t(returning0([&](UINT m, WPARAM, LPARAM) { got += m == WM_USER; }));
    for (int i = 0; i < kPosts; ++i) {
        ASSERT_TRUE(PostMessage(t.hwnd(), WM_USER, 0, 0));
        if (i % 64 == 0) std::this_thread::yield(); // lets the loop empty its queue and block again
    }
    // A stalled loop is freed by the stop message that ends the thread.
    EXPECT_TRUE(waitUntil([&] { return got.load() == kPosts; }, 20000)) << got.load();
}

// A loop run the outside loop's way (ProcessPendingMessages, then a wait on its descriptor until
// the next timer) passes over empty queues and timers without the lock: posts, sends and timers
// set from other threads meanwhile must each still wake it.
TEST(MessagesWakeTest, AnOutsideLoopMissesNothingFromOtherThreads) {
    constexpr int kPosters = 3, kPosts = 5000, kSends = 500, kTimers = 20;
    std::atomic<int> got{0}, ticks{0};
    std::atomic<bool> stop{false};
    std::promise<HWND> made;
    Pipe quit; // ends the loop however its queues fare
    std::thread loop([&] {
        LoopWakeFd(); // someone else's loop from here on
        const WatchId q = WatchFd(quit.fds[0], POLLIN, [&](int, short) { stop = true; });
        HWND w = CreateHiddenWindow([&](HWND h, UINT m, WPARAM wp, LPARAM) -> LRESULT {
            if (m == WM_USER) ++got;
            if (m == WM_USER + 1) return LRESULT(wp + 1);
            if (m == WM_TIMER) {
                KillTimer(h, wp);
                ++ticks;
            }
            return 0;
        });
        made.set_value(w);
        while (!stop) {
            ProcessPendingMessages();
            if (!stop) WaitForWork(int(NextTimerDelayMs()));
        }
        UnwatchFd(q);
        DestroyWindow(w);
    });
    const HWND w = made.get_future().get();
    std::atomic<int> wrong{0};
    {
        ThreadGroup posters(kPosters, [&](int) {
            for (int i = 0; i < kPosts; ++i) {
                PostMessage(w, WM_USER, 0, 0);
                if (i % 32 == 0) std::this_thread::yield(); // lets the loop empty its queue and block
            }
        });
        ThreadGroup sender(1, [&](int) {
            for (int i = 0; i < kSends; ++i) {
                LRESULT r = 0;
                if (!SendMessageTimeout(w, WM_USER + 1, WPARAM(i), 0, 10000, &r) || r != i + 1) {
                    ++wrong;
                    break;
                }
            }
        });
        for (int i = 0; i < kTimers; ++i) {
            const int before = ticks.load();
            SetTimer(w, 1, 10);
            if (!waitUntil([&] { return ticks.load() > before; }, 10000)) {
                ADD_FAILURE() << "timer " << i << " did not fire";
                break;
            }
        }
    }
    EXPECT_TRUE(waitUntil([&] { return got.load() == kPosters * kPosts; }, 10000)) << got.load();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(write(quit.fds[1], "q", 1), 1);
    loop.join();
}

} // namespace
