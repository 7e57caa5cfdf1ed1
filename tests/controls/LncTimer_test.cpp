// Timer pool: common interval, firing on the injectable clock, one-shot triggers, tick-count
// wrap, saturation, removal during a tick, and a refused system timer.
#include "controls/LncExcpt.h"
#include "controls/LncTimer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

class TimerPoolTest : public testing::Test {
protected:
    void SetUp() override { plat::SetClock(&clock); }
    void TearDown() override { plat::SetClock(nullptr); }
    // Moves the clock on and lets the message loop deliver what is due.
    void advance(uint64_t ms) {
        clock.Advance(ms);
        plat::ProcessPendingMessages();
    }
    plat::ManualClock clock{5000000};
};

struct Fired {
    int32_t handle;
    uint32_t interval;
    int32_t elapsed;
    uint32_t at;
};

} // namespace

TEST_F(TimerPoolTest, CommonInterval) {
    TLncTimerPool pool;
    int32_t a = pool.AddTrigger(nullptr, 100);
    int32_t b = pool.AddTrigger(nullptr, 250);
    EXPECT_EQ(pool.CommonInterval(), 55u); // 100, then 100 - 250 mod 100 = 50, raised to 55
    pool.RemoveTrigger(a);
    pool.RemoveTrigger(b);
    EXPECT_EQ(plat::NextTimerDelayMs(), -1);

    // A disabled trigger does not set the interval but still has to divide it.
    int32_t c = pool.AddTrigger(nullptr, 1000);
    pool.AddTrigger(nullptr, 1500);
    EXPECT_EQ(plat::NextTimerDelayMs(), 500);
    pool.SetTriggerEnabled(c, false);
    EXPECT_EQ(pool.CommonInterval(), 500u);
}

TEST_F(TimerPoolTest, TriggersFireAtTheirIntervals) {
    // 100 and 250 share a 55 ms timer: each fires at the first tick no more than 27 ms early.
    TLncTimerPool pool;
    std::vector<Fired> f100, f250, all;
    auto record = [&](std::vector<Fired>& into) {
        return [&into](QObject*, int32_t h, uint32_t i, int32_t e) {
            into.push_back({h, i, e, TLncTimerPool::TickCount()});
        };
    };
    pool.OnAllTriggers = record(all);
    uint32_t t0 = TLncTimerPool::TickCount();
    int32_t h = pool.AddTrigger(record(f100), 100);
    pool.AddTrigger(record(f250), 250);
    for (int i = 0; i < 20; ++i)
        advance(55);
    std::vector<uint32_t> at100, at250;
    for (auto& f : f100)
        at100.push_back(f.at - t0);
    for (auto& f : f250)
        at250.push_back(f.at - t0);
    EXPECT_EQ(at100, (std::vector<uint32_t>{110, 220, 330, 440, 550, 660, 770, 880, 990, 1100}));
    EXPECT_EQ(at250, (std::vector<uint32_t>{275, 550, 825, 1100}));
    EXPECT_EQ(f100.back().handle, h);
    EXPECT_EQ(f100.back().elapsed, 1100);
    EXPECT_EQ(all.size(), 14u);
}

TEST_F(TimerPoolTest, EarlyFireToleranceIs27Ms) {
    TLncTimerPool pool;
    int n = 0;
    pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t) { ++n; }, 1000);
    clock.Advance(972);
    pool.Tick();
    EXPECT_EQ(n, 0);
    clock.Advance(1);
    pool.Tick();
    pool.Tick();
    EXPECT_EQ(n, 1);
}

TEST_F(TimerPoolTest, OneShotFiresOnceAndLeaves) {
    TLncTimerPool pool;
    std::vector<int32_t> own, all;
    pool.OnAllTriggers = [&](QObject* s, int32_t h, uint32_t, int32_t) {
        EXPECT_EQ(s, &pool);
        all.push_back(h);
    };
    pool.AddTrigger(nullptr, 1000);
    int32_t once =
        pool.AddTrigger([&](QObject*, int32_t h, uint32_t, int32_t) { own.push_back(h); }, 300, false);
    EXPECT_EQ(pool.CommonInterval(), 100u);
    for (int i = 0; i < 3; ++i)
        advance(100);
    EXPECT_EQ(own, std::vector<int32_t>{once});
    EXPECT_EQ(all, std::vector<int32_t>{once});
    EXPECT_EQ(pool.Trigger(once), nullptr);
    EXPECT_EQ(pool.CommonInterval(), 200u); // 700 left of the 1000 ms trigger, reduced to divide 1000
    for (int i = 0; i < 10; ++i)
        advance(100);
    EXPECT_EQ(own.size(), 1u);
}

TEST_F(TimerPoolTest, TickCountWrapAndSaturation) {
    for (uint64_t start : {uint64_t(0x1FFFFFFCE), uint64_t(0x27FFFFFCE)}) { // u32 wrap; signed crossing
        clock.Set(start);
        TLncTimerPool pool;
        std::vector<int32_t> elapsed;
        pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t e) { elapsed.push_back(e); }, 100);
        advance(100);
        advance(100);
        EXPECT_EQ(elapsed, (std::vector<int32_t>{100, 200})) << std::hex << start;
    }

    TLncTimerPool pool;
    std::vector<int32_t> elapsed;
    pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t e) { elapsed.push_back(e); }, 0x60000000u);
    for (int i = 0; i < 2; ++i) {
        clock.Advance(0x60000000u);
        pool.Tick();
    }
    EXPECT_EQ(elapsed, (std::vector<int32_t>{0x60000000, 2147483647}));
}

TEST_F(TimerPoolTest, HandlersMayRemoveAndAddTriggers) {
    TLncTimerPool pool;
    std::vector<char> order;
    int32_t b = 0, c = 0, added = 0;
    int32_t a = pool.AddTrigger(
        [&](QObject*, int32_t self, uint32_t, int32_t) {
            order.push_back('a');
            pool.RemoveTrigger(b);    // a later one
            pool.RemoveTrigger(self); // itself
            added = pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t) { order.push_back('n'); }, 100);
        },
        100);
    b = pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t) { order.push_back('b'); }, 100);
    c = pool.AddTrigger(
        [&](QObject*, int32_t, uint32_t, int32_t) {
            order.push_back('c');
            pool.RemoveTrigger(c);
        },
        100);
    advance(100);
    EXPECT_EQ(order, (std::vector<char>{'a', 'c'}));
    EXPECT_EQ(pool.Count(), 1);
    advance(100);
    EXPECT_EQ(order, (std::vector<char>{'a', 'c', 'n'}));
    EXPECT_NE(added, a);
}

TEST_F(TimerPoolTest, DestroyedPoolStopsItsTimer) {
    int n = 0;
    plat::HWND wnd;
    {
        TLncTimerPool pool;
        pool.AddTrigger([&](QObject*, int32_t, uint32_t, int32_t) { ++n; }, 100);
        wnd = pool.Window();
    }
    EXPECT_FALSE(plat::IsWindow(wnd));
    EXPECT_EQ(plat::NextTimerDelayMs(), -1);
    advance(500);
    EXPECT_EQ(n, 0);
}

namespace {
class NoTimerPool : public TLncTimerPool {
protected:
    bool StartSystemTimer(uint32_t) override { return false; }
};
} // namespace

TEST_F(TimerPoolTest, RefusedSystemTimerRaises) {
    NoTimerPool pool;
    EXPECT_THAT(
        [&] { pool.AddTrigger(nullptr, 100); },
        testing::ThrowsMessage<ENoTimersAvailable>(testing::StrEq("No Window's timers are available")));
    EXPECT_FALSE(pool.TimerActive());
}
