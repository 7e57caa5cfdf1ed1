// Tests of the message layer across real threads: sends, time-outs, deadlock freedom, wake-ups
// by the manual clock, thread exit, broadcast, and an idle loop that costs no CPU.
#include "PlatformFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <time.h>

using namespace platformtest;
using namespace std::chrono_literals;

namespace {
double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
} // namespace

TEST(MessagesThreads, SendMessageRunsOnTheOwnerThreadAndReturnsItsResult) {
    std::thread::id ranOn, reportedOn;
    std::string copied;
    SetDispatchExceptionHandler([&](std::exception_ptr) { reportedOn = std::this_thread::get_id(); });
    LoopThread t([&](HWND, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        ranOn = std::this_thread::get_id();
        if (m == WM_USER + 1) throw std::runtime_error("bad");
        if (m == WM_COPYDATA) {
            auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
            copied.assign(static_cast<const char*>(cds->lpData), cds->cbData);
            return LRESULT(cds->dwData + wp);
        }
        return LRESULT(wp * 2 + 1);
    });
    // Copy data: the buffer stays the sender's and is valid for the whole call.
    std::string payload(65536, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7);
    COPYDATASTRUCT cds{17970, uint32_t(payload.size()), payload.data()};
    LRESULT r = 0;
    ASSERT_TRUE(SendMessageTimeout(t.hwnd(), WM_COPYDATA, 5, LPARAM(&cds), 60000, &r));
    EXPECT_EQ(r, 17975);
    EXPECT_EQ(copied, payload);
    EXPECT_EQ(ranOn, t.id());

    // An exception stays on the owner thread, gives 0, and the loop goes on.
    EXPECT_EQ(SendMessage(t.hwnd(), WM_USER + 1, 0, 0), 0);
    EXPECT_EQ(reportedOn, t.id());

    // Many senders at once each get their own answer.
    std::atomic<int> wrong{0};
    ThreadGroup(4, [&](int s) {
        for (int i = 0; i < 200; ++i)
            if (SendMessage(t.hwnd(), WM_USER, WPARAM(s * 1000 + i), 0) != (s * 1000 + i) * 2 + 1) ++wrong;
    }).join();
    EXPECT_EQ(wrong, 0);
    SetDispatchExceptionHandler(nullptr);
}

TEST(MessagesThreads, SendsBetweenTwoThreadsDoNotDeadlock) {
    // A's handler sends to B, whose handler sends back to A while A is still waiting.
    HWND hb = 0;
    std::atomic<HWND> ha{0};
    LoopThread a([&](HWND, UINT m, WPARAM wp, LPARAM) -> LRESULT {
        if (m == WM_USER) return SendMessage(hb, WM_USER, wp, 0) + 1;
        return LRESULT(wp) * 10; // WM_USER + 1: the nested call from B
    });
    ha = a.hwnd();
    LoopThread b(
        [&](HWND, UINT, WPARAM wp, LPARAM) -> LRESULT { return SendMessage(ha, WM_USER + 1, wp, 0) + 100; });
    hb = b.hwnd();
    EXPECT_EQ(SendMessage(a.hwnd(), WM_USER, 4, 0), 141);
}

TEST(MessagesThreads, SendMessageTimeoutGivesUpAndTheMessageIsWithdrawn) {
    ManualClockScope mc;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> late{0};
    std::atomic<bool> busy{false};
    LoopThread t([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER) {
            busy = true;
            released.wait(); // busy: does not pump
        }
        if (m == WM_USER + 1) ++late;
        return 7;
    });
    PostMessage(t.hwnd(), WM_USER, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return busy.load(); }));
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop) {
            mc.clock.Advance(100);
            std::this_thread::sleep_for(1ms);
        }
    });
    LRESULT r = 99;
    EXPECT_FALSE(SendMessageTimeout(t.hwnd(), WM_USER + 1, 0, 0, 1000, &r));
    EXPECT_EQ(r, 0);
    stop = true;
    ticker.join();
    release.set_value();
    // The owner is free again: a new send is answered, the withdrawn one never ran.
    EXPECT_TRUE(SendMessageTimeout(t.hwnd(), WM_USER + 2, 0, 0, 1000, &r));
    EXPECT_EQ(r, 7);
    EXPECT_EQ(late, 0);
}

TEST(MessagesThreads, AdvancingTheManualClockWakesABlockedLoop) {
    ManualClockScope mc;
    std::atomic<int> ticks{0};
    LoopThread t(returning0([&](UINT m, WPARAM, LPARAM) { ticks += m == WM_TIMER; }));
    // Set from another thread: the owner's loop recomputes its wait.
    ASSERT_NE(SetTimer(t.hwnd(), 1, 333), 0u);
    for (int i = 1; i <= 2; ++i) {
        mc.clock.Advance(333);
        EXPECT_TRUE(waitUntil([&] { return ticks >= i; }));
    }
    KillTimer(t.hwnd(), 1);
}

TEST(MessagesThreads, ThreadExitDestroysItsWindowsAndReleasesWaitingSenders) {
    std::promise<void> letGo;
    std::promise<HWND> made;
    std::thread owner([&] {
        made.set_value(CreateHiddenWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; }));
        letGo.get_future().wait(); // never pumps; ends with a send waiting on it
    });
    HWND h = made.get_future().get();
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        letGo.set_value();
    });
    LRESULT r = 5;
    EXPECT_FALSE(SendMessageTimeout(h, WM_USER, 0, 0, 0xFFFFFFFFu, &r)); // returns when the owner ends
    owner.join();
    releaser.join();
    EXPECT_FALSE(IsWindow(h));
}

TEST(MessagesThreads, BroadcastReachesWindowsOfEveryThread) {
    UINT find = RegisterWindowMessage("Quillbase2SingleUserPostMessage");
    std::atomic<int> got{0};
    auto proc =
        returning0([&](UINT m, WPARAM wp, LPARAM lp) { got += m == find && wp == 12 && lp == 17969; });
    LoopThread a(proc), b(proc);
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, find, 12, 17969));
    waitUntil([&] { return got >= 2; });
    EXPECT_EQ(got, 2);
}

TEST(MessagesThreads, IdleLoopWithATimerUsesNoCpu) {
    std::atomic<int> ticks{0};
    LoopThread t(returning0([&](UINT m, WPARAM, LPARAM) { ticks += m == WM_TIMER; }));
    SetTimer(t.hwnd(), 1, 333);
    double cpu0 = processCpuSeconds();
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    double cpu = processCpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    // A busy loop would use about a second; the blocked loop a few wake-ups' worth.
    EXPECT_LT(cpu, 0.25 * wall) << "cpu " << cpu << " s over " << wall << " s";
    EXPECT_TRUE(waitUntil([&] { return ticks >= 2; }));
}
