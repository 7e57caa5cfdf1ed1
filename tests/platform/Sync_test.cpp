// Synchronisation stand-ins with real threads: time-outs, wake-ups, slots per thread and ticks.
// Waits that must succeed use generous bounds so that a loaded machine cannot make them flaky.
#include "platform/Sync.h"

#include "PlatformFixture.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

using plat::WaitResult;
using platformtest::ThreadGroup;
using platformtest::waitUntil;
using namespace std::chrono_literals;

namespace {
constexpr uint32_t longWait = 30000; // "does not hang" bound only

// True while the thread is asleep (blocked in a wait), as the kernel reports it.
bool threadSleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}
} // namespace

TEST(Sync, CriticalSectionIsReentrantAndExcludesOtherThreads) {
    plat::CriticalSection cs;
    auto otherGetsIn = [&] {
        bool in = false;
        std::thread([&] {
            if ((in = cs.TryEnter())) cs.Leave();
        }).join();
        return in;
    };
    cs.Enter();
    cs.Enter();
    cs.Leave();
    EXPECT_FALSE(otherGetsIn()); // still held once
    cs.Leave();
    EXPECT_TRUE(otherGetsIn());
}

TEST(Sync, AutoResetEventTimesOutAndWakesExactlyOneWaiter) {
    plat::AutoResetEvent ev;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ev.Wait(50), WaitResult::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    // A signal with nobody waiting is kept for one wait only.
    ev.Set();
    EXPECT_EQ(ev.Wait(0), WaitResult::Signaled);
    EXPECT_EQ(ev.Wait(0), WaitResult::Timeout);

    std::atomic<int> woken{0}, waiting{0};
    ThreadGroup waiters(3, [&](int) {
        ++waiting;
        if (ev.Wait(longWait) == WaitResult::Signaled) ++woken;
    });
    waitUntil([&] { return waiting == 3; });
    // Each Set wakes one waiter; a second wake-up would show within the pause.
    for (int n = 1; n <= 3; ++n) {
        ev.Set();
        waitUntil([&] { return woken >= n; }, longWait);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(woken, n);
    }
}

TEST(Sync, ManualResetEventReleasesEveryWaiterUntilReset) {
    plat::ManualResetEvent ev;
    std::atomic<int> woken{0};
    ThreadGroup waiters(4, [&](int) { woken += ev.Wait(longWait) == WaitResult::Signaled; });
    ev.Set();
    waiters.join();
    EXPECT_EQ(woken, 4);
    ev.Reset();
    EXPECT_EQ(ev.Wait(0), WaitResult::Timeout);
}

TEST(Sync, SemaphoreCountsUnitsAndKeepsItsMaximum) {
    plat::Semaphore sem(1, 3);
    EXPECT_EQ(sem.Wait(0), WaitResult::Signaled);
    EXPECT_EQ(sem.Wait(30), WaitResult::Timeout);
    int32_t previous = -1;
    EXPECT_FALSE(sem.Release(4)); // would pass the maximum: nothing changes
    EXPECT_TRUE(sem.Release(3, &previous));
    EXPECT_EQ(previous, 0);

    // Three units feed exactly three of five waiting threads.
    std::atomic<int> got{0};
    ThreadGroup(5, [&](int) { got += sem.Wait(300) == WaitResult::Signaled; }).join();
    EXPECT_EQ(got, 3);

    // A release wakes a thread asleep in a wait without time-out. The thread holds what it uses, so
    // that it can be left behind when the wake-up is lost.
    auto empty = std::make_shared<plat::Semaphore>(0, 1);
    auto woken = std::make_shared<std::atomic<bool>>(false);
    std::atomic<pid_t> tid{0};
    std::thread blocked([empty, woken, &tid] {
        tid = gettid();
        empty->Wait();
        *woken = true;
    });
    EXPECT_TRUE(waitUntil([&] { return tid != 0 && threadSleeps(tid); }, longWait))
        << "the wait did not block";
    EXPECT_FALSE(*woken);
    EXPECT_TRUE(empty->Release());
    if (waitUntil([&] { return woken->load(); }, longWait)) {
        blocked.join();
    } else {
        ADD_FAILURE() << "the release did not wake the waiting thread";
        blocked.detach();
    }
}

TEST(Sync, TlsSlotsHoldOneValuePerThreadAndStartEmpty) {
    uint32_t slot = plat::TlsAlloc();
    ASSERT_NE(slot, plat::TlsOutOfIndexes);
    int mine = 1;
    EXPECT_TRUE(plat::TlsSetValue(slot, &mine));

    std::vector<int> values(4);
    std::atomic<int> wrong{0};
    ThreadGroup(4, [&](int i) {
        if (plat::TlsGetValue(slot) != nullptr) ++wrong;
        plat::TlsSetValue(slot, &values[i]);
        std::this_thread::sleep_for(10ms);
        if (plat::TlsGetValue(slot) != &values[i]) ++wrong;
    }).join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(plat::TlsGetValue(slot), &mine);

    // A freed slot refuses use; the next slot of the same index starts empty here too.
    EXPECT_TRUE(plat::TlsFree(slot));
    EXPECT_FALSE(plat::TlsFree(slot));
    EXPECT_FALSE(plat::TlsSetValue(slot, &mine));
    uint32_t again = plat::TlsAlloc();
    ASSERT_EQ(again, slot);
    EXPECT_EQ(plat::TlsGetValue(again), nullptr);

    // The slots run out cleanly.
    std::vector<uint32_t> taken;
    for (uint32_t s; (s = plat::TlsAlloc()) != plat::TlsOutOfIndexes;)
        taken.push_back(s);
    EXPECT_LT(taken.size(), plat::TlsMaximumSlots);
    for (uint32_t s : taken)
        EXPECT_TRUE(plat::TlsFree(s));
    EXPECT_TRUE(plat::TlsFree(again));
}

TEST(Sync, TicksAreMonotonicAndTheShortTickIsTheLongOnesLowBits) {
    uint64_t last = plat::GetTickCount64();
    std::this_thread::sleep_for(30ms);
    EXPECT_GE(plat::GetTickCount64() - last, 30u);

    // The short tick lies between two readings of the long one, also with an offset that puts
    // it just before its wrap.
    for (uint32_t offset : {0u, 0u - static_cast<uint32_t>(plat::GetTickCount64()) - 10u}) {
        plat::SetTickCountOffsetForTesting(offset);
        uint64_t w1 = plat::GetTickCount64();
        uint32_t narrow = plat::GetTickCount();
        uint64_t w2 = plat::GetTickCount64();
        EXPECT_LE(static_cast<uint32_t>(narrow - (static_cast<uint32_t>(w1) + offset)), w2 - w1);
    }
    plat::SetTickCountOffsetForTesting(0);
    EXPECT_GE(plat::GetTickCount64(), last);
}
