// Engine interface: a test engine overriding every operation, state forwarding to monitors,
// interests, the engine registration, and the handle registry behind the engine's handles.
#include "db/base/qbllexcp.h"
#include "db/storage/qblleng.h"

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

// An engine whose operations only check their handles through a registry: enough to show that the
// interface is complete and that a forged handle never reaches an object.
class TestEngine final : public TqbBaseServerEngine {
public:
    using TqbBaseServerEngine::TqbBaseServerEngine;
    using Rc = TqbResultCode;
    using Text = const std::string&;
    using Bytes = std::span<const uint8_t>;
    using Buffer = std::span<uint8_t>;
    TqbHandleRegistry Handles;
    bool ReadOnly = false, NoAutoSave = false;
    std::string FailIn; // a hook that raises

    bool GetNoAutoSaveCfg() override { return NoAutoSave; }
    bool GetIsReadOnly() override { return ReadOnly; }
    void SetNoAutoSaveCfg(bool v) override { NoAutoSave = v; }
    void SetIsReadOnly(bool v) override { ReadOnly = v; }

    Rc GetServerNames(cls::TStringList& List, uint32_t) override {
        List.Clear();
        List.Add("Direct");
        return 0;
    }
    void LogString(std::string_view S) override { note(std::string(S)); }
    void LogStrings(const std::vector<std::string>& Strings) override {
        for (auto& s : Strings)
            note(s);
    }
    void LogFormat(std::string_view Fmt, const QbFormatArgs& Args) override { note(qbFormat(Fmt, Args)); }

    Rc db(TqbHandle h) { return Handles.Check(h, TqbHandleKind::Database); }
    Rc cur(TqbHandle h) { return Handles.Check(h, TqbHandleKind::Cursor); }
    Rc cli(TqbHandle h) { return Handles.Check(h, TqbHandleKind::Client); }

    Rc TransactionCommit(TqbHandle d) override { return db(d); }
    Rc TransactionRollback(TqbHandle d) override { return db(d); }
    Rc TransactionStart(TqbHandle d, bool) override { return db(d); }
    Rc TransactionStartWith(TqbHandle d, bool, const std::vector<TqbHandle>& c) override {
        for (TqbHandle h : c)
            if (Rc r = cur(h)) return r;
        return db(d);
    }
    Rc ClientAdd(TqbHandle& ClientID, Text, Text, uint32_t, uint32_t&) override {
        ClientID = Handles.Add(TqbHandleKind::Client, this);
        return 0;
    }
    Rc ClientRemove(TqbHandle c) override {
        return Handles.Remove(c, TqbHandleKind::Client) ? 0 : kResultUnknownClient;
    }
    Rc ClientSetTimeout(TqbHandle c, uint32_t) override { return cli(c); }
    Rc SessionAdd(TqbHandle c, uint32_t, TqbHandle&) override { return cli(c); }
    Rc SessionCloseUnusedTables(TqbHandle c) override { return cli(c); }
    Rc SessionCount(TqbHandle c, int32_t&) override { return cli(c); }
    Rc SessionGetCurrent(TqbHandle c, TqbHandle&) override { return cli(c); }
    Rc SessionRemove(TqbHandle, TqbHandle s) override { return Handles.Check(s, TqbHandleKind::Session); }
    Rc SessionSetCurrent(TqbHandle c, TqbHandle) override { return cli(c); }
    Rc SessionSetTimeout(TqbHandle c, TqbHandle, uint32_t) override { return cli(c); }
    Rc AliasAdd(Text, Text, TqbHandle c) override { return cli(c); }
    Rc AliasList(std::vector<TqbAliasRecord>&, TqbHandle c) override { return cli(c); }
    Rc RecoveryAliasList(std::vector<TqbAliasRecord>& l, TqbHandle c) override { return AliasList(l, c); }
    Rc AliasChangePath(Text, Text, TqbHandle c) override { return cli(c); }
    Rc DatabaseClose(TqbHandle d) override { return db(d); }
    Rc AliasDelete(Text, TqbHandle c) override { return cli(c); }
    Rc AliasGetPath(Text, TqbHandle c, std::string&) override { return cli(c); }
    Rc DatabaseGetFreeSpace(TqbHandle d, int32_t&) override { return db(d); }
    Rc AliasModify(TqbHandle c, Text, Text, Text) override { return cli(c); }
    Rc DatabaseOpen(TqbHandle c, Text, TqbOpenMode, TqbShareMode, uint32_t, TqbHandle& d) override {
        if (Rc r = cli(c)) return r;
        d = Handles.Add(TqbHandleKind::Database, this);
        return 0;
    }
    Rc DatabaseOpenPath(TqbHandle c, Text p, TqbOpenMode o, TqbShareMode s, uint32_t t,
                        TqbHandle& d) override {
        return DatabaseOpen(c, p, o, s, t, d);
    }
    Rc DatabaseSetTimeout(TqbHandle d, uint32_t) override { return db(d); }
    Rc TableExists(TqbHandle d, Text, bool&) override { return db(d); }
    Rc TableList(TqbHandle d, Text, std::vector<TqbTableListRecord>&) override { return db(d); }
    Rc TableIsLockedExclusive(TqbHandle d, Text, bool&) override { return db(d); }
    Rc RebuildGetStatus(TqbHandle, TqbHandle c, bool&, TqbRebuildStatus&) override { return cli(c); }
    Rc TableAddIndex(TqbHandle d, TqbHandle, Text, const TqbIndexDescriptor&) override { return db(d); }
    Rc TableBuild(TqbHandle d, bool, Text, bool, TqbDataDictionary&) override { return db(d); }
    Rc TableDelete(TqbHandle d, Text) override { return db(d); }
    Rc TableDropIndex(TqbHandle d, TqbHandle, Text, Text, int32_t) override { return db(d); }
    Rc TableEmpty(TqbHandle d, TqbHandle, Text) override { return db(d); }
    Rc TableGetAutoInc(TqbHandle c, uint32_t&) override { return cur(c); }
    Rc TableGetDictionary(TqbHandle d, Text, cls::TStream&) override { return db(d); }
    Rc TableGetRecordCount(TqbHandle c, int32_t&) override { return cur(c); }
    Rc TableGetRecordCountAsync(TqbHandle c, TqbHandle&) override { return cur(c); }
    Rc TableOpen(TqbHandle d, Text, bool, Text, int32_t, TqbOpenMode, TqbShareMode, uint32_t, TqbHandle& c,
                 cls::TStream* s) override {
        if (Rc r = db(d)) return r;
        c = Handles.Add(TqbHandleKind::Cursor, this);
        if (s) s->WriteBuffer(&c, 4);
        return 0;
    }
    Rc TablePack(TqbHandle d, Text, TqbHandle&) override { return db(d); }
    Rc TableReindex(TqbHandle d, Text, Text, int32_t, TqbHandle&) override { return db(d); }
    Rc TableRename(TqbHandle d, Text, Text) override { return db(d); }
    Rc TableRestructure(TqbHandle d, Text, TqbDataDictionary&, const cls::TStringList*, TqbHandle&) override {
        return db(d);
    }
    Rc TableSetAutoInc(TqbHandle c, uint32_t) override { return cur(c); }
    Rc TableIsLocked(TqbHandle c, TqbLockType, bool&) override { return cur(c); }
    Rc TableLockAcquire(TqbHandle c, TqbLockType) override { return cur(c); }
    Rc TableLockRelease(TqbHandle c, TqbLockType, bool) override { return cur(c); }
    Rc CursorClone(TqbHandle c, TqbOpenMode, TqbHandle&) override { return cur(c); }
    Rc CursorClose(TqbHandle c) override {
        return Handles.Remove(c, TqbHandleKind::Cursor) ? 0 : kResultUnknownCursor;
    }
    Rc CursorCompareBookmarks(TqbHandle c, Bytes, Bytes, int32_t&) override { return cur(c); }
    Rc CursorCopyRecords(TqbHandle s, TqbHandle d, bool) override { return cur(s) ? cur(s) : cur(d); }
    Rc CursorDeleteRecords(TqbHandle c) override { return cur(c); }
    Rc CursorGetBookmark(TqbHandle c, Buffer) override { return cur(c); }
    Rc CursorGetBookmarkSize(TqbHandle c, uint32_t&) override { return cur(c); }
    Rc BLOBListFreeSpace(TqbHandle c, bool, cls::TStream&) override { return cur(c); }
    Rc CursorOverrideFilter(TqbHandle c, Bytes, uint32_t) override { return cur(c); }
    Rc CursorResetRange(TqbHandle c) override { return cur(c); }
    Rc CursorRestoreFilter(TqbHandle c) override { return cur(c); }
    Rc CursorSetRange(TqbHandle c, bool, int32_t, int32_t, Bytes, bool, int32_t, int32_t, Bytes,
                      bool) override {
        return cur(c);
    }
    Rc CursorSetTimeout(TqbHandle c, uint32_t) override { return cur(c); }
    Rc CursorSetToBegin(TqbHandle c) override { return cur(c); }
    Rc CursorSetToBookmark(TqbHandle c, Bytes) override { return cur(c); }
    Rc CursorSetToCursor(TqbHandle d, TqbHandle s) override { return cur(d) ? cur(d) : cur(s); }
    Rc CursorSetToEnd(TqbHandle c) override { return cur(c); }
    Rc CursorSetToKey(TqbHandle c, TqbSearchAction, bool, int32_t, int32_t, Bytes) override { return cur(c); }
    Rc CursorSwitchToIndex(TqbHandle c, Text, int32_t, bool) override { return cur(c); }
    Rc CursorSetFilter(TqbHandle c, Bytes, uint32_t) override { return cur(c); }
    Rc RecordDelete(TqbHandle c, Buffer) override { return cur(c); }
    Rc RecordDeleteBatch(TqbHandle c, int32_t, int32_t, Bytes, std::vector<int32_t>&) override {
        return cur(c);
    }
    Rc RecordExtractKey(TqbHandle c, Bytes, Buffer) override { return cur(c); }
    Rc RecordGet(TqbHandle c, TqbLockType, Buffer) override { return cur(c); }
    Rc RecordGetBatch(TqbHandle c, int32_t, int32_t, Buffer, int32_t&, int32_t&) override { return cur(c); }
    Rc RecordGetForKey(TqbHandle c, bool, int32_t, int32_t, Bytes, Buffer, bool) override { return cur(c); }
    Rc RecordGetNext(TqbHandle c, TqbLockType, Buffer) override { return cur(c); }
    Rc RecordGetPrior(TqbHandle c, TqbLockType, Buffer) override { return cur(c); }
    Rc RecordInsert(TqbHandle c, TqbLockType, Bytes) override { return cur(c); }
    Rc RecordInsertBatch(TqbHandle c, int32_t, int32_t, Bytes, std::vector<int32_t>&) override {
        return cur(c);
    }
    Rc RecordIsLocked(TqbHandle c, TqbLockType, bool&) override { return cur(c); }
    Rc RecordModify(TqbHandle c, Bytes, bool) override { return cur(c); }
    Rc RecordReleaseLock(TqbHandle c, bool) override { return cur(c); }
    Rc BLOBCreate(TqbHandle c, uint64_t&) override { return cur(c); }
    Rc BLOBDelete(TqbHandle c, uint64_t) override { return cur(c); }
    Rc BLOBListSegments(TqbHandle c, uint64_t, cls::TStream&) override { return cur(c); }
    Rc BLOBRead(TqbHandle c, uint64_t, uint32_t, Buffer, uint32_t&) override { return cur(c); }
    Rc BLOBFree(TqbHandle c, uint64_t, bool ReadOnly) override { return ReadOnly ? 0 : cur(c); }
    Rc BLOBGetLength(TqbHandle c, uint64_t, uint32_t&) override { return cur(c); }
    Rc BLOBTruncate(TqbHandle c, uint64_t, uint32_t) override { return cur(c); }
    Rc BLOBWrite(TqbHandle c, uint64_t, uint32_t, Bytes) override { return cur(c); }
    Rc BLOBCreateFile(TqbHandle c, Text, uint64_t&) override { return cur(c); }
    Rc SQLAlloc(TqbHandle, uint32_t, TqbHandle&) override { return 15462; }
    Rc SQLExec(TqbHandle, TqbOpenMode, TqbHandle&, cls::TStream&) override { return 15462; }
    Rc SQLExecDirect(TqbHandle, Text, uint32_t, TqbOpenMode, TqbHandle&, cls::TStream&) override {
        return 15462;
    }
    Rc SQLFree(TqbHandle) override { return 15462; }
    Rc SQLPrepare(TqbHandle, Text, cls::TStream&) override { return 15462; }
    Rc SQLSetParams(TqbHandle, uint16_t, Bytes, Bytes, cls::TStream&) override { return 15462; }
    Rc GetServerDateTime(cls::TDateTime&) override { return 0; }
    Rc GetServerSystemTime(TqbSystemTime&) override { return 0; }
    Rc GetNewGUID(TqbGUID&) override { return 0; }
    Rc GetServerID(TqbGUID&) override { return 0; }
    Rc GetServerStatistics(TqbServerStatistics&) override { return 0; }
    Rc GetCommandHandlerStatistics(int32_t, int32_t&) override { return 8712; }
    Rc GetTransportStatistics(int32_t, int32_t, TqbTransportStatistics&) override { return 8712; }

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
    void EnterInitializing() override {}
    void EnterShuttingDown() override {}
    void EnterInactive() override {}
    void EnterStarting() override {}

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

TEST_F(EngineTest, StartAndStopGoStepByStepThroughTheMonitorsFirst) {
    engine->AddMonitor(m1.get());
    EXPECT_EQ(m1->Engine(), engine.get());
    log.clear();
    engine->Startup();
    EXPECT_EQ(engine->State(), qbsStarted);
    EXPECT_EQ(
        log, (std::vector<std::string>{"monitor m1 Initializing", "engine EnterInitializing",
                                       "monitor m1 Starting", "engine EnterStarting", "monitor m1 Started"}));
    log.clear();
    engine->Stop();
    EXPECT_EQ(engine->State(), qbsStopped);
    EXPECT_EQ(m1->State(), qbsStopped);
    EXPECT_EQ(log, (std::vector<std::string>{"monitor m1 Stopping", "engine EnterShuttingDown",
                                             "monitor m1 Stopped", "engine EnterInactive"}));

    // Two monitors: last added hears first.
    engine->AddMonitor(m2.get());
    log.clear();
    int changes = 0;
    engine->OnStateChange = [&](TqbComponent* sender) {
        EXPECT_EQ(sender, engine.get());
        ++changes;
    };
    engine->Shutdown(); // Stopped -> Initializing -> Inactive
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "monitor m2 Initializing");
    EXPECT_EQ(log[1], "monitor m1 Initializing");
    EXPECT_EQ(engine->State(), qbsInactive);
    EXPECT_EQ(changes, 2);
    // The state it already has: nothing at all.
    log.clear();
    engine->SetState(qbsInactive);
    EXPECT_TRUE(log.empty());
}

TEST_F(EngineTest, AFailedStepPutsTheEntryStateBack) {
    engine->AddMonitor(m1.get());
    engine->FailIn = "EnterStarting";
    EXPECT_THROW(engine->Startup(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsInactive);
    // What the initializing step took is given back.
    EXPECT_EQ(log.back(), "engine EnterInactive");

    engine->FailIn.clear();
    engine->Startup();
    engine->OnStateChange = [](TqbComponent*) { throw std::runtime_error("watcher"); };
    EXPECT_THROW(engine->Stop(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsStarted);
    engine->OnStateChange = nullptr;

    // A monitor that refuses the step stops it before the engine takes it.
    m2->RefuseStep = qbsStopping;
    engine->AddMonitor(m2.get());
    log.clear();
    EXPECT_THROW(engine->Stop(), std::runtime_error);
    EXPECT_EQ(engine->State(), qbsStarted);
    for (auto& l : log)
        EXPECT_EQ(l.find("engine"), std::string::npos) << l;
    engine->RemoveMonitor(m2.get());
}

TEST_F(EngineTest, AFailedEngineStaysFailed) {
    engine->SetState(qbsFailed);
    ASSERT_EQ(engine->State(), qbsFailed);
    log.clear();
    engine->SetState(qbsStarted);
    EXPECT_EQ(engine->State(), qbsFailed);
    EXPECT_TRUE(log.empty());
}

TEST_F(EngineTest, InterestsAreRecordedOnceAndRemovedFromBothSides) {
    engine->AddMonitor(m1.get());
    engine->AddMonitor(m2.get());
    EXPECT_TRUE(engine->GetInterestedMonitors(typeid(ClassA)).empty());
    engine->AddInterest(m1.get(), typeid(ClassA));
    engine->AddInterest(m2.get(), typeid(ClassA));
    engine->AddInterest(m1.get(), typeid(ClassA));
    engine->AddInterest(m1.get(), typeid(ClassB));
    EXPECT_EQ(engine->GetInterestedMonitors(typeid(ClassA)),
              (std::vector<TqbServerMonitor*>{m1.get(), m2.get()}));
    EXPECT_EQ(engine->GetInterestedMonitors(typeid(ClassB)), (std::vector<TqbServerMonitor*>{m1.get()}));

    engine->RemoveInterest(m2.get(), typeid(ClassB)); // never recorded
    EXPECT_EQ(engine->Interests()->ClassEntryCount(), 2u);
    EXPECT_EQ(engine->Interests()->MonitorEntryCount(), 2u);

    engine->RemoveInterest(m2.get(), typeid(ClassA));
    EXPECT_EQ(engine->Interests()->MonitorEntryCount(), 1u);
    EXPECT_EQ(engine->GetInterestedMonitors(typeid(ClassA)), (std::vector<TqbServerMonitor*>{m1.get()}));

    engine->RemoveMonitor(m1.get());
    EXPECT_EQ(m1->Engine(), nullptr);
    EXPECT_EQ(engine->Monitors(), (std::vector<TqbServerMonitor*>{m2.get()}));
    EXPECT_EQ(engine->Interests()->ClassEntryCount(), 0u);
    EXPECT_EQ(engine->Interests()->MonitorEntryCount(), 0u);
    EXPECT_TRUE(engine->GetInterestedMonitors(typeid(ClassB)).empty());

    engine->AddInterest(m2.get(), typeid(ClassA));
    engine->AddInterest(m2.get(), typeid(ClassB));
    engine->RemoveAllInterest(m2.get());
    EXPECT_EQ(engine->Interests()->ClassEntryCount(), 0u);
    EXPECT_TRUE(engine->Interests()->Classes(m2.get()).empty());
}

TEST_F(EngineTest, EnginesRegisterAndDestructionUnlinksEveryMonitor) {
    auto has = [](TqbBaseServerEngine* e) {
        auto all = RegisteredServerEngines();
        return std::find(all.begin(), all.end(), e) != all.end();
    };
    EXPECT_TRUE(has(engine.get()));
    auto* second = new TestEngine;
    EXPECT_TRUE(has(second));
    second->AddMonitor(m1.get());
    second->AddMonitor(m2.get());
    second->Startup();
    log.clear();
    second->Free();
    EXPECT_FALSE(has(second));
    EXPECT_EQ(m1->Engine(), nullptr);
    EXPECT_EQ(m2->Engine(), nullptr);
    // Last to first, then the stop of a state component.
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "monitor m2 unlinked");
    EXPECT_EQ(log[1], "monitor m1 unlinked");
    EXPECT_NE(std::find(log.begin(), log.end(), "engine EnterShuttingDown"), log.end());
    EXPECT_EQ(log.back(), "engine EnterInactive");
    EXPECT_EQ(m1->State(), qbsStarted); // unlinked first: monitors do not follow a going engine
}

TEST_F(EngineTest, ImplementedOperationsAndHandleChecksThroughTheInterface) {
    TqbBaseServerEngine& e = *engine;
    std::vector<uint8_t> reply{1, 2};
    EXPECT_EQ(e.ProcessRequest(1, 2048, 100, {}, reply), 0);
    EXPECT_EQ(e.ProcessRequestNoReply(1, 2048, 100, {}), 0);
    cls::TStringList names;
    EXPECT_EQ(e.GetServerNames(names, 0), 0);
    EXPECT_EQ(names.Count(), 1);

    TqbHandle client = 0, db = 0, cursor = 0;
    uint32_t hash = 7;
    ASSERT_EQ(e.ClientAdd(client, "guest", "guest", 0, hash), 0);
    ASSERT_EQ(e.DatabaseOpen(client, "QBDEMOS", qbomReadWrite, qbsmShared, 0, db), 0);
    cls::TMemoryStream stream;
    ASSERT_EQ(
        e.TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, 0, cursor, &stream), 0);
    EXPECT_EQ(stream.Size(), 4);
    EXPECT_EQ(e.CursorSetToBegin(cursor), 0);
    // A handle of another kind gets that kind's unknown code.
    EXPECT_EQ(e.CursorSetToBegin(db), kResultUnknownCursor);
    EXPECT_EQ(e.DatabaseSetTimeout(cursor, 5), kResultUnknownDatabase);
    EXPECT_EQ(e.ClientSetTimeout(db, 5), kResultUnknownClient);
    // A closed cursor's handle is stale.
    EXPECT_EQ(e.CursorClose(cursor), 0);
    EXPECT_EQ(e.CursorSetToBegin(cursor), kResultUnknownCursor);
    EXPECT_EQ(e.CursorClose(cursor), kResultUnknownCursor);
    std::vector<int32_t> errors;
    EXPECT_EQ(e.RecordInsertBatch(cursor, 3, 10, {}, errors), kResultUnknownCursor);
    EXPECT_EQ(e.SQLAlloc(db, 0, cursor), 15462);
}

// Handle registry

TEST(HandleRegistry, RefusesStaleForgedAndWrongKindHandles) {
    TqbHandleRegistry reg;
    int a = 0, b = 0;
    TqbHandle ha = reg.Add(TqbHandleKind::Cursor, &a);
    TqbHandle hb = reg.Add(TqbHandleKind::Session, &b);
    EXPECT_NE(ha, 0u);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(reg.Find(ha, TqbHandleKind::Cursor), &a);
    EXPECT_EQ(reg.FindAs<int>(hb, TqbHandleKind::Session), &b);
    EXPECT_EQ(reg.KindOf(hb), TqbHandleKind::Session);

    // Wrong kind: the session handle given as a cursor, client or database.
    void* obj = &a;
    EXPECT_EQ(reg.Check(hb, TqbHandleKind::Cursor, &obj), kResultUnknownCursor);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(reg.Check(hb, TqbHandleKind::Client), kResultUnknownClient);
    EXPECT_EQ(reg.Check(hb, TqbHandleKind::Database), kResultUnknownDatabase);
    EXPECT_EQ(reg.Check(ha, TqbHandleKind::Session), kResultUnknownSession);
    EXPECT_EQ(reg.Check(ha, TqbHandleKind::Statement), kResultInvalidHandle);
    EXPECT_FALSE(reg.Remove(hb, TqbHandleKind::Cursor));
    EXPECT_EQ(reg.Count(), 2u);

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
    EXPECT_TRUE(reg.Remove(ha, TqbHandleKind::Cursor));
    EXPECT_EQ(reg.Check(ha, TqbHandleKind::Cursor), kResultUnknownCursor);
    EXPECT_FALSE(reg.Remove(ha, TqbHandleKind::Cursor));
    TqbHandleRegistry small(1);
    TqbHandle first = small.Add(TqbHandleKind::Cursor, &a);
    EXPECT_THROW(small.Add(TqbHandleKind::Cursor, &b), std::bad_alloc);
    EXPECT_TRUE(small.Remove(first, TqbHandleKind::Cursor));
    TqbHandle second = small.Add(TqbHandleKind::Cursor, &b);
    EXPECT_EQ(second & 0xFFFFF, first & 0xFFFFF); // same slot
    EXPECT_NE(second, first);
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
    rec.Alias.Set("QBDEMOS");
    EXPECT_EQ(rec.Alias.Str(), "QBDEMOS");
    rec.Alias.Set(std::string(40, 'x'));
    EXPECT_EQ(rec.Alias.View().size(), 31u);
    rec.Alias.Len = 255; // as read from a bad reply
    EXPECT_EQ(rec.Alias.View().size(), 31u);
}
