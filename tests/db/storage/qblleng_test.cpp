// Engine interface: state forwarding to monitors, interests, the engine registration, and the
// handle registry behind the engine's handles.
#include "db/base/qbllexcp.h"
#include "db/storage/qblleng.h"
#include "tests/db/EngineOpStubs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string>* g_log = nullptr;
void note(const std::string& s) {
    if (g_log) g_log->push_back(s);
}

// An engine whose state hooks are logged and can be made to fail.
class TestEngine final : public TqbBaseServerEngine {
public:
    using TqbBaseServerEngine::TqbBaseServerEngine;
    PW_STUB_TYPES
    std::string FailIn; // a hook that raises

    bool GetNoAutoSaveCfg() override { return false; }
    bool GetIsReadOnly() override { return false; }
    void SetNoAutoSaveCfg(bool) override {}
    void SetIsReadOnly(bool) override {}

    void LogString(std::string_view) override {}
    void LogStrings(const std::vector<std::string>&) override {}
    void LogFormat(std::string_view, const QbFormatArgs&) override {}
    PW_STUB_ENGINE_OPERATIONS
    PW_STUB_SERVER_INFO_OPERATIONS

protected:
    void EnterInitializing() override { hook("EnterInitializing"); }
    void EnterShuttingDown() override { hook("EnterShuttingDown"); }
    void EnterInactive() override { hook("EnterInactive"); }
    void EnterStarting() override { hook("EnterStarting"); }

private:
    void hook(Text name) {
        note("engine " + name);
        if (FailIn == name) throw std::runtime_error(name + " failed");
    }
};

class TestMonitor final : public TqbServerMonitor {
public:
    explicit TestMonitor(std::string name) : name_(std::move(name)) {}
    int RefuseStep = -1; // a state it will not take
    void SetState(uint8_t target) override {
        note("monitor " + name_ + " " + StateToStr(target));
        if (target == RefuseStep) throw std::runtime_error("no");
        TqbServerMonitor::SetState(target);
    }
    void SetEngine(TqbBaseServerEngine* e) override {
        note("monitor " + name_ + (e ? " linked" : " unlinked"));
        TqbServerMonitor::SetEngine(e);
    }

protected:
    PW_EMPTY_STATE_HOOKS

private:
    std::string name_;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { g_log = &log; }
    void TearDown() override { g_log = nullptr; }
    std::vector<std::string> log;
    // Monitors outlive the engine, which unlinks them as it goes.
    TqbOwned<TestMonitor> m1{new TestMonitor("m1")}, m2{new TestMonitor("m2")};
    TqbOwned<TestEngine> engine{new TestEngine};
};

struct ClassA {};
struct ClassB {};

} // namespace

// Each step goes to the monitors (last added first) before the engine; a failed step, a refusing
// monitor or a failing watcher puts the entry state back; a failed engine stays failed.
TEST_F(EngineTest, StepsGoThroughTheMonitorsFirstAndAFailedStepPutsTheEntryStateBack) {
    engine->AddMonitor(m1.get());
    log.clear();
    engine->Startup();
    EXPECT_EQ(
        log, (std::vector<std::string>{"monitor m1 Initializing", "engine EnterInitializing",
                                       "monitor m1 Starting", "engine EnterStarting", "monitor m1 Started"}));
    engine->AddMonitor(m2.get());
    log.clear();
    engine->Stop();
    EXPECT_EQ(m1->State(), qbsStopped);
    EXPECT_EQ(log, (std::vector<std::string>{"monitor m2 Stopping", "monitor m1 Stopping",
                                             "engine EnterShuttingDown", "monitor m2 Stopped",
                                             "monitor m1 Stopped", "engine EnterInactive"}));
    engine->Shutdown();

    engine->FailIn = "EnterStarting";
    EXPECT_THROW(engine->Startup(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsInactive);
    EXPECT_EQ(log.back(), "engine EnterInactive"); // what the initializing step took is given back
    engine->FailIn.clear();
    engine->Startup();

    engine->OnStateChange = [](TqbComponent*) { throw std::runtime_error("watcher"); };
    EXPECT_THROW(engine->Stop(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsStarted);
    engine->OnStateChange = nullptr;

    m2->RefuseStep = qbsStopping;
    log.clear();
    EXPECT_THROW(engine->Stop(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsStarted);
    for (auto& l : log)
        EXPECT_EQ(l.find("engine"), std::string::npos) << l;
    engine->RemoveMonitor(m2.get());

    engine->SetState(qbsFailed);
    engine->SetState(qbsStarted);
    EXPECT_EQ(engine->State(), qbsFailed);
}

TEST_F(EngineTest, InterestsAreRecordedOnceAndRemovedFromBothSides) {
    engine->AddMonitor(m1.get());
    engine->AddMonitor(m2.get());
    engine->AddInterest(m1.get(), typeid(ClassA));
    engine->AddInterest(m2.get(), typeid(ClassA));
    engine->AddInterest(m1.get(), typeid(ClassA));
    engine->AddInterest(m1.get(), typeid(ClassB));
    EXPECT_EQ(engine->GetInterestedMonitors(typeid(ClassA)),
              (std::vector<TqbServerMonitor*>{m1.get(), m2.get()}));
    engine->RemoveInterest(m2.get(), typeid(ClassB)); // never recorded
    engine->RemoveInterest(m2.get(), typeid(ClassA));
    EXPECT_EQ(engine->GetInterestedMonitors(typeid(ClassA)), (std::vector<TqbServerMonitor*>{m1.get()}));

    engine->RemoveMonitor(m1.get());
    engine->AddInterest(m2.get(), typeid(ClassB));
    engine->RemoveAllInterest(m2.get());
    EXPECT_EQ(engine->Interests()->ClassEntryCount(), 0u);
    EXPECT_EQ(engine->Interests()->MonitorEntryCount(), 0u);
}

TEST_F(EngineTest, EnginesRegisterAndDestructionUnlinksEveryMonitor) {
    auto has = [](TqbBaseServerEngine* e) {
        auto all = RegisteredServerEngines();
        return std::find(all.begin(), all.end(), e) != all.end();
    };
    auto* second = new TestEngine;
    EXPECT_TRUE(has(second));
    second->AddMonitor(m1.get());
    second->AddMonitor(m2.get());
    second->Startup();
    log.clear();
    second->Free();
    EXPECT_FALSE(has(second));
    EXPECT_EQ(m1->Engine(), nullptr);
    // Last to first, then the stop of a state component.
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "monitor m2 unlinked");
    EXPECT_EQ(log[1], "monitor m1 unlinked");
    EXPECT_EQ(log.back(), "engine EnterInactive");
    EXPECT_EQ(m1->State(), qbsStarted); // unlinked first: monitors do not follow a going engine
}

// Handle registry

TEST(HandleRegistry, RefusesStaleForgedAndWrongKindHandles) {
    TqbHandleRegistry reg;
    int a = 0, b = 0;
    TqbHandle ha = reg.Add(TqbHandleKind::Cursor, &a);
    TqbHandle hb = reg.Add(TqbHandleKind::Session, &b);
    EXPECT_EQ(reg.FindAs<int>(hb, TqbHandleKind::Session), &b);

    // Wrong kind: the session handle given as a cursor, client or database.
    void* obj = &a;
    EXPECT_EQ(reg.Check(hb, TqbHandleKind::Cursor, &obj), kResultUnknownCursor);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(reg.Check(ha, TqbHandleKind::Session), kResultUnknownSession);
    EXPECT_EQ(reg.Check(ha, TqbHandleKind::Statement), kResultInvalidHandle);
    EXPECT_FALSE(reg.Remove(hb, TqbHandleKind::Cursor));

    // Forged values: none, -1, an unused slot, a live slot with another generation.
    for (TqbHandle forged : {0u, 0xFFFFFFFFu, 5u, ha ^ (1u << 20), ha + 1000, 0x00100002u}) {
        EXPECT_EQ(reg.Find(forged, TqbHandleKind::Cursor), nullptr) << forged;
        EXPECT_EQ(reg.KindOf(forged), forged == hb ? TqbHandleKind::Session : TqbHandleKind::None);
    }
    std::mt19937 rng(42);
    for (int i = 0; i < 100000; ++i) {
        TqbHandle h = rng();
        if (h == ha || h == hb) continue;
        ASSERT_EQ(reg.Find(h, TqbHandleKind::Cursor), nullptr);
        ASSERT_EQ(reg.Find(h, TqbHandleKind::Session), nullptr);
    }

    // Stale: removed, and still refused after its slot has been used again.
    TqbHandleRegistry small(1);
    TqbHandle first = small.Add(TqbHandleKind::Cursor, &a);
    EXPECT_THROW(small.Add(TqbHandleKind::Cursor, &b), std::bad_alloc);
    EXPECT_TRUE(small.Remove(first, TqbHandleKind::Cursor));
    TqbHandle second = small.Add(TqbHandleKind::Cursor, &b);
    EXPECT_EQ(second & 0xFFFFF, first & 0xFFFFF); // same slot
    EXPECT_EQ(small.Find(first, TqbHandleKind::Cursor), nullptr);
    EXPECT_EQ(small.Find(second, TqbHandleKind::Cursor), &b);
    EXPECT_THROW(small.Add(TqbHandleKind::None, &a), std::invalid_argument);
}

TEST(HandleRegistry, ManyThreadsAddAndRemoveWithoutMixingHandles) {
    TqbHandleRegistry reg;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            std::vector<int> objects(64);
            std::vector<TqbHandle> handles;
            for (int round = 0; round < 300; ++round) {
                for (auto& o : objects)
                    handles.push_back(reg.Add(TqbHandleKind::Cursor, &o));
                for (size_t i = 0; i < handles.size(); ++i)
                    if (reg.Find(handles[i], TqbHandleKind::Cursor) != &objects[i]) ++wrong;
                for (TqbHandle h : handles)
                    if (!reg.Remove(h, TqbHandleKind::Cursor)) ++wrong;
                for (TqbHandle h : handles)
                    if (reg.Find(h, TqbHandleKind::Cursor) != nullptr) ++wrong;
                handles.clear();
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(reg.Count(), 0u);
}

TEST(EngineTypes, ShortStringsAreBoundedWhateverTheirLengthByte) {
    TqbAliasRecord rec{};
    rec.Alias.Set(std::string(40, 'x'));
    EXPECT_EQ(rec.Alias.View().size(), 31u);
    rec.Alias.Len = 255; // as read from a bad reply
    EXPECT_EQ(rec.Alias.View().size(), 31u);
}
