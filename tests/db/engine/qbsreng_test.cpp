// Server objects across threads: activation and deferred close, the client's padlock, leases of the
// handle registry, object lists and the engine's rebuild threads.
#include "db/engine/qbsreng.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// A gate one thread opens for another.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void release() {
        std::lock_guard lk(m);
        open = true;
        cv.notify_all();
    }
    bool wait() {
        std::unique_lock lk(m);
        return cv.wait_for(lk, std::chrono::seconds(10), [&] { return open; });
    }
};

// Counts its destructions so a test sees exactly when an object is freed. Once held, an activation
// that passed its state check says so and stops there until the test lets it go on.
struct Probe : TqbServerObject {
    Probe(std::atomic<int>& freed, const TqbServerObject* parent = nullptr)
        : TqbServerObject(1000, parent), freed_(freed) {}
    ~Probe() override { freed_.fetch_add(1); }
    // Before the thread that will activate starts.
    void holdAfterCheck(Gate& checked, Gate& resume) {
        checked_ = &checked;
        resume_ = &resume;
    }
    void BeforePadlockWait() override {
        if (!checked_) return;
        checked_->release();
        EXPECT_TRUE(resume_->wait());
    }
    std::atomic<int>& freed_;
    Gate* checked_ = nullptr;
    Gate* resume_ = nullptr;
};

TEST(ServerObject, StateMachineRefusesClosingObjectsAndDefersCloseOfOneInUse) {
    std::atomic<int> freed{0};
    auto o = std::make_shared<Probe>(freed);
    // A close asked for while in use (also the forced one) waits for the operation's end.
    for (bool force : {false, true}) {
        auto p = std::make_shared<Probe>(freed);
        ASSERT_TRUE(p->Activate());
        force ? p->ForceClose() : p->RequestClose();
        EXPECT_EQ(p->State(), sosCloseRequested);
        EXPECT_FALSE(p->ShouldClose());
        EXPECT_FALSE(p->Activate()) << "no new operation on an object being closed";
        EXPECT_EQ(p->State(), sosCloseRequested);
        EXPECT_TRUE(p->Deactivate()) << "the running operation's end closes it";
        EXPECT_EQ(p->State(), sosClosing);
    }
    EXPECT_EQ(freed.load(), 2);
    // Idle: closing at once; a closing object stays so.
    o->RequestClose();
    EXPECT_EQ(o->State(), sosClosing);
    o->RequestClose();
    EXPECT_EQ(o->State(), sosClosing);
    EXPECT_FALSE(o->Activate());
    auto idle = std::make_shared<Probe>(freed);
    EXPECT_TRUE(idle->CanClose(false));
    EXPECT_EQ(idle->State(), sosIdle);
    EXPECT_TRUE(idle->CanClose(true));
    EXPECT_EQ(idle->State(), sosClosing);
    // Nested activation by the same thread: idle only after the outer one ends.
    auto n = std::make_shared<Probe>(freed);
    ASSERT_TRUE(n->Activate());
    ASSERT_TRUE(n->Activate());
    EXPECT_FALSE(n->Deactivate());
    EXPECT_EQ(n->State(), sosInUse);
    EXPECT_FALSE(n->Deactivate());
    EXPECT_EQ(n->State(), sosIdle);
}

TEST(ServerObject, OperationsOfOneClientNeverOverlapAndAWaiterSeesACloseThatCameMeanwhile) {
    std::atomic<int> freed{0};
    auto client = std::make_shared<Probe>(freed);
    auto a = std::make_shared<Probe>(freed, client.get());
    auto b = std::make_shared<Probe>(freed, client.get());
    EXPECT_EQ(a->Padlock(), client->Padlock());

    std::atomic<int> inside{0}, overlaps{0};
    auto work = [&](std::shared_ptr<Probe> o) {
        for (int i = 0; i < 2000; ++i) {
            TqbActivation act(o);
            ASSERT_TRUE(act.Active());
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            inside.fetch_sub(1);
        }
    };
    std::thread t1(work, a), t2(work, b);
    t1.join();
    t2.join();
    EXPECT_EQ(overlaps.load(), 0);

    // A thread has passed the state check and waits for the padlock; meanwhile the holder closes the
    // object: the waiter is refused once it gets the padlock, and the padlock outlives the client it
    // came from.
    std::weak_ptr<TqbPadlock> padlock = client->Padlock();
    ASSERT_TRUE(b->Activate());
    Gate checked, resume;
    b->holdAfterCheck(checked, resume);
    std::atomic<bool> result{true};
    std::thread waiter([&, b2 = b] { result = b2->Activate(); });
    const bool passedCheck = checked.wait();
    EXPECT_TRUE(passedCheck) << "the waiter never reached the padlock";
    b->RequestClose();
    resume.release();
    a.reset();
    client.reset();
    EXPECT_TRUE(b->Deactivate());
    waiter.join();
    ASSERT_TRUE(passedCheck);
    EXPECT_FALSE(result.load()) << "activated an object whose close came while it waited";
    EXPECT_FALSE(padlock.expired()) << "b still holds the padlock it shares";
    b.reset();
    EXPECT_TRUE(padlock.expired());
}

TEST(ServerObjectRegistry, AHandleRemovedDuringAnOperationFreesTheObjectWhenTheLeaseGoes) {
    std::atomic<int> freed{0};
    TqbServerObjectRegistry reg;
    TqbHandle h = reg.Add(TqbHandleKind::Cursor, std::make_shared<Probe>(freed));
    EXPECT_EQ(reg.Lease(h, TqbHandleKind::Database), nullptr) << "wrong kind";
    EXPECT_EQ(reg.Lease(h ^ (1u << 25), TqbHandleKind::Cursor), nullptr) << "forged generation";

    Gate leased, removed;
    std::thread user([&] {
        TqbServerObjectPtr lease = reg.Lease(h, TqbHandleKind::Cursor);
        ASSERT_NE(lease, nullptr);
        TqbActivation act(lease);
        leased.release();
        ASSERT_TRUE(removed.wait());
        EXPECT_EQ(freed.load(), 0) << "freed under its user";
    });
    ASSERT_TRUE(leased.wait());
    EXPECT_TRUE(reg.Remove(h, TqbHandleKind::Cursor));
    EXPECT_FALSE(reg.Remove(h, TqbHandleKind::Cursor));
    EXPECT_EQ(reg.Lease(h, TqbHandleKind::Cursor), nullptr);
    removed.release();
    user.join();
    EXPECT_EQ(freed.load(), 1);

    // Leases taken and handles removed on many threads at once: each object freed exactly once.
    constexpr int kObjects = 200;
    std::vector<TqbHandle> hs;
    for (int i = 0; i < kObjects; ++i)
        hs.push_back(reg.Add(TqbHandleKind::Session, std::make_shared<Probe>(freed)));
    std::vector<std::thread> ts;
    for (int k = 0; k < 4; ++k)
        ts.emplace_back([&] {
            for (TqbHandle x : hs) {
                if (auto l = reg.Lease(x, TqbHandleKind::Session)) l->Timeout();
                reg.Remove(x, TqbHandleKind::Session);
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(freed.load(), 1 + kObjects);
    EXPECT_EQ(reg.Count(), 0u);
}

// A lease as the type the object was registered as skips the run-time check; a lease as another
// type still gets one, and a stale or other-kind handle still leases nothing.
TEST(ServerObjectRegistry, LeasesAsTheRegisteredTypeOrCheckTheType) {
    struct Other : TqbServerObject {
        Other() : TqbServerObject(0) {}
    };
    std::atomic<int> freed{0};
    TqbServerObjectRegistry reg;
    const TqbHandle probe = reg.Add(TqbHandleKind::Cursor, std::make_shared<Probe>(freed));
    const TqbHandle base = reg.Add(TqbHandleKind::Cursor, TqbServerObjectPtr(std::make_shared<Probe>(freed)));
    const TqbHandle other = reg.Add(TqbHandleKind::Cursor, std::make_shared<Other>());
    EXPECT_NE(reg.LeaseAs<Probe>(probe, TqbHandleKind::Cursor), nullptr);
    EXPECT_NE(reg.LeaseAs<Probe>(base, TqbHandleKind::Cursor), nullptr) << "checked, and a Probe";
    EXPECT_EQ(reg.LeaseAs<Probe>(other, TqbHandleKind::Cursor), nullptr) << "no Probe";
    EXPECT_NE(reg.LeaseAs<TqbServerObject>(other, TqbHandleKind::Cursor), nullptr);
    EXPECT_EQ(reg.LeaseAs<Probe>(probe, TqbHandleKind::Session), nullptr) << "other kind";
    ASSERT_TRUE(reg.Remove(probe, TqbHandleKind::Cursor));
    EXPECT_EQ(reg.LeaseAs<Probe>(probe, TqbHandleKind::Cursor), nullptr) << "stale";
    EXPECT_EQ(freed.load(), 1);
}

TEST(ServerObjectList, ClosingAllAsksEveryObjectAndRemovesOnlyClosingOnes) {
    std::atomic<int> freed{0};
    TqbSrCursorList list;
    EXPECT_TRUE(list.ShouldClose());
    EXPECT_TRUE(list.CanClose(true));
    auto busy = std::make_shared<Probe>(freed);
    auto idle1 = std::make_shared<Probe>(freed);
    auto idle2 = std::make_shared<Probe>(freed);
    list.Add(idle1);
    list.Add(busy);
    list.Add(idle2);
    EXPECT_FALSE(list.Add(busy));
    ASSERT_TRUE(busy->Activate());
    EXPECT_FALSE(list.AllIdleOrClosing(true));
    EXPECT_EQ(idle1->State(), sosIdle) << "nothing marked when one is in use";
    EXPECT_FALSE(list.CanClose(true));
    EXPECT_EQ(idle2->State(), sosClosing) << "objects after a refusal are still asked";
    EXPECT_EQ(idle1->State(), sosClosing);
    list.ForceClose();
    EXPECT_EQ(busy->State(), sosCloseRequested) << "forced close of an object in use is deferred";
    TqbServerObject* raw1 = idle1.get();
    idle1.reset();
    idle2.reset();
    list.RemoveUnused();
    EXPECT_EQ(freed.load(), 2);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.FindCursor(raw1), nullptr);
    EXPECT_EQ(list.FindCursor(nullptr, true, 0), busy);
    EXPECT_TRUE(busy->Deactivate());
    EXPECT_TRUE(list.ShouldClose());
    EXPECT_EQ(list.RemoveCursor(busy.get()), busy);
    EXPECT_EQ(list.Count(), 0);
}

struct Work : TqbSrRebuildWork {
    std::atomic<int> reindex{0}, pack{0}, count{0};
    Gate go;
    void Reindex(TqbSrRebuildJob& j) override {
        reindex += int(j.Words[0]);
        go.wait();
    }
    void PackRestructure(TqbSrRebuildJob&) override { pack++; }
    void GetRecordCount(TqbSrRebuildJob&) override { count++; }
};

struct Owned : TqbObject {
    explicit Owned(std::atomic<int>& n) : n_(n) {}
    ~Owned() override { n_++; }
    std::atomic<int>& n_;
};

TEST(RebuildThreads, RunAtOnceFreeTheirJobObjectOnceAndAreJoinedBeforeTheEngineGoes) {
    Work work;
    std::atomic<int> ownedFreed{0};
    {
        TqbSrRebuildThreads threads;
        auto job = std::make_unique<TqbSrRebuildJob>();
        job->Words[0] = 7;
        job->Owned = std::make_unique<Owned>(ownedFreed);
        threads.Start<TqbSrReindexThread>(work, std::move(job));
        threads.Start<TqbSrPackThread>(work, std::make_unique<TqbSrRebuildJob>());
        threads.Start<TqbSrRestructureThread>(work, std::make_unique<TqbSrRebuildJob>());
        threads.Start<TqbSrGetRecordCountThread>(work, std::make_unique<TqbSrRebuildJob>());
        ASSERT_TRUE(
            dbtest::waitUntil([&] { return work.pack == 2 && work.count == 1 && work.reindex == 7; }));
        ASSERT_TRUE(dbtest::waitUntil([&] {
            threads.Reap();
            return threads.Count() == 1;
        }));
        EXPECT_EQ(ownedFreed.load(), 0) << "the running reindex still owns its object";
        work.go.release();
        // The list's end joins the reindex thread before work goes.
    }
    EXPECT_EQ(ownedFreed.load(), 1);
}

} // namespace
