// Rebuild status: the percentage without overflow, a finished status read once, a departing
// client's records dropped, and a job that keeps updating a record its client removed.
#include "db/engine/qbsrstat.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(RebuildStatus, PercentDoneStaysWithin32Bits) {
    EXPECT_EQ(RebuildPercentDone(50, 200, 0), 25);
    EXPECT_EQ(RebuildPercentDone(500, 0, 0), 0); // nothing to divide by: unchanged
    EXPECT_EQ(RebuildPercentDone(500, 0, 7), 7);
    EXPECT_EQ(RebuildPercentDone(16777216, 33554432, 0), 50);
    EXPECT_EQ(RebuildPercentDone(2000000000, 2100000000, 0), 95);
    EXPECT_EQ(RebuildPercentDone(2147483647, 2147483647, 0), 100);
    EXPECT_EQ(RebuildPercentDone(16777216, 100, 3), 3); // total shifted to 0
    EXPECT_EQ(RebuildPercentDone(-2147483647, 1, 4), 4);
    EXPECT_EQ(RebuildPercentDone(10, -5, 4), 4);
}

TEST(RebuildStatus, FinishedStatusIsReadOnceAndClientsTakeTheirRecords) {
    uint32_t now = 1000;
    TqbSrRebuildStatusList list([&] { return now; });
    const TqbHandle a = list.AddStatus(7, 200), b = list.AddStatus(7, 0), other = list.AddStatus(8, 10);
    EXPECT_NE(a, b);
    now = 1500;
    EXPECT_TRUE(list.Update(a, 50, 40, 0));
    EXPECT_TRUE(list.Update(b, 30, 30, 0));
    TqbRebuildStatus s{};
    ASSERT_TRUE(list.GetStatus(a, s));
    EXPECT_EQ((std::vector<int64_t>{s.StartTick, s.SnapshotTick, s.TotalRecords, s.RecordsRead,
                                    s.RecordsWritten, s.PercentDone, s.ErrorCode, s.Finished}),
              (std::vector<int64_t>{1000, 1500, 200, 50, 40, 25, 0, 0}));
    ASSERT_TRUE(list.GetStatus(b, s));
    EXPECT_EQ(s.PercentDone, 0);

    list.Update(a, 200, 200, 9729);
    list.MarkFinished(a);
    list.MarkFinished(0x12345);
    ASSERT_TRUE(list.GetStatus(a, s));
    EXPECT_TRUE(s.Finished && s.ErrorCode == 9729 && s.PercentDone == 100);
    EXPECT_FALSE(list.GetStatus(a, s));
    EXPECT_FALSE(list.Update(a, 1, 1, 0));

    // A new job may take the freed slot; the old ID still names nothing.
    const TqbHandle c = list.AddStatus(7, 5);
    EXPECT_NE(c, a);
    EXPECT_FALSE(list.GetStatus(a, s));
    list.RemoveClient(7);
    EXPECT_FALSE(list.GetStatus(b, s) || list.GetStatus(c, s));
    EXPECT_TRUE(list.GetStatus(other, s));
    EXPECT_EQ(list.Count(), 1);
}

TEST(RebuildStatus, JobUpdatesByIDWhileItsClientGoesAway) {
    for (int round = 0; round < 20; ++round) {
        TqbSrRebuildStatusList list;
        const TqbHandle id = list.AddStatus(1, 1000);
        std::atomic<int> updates{0};
        std::thread job([&] {
            for (int32_t n = 0; list.Update(id, n % 1000, n % 1000, 0); ++n)
                updates.fetch_add(1);
        });
        TqbRebuildStatus s{};
        ASSERT_TRUE(pwtest::waitUntil([&] { return updates.load() > 10; }));
        EXPECT_TRUE(list.GetStatus(id, s));
        EXPECT_LE(s.PercentDone, 100);
        list.RemoveClient(1);
        job.join(); // the job sees its record gone and stops
        EXPECT_EQ(list.Count(), 0);
    }
}

} // namespace
