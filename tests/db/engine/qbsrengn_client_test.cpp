// The in-process engine's client, session, alias, database and transaction operations, through
// the engine interface over a temporary folder.
#include "db/base/qbhash.h"
#include "db/base/qbsrmgr.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/engine/EngineClockSupport.h"

#include <algorithm>
#include <thread>

using namespace engineapi;
using engineclock::ExtenderMonitor;
using engineclock::HeldCursor;

namespace {

constexpr uint32_t kAliceHash = 0x0A11CE55;

// A store that requires logins and knows one user, Alice.
std::unique_ptr<TqbMemoryConfigStore> secureStore() {
    auto store = std::make_unique<TqbMemoryConfigStore>();
    store->HasInfo = true;
    store->Info = DefaultGeneralInfo();
    store->Info.IsSecure = true;
    store->Users.push_back({"Alice", "Liddell", "Alice", kAliceHash, kAllUserRights});
    return store;
}

bool logHas(MemoryEventLog& log, const std::string& text) {
    for (const std::string& line : log.Lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TqbHandle addClient(TqbServerEngine& e, const std::string& user = "", uint32_t hash = 0) {
    TqbHandle id = 0;
    EXPECT_EQ(0, e.ClientAdd(id, "other", user, 10000, hash));
    return id;
}

} // namespace

TEST(EngineClients, SecureLoginsCompareTheHashAndNeverHandOutTheStoredOne) {
    Api api(false);
    api.engine->SetConfigStore(secureStore());
    api.engine->Startup();
    TqbServerEngine& e = *api.engine;
    TqbHandle id = 0;
    uint32_t hash = kAliceHash;
    EXPECT_EQ(0, e.ClientAdd(id, "app", "alice", 10000, hash)); // user IDs ignore case
    EXPECT_NE(0u, id);
    EXPECT_EQ(kAliceHash, hash);

    struct Case {
        std::string user;
        uint32_t hash;
    };
    for (const Case& c : {Case{"Alice", kAliceHash + 1}, Case{"Mallory", kAliceHash}, Case{"", 0}}) {
        SCOPED_TRACE(c.user);
        id = 99;
        hash = c.hash;
        EXPECT_EQ(10036, e.ClientAdd(id, "app", c.user, 10000, hash));
        EXPECT_EQ(0u, id);
        EXPECT_EQ(0u, hash); // never the stored hash
        EXPECT_TRUE(logHas(*api.log, "Failed login of user \"" + c.user + "\""));
    }
    EXPECT_EQ(1, e.Counts().Clients);
}

TEST(EngineClients, WithoutLoginsAnyUserGetsInAndKeepsItsHash) {
    Api api;
    uint32_t hash = HashShStr("whatever");
    const uint32_t sent = hash;
    TqbHandle id = 0;
    EXPECT_EQ(0, api.engine->ClientAdd(id, "app", "nobody", 10000, hash));
    EXPECT_EQ(sent, hash);
    EXPECT_FALSE(logHas(*api.log, "Failed login"));
}

TEST(EngineClients, MonitorsExtendersHearClientsComeAndGoAndMayRefuseAliasChanges) {
    TqbOwned<ExtenderMonitor> monitor(new ExtenderMonitor());
    Api api(false);
    api.engine->AddMonitor(monitor.get());
    api.engine->AddInterest(monitor.get(), typeid(TqbSrClient));
    api.startAndConnect();
    TqbServerEngine& e = *api.engine;
    ASSERT_EQ(0, e.AliasAdd("Data", api.dir.str(), api.client));
    monitor->Refuse = 32;
    EXPECT_EQ(7777, e.AliasDelete("Data", api.client));
    EXPECT_EQ(7777, e.AliasModify(api.client, "Data", "Other", ""));
    std::string path;
    EXPECT_EQ(0, e.AliasGetPath("Data", api.client, path));
    EXPECT_FALSE(path.empty());
    monitor->Refuse = 0;
    EXPECT_EQ(0, e.ClientRemove(api.client));
    const std::vector<int32_t> heard = monitor->Actions();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(73, heard.front());
    EXPECT_EQ(72, heard.back());
    EXPECT_NE(heard.end(), std::find(heard.begin(), heard.end(), 34));
    api.engine->RemoveMonitor(monitor.get());
}

TEST(EngineSessions, FirstSessionIsTheClientsOwnAndZeroSelectsItAgain) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle c = addClient(e);
    TqbHandle first = 0, second = 0, current = 0;
    ASSERT_EQ(0, e.SessionGetCurrent(c, current));
    ASSERT_EQ(0, e.SessionAdd(c, 1000, first));
    EXPECT_EQ(current, first);
    ASSERT_EQ(0, e.SessionAdd(c, 1000, second));
    EXPECT_NE(first, second);
    int32_t count = 0;
    EXPECT_EQ(0, e.SessionCount(c, count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(0, e.SessionSetCurrent(c, second));
    EXPECT_EQ(0, e.SessionGetCurrent(c, current));
    EXPECT_EQ(second, current);
    EXPECT_EQ(0, e.SessionSetCurrent(c, 0));
    EXPECT_EQ(0, e.SessionGetCurrent(c, current));
    EXPECT_EQ(first, current);
}

TEST(EngineSessions, AnotherClientsSessionIsRefusedAndARemovedCurrentOneLeavesNone) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle other = addClient(e);
    TqbHandle otherSession = 0;
    ASSERT_EQ(0, e.SessionAdd(other, 1000, otherSession));
    EXPECT_EQ(15505, e.SessionSetCurrent(api.client, otherSession));
    EXPECT_EQ(15505, e.SessionSetTimeout(api.client, otherSession, 5));
    EXPECT_EQ(15505, e.SessionRemove(api.client, otherSession));
    int32_t count = 0;
    EXPECT_EQ(0, e.SessionCount(other, count));
    EXPECT_EQ(1, count);

    // The current session goes: none is current, and a database needs one.
    EXPECT_EQ(0, e.SessionRemove(other, otherSession));
    TqbHandle current = 77, db = 0;
    EXPECT_EQ(0, e.SessionGetCurrent(other, current));
    EXPECT_EQ(0u, current);
    EXPECT_EQ(15505, e.DatabaseOpenPath(other, api.dir.str(), qbomReadWrite, qbsmShared, 0, db));
    EXPECT_EQ(15505, e.SessionRemove(other, otherSession));
}

TEST(EngineDatabases, OpenByAliasAndPathWithTheirCodesAndShareModes) {
    Api api;
    TqbServerEngine& e = *api.engine;
    TqbHandle db = 0;
    EXPECT_EQ(10014, e.DatabaseOpen(api.client, "nowhere", qbomReadWrite, qbsmShared, 0, db));
    ASSERT_EQ(0, e.AliasAdd("Gone", api.dir.str() + "/missing", api.client));
    EXPECT_EQ(10018, e.DatabaseOpen(api.client, "gone", qbomReadWrite, qbsmShared, 0, db));
    EXPECT_EQ(10018, e.DatabaseOpenPath(api.client, "", qbomReadWrite, qbsmShared, 0, db));
    ASSERT_EQ(0, e.AliasAdd("Data", api.dir.str(), api.client));

    // The folder is open shared by the first client: another client cannot have it alone.
    const TqbHandle other = addClient(e);
    EXPECT_EQ(10253, e.DatabaseOpen(other, "data", qbomReadWrite, qbsmExclusive, 0, db));
    EXPECT_EQ(0u, db);
    TqbHandle otherShared = 0;
    EXPECT_EQ(0, e.DatabaseOpen(other, "DATA", qbomReadWrite, qbsmShared, 0, otherShared));
    EXPECT_EQ(0, e.DatabaseClose(otherShared));
    // The same client and session may open it again, also exclusively; then others are kept out.
    TqbHandle mine = 0;
    EXPECT_EQ(0, e.DatabaseOpen(api.client, "Data", qbomReadWrite, qbsmExclusive, 0, mine));
    EXPECT_EQ(10253, e.DatabaseOpenPath(other, api.dir.str(), qbomReadOnly, qbsmShared, 0, db));
    EXPECT_EQ(0, e.DatabaseClose(mine));
    EXPECT_EQ(15508, e.DatabaseClose(mine));
    EXPECT_EQ(1, e.Counts().Databases);
    int32_t free = -1;
    EXPECT_EQ(0, e.DatabaseGetFreeSpace(api.db, free));
    EXPECT_GE(free, 0);
}

TEST(EngineAliases, AddChangeModifyAndDeleteAreSavedAndARefusedModifyKeepsTheAlias) {
    Api api(false);
    auto owned = std::make_unique<TqbMemoryConfigStore>();
    TqbMemoryConfigStore* store = owned.get();
    api.engine->SetConfigStore(std::move(owned));
    api.startAndConnect();
    TqbServerEngine& e = *api.engine;
    pwtest::TempDir other;
    ASSERT_EQ(0, e.AliasAdd("Data", api.dir.str(), api.client));
    EXPECT_EQ(10009, e.AliasAdd("DATA", other.str(), api.client));
    ASSERT_EQ(0, e.AliasAdd("Other", other.str(), api.client));
    {
        std::lock_guard lk(store->Mutex);
        EXPECT_EQ(2u, store->Aliases.size());
    }
    std::string path, dataPath;
    EXPECT_EQ(0, e.AliasGetPath("none", api.client, path));
    EXPECT_EQ("", path);
    ASSERT_EQ(0, e.AliasGetPath("data", api.client, dataPath));
    EXPECT_FALSE(dataPath.empty());

    // Onto an existing name: refused, and "Data" is still there as it was.
    EXPECT_EQ(10009, e.AliasModify(api.client, "Data", "other", ""));
    EXPECT_EQ(0, e.AliasGetPath("Data", api.client, path));
    EXPECT_EQ(dataPath, path);
    EXPECT_EQ(10014, e.AliasModify(api.client, "none", "New", ""));
    // A new name keeps the path; a new path keeps the name.
    EXPECT_EQ(0, e.AliasModify(api.client, "Data", "Renamed", ""));
    EXPECT_EQ(0, e.AliasGetPath("Renamed", api.client, path));
    EXPECT_EQ(dataPath, path);
    EXPECT_EQ(10014, e.AliasChangePath("Data", other.str(), api.client));
    EXPECT_EQ(0, e.AliasChangePath("renamed", other.str(), api.client));
    std::string otherPath;
    EXPECT_EQ(0, e.AliasGetPath("Other", api.client, otherPath));
    EXPECT_EQ(0, e.AliasGetPath("Renamed", api.client, path));
    EXPECT_EQ(otherPath, path);

    EXPECT_EQ(10014, e.AliasDelete("Data", api.client));
    EXPECT_EQ(0, e.AliasDelete("Renamed", api.client));
    std::vector<TqbAliasRecord> list;
    EXPECT_EQ(0, e.AliasList(list, api.client));
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("Other", list[0].Alias.Str());
    std::lock_guard lk(store->Mutex);
    ASSERT_EQ(1u, store->Aliases.size());
    EXPECT_EQ("Other", store->Aliases[0].Alias.Str());
}

TEST(EngineDatabases, TableQueriesStayInsideTheFolderAndIgnoreCase) {
    Api api;
    TqbServerEngine& e = *api.engine;
    api.contacts("CONTACTS");
    bool exists = false;
    EXPECT_EQ(0, e.TableExists(api.db, "contacts", exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(0, e.TableExists(api.db, "Contacts.qb2", exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(0, e.TableExists(api.db, "missing", exists));
    EXPECT_FALSE(exists);
    // A table beside the folder is never reached through it.
    const std::string sub = api.dir.str() + "/sub";
    ASSERT_EQ(0, plat::DirCreate(sub));
    TqbHandle subDb = 0;
    ASSERT_EQ(0, e.DatabaseOpenPath(api.client, sub, qbomReadWrite, qbsmShared, 0, subDb));
    for (const char* name : {"../CONTACTS", "..\\CONTACTS", "*", "a:b"}) {
        exists = true;
        EXPECT_EQ(10039, e.TableExists(subDb, name, exists)) << name;
        EXPECT_FALSE(exists);
    }
    std::vector<TqbTableListRecord> list;
    EXPECT_EQ(0, e.TableList(subDb, "../*", list));
    EXPECT_EQ(0, e.TableList(subDb, "", list));
    EXPECT_TRUE(list.empty());

    EXPECT_EQ(0, e.TableList(api.db, "c*", list));
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("CONTACTS", list[0].TableName.Str());
    EXPECT_EQ("QB2", list[0].Extension.Str());
    EXPECT_GT(list[0].SizeLow, 0u);
    EXPECT_GE(list[0].DateTime >> 25, 2020u - 1980u);
    list.clear();
    EXPECT_EQ(0, e.TableList(api.db, "x*.txt", list));
    EXPECT_TRUE(list.empty());
    bool locked = true;
    EXPECT_EQ(0, e.TableIsLockedExclusive(api.db, "contacts", locked));
    EXPECT_FALSE(locked);
}

TEST(EngineDatabases, CloseWhileAnotherThreadIsInsideItsCursorReturnsAtOnceAndFreesItAfter) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle cursor = api.contacts();
    HeldCursor held(e, cursor);
    EXPECT_EQ(0, e.DatabaseClose(api.db));
    EXPECT_EQ(15508, e.DatabaseSetTimeout(api.db, 5)); // closing: no new operation
    EXPECT_EQ(1, e.Counts().Databases);
    EXPECT_EQ(1, e.Counts().Cursors);
    held.finish();
    EXPECT_EQ(0, e.Counts().Databases);
    EXPECT_EQ(0, e.Counts().Cursors);
    EXPECT_EQ(0, e.Counts().Tables);
    EXPECT_EQ(15511, e.CursorFrame(cursor, [](TqbSrBaseCursor&) { return 0; }));
}

namespace {
// As a client deletes: at the start of the table there is no current record to delete.
TqbResultCode failedDelete(TqbServerEngine& e, TqbHandle cursor) {
    EXPECT_EQ(0, e.CursorSetToBegin(cursor));
    return e.RecordDelete(cursor, {});
}
TqbResultCode insert(TqbServerEngine& e, TqbHandle cursor, const std::string& name) {
    return e.RecordInsert(cursor, qbltNone, contactRecord(contactsDictionary(), {name, "1", 1, "pw", {}}));
}
uint32_t recordCount(TqbServerEngine& e, TqbHandle cursor) {
    int32_t n = 99;
    EXPECT_EQ(0, e.TableGetRecordCount(cursor, n));
    return uint32_t(n);
}
} // namespace

TEST(EngineTransactions, CommitRollbackNestingAndAFailedWriteRollingBackWith15443) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle cursor = api.contacts();
    EXPECT_EQ(10257, e.TransactionCommit(api.db));
    EXPECT_EQ(10257, e.TransactionRollback(api.db));

    // Nested: the inner commit closes its level only.
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    ASSERT_EQ(0, insert(e, cursor, "Ann"));
    EXPECT_EQ(0, e.TransactionCommit(api.db));
    EXPECT_EQ(0, e.TransactionRollback(api.db));
    EXPECT_EQ(10257, e.TransactionCommit(api.db));
    EXPECT_EQ(0u, recordCount(e, cursor));

    ASSERT_EQ(0, e.TransactionStart(api.db, true));
    ASSERT_EQ(0, insert(e, cursor, "Bob"));
    EXPECT_EQ(0, e.TransactionCommit(api.db));
    EXPECT_EQ(1u, recordCount(e, cursor));

    // A failed delete inside the transaction: its commit rolls everything back.
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    ASSERT_EQ(0, insert(e, cursor, "Cid"));
    EXPECT_EQ(8709, failedDelete(e, cursor));
    EXPECT_EQ(15443, e.TransactionCommit(api.db));
    EXPECT_EQ("A write in this transaction failed: the transaction has been rolled back.",
              CompatErrorStrings().GetText(15443));
    EXPECT_EQ(10257, e.TransactionCommit(api.db));
    EXPECT_EQ(1u, recordCount(e, cursor));
    // The next transaction starts clean.
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    ASSERT_EQ(0, insert(e, cursor, "Dee"));
    EXPECT_EQ(0, e.TransactionCommit(api.db));
    EXPECT_EQ(2u, recordCount(e, cursor));
}

TEST(EngineTransactions, StartWithGivesUpWith10241AlsoWithoutADeadlineAndChecksItsCursors) {
    Api api;
    engineclock::StepClock* clock = api.clock.get();
    TqbServerEngine& e = *api.engine;
    const TqbHandle mine = api.contacts();
    // Another client holds the table in its transaction.
    const TqbHandle other = addClient(e);
    TqbHandle otherDb = 0, theirs = 0;
    ASSERT_EQ(0, e.DatabaseOpenPath(other, api.dir.str(), qbomReadWrite, qbsmShared, 0, otherDb));
    ASSERT_EQ(0, e.TableOpen(otherDb, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, 0, theirs,
                             nullptr));
    ASSERT_EQ(0, e.TransactionStartWith(otherDb, false, {theirs}));

    EXPECT_EQ(15511, e.TransactionStartWith(api.db, false, {theirs}));
    EXPECT_EQ(15511, e.TransactionStartWith(api.db, false, {mine, 0x12345678}));
    EXPECT_EQ(10257, e.TransactionCommit(api.db));

    ASSERT_EQ(0, e.DatabaseSetTimeout(api.db, 0)); // no deadline
    const uint32_t before = clock->Now;
    EXPECT_EQ(10241, e.TransactionStartWith(api.db, false, {mine}));
    EXPECT_GE(clock->Now - before, TqbServerEngine::kStartWithBoundMs - 10);
    EXPECT_LE(clock->Now - before, TqbServerEngine::kStartWithBoundMs + 10);
    EXPECT_EQ(10257, e.TransactionCommit(api.db)); // rolled back

    ASSERT_EQ(0, e.TransactionCommit(otherDb));
    EXPECT_EQ(0, e.TransactionStartWith(api.db, false, {mine}));
    EXPECT_EQ(0, e.TransactionCommit(api.db));
}

TEST(EngineInformation, StatisticsCountTheServersObjectsAndItsUpTime) {
    Api api;
    engineclock::StepClock* clock = api.clock.get();
    TqbServerEngine& e = *api.engine;
    api.contacts();
    TqbHandle second = 0, cursor2 = 0, session2 = 0;
    ASSERT_EQ(0,
              e.TableOpen(api.db, "contacts", false, "", 0, qbomReadOnly, qbsmShared, 0, cursor2, nullptr));
    ASSERT_EQ(0, e.SessionAdd(api.client, 0, session2));
    addClient(e);
    (void)second;
    clock->Now += 65000;
    TqbServerStatistics s{};
    ASSERT_EQ(0, e.GetServerStatistics(s));
    EXPECT_EQ(21000, s.Version);
    EXPECT_EQ("Started", s.StateText.Str());
    EXPECT_EQ(2, s.ClientCount);
    EXPECT_EQ(3, s.SessionCount);
    EXPECT_EQ(1, s.DatabaseCount);
    EXPECT_EQ(1, s.TableCount);
    EXPECT_EQ(2, s.CursorCount);
    EXPECT_EQ(10u, s.MaxRAM);
    EXPECT_EQ(65u, s.UpTimeSeconds);
    int32_t transports = 5;
    EXPECT_EQ(8712, e.GetCommandHandlerStatistics(-1, transports));
    EXPECT_EQ(8712, e.GetCommandHandlerStatistics(0, transports));
    TqbTransportStatistics t{};
    EXPECT_EQ(8712, e.GetTransportStatistics(0, 0, t));
    TqbGUID id1{}, id2{};
    EXPECT_EQ(0, e.GetServerID(id1));
    EXPECT_EQ(0, e.GetServerID(id2));
    EXPECT_EQ(0, std::memcmp(&id1, &id2, sizeof id1));
    EXPECT_EQ(0, e.GetNewGUID(id2));
    EXPECT_NE(0, std::memcmp(&id1, &id2, sizeof id1));
}

TEST(EngineTransactions, DatabaseExtendersHearTheTransactionAndMayRefuseItsCommit) {
    TqbOwned<ExtenderMonitor> monitor(new ExtenderMonitor());
    Api api(false);
    TqbServerEngine& e = *api.engine;
    e.AddMonitor(monitor.get());
    e.AddInterest(monitor.get(), typeid(TqbSrDatabase));
    api.startAndConnect();
    bool exists = true;
    ASSERT_EQ(0, e.TableExists(api.db, "nothing", exists));
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    monitor->Refuse = 39;
    EXPECT_EQ(7777, e.TransactionCommit(api.db));
    monitor->Refuse = 0;
    EXPECT_EQ(0, e.TransactionCommit(api.db)); // still there after the refusal
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    EXPECT_EQ(0, e.TransactionRollback(api.db));
    EXPECT_EQ((std::vector<int32_t>{11, 38, 39, 39, 40, 38, 42, 43}), monitor->Actions());
    e.RemoveMonitor(monitor.get());
}

TEST(EngineTransactions, ACommitThatFailsLeavesItsTablesToOtherClients) {
    plat::FaultyFiles faulty(plat::PosixFiles());
    plat::ScopedFiles scoped(faulty);
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle cursor = api.contacts();
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    ASSERT_EQ(0, insert(e, cursor, "Eve"));
    faulty.failAt(1, plat::FileOp::Write, EIO, true);
    EXPECT_NE(0, e.TransactionCommit(api.db));
    faulty.clearFault();
    e.TransactionRollback(api.db);

    const TqbHandle other = addClient(e);
    TqbHandle otherDb = 0, theirs = 0;
    ASSERT_EQ(0, e.DatabaseOpenPath(other, api.dir.str(), qbomReadOnly, qbsmShared, 0, otherDb));
    ASSERT_EQ(0,
              e.TableOpen(otherDb, "contacts", false, "", 0, qbomReadOnly, qbsmShared, 0, theirs, nullptr));
    TqbEvent done;
    TqbResultCode rc = -1;
    std::thread reader([&] {
        uint32_t n = 0;
        rc = e.CursorFrame(theirs, [&](TqbSrBaseCursor& c) { return c.TableGetRecordCount(n); });
        done.Signal();
    });
    if (done.TryWait(20000) != 0) {
        ADD_FAILURE() << "the table stayed held by the failed commit";
        reader.detach();
        return;
    }
    reader.join();
    EXPECT_EQ(0, rc);
}
