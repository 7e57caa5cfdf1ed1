// Tests of components: the state machine's walks, hooks, events and rollback; component errors;
// dependents and their notifications; ownership; logging and the event-log base.
#include "db/base/qbllcomp.h"
#include "db/base/qblllog.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

using namespace dbtest;

namespace {

// Records every hook and state change; a hook named in failAt raises.
class Recorder : public TqbStateComponent {
public:
    explicit Recorder(cls::TComponent* owner = nullptr) : TqbStateComponent(owner) {
        OnStateChange = [this](TqbComponent* sender) {
            EXPECT_EQ(sender, this);
            trace.push_back("->" + std::to_string(State()));
            if (failOnChangeTo == int(State())) throw std::runtime_error("change refused");
        };
    }
    void force(uint8_t s) { ForceState(s); }
    std::vector<std::string> trace;
    std::string failAt;
    int failOnChangeTo = -1;

protected:
    void hook(const char* name) {
        trace.push_back(name);
        if (failAt == name) throw std::runtime_error(std::string(name) + " failed");
    }
    void EnterInitializing() override { hook("Initializing"); }
    void EnterShuttingDown() override { hook("ShuttingDown"); }
    void EnterInactive() override { hook("Inactive"); }
    void EnterStarting() override { hook("Starting"); }
};

// States passed through, as digits, for each (current, target).
const char* const kPaths[9][9] = {
    {"", "1", "12", "123", "1234", "1235", "12356", "7", "8"},
    {"0", "", "2", "23", "234", "235", "2356", "07", "08"},
    {"0", "3561", "", "3", "34", "35", "356", "07", "08"},
    {"40", "561", "5612", "", "4", "5", "56", "07", "08"},
    {"0", "01", "012", "0123", "", "01235", "012356", "07", "08"},
    {"610", "61", "612", "6123", "61234", "", "6", "07", "08"},
    {"10", "1", "12", "123", "1234", "1235", "", "07", "08"},
    {"", "", "", "", "", "", "", "", ""},
    {"", "", "", "", "", "", "", "", ""},
};

// What the recorder sees walking through the states of path: each state's hook, then the change.
std::vector<std::string> expectedTrace(const std::string& path) {
    static const char* const hookOf[] = {"Inactive", "Initializing", "Starting", "", "ShuttingDown"};
    std::vector<std::string> r;
    for (char c : path) {
        if (c <= '4' && *hookOf[c - '0']) r.push_back(hookOf[c - '0']);
        r.push_back(std::string("->") + c);
    }
    return r;
}

class Dependent : public TqbComponent {
public:
    using TqbComponent::TqbComponent;
    void ReceiveNotification(int op, TqbComponent* sender, intptr_t data) override {
        received.push_back(op);
        senders.push_back(sender);
        if (onReceive) onReceive();
    }
    std::vector<int> received;
    std::vector<TqbComponent*> senders;
    std::function<void()> onReceive;
};

} // namespace

TEST(StateMachine, EveryPairWalksTheTableWithHooksAndEvents) {
    for (uint8_t s = 0; s < 9; ++s)
        for (uint8_t t = 0; t < 9; ++t) {
            TqbOwned<Recorder> c(new Recorder);
            c->force(s);
            c->SetState(t);
            std::string path = kPaths[s][t];
            EXPECT_EQ(c->trace, expectedTrace(path)) << int(s) << " -> " << int(t);
            EXPECT_EQ(c->State(), path.empty() ? s : uint8_t(path.back() - '0'))
                << int(s) << " -> " << int(t);
            c->force(qbsInactive);
        }
}

TEST(StateMachine, FailingHookRollsBackToTheEntryStateAndChecksRaise) {
    TqbOwned<Recorder> c(new Recorder);
    c->failAt = "Starting";
    EXPECT_THROW(c->Startup(), std::runtime_error);
    EXPECT_EQ(c->State(), qbsInactive);
    // What the initialisation took is given back before the exception goes on.
    EXPECT_EQ(c->trace, (std::vector<std::string>{"Initializing", "->1", "Starting", "Inactive"}));

    c->failAt.clear();
    c->Startup();
    c->trace.clear();
    c->failAt = "ShuttingDown";
    EXPECT_THROW(c->Shutdown(), std::runtime_error);
    EXPECT_EQ(c->State(), qbsStarted); // a started component is not torn down
    EXPECT_EQ(c->trace, (std::vector<std::string>{"ShuttingDown"}));

    c->failAt.clear();
    c->failOnChangeTo = qbsStopped;
    EXPECT_THROW(c->Stop(), std::runtime_error);
    EXPECT_EQ(c->State(), qbsStarted);
    c->failOnChangeTo = -1;

    // The state checks raise component errors.
    EXPECT_EQ(raised<EqbServerComponentError>([&] { c->CheckInactive(); }).code, 1285);
    c->force(qbsInactive);
    EXPECT_EQ(raised<EqbServerComponentError>([&] { c->CheckStarted(); }).code, 1286);
    c->force(qbsFailed);
    c->CheckInactive(); // failed counts as inactive
}

TEST(Components, DependentsAreNotifiedLastFirstAndGoingAwayOnce) {
    auto* subject = new Recorder;
    Dependent a, b;
    subject->AddDependent(&a);
    subject->AddDependent(&b);
    subject->AddDependent(&a); // once only
    subject->AddDependent(nullptr);
    std::vector<Dependent*> order;
    a.onReceive = [&] { order.push_back(&a); };
    b.onReceive = [&] { order.push_back(&b); };
    subject->NotifyDependentsEx(10, 77);
    EXPECT_EQ(order, (std::vector<Dependent*>{&b, &a}));
    subject->NotifyDependents(TqbComponent::kOpGoingAway);
    subject->NotifyDependents(TqbComponent::kOpGoingAway); // not again
    EXPECT_EQ(a.received, (std::vector<int>{10, 5}));
    // A dependent may take itself off from inside its notification.
    b.onReceive = [&] { subject->RemoveDependent(&b); };
    subject->Startup();
    subject->Free(); // 4 before destruction (then 5 again, as 4 came between)
    EXPECT_EQ(b.received, (std::vector<int>{10, 5, 4}));
    EXPECT_EQ(a.received, (std::vector<int>{10, 5, 4, 5}));
    EXPECT_EQ(a.senders.back(), static_cast<TqbComponent*>(subject));
}

TEST(Components, OwnerFreesOwnedAndFreeNotificationsArrive) {
    std::atomic<int> alive{0};
    class Child : public Dependent {
    public:
        Child(TqbComponent* o, std::atomic<int>& n) : Dependent(o), n_(n) { ++n_; }
        ~Child() override { --n_; }
        std::atomic<int>& n_;
    };
    auto* owner = new Dependent;
    new Child(owner, alive);
    auto* c2 = new Child(owner, alive);
    c2->Free();
    EXPECT_EQ(owner->ComponentCount(), 1);
    owner->Free();
    EXPECT_EQ(alive.load(), 0);
}

// Freed directly or by a class-library owner (which does not call Free): notice 4, then Shutting
// down and Inactive, then notice 5.
TEST(Components, AStartedComponentShutsDownBetweenTheNoticesWhenFreed) {
    for (bool byOwner : {false, true}) {
        auto* form = new cls::TComponent;
        auto* d = new Recorder(byOwner ? form : nullptr);
        Dependent watcher;
        d->AddDependent(&watcher);
        d->Startup();
        std::vector<int> seen;
        watcher.onReceive = [&] { seen.push_back(100 + watcher.received.back()); };
        d->OnStateChange = [&](TqbComponent*) { seen.push_back(d->State()); };
        if (!byOwner) d->Free();
        delete form;
        EXPECT_EQ(seen, (std::vector<int>{104, 4, 0, 105})) << byOwner;
    }
}

TEST(Components, LoggableWritesOnlyWhenEnabledAndForgetsAFreedLog) {
    auto* log = new MemoryEventLog;
    TqbOwned<Recorder> c(new Recorder);
    c->LogText("nowhere");
    c->SetEventLog(log);
    c->LogText("disabled");
    c->SetEventLogEnabled(true);
    c->LogText("one");
    c->LogTextFmt("two %d %s", {2, "x"});
    EXPECT_EQ(log->Lines(), (std::vector<std::string>{"one", "two 2 x"}));
    log->Free();
    c->LogText("after"); // the freed log was forgotten: no crash
    auto* log2 = new MemoryEventLog;
    {
        TqbOwned<Recorder> d(new Recorder);
        d->SetEventLog(log2);
        d->SetEventLog(log2);
    }
    log2->Free(); // the component let go of it first: no dangling notification
}

TEST(Components, BaseLogTimerFlushesOnce) {
    class Flushing : public MemoryEventLog {
    public:
        std::atomic<int> flushes{0};
        void Flush() override { ++flushes; }
    };
    TqbOwned<Flushing> log(new Flushing);
    log->SetTimerEnabled(true);
    waitUntil([&] { return log->flushes.load() > 0; });
    EXPECT_EQ(log->flushes.load(), 1);
    EXPECT_FALSE(log->TimerEnabled()); // the tick disabled it
}
