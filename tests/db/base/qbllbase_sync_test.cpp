// Tests of padlocks, events and the read/write portal's policy, with real threads.
#include "db/base/qbllbase.h"
#include "db/base/qbllexcp.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace dbtest;
using namespace std::chrono_literals;

TEST(Padlock, ReentrantAndExclusive) {
    TqbPadlock p;
    p.Lock();
    p.Lock();
    EXPECT_EQ(p.LockCount(), 2);
    std::atomic<bool> in{false};
    std::thread t([&] {
        p.Unlock(); // not the holder: nothing happens
        p.Lock();
        in = true;
        p.Unlock();
    });
    p.Unlock();
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(in.load()); // still held once
    p.Unlock();
    EXPECT_TRUE(waitUntil([&] { return in.load(); }));
    t.join();
    p.Unlock();           // an extra unlock does nothing
    std::lock_guard g(p); // and the padlock still works
    EXPECT_EQ(p.LockCount(), 1);
}

TEST(Event, AutoResetAndTimeoutCodes) {
    TqbEvent e;
    EXPECT_EQ(raised<EqbException>([&] { e.WaitFor(20); }), (Raised{"Timed out waiting for reply", 288}));
    e.Signal();
    EXPECT_EQ(e.TryWait(0), 0u);
    EXPECT_EQ(e.TryWait(20), 258u); // the signal was consumed
}

TEST(Portal, WaitingWriterHoldsOffNewReadersAndReadersGoFirstAfterIt) {
    TqbReadWritePortal p;
    std::mutex m;
    std::vector<std::string> trace; // read after the joins
    auto note = [&](const std::string& s) {
        std::lock_guard g(m);
        trace.push_back(s);
    };
    std::atomic<int> step{0};
    auto reader = [&](const std::string& name, int releaseAt) {
        return std::thread([&, name, releaseAt] {
            p.BeginRead();
            note(name + " in");
            waitUntil([&] { return step.load() >= releaseAt; });
            note(name + " out");
            p.EndRead();
        });
    };
    std::thread r1 = reader("r1", 1), r2 = reader("r2", 1);
    ASSERT_TRUE(waitUntil([&] { return p.ActiveReaders() == 2; }));
    std::thread w([&] {
        p.BeginWrite();
        note("w in");
        waitUntil([&] { return step.load() >= 2; });
        note("w out");
        p.EndWrite();
    });
    ASSERT_TRUE(waitUntil([&] { return p.WaitingWriters() == 1; }));
    std::thread r3 = reader("r3", 0);
    ASSERT_TRUE(waitUntil([&] { return p.WaitingReaders() == 1; })); // the third reader waits
    step = 1;                                                        // both readers end
    ASSERT_TRUE(waitUntil([&] { return p.WaitingWriters() == 0 && p.WriterActive(); }));
    step = 2;
    r1.join();
    r2.join();
    w.join();
    r3.join();
    auto pos = [&](const std::string& s) { return std::find(trace.begin(), trace.end(), s) - trace.begin(); };
    EXPECT_LT(pos("r1 out"), pos("w in"));
    EXPECT_LT(pos("r2 out"), pos("w in"));
    EXPECT_LT(pos("w out"), pos("r3 in"));
}

TEST(Portal, EndWriteReleasesManyWaitingReadersAtOnce) {
    TqbReadWritePortal p;
    p.BeginWrite();
    constexpr int kReaders = 60;
    std::atomic<int> inside{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> ts;
    for (int i = 0; i < kReaders; ++i)
        ts.emplace_back([&] {
            p.BeginRead();
            ++inside;
            waitUntil([&] { return release.load(); });
            --inside;
            p.EndRead();
        });
    ASSERT_TRUE(waitUntil([&] { return p.WaitingReaders() == kReaders; }));
    p.EndWrite();
    ASSERT_TRUE(waitUntil([&] { return inside.load() == kReaders; })); // all of them together
    release = true;
    for (auto& t : ts)
        t.join();
}

// A writer re-enters and reads inside its write; a reader reads again while a writer waits (no
// stall) and its upgrade is refused with an error instead of waiting for ever.
TEST(Portal, ReentryOfWritersAndReadersNeverStalls) {
    TqbReadWritePortal p;
    p.BeginWrite();
    p.BeginRead();
    p.BeginWrite();
    p.EndWrite();
    p.EndRead();
    std::thread([&] { p.EndWrite(); }).join(); // not the writer: changes nothing
    EXPECT_TRUE(p.WriterActive());
    p.EndWrite();

    p.BeginRead();
    std::atomic<bool> wrote{false};
    std::thread w([&] {
        p.BeginWrite();
        wrote = true;
        p.EndWrite();
    });
    ASSERT_TRUE(waitUntil([&] { return p.WaitingWriters() == 1; }));
    p.BeginRead(); // must not wait behind the writer that waits for this reader
    p.EndRead();
    EXPECT_EQ(raised<EqbException>([&] { p.BeginWrite(); }),
              (Raised{"Timeout occurred in TqbReadWritePortal.BeginWrite", 294}));
    EXPECT_FALSE(wrote.load());
    p.EndRead();
    ASSERT_TRUE(waitUntil([&] { return wrote.load(); }));
    w.join();
    EXPECT_EQ(p.ActiveReaders(), 0);
}

TEST(Portal, StressWritersExcludeEveryone) {
    TqbReadWritePortal p;
    std::atomic<int> readers{0}, writers{0};
    std::atomic<bool> bad{false};
    long shared = 0;
    constexpr int kThreads = 8, kIters = 3000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < kIters; ++i) {
                if ((i + t) % 4 == 0) {
                    PortalWriteGuard g(p);
                    if (++writers != 1 || readers.load() != 0) bad = true;
                    PortalReadGuard again(p); // the writer may read
                    ++shared;
                    --writers;
                } else {
                    PortalReadGuard g(p);
                    ++readers;
                    if (writers.load() != 0) bad = true;
                    if (i % 3 == 0) {
                        PortalReadGuard nested(p);
                    }
                    --readers;
                }
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_FALSE(bad.load());
    EXPECT_EQ(shared, kThreads * kIters / 4);
    EXPECT_EQ(p.ActiveReaders(), 0);
    EXPECT_FALSE(p.WriterActive());
}
