// Lock manager: mode tables, queues and conversions, time-outs on the injected clock and the
// thread deadline, deadlock detection, transaction bookkeeping and the lock errors, with real threads.
#include "db/base/qbllexcp.h"
#include "db/storage/qbsrlock.h"
#include "platform/Messages.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

using namespace dbtest;
using namespace std::chrono_literals;

namespace {

// Waits that a test expects to end are bounded by this much real time, so a fault fails the test
// instead of hanging it.
constexpr uint32_t kLong = 30000;

// The future has not completed after a short real pause.
template <class T> bool stillWaiting(std::future<T>& f) {
    return f.wait_for(30ms) == std::future_status::timeout;
}

const uint8_t kCompat[7][7] = {
    {1, 1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 0, 0}, {1, 1, 1, 0, 0, 0, 0}, {1, 1, 0, 1, 0, 0, 0},
    {1, 1, 0, 0, 0, 0, 0}, {1, 0, 0, 1, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0},
};
const uint8_t kConvert[7][7] = {
    {0, 1, 2, 3, 4, 5, 6}, {1, 1, 2, 3, 4, 5, 6}, {2, 2, 2, 4, 4, 6, 6}, {3, 3, 4, 3, 4, 5, 6},
    {4, 4, 4, 4, 4, 4, 6}, {5, 5, 6, 5, 4, 5, 6}, {6, 6, 6, 6, 6, 6, 6},
};

class LockTest : public ::testing::Test {
protected:
    void TearDown() override { plat::SetClock(nullptr); }

    // Starts an acquire of a table lock on another thread; with inQueue, waits until the table's
    // queue holds that many requests.
    std::future<TqbLockResult> tableAsync(uint32_t table, uint8_t mode, TqbLockOwnerID owner,
                                          uint32_t timeout, size_t inQueue = 0) {
        auto f = std::async(std::launch::async,
                            [=, this] { return lm.AcquireTableLock(table, mode, owner, timeout, false); });
        EXPECT_TRUE(!inQueue || waitUntil([&] { return queued(table) == inQueue; })) << "never queued";
        return f;
    }
    // Waiting plus converting requests on a table's container.
    size_t queued(uint32_t table) {
        size_t n = 0;
        lm.TableLocks().WithContainer(
            table, [&](TqbLockContainer& c) { n = c.WaitingCount() + c.ConvertingCount(); });
        return n;
    }

    plat::ManualClock clock; // in use once a test sets it
    TqbLockManager lm;
    TqbLockOwnerID A = NewLockOwnerID(), B = NewLockOwnerID(), C = NewLockOwnerID(), D = NewLockOwnerID();
};

} // namespace

// Tables

// Coverage follows the conversion table, not the numeric order of the modes (Share does not cover
// Intent Exclusive), and other owners then meet the converted mode by the compatibility table (with
// asked == held: every pair of modes).
TEST_F(LockTest, ASoleHolderConvertsByTheConversionTableKeepingItsCount) {
    for (uint8_t held = 1; held < 7; ++held) {
        for (uint8_t asked = 1; asked < 7; ++asked) {
            SCOPED_TRACE(std::to_string(held) + " held, " + std::to_string(asked) + " asked");
            uint32_t table = 500 + held * 10 + asked;
            ASSERT_EQ(lm.AcquireTableLock(table, held, A, 0, true), lrGranted);
            ASSERT_EQ(lm.AcquireTableLock(table, asked, A, 0, true), lrGranted);
            const uint8_t now = kConvert[held][asked];
            EXPECT_EQ(LockModeConversion(held, asked), now);
            EXPECT_TRUE(lm.HasTableLock(table, A, now));
            for (uint8_t other = 1; other < 7; ++other) {
                EXPECT_EQ(lm.AcquireTableLock(table, other, B, 0, true) == lrGranted,
                          kCompat[other][now] != 0)
                    << int(other) << " asked by another owner";
                lm.ReleaseTableLockAll(table, B);
            }
            lm.ReleaseTableLock(table, A);
            // Covered requests count; conversions keep the count of the held entry.
            EXPECT_EQ(lm.GetTableLockMode(table), now == held ? now : uint8_t(lmNone));
            lm.ReleaseTableLockAll(table, A);
        }
    }
}

// Queues

TEST_F(LockTest, WaitersAreServedInOrderAndAnIncompatibleHeadBlocksThoseBehind) {
    ASSERT_EQ(lm.AcquireTableLock(1, lmExclusive, A, 0, false), lrGranted);
    auto b = tableAsync(1, lmShare, B, kLong, 1);
    auto c = tableAsync(1, lmShare, C, kLong, 2);
    auto d = tableAsync(1, lmExclusive, D, kLong, 3);

    lm.ReleaseTableLock(1, A);
    EXPECT_EQ(b.get(), lrGranted);
    EXPECT_EQ(c.get(), lrGranted);
    lm.ReleaseTableLock(1, B);
    EXPECT_TRUE(stillWaiting(d));
    lm.ReleaseTableLock(1, C);
    EXPECT_EQ(d.get(), lrGranted);

    // A Share that would fit next to the holders still waits behind an Exclusive waiter.
    ASSERT_EQ(lm.AcquireTableLock(2, lmShare, A, 0, false), lrGranted);
    auto x = tableAsync(2, lmExclusive, B, kLong, 1);
    EXPECT_EQ(lm.AcquireTableLock(2, lmShare, C, 0, true), lrRejected);
    auto s = tableAsync(2, lmShare, C, kLong);
    EXPECT_TRUE(stillWaiting(s));
    lm.ReleaseTableLock(2, A);
    EXPECT_EQ(x.get(), lrGranted);
    EXPECT_TRUE(stillWaiting(s));
    lm.ReleaseTableLock(2, B);
    EXPECT_EQ(s.get(), lrGranted);
}

// Every holder is checked, not only the strongest; a conditional refusal queues nothing; counts
// need as many releases; release-all ends at once.
TEST_F(LockTest, RefusalsQueueNothingAndCountsNeedAsManyReleases) {
    // Update fits next to Share but not next to Intent Shared.
    ASSERT_EQ(lm.AcquireTableLock(3, lmIntentShared, A, 0, false), lrGranted);
    ASSERT_EQ(lm.AcquireTableLock(3, lmShare, B, 0, false), lrGranted);
    EXPECT_EQ(lm.AcquireTableLock(3, lmUpdate, C, 0, true), lrRejected);
    lm.ReleaseTableLock(3, A);
    EXPECT_EQ(lm.AcquireTableLock(3, lmUpdate, C, 0, true), lrGranted);
    lm.ReleaseTableLock(3, B);
    lm.ReleaseTableLock(3, C);

    ASSERT_EQ(lm.AcquireTableLock(2, lmShare, A, 0, false), lrGranted);
    ASSERT_EQ(lm.AcquireTableLock(2, lmShare, B, 0, false), lrGranted);
    EXPECT_EQ(lm.AcquireTableLock(2, lmExclusive, A, 0, true), lrRejected);
    EXPECT_TRUE(lm.HasTableLock(2, A, lmShare)); // the held entry is as it was
    EXPECT_EQ(queued(2), 0u);
    lm.ReleaseTableLock(2, B);

    ASSERT_EQ(lm.AcquireTableLock(2, lmIntentShared, A, 0, false), lrGranted); // covered: counts too
    lm.ReleaseTableLock(2, A);
    EXPECT_TRUE(lm.HasTableLock(2, A, lmShare));
    lm.ReleaseTableLock(2, A);
    EXPECT_EQ(lm.TableContainerCount(), 0u);

    ASSERT_EQ(lm.AcquireTableLock(1, lmShare, A, 0, false), lrGranted);
    ASSERT_EQ(lm.AcquireTableLock(1, lmShare, A, 0, false), lrGranted);
    lm.ReleaseTableLockAll(1, A);
    EXPECT_EQ(lm.TableContainerCount(), 0u);
}

TEST_F(LockTest, AConversionGoesAheadOfWaitersAndNewRequestsDoNotOvertakeIt) {
    ASSERT_EQ(lm.AcquireTableLock(1, lmIntentShared, A, 0, false), lrGranted);
    ASSERT_EQ(lm.AcquireTableLock(1, lmIntentShared, B, 0, false), lrGranted);
    auto x = tableAsync(1, lmExclusive, C, kLong, 1);
    // A's upgrade fits next to B's Intent Shared although C waits.
    EXPECT_EQ(lm.AcquireTableLock(1, lmShare, A, 0, true), lrGranted);
    // B's upgrade to Exclusive must wait; a newcomer's Intent Shared waits behind it.
    auto bx = tableAsync(1, lmExclusive, B, kLong, 2);
    EXPECT_EQ(lm.AcquireTableLock(1, lmIntentShared, D, 0, true), lrRejected);
    lm.ReleaseTableLockAll(1, A);
    EXPECT_EQ(bx.get(), lrGranted);
    EXPECT_TRUE(stillWaiting(x));
    lm.ReleaseTableLockAll(1, B);
    EXPECT_EQ(x.get(), lrGranted);
}

// Time-outs

// A time-out runs on the injected clock; removing the timed-out head lets compatible waiters behind
// it in at once.
TEST_F(LockTest, AWaiterThatTimesOutAtTheHeadLetsTheNextOnesIn) {
    plat::SetClock(&clock);
    ASSERT_EQ(lm.AcquireTableLock(1, lmShare, A, 0, false), lrGranted);
    auto x = tableAsync(1, lmExclusive, B, 500, 1);
    auto s1 = tableAsync(1, lmShare, C, 100000);
    auto s2 = tableAsync(1, lmIntentShared, D, 100000, 3);
    clock.Advance(499);
    EXPECT_TRUE(stillWaiting(x));
    clock.Advance(1);
    EXPECT_EQ(x.get(), lrTimedOut);
    const bool s1Ready = s1.wait_for(10s) == std::future_status::ready;
    const bool s2Ready = s2.wait_for(10s) == std::future_status::ready;
    clock.Advance(200000); // ends whatever still waits
    EXPECT_TRUE(s1Ready);
    EXPECT_TRUE(s2Ready);
    EXPECT_EQ(s1.get(), lrGranted);
    EXPECT_EQ(s2.get(), lrGranted);
    EXPECT_TRUE(lm.HasTableLock(1, A, lmShare)); // without any release
    EXPECT_EQ(queued(1), 0u);
}

TEST_F(LockTest, TheThreadDeadlineGivesLockTimeOutsAndError190) {
    plat::SetClock(&clock);
    SetThreadDeadline(1000);
    clock.Advance(995);
    EXPECT_EQ(ThreadLockTimeout(), 5u);
    clock.Advance(1);
    // 4 ms left: too little to wait for a lock.
    EXPECT_EQ(raised<EqbServerException>([] { ThreadLockTimeout(); }),
              (Raised{"The operation could not be completed within the allotted time.", 190}));
    SetThreadDeadline(0);
    // Deadlines are per thread.
    std::thread([] { EXPECT_EQ(ThreadTimeRemaining(), 0u); }).join();

    // A lock waits exactly as long as the thread's deadline allows.
    ASSERT_EQ(lm.AcquireTableLock(1, lmExclusive, A, 0, false), lrGranted);
    auto b = std::async(std::launch::async, [&] {
        SetThreadDeadline(300);
        return lm.AcquireTableLock(1, lmExclusive, B, ThreadLockTimeout(), false);
    });
    ASSERT_TRUE(waitUntil([&] { return queued(1) == 1; }));
    clock.Advance(299);
    EXPECT_TRUE(stillWaiting(b));
    clock.Advance(1);
    EXPECT_EQ(b.get(), lrTimedOut);
}

// Long deadlines are taken on the coarse clock, which never runs ahead of the fine one: a deadline
// is at least its time-out after the call on the coarse clock, at most a tick later than on the fine
// one, and a lock's time-out reaches at least to it.
TEST(ThreadDeadline, ALongDeadlineRunsOnTheCoarseClockAndALockWaitsAtLeastToIt) {
    EXPECT_GT(plat::CoarseGrainMs(), 0u) << "the coarse clock lags the fine one";
    for (int round = 0; round < 200; ++round) {
        const uint64_t before = plat::CoarseNowMs();
        SetThreadDeadline(5000);
        const uint64_t at = GetThreadDeadline().AtMs;
        EXPECT_GE(at, before + 5000);
        EXPECT_LE(at, plat::NowMs() + 5000 + plat::CoarseGrainMs());
        const uint32_t lockTimeout = ThreadLockTimeout();
        EXPECT_GE(plat::NowMs() + lockTimeout, at) << "a lock would give up before the deadline";
        EXPECT_LE(lockTimeout, 5000 + plat::CoarseGrainMs());
    }
    SetThreadDeadline(0);
    plat::ManualClock clock(1000000);
    plat::SetClock(&clock);
    EXPECT_EQ(plat::CoarseGrainMs(), 0u) << "an injected clock is read exactly";
    SetThreadDeadline(5000);
    EXPECT_EQ(GetThreadDeadline().AtMs, 1005000u);
    clock.Advance(1000);
    EXPECT_EQ(ThreadLockTimeout(), 4000u);
    SetThreadDeadline(0);
    plat::SetClock(nullptr);
}

// A grant that lands just as the waiter's time runs out is either reported and kept, or not made:
// never a lock that its owner believes it does not hold.
TEST_F(LockTest, AGrantRacingATimeOutNeverLeavesAnOrphanLock) {
    TqbLockContainer content;
    for (int i = 0; i < 150; ++i) {
        TqbLockTransaction holder, waiter;
        ASSERT_EQ(lm.AcquireContentLock(content, nullptr, lmExclusive, 0, false, holder), lrGranted);
        std::atomic<bool> go{false};
        auto w = std::async(std::launch::async, [&] {
            go = true;
            return lm.AcquireContentLock(content, nullptr, lmExclusive, 2, false, waiter);
        });
        while (!go)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 7) * 300));
        lm.ReleaseTransactionLocks(holder, false);
        TqbLockResult r = w.get();
        EXPECT_EQ(lm.HasContentLock(content, waiter), r == lrGranted);
        EXPECT_EQ(waiter.TransContainer() != nullptr, r == lrGranted);
        lm.ReleaseTransactionLocks(waiter, false);
        ASSERT_TRUE(content.IsEmpty()) << "iteration " << i;
    }
    EXPECT_EQ(lm.TransContainerCount(), 0u);
}

// Releasing all of an owner's locks from another thread also ends that owner's waiting and
// converting requests: the waiter hears "refused" at once, nothing of it stays queued, and nothing
// is granted to it later.
TEST_F(LockTest, ReleasingAllOfAnOwnersLocksEndsItsWaitsAndConversions) {
    auto endsSoon = [](std::future<TqbLockResult>& f) {
        return f.wait_for(10s) == std::future_status::ready;
    };

    // A cursor's wait for a table.
    ASSERT_EQ(lm.AcquireTableLock(1, lmExclusive, A, 0, false), lrGranted);
    auto b = tableAsync(1, lmShare, B, kLong, 1);
    lm.ReleaseTableLockAll(1, B);
    const bool bEnded = endsSoon(b);
    lm.ReleaseTableLock(1, A); // lets a stalled waiter go, so that a failure cannot hang the test
    ASSERT_TRUE(bEnded);
    EXPECT_EQ(b.get(), lrRejected);
    EXPECT_EQ(lm.AcquireTableLock(1, lmExclusive, C, 0, true), lrGranted);
    EXPECT_FALSE(lm.HasTableLock(1, B, lmShare));
    lm.ReleaseTableLock(1, C);
    EXPECT_EQ(lm.TableContainerCount(), 0u);

    // A transaction's conversion, ended by its rollback on another thread.
    TqbLockContainer content;
    TqbLockTransaction t1, t2, t3;
    ASSERT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, false, t1), lrGranted);
    ASSERT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, false, t2), lrGranted);
    auto conv = std::async(std::launch::async, [&] {
        return lm.AcquireContentLock(content, nullptr, lmExclusive, kLong, false, t1);
    });
    ASSERT_TRUE(waitUntil([&] { return content.ConvertingCount() == 1; }));
    lm.ReleaseTransactionLocks(t1, false);
    const bool convEnded = endsSoon(conv);
    lm.ReleaseTransactionLocks(t2, false);
    ASSERT_TRUE(convEnded);
    EXPECT_EQ(conv.get(), lrRejected);
    EXPECT_TRUE(content.IsEmpty());
    EXPECT_EQ(lm.AcquireContentLock(content, nullptr, lmExclusive, 0, true, t3), lrGranted);
    EXPECT_EQ(t1.TransContainer(), nullptr);
    lm.ReleaseTransactionLocks(t3, false);

    // Waits of a transaction on a content and on a record it does not hold yet.
    TqbFileRecordLocks file;
    const TqbLockOwnerID cursor = NewLockOwnerID(), holder = NewLockOwnerID();
    ASSERT_EQ(lm.AcquireCursorContentLock(content, cursor, lmExclusive, 0), lrGranted);
    ASSERT_EQ(lm.AcquireRecordLock(64, file, holder, holder, nullptr, 0, false, lmExclusive), lrGranted);
    auto onContent = std::async(std::launch::async, [&] {
        return lm.AcquireContentLock(content, nullptr, lmShare, kLong, false, t1);
    });
    auto onRecord = std::async(std::launch::async, [&] {
        return lm.AcquireRecordLock(64, file, cursor, t1.LockOwnerID, &t1, kLong, false, lmExclusive);
    });
    ASSERT_TRUE(waitUntil([&] { return content.WaitingCount() == 1; }));
    ASSERT_TRUE(waitUntil([&] {
        size_t n = 0;
        file.Hash(false)->WithContainer(64, [&](TqbLockContainer& c) { n = c.WaitingCount(); });
        return n == 1;
    }));
    // Records only: the content wait goes on.
    lm.ReleaseTransactionLocks(t1, true);
    const bool recordEnded = endsSoon(onRecord);
    EXPECT_TRUE(stillWaiting(onContent));
    lm.ReleaseTransactionLocks(t1, false);
    const bool contentEnded = endsSoon(onContent);
    lm.ReleaseCursorContentLockAll(content, cursor);
    lm.ReleaseRecordLock(64, file, holder, nullptr);
    ASSERT_TRUE(recordEnded && contentEnded);
    EXPECT_EQ(onRecord.get(), lrRejected);
    EXPECT_EQ(onContent.get(), lrRejected);
    EXPECT_TRUE(content.IsEmpty());
    EXPECT_FALSE(lm.IsRecordLocked(64, file));
    EXPECT_EQ(file.Hash(false)->Count(), 0u);
    EXPECT_EQ(t1.TransContainer(), nullptr);
    EXPECT_EQ(lm.TransContainerCount(), 0u);
}

// A stop ends the waits of the threads that name it, unbounded ones too, and refuses their later
// waits at once; what is held stays held, a lock free to take is still granted, and a thread that
// names no stop waits on.
TEST_F(LockTest, AStopEndsTheWaitsOfItsThreadsAtOnce) {
    TqbLockWaitStop stop;
    auto stopped = [&](auto acquire) {
        return std::async(std::launch::async, [&stop, acquire] {
            TqbLockWaitStopScope scope(&stop);
            return acquire();
        });
    };
    TqbLockContainer content;
    TqbFileRecordLocks file;
    TqbLockTransaction t1;
    const TqbLockOwnerID cursor = NewLockOwnerID();
    ASSERT_EQ(lm.AcquireTableLock(1, lmExclusive, A, 0, false), lrGranted);
    ASSERT_EQ(lm.AcquireCursorContentLock(content, A, lmExclusive, 0), lrGranted);
    ASSERT_EQ(lm.AcquireRecordLock(64, file, A, A, nullptr, 0, false, lmExclusive), lrGranted);
    auto onTable = stopped([&] { return lm.AcquireTableLock(1, lmShare, B, 0, false); });
    auto onContent =
        stopped([&] { return lm.AcquireContentLock(content, nullptr, lmShare, kLong, false, t1); });
    auto onRecord = stopped(
        [&] { return lm.AcquireRecordLock(64, file, cursor, cursor, nullptr, 0, false, lmExclusive); });
    auto unstopped =
        std::async(std::launch::async, [&] { return lm.AcquireTableLock(1, lmShare, C, kLong, false); });
    ASSERT_TRUE(waitUntil([&] { return queued(1) == 2 && content.WaitingCount() == 1; }));
    ASSERT_TRUE(waitUntil([&] {
        size_t n = 0;
        file.Hash(false)->WithContainer(64, [&](TqbLockContainer& c) { n = c.WaitingCount(); });
        return n == 1;
    }));

    stop.Stop();
    const bool ended = onTable.wait_for(10s) == std::future_status::ready &&
                       onContent.wait_for(10s) == std::future_status::ready &&
                       onRecord.wait_for(10s) == std::future_status::ready;
    const bool otherWaits = stillWaiting(unstopped);
    // Lets any stalled waiter go, so that a failure cannot hang the test.
    lm.ReleaseTableLock(1, A);
    lm.ReleaseCursorContentLockAll(content, A);
    lm.ReleaseRecordLock(64, file, A, nullptr);
    ASSERT_TRUE(ended);
    EXPECT_EQ(onTable.get(), lrStopped);
    EXPECT_EQ(onContent.get(), lrStopped);
    EXPECT_EQ(onRecord.get(), lrStopped);
    EXPECT_TRUE(otherWaits);
    EXPECT_EQ(unstopped.get(), lrGranted);
    lm.ReleaseTableLock(1, C);
    EXPECT_EQ(t1.TransContainer(), nullptr);

    // Later: a wait ends as it begins; a free lock is granted all the same.
    ASSERT_EQ(lm.AcquireTableLock(2, lmExclusive, A, 0, false), lrGranted);
    EXPECT_EQ(stopped([&] { return lm.AcquireTableLock(2, lmShare, B, 0, false); }).get(), lrStopped);
    EXPECT_EQ(stopped([&] { return lm.AcquireTableLock(3, lmShare, B, 0, false); }).get(), lrGranted);
    // Until the stop is reset.
    stop.Reset();
    EXPECT_EQ(stopped([&] { return lm.AcquireTableLock(2, lmShare, B, 20, false); }).get(), lrTimedOut);
    lm.ReleaseTableLock(2, A);
    lm.ReleaseTableLock(3, B);
    EXPECT_EQ(lm.TableContainerCount(), 0u);
    // What the operation raises for it: the code of an engine that is not started.
    EXPECT_EQ(raised<EqbException>([] { CheckRecordLockResult(lrStopped, lmExclusive, 64, "x"); }).code,
              15459);
    EXPECT_EQ(raised<EqbException>([] { CheckTableLockResult(lrStopped, lmShare, "x"); }).code, 15459);
}

// Threads taking turns on one record hand it over one at a time, each seeing all the work of those
// before it.
TEST_F(LockTest, ThreadsTakingTurnsOnOneRecordNeverOverlap) {
    TqbFileRecordLocks file;
    std::atomic<int> inside{0}, overlaps{0}, refusals{0};
    long counter = 0; // guarded by the record lock alone
    constexpr int kThreads = 4, kRounds = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            const TqbLockOwnerID cursor = NewLockOwnerID();
            for (int i = 0; i < kRounds; ++i) {
                if (lm.AcquireRecordLock(4096, file, cursor, cursor, nullptr, kLong, false, lmExclusive) !=
                    lrGranted) {
                    ++refusals;
                    continue;
                }
                if (inside.fetch_add(1) != 0) ++overlaps;
                ++counter;
                inside.fetch_sub(1);
                lm.ReleaseRecordLock(4096, file, cursor, nullptr);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(refusals.load(), 0);
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_EQ(file.Hash(false)->Count(), 0u);
}

// Deadlock, records, transactions

TEST_F(LockTest, TwoSharersAskingExclusiveMakeTheSecondTheVictim) {
    TqbLockContainer content;
    TqbLockTransaction t1, t2;
    ASSERT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, false, t1), lrGranted);
    ASSERT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, false, t2), lrGranted);
    auto first = std::async(std::launch::async, [&] {
        return lm.AcquireContentLock(content, nullptr, lmExclusive, kLong, false, t1);
    });
    ASSERT_TRUE(waitUntil([&] { return content.ConvertingCount() == 1; }));
    // t2 is about to ask for Exclusive too: that would wait for ever.
    ASSERT_TRUE(content.HasDeadlock());
    EXPECT_EQ(raised<EqbServerException>(
                  [] { RaiseLockDeadlock(lmExclusive, ContentLockResourceText("contacts"), 2); }),
              (Raised{"A lock request (type Exclusive, content of table 'contacts') resulted in a "
                      "deadlock.  Transaction 2 was chosen as the victim.",
                      186}));
    lm.ReleaseTransactionLocks(t2, false); // the victim rolls back
    EXPECT_EQ(first.get(), lrGranted);
    EXPECT_EQ(t1.TransContainer()->GetContentLockMode(&content), lmExclusive);

    // Not a deadlock: the Exclusive waiter holds nothing here, or is not a transaction.
    TqbLockContainer other;
    ASSERT_EQ(lm.AcquireCursorContentLock(other, A, lmShare, 0), lrGranted);
    ASSERT_EQ(lm.AcquireCursorContentLock(other, B, lmShare, 0), lrGranted);
    auto cur = std::async(std::launch::async,
                          [&] { return lm.AcquireCursorContentLock(other, A, lmExclusive, kLong); });
    ASSERT_TRUE(waitUntil([&] { return other.ConvertingCount() == 1; }));
    EXPECT_FALSE(other.HasDeadlock());
    lm.ReleaseCursorContentLock(other, B);
    EXPECT_EQ(cur.get(), lrGranted);
}

TEST_F(LockTest, ARecordLockIsBoundToItsCursorUntilRelaxed) {
    TqbFileRecordLocks file;
    const uint64_t ref = 0x0000000100000040ull;
    TqbLockOwnerID cur1 = NewLockOwnerID(), cur2 = NewLockOwnerID();
    ASSERT_EQ(lm.AcquireRecordLock(ref, file, cur1, A, nullptr, 0, false, lmExclusive), lrGranted);
    EXPECT_EQ(lm.AcquireRecordLock(ref, file, cur2, A, nullptr, 0, false, lmExclusive), lrRejected);
    lm.RelaxRecordLock(ref, file, A);
    EXPECT_EQ(lm.AcquireRecordLock(ref, file, cur2, A, nullptr, 0, false, lmExclusive), lrGranted);
    EXPECT_EQ(lm.AcquireRecordLock(ref, file, cur1, A, nullptr, 0, false, lmExclusive), lrRejected);
    lm.ReleaseRecordLock(ref, file, A, nullptr);
    EXPECT_TRUE(lm.IsRecordLocked(ref, file)); // count 2
    lm.ReleaseRecordLock(ref, file, A, nullptr);
    EXPECT_EQ(file.Hash(false)->Count(), 0u);
}

// A record lock a cursor took on its own passes to the transaction that cursor then writes in,
// at once and without a moment free: a waiter queued before keeps waiting until the transaction
// ends (its commit or rollback), then gets the record. Another cursor's transaction gets nothing.
TEST_F(LockTest, ACursorsOwnRecordLockPassesToItsTransaction) {
    TqbFileRecordLocks file;
    const uint64_t ref = 72;
    const TqbLockOwnerID cursor = NewLockOwnerID(), other = NewLockOwnerID(), waiter = NewLockOwnerID();
    auto waiting = [&] {
        size_t n = 0;
        file.Hash(false)->WithContainer(ref, [&](TqbLockContainer& c) { n = c.WaitingCount(); });
        return n;
    };
    auto owners = [&] {
        std::vector<TqbLockOwnerID> o;
        file.Hash(false)->WithContainer(ref, [&](TqbLockContainer& c) {
            for (const auto& e : c.GrantedEntries())
                o.push_back(e.OwnerID);
        });
        return o;
    };
    ASSERT_EQ(lm.AcquireRecordLock(ref, file, cursor, cursor, nullptr, 0, false, lmExclusive), lrGranted);
    auto queued = std::async(std::launch::async, [&] {
        return lm.AcquireRecordLock(ref, file, waiter, waiter, nullptr, kLong, false, lmExclusive);
    });
    ASSERT_TRUE(waitUntil([&] { return waiting() == 1; }));

    TqbLockTransaction stranger;
    EXPECT_EQ(lm.AcquireRecordLock(ref, file, other, stranger.LockOwnerID, &stranger, 0, true, lmExclusive),
              lrRejected)
        << "another cursor's transaction";

    TqbLockTransaction t;
    EXPECT_EQ(lm.AcquireRecordLock(ref, file, cursor, t.LockOwnerID, &t, 0, true, lmExclusive), lrGranted);
    EXPECT_EQ(owners(), std::vector<TqbLockOwnerID>{t.LockOwnerID});
    ASSERT_NE(t.TransContainer(), nullptr);
    EXPECT_EQ(t.TransContainer()->RecordLockCount(), 1u);
    // The cursor's own release finds nothing of its own left.
    lm.ReleaseRecordLockAll(ref, file, cursor, nullptr);
    EXPECT_TRUE(stillWaiting(queued));
    EXPECT_EQ(waiting(), 1u);

    lm.ReleaseTransactionLocks(t, false);
    ASSERT_EQ(queued.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(queued.get(), lrGranted);
    EXPECT_EQ(owners(), std::vector<TqbLockOwnerID>{waiter});
    EXPECT_EQ(t.TransContainer(), nullptr);
    lm.ReleaseRecordLock(ref, file, waiter, nullptr);
    EXPECT_EQ(file.Hash(false)->Count(), 0u);
    EXPECT_EQ(lm.TransContainerCount(), 0u);
}

// Records alone or everything at once, and everything when the transaction goes away.
TEST_F(LockTest, TransactionLocksAreReleasedTogether) {
    TqbFileRecordLocks f1, f2;
    TqbLockContainer c1, c2;
    TqbLockOwnerID cur = NewLockOwnerID();
    {
        TqbLockTransaction t;
        ASSERT_EQ(lm.AcquireRecordLock(8, f1, cur, t.LockOwnerID, &t, 0, false, lmExclusive), lrGranted);
        ASSERT_EQ(lm.AcquireRecordLock(8, f2, cur, t.LockOwnerID, &t, 0, false, lmExclusive), lrGranted);
        ASSERT_EQ(lm.AcquireContentLock(c1, nullptr, lmShare, 0, false, t), lrGranted);
        ASSERT_EQ(lm.AcquireContentLock(c2, nullptr, lmExclusive, 0, false, t), lrGranted);
        // A covered request keeps the stronger mode held.
        ASSERT_EQ(lm.AcquireContentLock(c2, nullptr, lmShare, 0, false, t), lrGranted);
        EXPECT_EQ(t.TransContainer()->GetContentLockMode(&c2), lmExclusive);

        lm.ReleaseTransactionLocks(t, true); // records only
        EXPECT_FALSE(lm.IsRecordLocked(8, f2));
        EXPECT_EQ(f1.Hash(false)->Count(), 0u);
        EXPECT_EQ(t.TransContainer()->RecordLockCount(), 0u);
        EXPECT_TRUE(lm.HasContentLock(c1, t));

        lm.ReleaseTransactionLocks(t, false);
        EXPECT_TRUE(c2.IsEmpty());
        EXPECT_EQ(t.TransContainer(), nullptr);

        // A single release of a record lock takes it out of the transaction's record.
        ASSERT_EQ(lm.AcquireRecordLock(24, f1, cur, t.LockOwnerID, &t, 0, false, lmExclusive), lrGranted);
        lm.ReleaseRecordLock(24, f1, t.LockOwnerID, &t);
        EXPECT_EQ(t.TransContainer()->RecordLockCount(), 0u);
        ASSERT_EQ(lm.AcquireRecordLock(40, f2, cur, t.LockOwnerID, &t, 0, false, lmExclusive), lrGranted);
        ASSERT_EQ(lm.AcquireContentLock(c1, nullptr, lmExclusive, 0, false, t), lrGranted);
    }
    EXPECT_FALSE(lm.IsRecordLocked(40, f2));
    EXPECT_TRUE(c1.IsEmpty());
    EXPECT_EQ(lm.TransContainerCount(), 0u);
}

// A transaction's record bookkeeping against a model over a long mix: rising references (new
// records), references out of order, locks taken twice, single releases (more than half of those
// taken, so the bookkeeping compacts) and locks taken again after their release. Each step the
// count matches; at the end one release of the transaction frees every record and nothing else.
TEST_F(LockTest, TransactionRecordBookkeepingFollowsAModel) {
    TqbFileRecordLocks file;
    const TqbLockOwnerID cursor = NewLockOwnerID(), other = NewLockOwnerID();
    std::mt19937 rng(11);
    TqbLockTransaction t;
    std::map<uint64_t, int> held; // reference -> times taken
    uint64_t next = 1000;         // the next new record
    auto take = [&](uint64_t ref) {
        ASSERT_EQ(lm.AcquireRecordLock(ref, file, cursor, t.LockOwnerID, &t, 0, false, lmExclusive),
                  lrGranted);
        ++held[ref];
    };
    auto release = [&](uint64_t ref) {
        lm.ReleaseRecordLock(ref, file, t.LockOwnerID, &t);
        if (--held[ref] == 0) held.erase(ref);
    };
    auto count = [&] { return t.TransContainer() ? t.TransContainer()->RecordLockCount() : size_t(0); };
    // Rising references, one out of order among them; then the top of the rising ones goes, and the
    // one out of order, now above all that stay, is taken again: still one record.
    for (uint64_t ref = 1; ref < 200; ref += 2)
        take(ref);
    take(150);
    for (uint64_t ref = 199; ref > 50; ref -= 2)
        release(ref);
    take(150);
    ASSERT_EQ(count(), held.size());
    for (int step = 0; step < 4000; ++step) {
        const unsigned what = rng() % 10;
        if (what < 4 || held.empty()) {
            take(next++);
        } else if (what < 6) {
            take(rng() % next); // out of order, or one held already
        } else {
            auto it = held.begin();
            std::advance(it, rng() % held.size());
            release(it->first);
        }
        ASSERT_EQ(count(), held.size()) << "step " << step;
    }
    // Most locks go one by one, then some come back.
    std::vector<uint64_t> refs;
    for (const auto& [ref, times] : held)
        for (int i = 0; i < times; ++i)
            refs.push_back(ref);
    std::shuffle(refs.begin(), refs.end(), rng);
    refs.resize(refs.size() / 8);
    while (held.size() > refs.size()) {
        release(held.begin()->first);
        ASSERT_EQ(count(), held.size());
    }
    for (uint64_t ref : refs)
        take(ref);
    take(next++);
    ASSERT_EQ(count(), held.size());
    // A lock another owner took on a record of the file stays through the transaction's release.
    ASSERT_EQ(lm.AcquireRecordLock(next, file, other, other, nullptr, 0, false, lmExclusive), lrGranted);
    for (const auto& [ref, times] : held)
        ASSERT_TRUE(lm.IsRecordLocked(ref, file)) << ref;
    lm.ReleaseTransactionLocks(t, false);
    for (const auto& [ref, times] : held)
        EXPECT_FALSE(lm.IsRecordLocked(ref, file)) << ref;
    EXPECT_TRUE(lm.IsRecordLocked(next, file));
    EXPECT_EQ(file.Hash(false)->Count(), 1u);
    EXPECT_EQ(t.TransContainer(), nullptr);
    lm.ReleaseRecordLock(next, file, other, nullptr);
    EXPECT_EQ(lm.TransContainerCount(), 0u);
}

// A bulk insert's locks: one transaction takes thousands of new records (rising references over
// every shard, beside a second owner of its own and a record taken twice) while others wait on two of
// them. Its end, by release or by the transaction going away, frees every lock at once and hands
// the two records to their waiters; the containers, back in the pool, serve the next bulk unchanged.
TEST_F(LockTest, ABulkOfRecordLocksGoesAtOnceAndItsWaitersGetTheirRecords) {
    TqbFileRecordLocks file;
    const TqbLockOwnerID cursor = NewLockOwnerID(), reader = NewLockOwnerID();
    constexpr uint64_t kRecords = 3000, kStride = 136;
    const uint64_t first = 1 << 12, blocked = first + 777 * kStride, contested = first + 2345 * kStride;
    auto hash = [&] { return file.Hash(false); };
    auto waiting = [&](uint64_t ref) {
        size_t n = 0;
        hash()->WithContainer(ref, [&](TqbLockContainer& c) { n = c.WaitingCount(); });
        return n;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "released" : "transaction gone");
        auto t = std::make_unique<TqbLockTransaction>();
        const TqbLockOwnerID second = NewLockOwnerID(); // another owner inside the same transaction
        std::set<uint64_t> refs;
        for (uint64_t i = 0; i < kRecords; ++i) {
            const uint64_t ref = first + i * kStride;
            ASSERT_EQ(lm.AcquireRecordLock(ref, file, cursor, t->LockOwnerID, t.get(), 0, false, lmExclusive),
                      lrGranted);
            refs.insert(ref);
            if (i % 100 == 50) {
                // The second owner's records sit between the first one's, and one is taken twice.
                ASSERT_EQ(lm.AcquireRecordLock(ref + 1, file, second, second, t.get(), 0, false, lmExclusive),
                          lrGranted);
                refs.insert(ref + 1);
            }
        }
        ASSERT_EQ(lm.AcquireRecordLock(first + 5 * kStride, file, cursor, t->LockOwnerID, t.get(), 0, false,
                                       lmExclusive),
                  lrGranted);
        EXPECT_EQ(t->TransContainer()->RecordLockCount(), refs.size());
        EXPECT_EQ(hash()->Count(), refs.size());
        // The second owner lets one record go on its own.
        lm.ReleaseRecordLock(first + 150 * kStride + 1, file, second, t.get());
        refs.erase(first + 150 * kStride + 1);
        EXPECT_FALSE(lm.IsRecordLocked(first + 150 * kStride + 1, file));
        EXPECT_EQ(t->TransContainer()->RecordLockCount(), refs.size());

        TqbLockTransaction other;
        auto onBlocked = std::async(std::launch::async, [&] {
            return lm.AcquireRecordLock(blocked, file, reader, reader, nullptr, kLong, false, lmExclusive);
        });
        auto onContested = std::async(std::launch::async, [&] {
            return lm.AcquireRecordLock(contested, file, cursor, other.LockOwnerID, &other, kLong, false,
                                        lmExclusive);
        });
        ASSERT_TRUE(waitUntil([&] { return waiting(blocked) == 1 && waiting(contested) == 1; }));
        EXPECT_EQ(lm.AcquireRecordLock(first, file, reader, reader, nullptr, 0, true, lmShare), lrRejected);
        EXPECT_TRUE(stillWaiting(onBlocked));

        if (round == 0)
            lm.ReleaseTransactionLocks(*t, false);
        else
            t.reset();
        ASSERT_EQ(onBlocked.wait_for(10s), std::future_status::ready);
        ASSERT_EQ(onContested.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(onBlocked.get(), lrGranted);
        EXPECT_EQ(onContested.get(), lrGranted);
        if (t) {
            EXPECT_EQ(t->TransContainer(), nullptr);
        }
        for (uint64_t ref : refs)
            if (ref != blocked && ref != contested) {
                ASSERT_FALSE(lm.IsRecordLocked(ref, file)) << ref;
            }
        EXPECT_EQ(hash()->Count(), 2u);
        EXPECT_EQ(other.TransContainer()->RecordLockCount(), 1u);
        // The records went to their waiters, nobody else.
        EXPECT_EQ(lm.AcquireRecordLock(blocked, file, cursor, cursor, nullptr, 0, true, lmShare), lrRejected);
        EXPECT_EQ(lm.AcquireRecordLock(contested, file, reader, reader, nullptr, 0, true, lmShare),
                  lrRejected);
        lm.ReleaseRecordLock(blocked, file, reader, nullptr);
        lm.ReleaseTransactionLocks(other, false);
        EXPECT_EQ(hash()->Count(), 0u);
        EXPECT_EQ(lm.TransContainerCount(), 0u);
    }
}

// Cursors and transactions draw owner identifiers from one space: they never collide.
TEST_F(LockTest, CursorAndTransactionOwnersNeverCollide) {
    std::vector<std::vector<TqbLockOwnerID>> ids(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i)
                ids[t].push_back(i % 2 ? TqbLockTransaction().LockOwnerID : NewLockOwnerID());
        });
    for (auto& th : threads)
        th.join();
    std::set<TqbLockOwnerID> all;
    for (auto& v : ids)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), 16000u);

    // A cursor's content lock and a transaction's on the same container are separate owners.
    TqbLockContainer content;
    TqbLockTransaction tr;
    TqbLockOwnerID cursor = NewLockOwnerID();
    ASSERT_EQ(lm.AcquireCursorContentLock(content, cursor, lmExclusive, 0), lrGranted);
    EXPECT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, true, tr), lrRejected);
    lm.ReleaseCursorContentLockAll(content, cursor);
    EXPECT_EQ(lm.AcquireContentLock(content, nullptr, lmShare, 0, true, tr), lrGranted);
}

// A container leaves its hash (back to the pool, free for another key) only when nobody holds, waits
// for or looks at it; keys spread over the shards are all found again as the buckets grow.
TEST(LockHash, AContainerLeavesTheHashOnlyWhenNobodyHoldsWaitsOrLooks) {
    TqbRecordLockHash hash;
    TqbLockAsk ask;
    ask.OwnerID = 7;
    ask.Mode = lmExclusive;
    ASSERT_EQ(hash.Acquire(1, ask), lrGranted);
    bool looked = hash.WithContainer(1, [&](TqbLockContainer& c) {
        EXPECT_TRUE(hash.Release(1, 7, false));
        EXPECT_TRUE(c.IsEmpty());
        EXPECT_EQ(hash.Count(), 1u); // still looked at
        ask.OwnerID = 8;
        ASSERT_EQ(hash.Acquire(2, ask), lrGranted);
        hash.WithContainer(2, [&](TqbLockContainer& other) { EXPECT_NE(&other, &c); });
        // The same key still reaches the same container.
        ask.OwnerID = 9;
        ASSERT_EQ(hash.Acquire(1, ask), lrGranted);
        EXPECT_EQ(c.OwnerMode(9), lmExclusive);
        EXPECT_TRUE(hash.Release(1, 9, true));
    });
    EXPECT_TRUE(looked);
    EXPECT_EQ(hash.Count(), 1u); // key 1 left once the look ended; key 2 is held
    EXPECT_FALSE(hash.WithContainer(1, [](TqbLockContainer&) {}));

    ask.OwnerID = 10;
    for (uint64_t k = 0; k < 3000; ++k)
        ASSERT_EQ(hash.Acquire(k * 4096 + 3, ask), lrGranted);
    EXPECT_EQ(hash.Count(), 3001u);
    for (uint64_t k = 0; k < 3000; ++k) {
        uint8_t mode = lmNone;
        ASSERT_TRUE(hash.WithContainer(k * 4096 + 3, [&](TqbLockContainer& c) { mode = c.OwnerMode(10); }));
        ASSERT_EQ(mode, lmExclusive) << k;
        ASSERT_TRUE(hash.Release(k * 4096 + 3, 10, false));
    }
    EXPECT_EQ(hash.Count(), 1u);
    EXPECT_TRUE(hash.Release(2, 8, false));
    EXPECT_EQ(hash.Count(), 0u);
}

TEST(LockErrors, TextsOfTheLockErrors) {
    const uint64_t ref = (uint64_t(1) << 32) | 4096;
    EXPECT_EQ(
        raised<EqbServerException>(
            [&] { CheckRecordLockResult(lrTimedOut, lmExclusive, ref, "/data/CONTACTS.QB2"); }),
        (Raised{
            "A lock request (type Exclusive, record 1:4096 (high:low), file /data/CONTACTS.QB2) timed out.",
            187}));
    EXPECT_EQ(raised<EqbServerException>([] {
                  CheckTableLockResult(lrRejected, lmIntentShared, TableLockResourceText("contacts"));
              }),
              (Raised{"A lock request (type Intent Shared, table contacts, file ) was rejected.", 188}));
    EXPECT_EQ(raised<EqbServerException>([] { CheckTableLockResult(lrGranted, lmShare, "x"); }), Raised{});
}
