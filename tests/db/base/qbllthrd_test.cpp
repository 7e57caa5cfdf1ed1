// Tests of the thread base, the timer thread and the thread pool, with real threads.
#include "db/base/qblllog.h"
#include "db/base/qbllthrd.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace dbtest;
using namespace std::chrono_literals;

namespace {

class Worker : public TqbThread {
public:
    Worker() : TqbThread(true) {}
    ~Worker() override { WaitFor(); }
    std::latch gate{1};
    std::atomic<bool> ran{false};

protected:
    void Execute() override {
        gate.wait();
        ran = true;
    }
};

// Requests that wait (marked as waits) for what one later request gives, as lock waiters wait for
// the holder's commit. Bounded, so that a pool that starves the giver fails instead of hanging.
struct GivenLater {
    std::mutex m;
    std::condition_variable cv;
    bool given = false;
    std::atomic<int> served{0}, starved{0};

    void queueWaiters(TqbThreadPool& pool, int count) {
        for (int i = 0; i < count; ++i)
            pool.ProcessRequest(i, [this](intptr_t) {
                TqbBlockingWait waiting;
                std::unique_lock lk(m);
                if (cv.wait_for(lk, 60s, [&] { return given; }))
                    ++served;
                else
                    ++starved;
            });
    }
    void queueGiver(TqbThreadPool& pool) {
        pool.ProcessRequest(0, [this](intptr_t) {
            std::lock_guard g(m);
            given = true;
            cv.notify_all();
        });
    }
    bool ended(int count) {
        return waitUntil([&] { return served + starved == count; });
    }
};

} // namespace

TEST(Thread, OnTerminateRunsInTheEndingThreadAndWaitsTimeOut) {
    Worker w;
    std::thread::id endedOn;
    w.OnTerminate = [&](TqbThread* t) {
        EXPECT_EQ(t, &w);
        endedOn = std::this_thread::get_id();
    };
    w.Start();
    EXPECT_EQ(w.WaitForEx(20), 258u);
    w.gate.count_down();
    EXPECT_EQ(w.WaitForEx(0), 0u);
    EXPECT_TRUE(w.ran.load());
    EXPECT_EQ(endedOn, w.ThreadID());
    EXPECT_NE(endedOn, std::this_thread::get_id());
}

TEST(TimerThread, CallsPeriodicallyAndStopsOnTerminate) {
    EXPECT_EQ(raised<EqbServerComponentError>([] { TqbTimerThread t(100, false, nullptr, nullptr); }).code,
              1290);
    // A raising call is logged and the timer goes on.
    TqbOwned<MemoryEventLog> log(new MemoryEventLog);
    std::atomic<int> calls{0};
    int cookieValue = 42;
    void* seenCookie = nullptr;
    auto t = std::make_unique<TqbTimerThread>(5, true, &cookieValue, [&](void* c) {
        seenCookie = c;
        if (++calls == 1) throw std::runtime_error("boom");
    });
    t->SetEventLog(log.get());
    t->Start();
    ASSERT_TRUE(waitUntil([&] { return calls.load() >= 3; }));
    t->Terminate();
    t->WaitFor();
    EXPECT_EQ(log->Lines().at(0), "TqbTimerThread: timer event failed: boom");
    int after = calls.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), after);
    EXPECT_EQ(seenCookie, &cookieValue);

    // Frequency 0 waits without limit: never calls, and still ends at once on Terminate.
    std::atomic<int> never{0};
    TqbTimerThread idle(0, false, nullptr, [&](void*) { ++never; });
    std::this_thread::sleep_for(30ms);
    idle.Terminate();
    EXPECT_EQ(idle.WaitForEx(0), 0u);
    EXPECT_EQ(never.load(), 0);
}

TEST(ThreadPool, LoweringMaxCountEndsOnlyIdleThreads) {
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    pool->BeginLoading();
    pool->SetInitialCount(4);
    EXPECT_EQ(pool->IdleCount(), 0); // made once loaded
    pool->EndLoading();
    pool->SetInitialCount(6); // only once
    EXPECT_EQ(pool->IdleCount(), 4);
    std::latch gate{1};
    std::atomic<int> started{0}, done{0};
    for (int i = 0; i < 2; ++i)
        pool->ProcessRequest(i, [&](intptr_t) {
            ++started;
            gate.wait();
            ++done;
        });
    ASSERT_TRUE(waitUntil([&] { return started.load() == 2 && pool->IdleCount() == 2; }));
    pool->SetMaxCount(1);
    EXPECT_EQ(pool->BusyCount(), 2);
    gate.count_down();
    // The busy threads above the new count end once done: the pool comes back to its size.
    EXPECT_TRUE(waitUntil([&] { return done.load() == 2 && pool->BusyCount() == 0; }));
    EXPECT_EQ(pool->IdleCount(), 1);
}

TEST(ThreadPool, StressOfManyShortRequestsNeverStalls) {
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    pool->SetMaxCount(4);
    pool->SetInitialCount(0);
    constexpr int kProducers = 8, kEach = 1500;
    std::vector<std::atomic<int>> runs(kProducers * kEach);
    std::atomic<int> total{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                pool->ProcessRequest(p * kEach + i, [&](intptr_t arg) {
                    runs[size_t(arg)]++;
                    total++;
                });
        });
    for (auto& t : producers)
        t.join();
    ASSERT_TRUE(waitUntil([&] { return total.load() == kProducers * kEach; })) << total.load();
    for (auto& r : runs)
        ASSERT_EQ(r.load(), 1);
    EXPECT_TRUE(waitUntil([&] { return pool->BusyCount() == 0 && pool->QueuedCount() == 0; }));
    EXPECT_LE(pool->IdleCount(), 4);
}

// Requests that wait for what a queued request gives (as lock waiters wait for the holder's
// commit) do not count against MaxCount: the queued request gets a thread of its own. Once the
// waits are over, no more than MaxCount run again, and the threads above it have ended.
TEST(ThreadPool, ThreadsThatWaitLetTheQueuedRequestRun) {
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    pool->SetMaxCount(2);
    pool->SetInitialCount(0);
    GivenLater waits;
    constexpr int kWaiters = 5;
    waits.queueWaiters(*pool, kWaiters);
    waits.queueGiver(*pool);
    ASSERT_TRUE(waits.ended(kWaiters));
    EXPECT_EQ(waits.served.load(), kWaiters);
    EXPECT_TRUE(waitUntil([&] { return pool->BusyCount() == 0; }));
    EXPECT_EQ(pool->WaitingCount(), 0);
    EXPECT_EQ(pool->IdleCount(), 2);

    std::latch gate{1};
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i)
        pool->ProcessRequest(i, [&](intptr_t) {
            ++ran;
            gate.wait();
        });
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 2; }));
    EXPECT_EQ(pool->QueuedCount(), 1);
    gate.count_down();
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 3 && pool->BusyCount() == 0; }));
}

// Many requests that wait at once each keep their thread; once the waits end the threads made
// for them end too, and the process is back to its threads before the waits plus MaxCount. The
// second round grows and shrinks the same way.
TEST(ThreadPool, ThreadsMadeForWaitsEndOnceTheWaitsEnd) {
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    constexpr int kMax = 4, kWaiters = 60;
    pool->SetMaxCount(kMax);
    pool->SetInitialCount(kMax);
    const int before = pwtest::threadCount();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        GivenLater waits;
        waits.queueWaiters(*pool, kWaiters);
        ASSERT_TRUE(waitUntil([&] { return pool->WaitingCount() == kWaiters; }));
        EXPECT_GE(pwtest::threadCount(), before - kMax + kWaiters);
        waits.queueGiver(*pool);
        ASSERT_TRUE(waits.ended(kWaiters));
        EXPECT_EQ(waits.served.load(), kWaiters);
        EXPECT_TRUE(waitUntil([&] { return pool->BusyCount() == 0 && pwtest::threadCount() <= before; }))
            << pwtest::threadCount() << " threads, " << before << " before the waits";
        EXPECT_EQ(pool->IdleCount(), kMax);
    }
    // The pool still serves at its size.
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i)
        pool->ProcessRequest(i, [&](intptr_t) { ++ran; });
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 20 && pool->BusyCount() == 0; }));
    EXPECT_LE(pool->IdleCount(), kMax);
}

// With one thread: a second request queues and runs on the same thread; a raising request is
// logged and the pool goes on; freeing the pool waits for the running request.
TEST(ThreadPool, OneThreadQueuesLogsFailuresAndFreeingWaitsForRunningRequests) {
    TqbOwned<MemoryEventLog> log(new MemoryEventLog);
    auto* pool = new TqbThreadPool;
    pool->SetEventLog(log.get());
    pool->SetEventLogEnabled(true);
    pool->SetMaxCount(1);
    pool->SetInitialCount(0);
    std::latch gate{1};
    std::thread::id first, second;
    pool->ProcessRequest(7, [&](intptr_t arg) {
        EXPECT_EQ(arg, 7);
        first = std::this_thread::get_id();
        gate.wait();
        throw std::runtime_error("bad request");
    });
    ASSERT_TRUE(waitUntil([&] { return pool->BusyCount() == 1; }));
    std::atomic<bool> served{false};
    pool->ProcessRequest(8, [&](intptr_t) {
        second = std::this_thread::get_id();
        served = true;
    });
    EXPECT_EQ(pool->QueuedCount(), 1);
    gate.count_down();
    ASSERT_TRUE(waitUntil([&] { return served.load(); }));
    EXPECT_EQ(first, second);
    EXPECT_EQ(log->Lines(), (std::vector<std::string>{"Thread pool request failed: bad request"}));

    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> started{false};
    pool->ProcessRequest(0, [&, finished](intptr_t) {
        started = true;
        std::this_thread::sleep_for(200ms);
        *finished = true;
    });
    ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    pool->Free(); // waits for the running request
    EXPECT_TRUE(finished->load());
}
