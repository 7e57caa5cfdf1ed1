// The remote engine end to end: its operations over a legacy transport and loopback TCP to a
// server engine behind the request decoder, as the dataset layer would use them; a client's handles
// kept through the table jobs it starts.
#include "db/remote/qbclreng.h"

#include "tests/db/remote/WireServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

namespace {

// The remote engine on a sending legacy transport to a served engine.
struct Remote {
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> e{new TQBRemoteServerEngine};

    explicit Remote(uint16_t port) {
        StartLoopbackClient(*t, port);
        e->SetTransport(t.get());
    }
};

TEST(RemoteEngineOverTCP, ContactsThroughTheEngineInterface) {
    WireServer srv;
    Remote r(srv.port());
    TQBRemoteServerEngine& e = *r.e;
    TqbHandle client = 0, session = 0, db = 0, cursor = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, e.ClientAdd(client, "remote", "remote", 5000, hash));
    ASSERT_EQ(0, e.SessionAdd(client, 5000, session));
    ASSERT_EQ(0, e.DatabaseOpenPath(client, srv.api.dir.str(), qbomReadWrite, qbsmShared, 5000, db));
    TqbDataDictionary built = engineapi::contactsDictionary();
    ASSERT_EQ(0, e.TableBuild(db, false, "contacts", false, built));
    bool exists = false;
    ASSERT_EQ(0, e.TableExists(db, "contacts", exists));
    EXPECT_TRUE(exists);
    cls::TMemoryStream opened;
    ASSERT_EQ(0, e.TableOpen(db, "contacts.QB2", false, "nameIndex", 0, qbomReadWrite, qbsmShared, 5000,
                             cursor, &opened));
    auto pc = e.Registry().Lease<TQBProxyCursor>(cursor, TqbHandleKind::Cursor);
    ASSERT_TRUE(pc);
    EXPECT_EQ("nameIndex", pc->IndexName());
    const TqbDataDictionary& dict = pc->Dictionary;
    const size_t len = size_t(dict.RecordLength());

    for (auto& c : {WireContact("Zoe", 1), WireContact("Adam", 2), WireContact("Mia", 3)})
        ASSERT_EQ(0, e.RecordInsert(cursor, qbltNone, engineapi::contactRecord(dict, c)));
    int32_t count = 0;
    ASSERT_EQ(0, e.TableGetRecordCount(cursor, count));
    EXPECT_EQ(3, count);

    // A walk in name order, keeping the second record's bookmark.
    ASSERT_EQ(0, e.CursorSetToBegin(cursor));
    uint32_t bmSize = 0;
    ASSERT_EQ(0, e.CursorGetBookmarkSize(cursor, bmSize));
    std::vector<uint8_t> rec(len), bookmark(bmSize);
    std::vector<std::string> names;
    while (e.RecordGetNext(cursor, qbltNone, rec) == 0) {
        names.push_back(engineapi::contactOf(dict, rec.data()).name);
        if (names.size() == 2) {
            ASSERT_EQ(0, e.CursorGetBookmark(cursor, bookmark));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Adam", "Mia", "Zoe"}), names);
    ASSERT_EQ(0, e.CursorSetToBookmark(cursor, bookmark));
    ASSERT_EQ(0, e.RecordGet(cursor, qbltNone, rec));
    EXPECT_EQ("Mia", engineapi::contactOf(dict, rec.data()).name);

    // A batch from the start on a clone; the clone has its own position.
    TqbHandle clone = 0;
    ASSERT_EQ(0, e.CursorClone(cursor, qbomReadOnly, clone));
    ASSERT_EQ(0, e.CursorSetToBegin(clone));
    std::vector<uint8_t> batch(len * 5);
    int32_t got = 0, err = 0;
    e.RecordGetBatch(clone, 5, int32_t(len), batch, got, err);
    ASSERT_EQ(3, got);
    EXPECT_EQ("Zoe", engineapi::contactOf(dict, batch.data() + 2 * len).name);
    // A count of 0 reads one record, as in-process; without room for it, a clear code.
    ASSERT_EQ(0, e.CursorSetToBegin(clone));
    for (const char* name : {"Adam", "Mia"}) {
        std::vector<uint8_t> one(len);
        ASSERT_EQ(0, e.RecordGetBatch(clone, 0, int32_t(len), one, got, err));
        EXPECT_EQ(1, got);
        EXPECT_EQ(0, err);
        EXPECT_EQ(name, engineapi::contactOf(dict, one.data()).name);
    }
    EXPECT_EQ(kResultInvalidParameter, e.RecordGetBatch(clone, 0, int32_t(len), {}, got, err));
    ASSERT_EQ(0, e.RecordGet(cursor, qbltNone, rec));
    EXPECT_EQ("Mia", engineapi::contactOf(dict, rec.data()).name);

    // Modify and delete through the first cursor.
    auto mia = engineapi::contactOf(dict, rec.data());
    mia.service = 9;
    ASSERT_EQ(0, e.RecordModify(cursor, engineapi::contactRecord(dict, mia), true));
    ASSERT_EQ(0, e.RecordGet(cursor, qbltNone, rec));
    EXPECT_EQ(9, engineapi::contactOf(dict, rec.data()).service);
    ASSERT_EQ(0, e.RecordDelete(cursor, rec));
    ASSERT_EQ(0, e.TableGetRecordCount(cursor, count));
    EXPECT_EQ(2, count);

    // Server information and lists.
    std::vector<TqbTableListRecord> tables;
    ASSERT_EQ(0, e.TableList(db, "*", tables));
    ASSERT_EQ(1u, tables.size());
    EXPECT_TRUE(CompareShStrNoCase(tables[0].TableName.View(), "contacts", 31) == 0);
    TqbServerStatistics stats{};
    ASSERT_EQ(0, e.GetServerStatistics(stats));
    EXPECT_EQ(1, stats.ClientCount);
    EXPECT_EQ(2, stats.CursorCount);

    // Closing everything, then the client: the server keeps nothing of it.
    ASSERT_EQ(0, e.CursorClose(clone));
    ASSERT_EQ(0, e.DatabaseClose(db));
    EXPECT_EQ(kResultInvalidHandle, e.RecordGet(cursor, qbltNone, rec));
    ASSERT_EQ(0, e.ClientRemove(client));
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.api.engine->Counts().Clients == 0; }, 20000));
}

// The server's rebuild IDs come from a counter of their own and take the numbers of sessions,
// databases and cursors: a client that starts many jobs keeps every handle it holds all the same.
TEST(RemoteEngineOverTCP, HandlesOutliveTheTableJobsTheClientStarts) {
    WireServer srv;
    Remote r(srv.port());
    TQBRemoteServerEngine& e = *r.e;
    TqbHandle client = 0, session = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, e.ClientAdd(client, "jobs", "jobs", 5000, hash));
    ASSERT_EQ(0, e.SessionAdd(client, 5000, session));
    // Two databases (the folder and one inside it), each with a contacts table and a cursor on it;
    // the jobs work on a table of their own, which no cursor holds.
    std::filesystem::create_directory(srv.api.dir.path() / "more");
    const std::string folders[2] = {srv.api.dir.str(), srv.api.dir.file("more")};
    const TqbDataDictionary dict = engineapi::contactsDictionary();
    TqbHandle dbs[2] = {}, cursors[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(0, e.DatabaseOpenPath(client, folders[i], qbomReadWrite, qbsmShared, 5000, dbs[i]));
        for (const char* table : {"contacts", "jobs"}) {
            TqbDataDictionary built = engineapi::contactsDictionary();
            ASSERT_EQ(0, e.TableBuild(dbs[i], false, table, false, built));
        }
        ASSERT_EQ(0, e.TableOpen(dbs[i], "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, 5000,
                                 cursors[i], nullptr));
        ASSERT_EQ(
            0, e.RecordInsert(cursors[i], qbltNone, engineapi::contactRecord(dict, WireContact("Ann", i))));
    }
    {
        TqbHandle jobs = 0;
        ASSERT_EQ(0,
                  e.TableOpen(dbs[0], "jobs", false, "", 0, qbomReadWrite, qbsmShared, 5000, jobs, nullptr));
        for (const char* name : {"Bo", "Cy", "Di"})
            ASSERT_EQ(0,
                      e.RecordInsert(jobs, qbltNone, engineapi::contactRecord(dict, WireContact(name, 1))));
        ASSERT_EQ(0, e.CursorClose(jobs));
    }

    // Every handle answers; a cursor still reads its table.
    auto handlesAnswer = [&](const std::string& after) {
        SCOPED_TRACE(after);
        EXPECT_EQ(0, e.SessionSetCurrent(client, session));
        for (int i = 0; i < 2; ++i) {
            bool exists = false;
            EXPECT_EQ(0, e.TableExists(dbs[i], "jobs", exists));
            EXPECT_TRUE(exists);
            int32_t count = -1;
            EXPECT_EQ(0, e.TableGetRecordCount(cursors[i], count));
            EXPECT_EQ(1, count);
        }
        return !::testing::Test::HasFailure();
    };
    // A job's status is read until it says finished (bounded); its result.
    auto finish = [&](TqbHandle job) -> TqbResultCode {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            bool present = false;
            TqbRebuildStatus status{};
            if (TqbResultCode rc = e.RebuildGetStatus(job, client, present, status)) return rc;
            if (!present) return -1;
            if (status.Finished) return status.ErrorCode;
            std::this_thread::yield();
        }
        return -2;
    };
    using Start = std::function<TqbResultCode(TqbHandle&)>;
    const std::pair<const char*, Start> kinds[] = {
        {"TablePack", [&](TqbHandle& id) { return e.TablePack(dbs[0], "jobs", id); }},
        {"TableReindex", [&](TqbHandle& id) { return e.TableReindex(dbs[0], "jobs", "nameIndex", 0, id); }},
        {"TableRestructure",
         [&](TqbHandle& id) {
             TqbDataDictionary same = engineapi::contactsDictionary();
             return e.TableRestructure(dbs[0], "jobs", same, nullptr, id);
         }},
        {"TableGetRecordCountAsync",
         [&](TqbHandle& id) { return e.TableGetRecordCountAsync(cursors[1], id); }},
    };
    ASSERT_TRUE(handlesAnswer("before any job"));
    std::set<TqbHandle> ids;
    for (const auto& [name, start] : kinds) {
        for (int n = 0; n < 50; ++n) {
            TqbHandle job = kNoRebuildID;
            ASSERT_EQ(0, start(job)) << name << " " << n;
            ids.insert(job);
            ASSERT_EQ(0, finish(job)) << name << " " << n;
            ASSERT_TRUE(handlesAnswer(std::string(name) + " " + std::to_string(n + 1)));
        }
    }
    // The jobs took the numbers the server gave the session, the databases and the cursors.
    std::vector<TqbHandle> serverIDs{
        e.Registry().Lease<TQBProxySession>(session, TqbHandleKind::Session)->SessionID};
    for (int i = 0; i < 2; ++i) {
        serverIDs.push_back(
            e.Registry().Lease<TQBProxyDatabase>(dbs[i], TqbHandleKind::Database)->DatabaseID);
        serverIDs.push_back(e.Registry().Lease<TQBProxyCursor>(cursors[i], TqbHandleKind::Cursor)->CursorID);
    }
    for (TqbHandle id : serverIDs)
        EXPECT_TRUE(ids.count(id)) << id;
    TqbHandle jobs = 0;
    ASSERT_EQ(0, e.TableOpen(dbs[0], "jobs", false, "", 0, qbomReadOnly, qbsmShared, 5000, jobs, nullptr));
    int32_t count = 0;
    ASSERT_EQ(0, e.TableGetRecordCount(jobs, count));
    EXPECT_EQ(3, count) << "the packed and rebuilt table keeps its records";
    ASSERT_EQ(0, e.ClientRemove(client));
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.api.engine->Counts().Clients == 0; }, 20000));
}

} // namespace
