// Tests of the engine's rebuild jobs: reindex, pack, restructure and the background record count,
// with their status records, failures, and a swap of files cut short at each step.
#include "classlib/DBFilter.h"
#include "db/engine/qbsrswap.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace {

using engineapi::Api;

// Records of about 4 KB (a job commits every 260 or so): a unique name, an auto-increment number,
// a BLOB, a city and padding.
TqbServerDataDict docsDictionary() {
    TqbServerDataDict d(4096);
    d.SetTableName("docs");
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("num", "", qbtAutoInc, 0, 0, false);
    d.AddField("body", "", qbtBLOB, 0, 0, false);
    d.AddField("city", "", qbtShortString, 20, 0, false);
    for (int i = 0; i < 15; ++i)
        d.AddField("pad" + std::to_string(i), "", qbtShortString, 250, 0, false);
    const int32_t name = 0, city = 3;
    d.AddIndex("byName", "", 0, 1, &name, nullptr, false, true, false);
    d.AddIndex("byCity", "", 0, 1, &city, nullptr, true, true, false);
    return d;
}

struct Doc {
    std::string name, city, body; // body empty: a null BLOB
    uint32_t num = 0;
    bool operator==(const Doc&) const = default;
};

std::string docName(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "d%04d", i);
    return b;
}

// A BLOB of a few hundred bytes to a few KB, none for every fifth document.
Doc docOf(int i) {
    Doc d{docName(i), "c" + std::to_string(i % 7), "", 0};
    if (i % 5 != 0)
        for (int k = 0; k < 100 + (i * 37) % 3000; ++k)
            d.body += char('a' + (i + k) % 26);
    return d;
}

void setString(const TqbDataDictionary& d, int f, uint8_t* r, const std::string& s) {
    std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
    v[0] = uint8_t(s.size());
    std::memcpy(v.data() + 1, s.data(), s.size());
    d.SetRecordField(f, r, v.data());
}

std::string getString(const TqbDataDictionary& d, int f, const uint8_t* r) {
    return std::string(reinterpret_cast<const char*>(r + d.FieldOffset(f) + 1), r[d.FieldOffset(f)]);
}

// The engine with the table "docs" holding the documents 0 to docs-1.
struct Jobs : Api {
    TqbServerDataDict dict = docsDictionary();
    explicit Jobs(int docs = 0) {
        build("docs", dict);
        insert("docs", 0, docs);
    }

    // ---- what a client does through the engine -----------------------------------------------
    TqbHandle open(const std::string& table, const std::string& index = "") {
        TqbHandle c = 0;
        EXPECT_EQ(
            0, engine->TableOpen(db, table, false, index, 0, qbomReadWrite, qbsmShared, 10000, c, nullptr));
        return c;
    }
    TqbResultCode reindex(const std::string& table, const std::string& index, TqbHandle& id) {
        return engine->TableReindex(db, table, index, 0, id);
    }
    TqbResultCode pack(const std::string& table, TqbHandle& id) { return engine->TablePack(db, table, id); }
    TqbResultCode restructure(const std::string& table, TqbDataDictionary& dict, const cls::TStringList* map,
                              TqbHandle& id) {
        return engine->TableRestructure(db, table, dict, map, id);
    }
    TqbResultCode count(TqbHandle cursor, TqbHandle& id) {
        return engine->TableGetRecordCountAsync(cursor, id);
    }
    bool status(TqbHandle id, TqbRebuildStatus& s, TqbHandle who = 0) {
        bool present = false;
        EXPECT_EQ(0, engine->RebuildGetStatus(id, who ? who : client, present, s));
        return present;
    }
    // The status of a job once it has ended.
    TqbRebuildStatus finished(TqbHandle id) {
        EXPECT_TRUE(engine->RebuildWaitIdle(120000)) << "the job never ended";
        TqbRebuildStatus s{};
        EXPECT_TRUE(status(id, s));
        EXPECT_EQ(s.Finished, 1);
        return s;
    }

    void close(TqbHandle c) { EXPECT_EQ(0, engine->CursorClose(c)); }
    void build(const std::string& table, TqbDataDictionary& d) {
        ASSERT_EQ(0, engine->TableBuild(db, false, table, false, d));
    }
    // Inserts the documents from..to-1 in one transaction.
    void insert(const std::string& table, int from, int to) {
        TqbHandle h = open(table);
        ASSERT_EQ(0, engine->TransactionStart(db, false));
        std::vector<uint8_t> r(size_t(dict.RecordLength()));
        for (int i = from; i < to; ++i) {
            const Doc doc = docOf(i);
            dict.InitRecord(r.data());
            setString(dict, 0, r.data(), doc.name);
            setString(dict, 3, r.data(), doc.city);
            for (int f = 4; f < dict.FieldCount(); ++f)
                setString(dict, f, r.data(), std::string(200, char('A' + f)));
            if (!doc.body.empty()) {
                uint64_t nr = 0;
                ASSERT_EQ(0, engine->BLOBCreate(h, nr));
                ASSERT_EQ(
                    0, engine->BLOBWrite(
                           h, nr, 0, {reinterpret_cast<const uint8_t*>(doc.body.data()), doc.body.size()}));
                uint8_t b[8];
                plat::StoreLE64(b, nr);
                dict.SetRecordField(2, r.data(), b);
            }
            ASSERT_EQ(0, engine->RecordInsert(h, qbltNone, r));
        }
        ASSERT_EQ(0, engine->TransactionCommit(db));
        close(h);
    }
    // Deletes the documents whose number i matches.
    void erase(const std::string& table, const std::function<bool(int)>& which) {
        TqbHandle h = open(table, "byName");
        ASSERT_EQ(0, engine->TransactionStart(db, false));
        std::vector<uint8_t> r(size_t(dict.RecordLength()));
        while (engine->RecordGetNext(h, qbltNone, r) == 0) {
            if (which(std::stoi(getString(dict, 0, r.data()).substr(1)))) {
                ASSERT_EQ(0, engine->RecordDelete(h, {}));
            }
        }
        ASSERT_EQ(0, engine->TransactionCommit(db));
        close(h);
    }
    // Every document of the table in name order, BLOB contents read back.
    std::vector<Doc> docs(const std::string& table) {
        std::vector<Doc> out;
        TqbHandle h = open(table, "byName");
        std::vector<uint8_t> r(size_t(dict.RecordLength()));
        while (engine->RecordGetNext(h, qbltNone, r) == 0) {
            Doc doc{getString(dict, 0, r.data()), getString(dict, 3, r.data()), "",
                    plat::LoadLE32(r.data() + dict.FieldOffset(1))};
            if (!dict.IsRecordFieldNull(2, r.data()))
                doc.body = blob(h, plat::LoadLE64(r.data() + dict.FieldOffset(2)));
            out.push_back(doc);
        }
        close(h);
        return out;
    }
    std::string blob(TqbHandle h, uint64_t nr) {
        std::string body(8192, '\0');
        uint32_t got = 0;
        EXPECT_EQ(0, engine->BLOBRead(h, nr, 0, {reinterpret_cast<uint8_t*>(body.data()), body.size()}, got));
        return body.substr(0, got);
    }
    // Empty when every index of the table matches its records and the verifier finds nothing.
    std::string consistency(const std::string& table) {
        TqbHandle h = open(table);
        auto c = engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
        if (!c) return "not open";
        std::string problems = enginetest::checkConsistent(*dynamic_cast<TqbSrTable*>(c->Table()), nullptr);
        close(h);
        return problems;
    }
    uint32_t autoInc(const std::string& table) {
        TqbHandle h = open(table);
        uint32_t v = 0;
        EXPECT_EQ(0, engine->TableGetAutoInc(h, v));
        close(h);
        return v;
    }
    bool exists(const std::string& file) { return plat::FileExists(plat::JoinPath(dir.str(), file)); }
    bool logged(const std::string& part) {
        for (auto& l : log->Lines())
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    // The documents with the numbers from..to-1 that pass keep, as docs() reads them.
    static std::vector<Doc> expected(int from, int to, const std::function<bool(int)>& keep) {
        std::vector<Doc> out;
        for (int i = from; i < to; ++i)
            if (keep(i)) {
                Doc d = docOf(i);
                d.num = uint32_t(i - from + 1);
                out.push_back(d);
            }
        return out;
    }
};

// Clears one index behind the engine's back, so that it no longer matches the records.
void clearIndex(Jobs& j, const std::string& table, int32_t index) {
    TqbHandle h = j.open(table);
    auto c = j.engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
    auto* t = dynamic_cast<TqbSrTable*>(c->Table());
    TqbSrDatabase& database = c->Database();
    bool started = false;
    ASSERT_EQ(0, database.BeginImplicit(started));
    IndexClear(t->IndexData(index), database.Transaction());
    ASSERT_EQ(0, database.EndImplicit(started, true));
    j.close(h);
}

TEST(RebuildJobs, ReindexRebuildsAnIndexThatMatchesTheRecordsAndItsStatusIsReadOnce) {
    Jobs j(700);
    clearIndex(j, "docs", 2);
    ASSERT_NE(j.consistency("docs"), "") << "the damaged index is seen";

    // The client's extenders hear each commit that keeps the job going: one after the index was
    // emptied, then one per megabyte of records read.
    struct Commits : TqbSrObjectExtender {
        std::atomic<int> before{0}, after{0};
        int32_t Notify(TqbServerObject&, int32_t Action) override {
            if (Action == 39) ++before;
            if (Action == 40) ++after;
            return 0;
        }
    };
    auto commits = std::make_unique<Commits>();
    Commits& heard = *commits;
    j.engine->Registry()
        .LeaseAs<TqbSrClient>(j.client, TqbHandleKind::Client)
        ->Extenders()
        .Add(std::move(commits));

    TqbHandle id = 0;
    ASSERT_EQ(0, j.reindex("docs", "byCity", id));
    EXPECT_NE(id, 0u);
    // Another client neither sees the job's status nor uses it up.
    TqbHandle other = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, j.engine->ClientAdd(other, "other", "", 10000, hash));
    ASSERT_TRUE(j.engine->RebuildWaitIdle(120000));
    TqbRebuildStatus s{};
    bool present = true;
    EXPECT_FALSE(j.status(id, s, other));
    s = j.finished(id);
    const int perCommit = 1048576 / j.dict.RecordLength();
    ASSERT_LT(perCommit, 350) << "the records are large enough for commits on the way";
    EXPECT_EQ(heard.before.load(), 1 + 700 / perCommit);
    EXPECT_EQ(heard.after.load(), heard.before.load());
    EXPECT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(s.TotalRecords, 700);
    EXPECT_EQ(s.RecordsRead, 700);
    EXPECT_EQ(s.RecordsWritten, 700);
    EXPECT_EQ(s.PercentDone, 100);
    EXPECT_FALSE(j.status(id, s)) << "a finished status is read once";
    EXPECT_EQ(j.engine->RebuildGetStatus(id, 0x7777, present, s), 15504);
    EXPECT_EQ(j.consistency("docs"), "");
    EXPECT_EQ(j.docs("docs"), Jobs::expected(0, 700, [](int) { return true; }));

    // The table is held exclusively by the job: a reindex of a table open elsewhere fails before
    // any thread, and leaves no status.
    TqbHandle held = j.open("docs");
    ASSERT_EQ(0, j.engine->DatabaseSetTimeout(j.db, 300));
    TqbHandle none = 0;
    EXPECT_NE(0, j.reindex("docs", "byCity", none));
    EXPECT_EQ(none, TqbHandle(-1));
    EXPECT_EQ(j.engine->RebuildStatusList().Count(), 0);
    j.close(held);
}

TEST(RebuildJobs, AFailedCommitEndsTheJobWithItsCodeLoggedAndLosesNothing) {
    Jobs j(300);
    plat::FaultyFiles faulty(plat::PosixFiles());
    TqbHandle id = 0;
    {
        plat::ScopedFiles scoped(faulty);
        // Every sync from the job's first commit on fails (it emptied the index of its copy).
        j.engine->OnRebuildSwapStep = [&](const char* step) {
            if (std::string(step) == "copied") faulty.failAt(1, plat::FileOp::Sync, EIO, true);
        };
        ASSERT_EQ(0, j.reindex("docs", "byCity", id));
        TqbRebuildStatus s = j.finished(id);
        EXPECT_EQ(s.ErrorCode, 9218);
        EXPECT_TRUE(faulty.faultFired());
        faulty.clearFault();
    }
    EXPECT_TRUE(j.logged("Reindex job of table docs failed (9218)"));
    j.engine->OnRebuildSwapStep = nullptr;
    EXPECT_EQ(j.consistency("docs"), "") << "the table keeps its old index";
    EXPECT_EQ(j.docs("docs").size(), 300u);
}

namespace {

// Builds "people" from D with the user-defined index "custom" added (the test library's reversed
// code order, with no key for a negative code); its number.
int32_t buildWithUserIndex(Jobs& j, TqbServerDataDict& d) {
    std::filesystem::copy_file(PW_TEST_USERKEYS, j.dir.file("cfg/userkeys.so"));
    const int32_t custom = d.AddUserIndex("custom", "", 0, 4, true, true, false);
    EXPECT_EQ(0, j.engine->Configuration().AddKeyProc(j.dir.str(), "people", custom, "userkeys.so",
                                                      "BuildReversedCode", "CompareReversedCode"));
    j.build("people", d);
    return custom;
}

} // namespace

// A user-defined index of a table with two files is rebuilt in the job's copy of both files with
// the table's own routines, which the copy borrows for the job's length only.
TEST(RebuildJobs, AReindexOfAUserDefinedIndexUsesTheTablesRoutinesInItsCopy) {
    Jobs j;
    TqbServerDataDict d = enginetest::peopleDictionary(1, true);
    const int32_t custom = buildWithUserIndex(j, d);
    TqbHandle h = j.open("people");
    for (int32_t code : {5, -1, 9, 2, 7})
        ASSERT_EQ(0, j.engine->RecordInsert(
                         h, qbltNone, enginetest::record(d, {"p" + std::to_string(code), "c", code, 0})));
    j.close(h);
    clearIndex(j, "people", custom);
    ASSERT_NE(j.consistency("people"), "");

    TqbHandle id = 0;
    ASSERT_EQ(0, j.engine->TableReindex(j.db, "people", "custom", 0, id));
    TqbRebuildStatus s = j.finished(id);
    EXPECT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(s.RecordsRead, 5);
    EXPECT_EQ(s.RecordsWritten, 4) << "the routine makes no key for a negative code";
    EXPECT_EQ(j.consistency("people"), "");
    // The routine's order: high to low.
    h = j.open("people", "custom");
    std::vector<int32_t> codes;
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    while (j.engine->RecordGetNext(h, qbltNone, r) == 0)
        codes.push_back(int32_t(plat::LoadLE32(r.data() + d.FieldOffset(2))));
    j.close(h);
    EXPECT_EQ(codes, (std::vector<int32_t>{9, 7, 5, 2}));
    EXPECT_EQ(j.engine->Configuration().KeyProcList().Count(), 1) << "the copy's routines went with it";
    for (const char* f : {"_RIDX1.QB2", "_RIDX1.QBX", "_RIDXSV1.QB2", "_RIDXSV1.QBX", "people.SWAP"})
        EXPECT_FALSE(j.exists(f)) << f;
}

TEST(RebuildJobs, PackKeepsRecordsBLOBsAndTheAutoIncrementValueAndTakesTheNextFreeName) {
    Jobs j(600);
    j.build("_PACK1", j.dict); // a table that happens to have the first name
    j.insert("_PACK1", 0, 3);
    // The last numbers go too: the counter must not hand them out again.
    auto gone = [](int i) { return i % 3 == 1 || i >= 590; };
    j.erase("docs", gone);
    ASSERT_EQ(j.autoInc("docs"), 600u);

    std::vector<std::string> seen;
    j.engine->OnRebuildSwapStep = [&](const char* step) {
        if (std::string(step) == "commit") {
            seen.push_back(std::string("_PACK2 ") + (j.exists("_PACK2.QB2") ? "there" : "missing"));
            seen.push_back(std::string("saved as _PACKSV1 ") +
                           (j.exists("_PACKSV1.QB2") ? "yes" : "not yet"));
        }
    };
    TqbHandle id = 0;
    ASSERT_EQ(0, j.pack("docs", id));
    TqbRebuildStatus s = j.finished(id);
    EXPECT_EQ(s.ErrorCode, 0);
    std::vector<Doc> want = Jobs::expected(0, 600, [&](int i) { return !gone(i); });
    EXPECT_EQ(s.RecordsRead, int32_t(want.size()));
    EXPECT_EQ(s.RecordsWritten, int32_t(want.size()));
    EXPECT_EQ(seen, (std::vector<std::string>{"_PACK2 there", "saved as _PACKSV1 not yet"}));

    for (auto& w : want)
        w.num = uint32_t(std::stoi(w.name.substr(1)) + 1);
    EXPECT_EQ(j.docs("docs"), want);
    EXPECT_EQ(j.autoInc("docs"), 600u);
    EXPECT_EQ(j.consistency("docs"), "");
    EXPECT_EQ(j.docs("_PACK1").size(), 3u) << "the other table is untouched";
    for (const char* f : {"_PACK2.QB2", "_PACKSV1.QB2", "docs.SWAP"})
        EXPECT_FALSE(j.exists(f)) << f;
}

// BLOBs are copied in pieces of 1 MB: each size around a piece's end comes back whole.
TEST(RebuildJobs, APackCopiesBLOBsOfEverySizeAroundItsCopyPiece) {
    Jobs j;
    const std::vector<uint32_t> sizes{0, 1, 1048575, 1048576, 1048577, 2097152, 2621440};
    auto content = [](size_t n, uint32_t seed) {
        std::string b(n, '\0');
        for (size_t k = 0; k < n; ++k)
            b[k] = char((k * 131 + seed) % 251);
        return b;
    };
    TqbHandle h = j.open("docs");
    std::vector<uint8_t> r(size_t(j.dict.RecordLength()));
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        j.dict.InitRecord(r.data());
        setString(j.dict, 0, r.data(), docName(int(i)));
        uint64_t nr = 0;
        ASSERT_EQ(0, j.engine->BLOBCreate(h, nr));
        const std::string b = content(sizes[i], i);
        if (!b.empty()) {
            ASSERT_EQ(0, j.engine->BLOBWrite(h, nr, 0, {reinterpret_cast<const uint8_t*>(b.data()), b.size()}));
        }
        uint8_t ref[8];
        plat::StoreLE64(ref, nr);
        j.dict.SetRecordField(2, r.data(), ref);
        ASSERT_EQ(0, j.engine->RecordInsert(h, qbltNone, r));
    }
    j.close(h);
    TqbHandle id = 0;
    ASSERT_EQ(0, j.pack("docs", id));
    EXPECT_EQ(j.finished(id).ErrorCode, 0);
    h = j.open("docs", "byName");
    std::string back(sizes.back() + 4096, '\0');
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        ASSERT_EQ(0, j.engine->RecordGetNext(h, qbltNone, r));
        uint32_t got = 0;
        ASSERT_EQ(0, j.engine->BLOBRead(h, plat::LoadLE64(r.data() + j.dict.FieldOffset(2)), 0,
                                        {reinterpret_cast<uint8_t*>(back.data()), back.size()}, got));
        EXPECT_EQ(got, sizes[i]);
        EXPECT_TRUE(back.substr(0, got) == content(sizes[i], i)) << "size " << sizes[i];
    }
    j.close(h);
}

// With the least memory the engine allows, the packed table's keys come in several batches: every
// index of the copy (a second file, case-blind duplicates, a unique code, a composite key, and a
// user-defined index that has no key for some records) holds the records in the order it held
// them before, and nothing else.
TEST(RebuildJobs, APackWhoseKeysOutgrowItsMemoryAddsThemInBatchesAndEveryIndexMatches) {
    Jobs j;
    TqbServerDataDict d = enginetest::peopleDictionary(4, true);
    buildWithUserIndex(j, d);
    // About 100 key bytes a record against 1 MB held at a time: three batches.
    constexpr int kPeople = 25000;
    TqbHandle h = j.open("people");
    ASSERT_EQ(0, j.engine->TransactionStart(j.db, false));
    for (int i = 0; i < kPeople; ++i) {
        std::string name = "n" + std::to_string(i * 7919 % 5000);
        if (i % 2) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        const int32_t code = i % 10 == 0 ? -(i + 1) : int32_t(int64_t(i) * 48271 % 1000003);
        ASSERT_EQ(0, j.engine->RecordInsert(
                         h, qbltNone, enginetest::record(d, {name, "c" + std::to_string(i % 13), code, i})));
    }
    ASSERT_EQ(0, j.engine->TransactionCommit(j.db));
    j.close(h);
    h = j.open("people");
    ASSERT_EQ(0, j.engine->TransactionStart(j.db, false));
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    int kept = 0;
    while (j.engine->RecordGetNext(h, qbltNone, r) == 0) {
        if (enginetest::person(d, r.data()).num % 7 == 0)
            ASSERT_EQ(0, j.engine->RecordDelete(h, {}));
        else
            ++kept;
    }
    ASSERT_EQ(0, j.engine->TransactionCommit(j.db));
    j.close(h);

    auto walk = [&](const std::string& index) {
        std::vector<enginetest::Person> out;
        TqbHandle c = j.open("people", index);
        std::vector<uint8_t> rec(size_t(d.RecordLength()));
        while (j.engine->RecordGetNext(c, qbltNone, rec) == 0)
            out.push_back(enginetest::person(d, rec.data()));
        j.close(c);
        return out;
    };
    const std::vector<std::string> indexes{"byName", "byCity", "byCode", "byNameNum", "custom"};
    std::map<std::string, std::vector<enginetest::Person>> before;
    for (const std::string& i : indexes)
        before[i] = walk(i);
    ASSERT_EQ(before["byCode"].size(), size_t(kept));
    ASSERT_LT(before["custom"].size(), size_t(kept)) << "negative codes have no key there";

    j.engine->BufferManager().SetMaxRAM(1);
    TqbHandle id = 0;
    ASSERT_EQ(0, j.pack("people", id));
    TqbRebuildStatus s = j.finished(id);
    EXPECT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(s.RecordsRead, kept);
    EXPECT_EQ(s.RecordsWritten, kept);
    EXPECT_EQ(j.consistency("people"), "");
    for (const std::string& i : indexes)
        EXPECT_TRUE(walk(i) == before[i]) << i;
    // A key search and a refused duplicate work on the new index.
    h = j.open("people", "byCode");
    EXPECT_EQ(j.engine->RecordInsert(h, qbltNone, enginetest::record(d, before["byCode"][5])), 9729);
    j.close(h);
}

TEST(RebuildJobs, RestructureMovesDataThroughTheFieldMapAndRefusesBadRequestsBeforeAnyThread) {
    Jobs j(40);

    // fullname <- name, num <- num (same name), notes (a BLOB) <- city, text <- body.
    TqbServerDataDict n(4096);
    n.AddField("fullname", "", qbtShortString, 30, 0, true);
    n.AddField("num", "", qbtWord32, 0, 0, false);
    n.AddField("notes", "", qbtBLOB, 0, 0, false);
    n.AddField("text", "", qbtBLOB, 0, 0, false);
    const int32_t full = 0;
    n.AddIndex("byFull", "", 0, 1, &full, nullptr, false, true, false);
    cls::TStringList map;
    map.Add("fullname=name");
    map.Add("num");
    map.Add("notes=city");
    map.Add("text=body");

    // Refused before any thread, leaving nothing: a name missing from the old table, an
    // incompatible pair, a new user-defined index over records.
    const auto leavesNothing = [&](const char* what) {
        EXPECT_EQ(j.engine->RebuildStatusList().Count(), 0) << what;
        EXPECT_FALSE(j.exists("_REST1.QB2")) << what;
        EXPECT_FALSE(j.exists("docs.SWAP")) << what;
        EXPECT_EQ(j.engine->Configuration().KeyProcList().Count(), 0) << what;
    };
    TqbHandle id = 0;
    cls::TStringList badName;
    badName.Add("fullname=nosuch");
    EXPECT_EQ(j.restructure("docs", n, &badName, id), 10038);
    leavesNothing("unknown field");
    cls::TStringList badPair;
    badPair.Add("num=body");
    EXPECT_EQ(j.restructure("docs", n, &badPair, id), 10019);
    leavesNothing("incompatible pair");
    TqbServerDataDict u(4096);
    u.Assign(&n);
    u.AddUserIndex("custom", "", 0, 8, true, true, false);
    EXPECT_EQ(j.restructure("docs", u, &map, id), 10012);
    leavesNothing("user-defined index");
    EXPECT_EQ(id, TqbHandle(-1));

    ASSERT_EQ(0, j.restructure("docs", n, &map, id));
    TqbRebuildStatus s = j.finished(id);
    ASSERT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(s.RecordsWritten, 40);

    TqbHandle h = j.open("docs", "byFull");
    cls::TMemoryStream stream;
    ASSERT_EQ(0, j.engine->TableGetDictionary(j.db, "docs", stream));
    TqbServerDataDict nd(4096);
    nd.ReadFromStream(
        std::string_view(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size())));
    ASSERT_EQ(nd.FieldCount(), 4);
    std::vector<uint8_t> r(size_t(nd.RecordLength()));
    auto blob = [&](int f) {
        return nd.IsRecordFieldNull(f, r.data()) ? "<null>"
                                                 : j.blob(h, plat::LoadLE64(r.data() + nd.FieldOffset(f)));
    };
    int i = 0;
    while (j.engine->RecordGetNext(h, qbltNone, r) == 0) {
        const Doc want = docOf(i);
        EXPECT_EQ(getString(nd, 0, r.data()), want.name);
        EXPECT_EQ(plat::LoadLE32(r.data() + nd.FieldOffset(1)), uint32_t(i + 1));
        EXPECT_EQ(blob(2), want.city);
        EXPECT_EQ(blob(3), want.body.empty() ? "<null>" : want.body);
        ++i;
    }
    EXPECT_EQ(i, 40);
    j.close(h);
    EXPECT_EQ(j.consistency("docs"), "");
}

// A filter expression over the docs table.
std::vector<uint8_t> docsFilter(const std::string& text) {
    const std::vector<cls::TFilterField> fields = {{"name", 1, cls::ftString}, {"num", 2, cls::ftInteger}};
    return cls::BuildFilterExpression(text, 0, fields);
}

TEST(RebuildJobs, ABackgroundCountReadsTheRangeAndCountsWhatPassesTheFilter) {
    Jobs j(300);
    TqbHandle h = j.open("docs", "byName");
    std::vector<uint8_t> from(size_t(j.dict.RecordLength())), to(size_t(j.dict.RecordLength()));
    setString(j.dict, 0, from.data(), docName(20));
    setString(j.dict, 0, to.data(), docName(219));
    ASSERT_EQ(0, j.engine->CursorSetRange(h, false, 1, 0, from, true, 1, 0, to, false));
    ASSERT_EQ(0, j.engine->CursorSetFilter(h, docsFilter("num < 0"), 0));

    TqbHandle id = 0;
    ASSERT_EQ(0, j.count(h, id));
    TqbRebuildStatus s = j.finished(id);
    EXPECT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(s.TotalRecords, 300);
    EXPECT_EQ(s.RecordsRead, 199);
    EXPECT_EQ(s.RecordsWritten, 0);

    // Without range and filter both counts are the table's.
    ASSERT_EQ(0, j.engine->CursorResetRange(h));
    ASSERT_EQ(0, j.engine->CursorSetFilter(h, {}, 0));
    ASSERT_EQ(0, j.count(h, id));
    s = j.finished(id);
    EXPECT_EQ(s.RecordsRead, 300);
    EXPECT_EQ(s.RecordsWritten, 300);
    j.close(h);
}

// Holds a job's thread at its first status update until the test lets it go.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool reached = false, open = false;
    std::atomic<int> calls{0};
    // Also lets the job go when its engine asks its jobs to stop.
    TqbServerEngine* engine = nullptr;
    void arrive() {
        ++calls;
        std::unique_lock lk(m);
        reached = true;
        cv.notify_all();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!open && !engine->RebuildStopRequested() && std::chrono::steady_clock::now() < end)
            cv.wait_for(lk, std::chrono::milliseconds(1));
    }
    bool waitReached() {
        std::unique_lock lk(m);
        return cv.wait_for(lk, std::chrono::seconds(30), [&] { return reached; });
    }
    void release() {
        {
            std::lock_guard lk(m);
            open = true;
        }
        cv.notify_all();
    }
};

// A count over 400 documents with a filter (so that it walks them), held at its first update.
TqbHandle heldCount(Jobs& j, Gate& gate) {
    TqbHandle h = j.open("docs", "byName");
    auto some = docsFilter("num > 100");
    EXPECT_EQ(0, j.engine->CursorSetFilter(h, some, 0));
    gate.engine = j.engine.get();
    j.engine->OnRebuildProgress = [&gate](TqbHandle, int32_t) { gate.arrive(); };
    TqbHandle id = 0;
    EXPECT_EQ(0, j.count(h, id));
    EXPECT_TRUE(gate.waitReached());
    return id;
}

TEST(RebuildJobs, AClientRemovedWhileItsCountRunsFreesNothingTheJobUses) {
    Jobs j(400);
    Gate gate;
    const TqbHandle id = heldCount(j, gate);
    EXPECT_EQ(0, j.engine->ClientRemove(j.client));
    gate.release();
    EXPECT_TRUE(j.engine->RebuildWaitIdle(60000));
    j.engine->OnRebuildProgress = nullptr;
    // The job ended, its status went with its client, and the table was let go with it.
    TqbRebuildStatus s{};
    bool present = true;
    EXPECT_EQ(15504, j.engine->RebuildGetStatus(id, j.client, present, s));
    EXPECT_FALSE(present);
    EXPECT_EQ(j.engine->RebuildStatusList().Count(), 0);
    EXPECT_EQ(j.engine->Counts().Tables, 0);
}

TEST(RebuildJobs, AnEngineGoesOnlyOnceItsJobsHaveEnded) {
    auto j = std::make_unique<Jobs>(400);
    Gate gate;
    heldCount(*j, gate);
    j.reset(); // while the job waits: it is asked to stop, and ends before anything it uses goes
    EXPECT_EQ(gate.calls.load(), 1);
}

TEST(RebuildJobs, APackSwapsItsFilesWithNoOneElseInThem) {
    Jobs j(60);
    const std::vector<Doc> before = j.docs("docs");
    TqbHandle other = 0, otherDb = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, j.engine->ClientAdd(other, "other", "", 10000, hash));
    ASSERT_EQ(0, j.engine->DatabaseOpenPath(other, j.dir.str(), qbomReadWrite, qbsmShared, 300, otherDb));

    // Another client's open amid the swap waits for the job's exclusive lock (here in vain).
    TqbResultCode openAmid = -1;
    j.engine->OnRebuildSwapStep = [&](const char* step) {
        if (std::string(step) != "commit") return;
        TqbHandle c = 0;
        openAmid =
            j.engine->TableOpen(otherDb, "docs", false, "", 0, qbomReadWrite, qbsmShared, 300, c, nullptr);
    };
    TqbHandle id = 0;
    ASSERT_EQ(0, j.pack("docs", id));
    EXPECT_EQ(j.finished(id).ErrorCode, 0);
    EXPECT_NE(openAmid, 0);
    EXPECT_NE(openAmid, -1);

    // A file of the table opened elsewhere when the swap begins: the pack is refused, nothing moves.
    plat::File elsewhere;
    j.engine->OnRebuildSwapStep = [&](const char* step) {
        if (std::string(step) == "closed") {
            ASSERT_EQ(0, elsewhere.open(plat::JoinPath(j.dir.str(), "docs.QB2"), plat::kFileRead,
                                        plat::FileShare::Read));
        }
    };
    ASSERT_EQ(0, j.pack("docs", id));
    EXPECT_EQ(j.finished(id).ErrorCode, 10031);
    j.engine->OnRebuildSwapStep = nullptr;
    elsewhere.close();
    EXPECT_EQ(j.docs("docs"), before);
    EXPECT_EQ(j.consistency("docs"), "");
    for (const char* f : {"docs.SWAP", "_PACK1.QB2", "_PACKSV1.QB2"})
        EXPECT_FALSE(j.exists(f)) << f;
}

// A swap cut short after each of its renames (the rename after it and every later one fail, as
// if the process had stopped there) is settled at the next open: the table is whole.
TEST(RebuildJobs, APackSwapCutShortAtEachRenameIsSettledAtTheNextOpen) {
    for (int cut = 1; cut <= 3; ++cut) {
        SCOPED_TRACE("renames before the cut: " + std::to_string(cut - 1));
        Jobs j(80);
        j.erase("docs", [](int i) { return i % 2 == 0; });
        const std::vector<Doc> before = j.docs("docs");
        ASSERT_EQ(before.size(), 40u);

        plat::FaultyFiles faulty(plat::PosixFiles());
        j.engine->OnRebuildSwapStep = [&](const char* step) {
            if (std::string(step) == "claimed") faulty.failAt(uint64_t(cut), plat::FileOp::Rename, EIO, true);
        };
        TqbHandle id = 0;
        {
            plat::ScopedFiles scoped(faulty);
            ASSERT_EQ(0, j.pack("docs", id));
            TqbRebuildStatus s = j.finished(id);
            EXPECT_NE(s.ErrorCode, 0) << "the job saw its rename fail";
            EXPECT_TRUE(faulty.faultFired());
            faulty.clearFault();
        }
        j.engine->OnRebuildSwapStep = nullptr;
        EXPECT_TRUE(j.logged("Pack job of table docs failed"));
        const std::vector<Doc> after = j.docs("docs");
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i) {
            EXPECT_EQ(after[i].name, before[i].name);
            EXPECT_EQ(after[i].body, before[i].body);
        }
        EXPECT_EQ(j.consistency("docs"), "");
        EXPECT_TRUE(j.logged("Interrupted file swap of table docs"));
        for (const char* f : {"docs.SWAP", "_PACK1.QB2", "_PACKSV1.QB2"})
            EXPECT_FALSE(j.exists(f)) << f;
    }
}

// Three clients each pack only their own table of the one folder, round after round: the jobs
// never take each other's temporary names, so none fails and no table is mixed or loses a row.
TEST(RebuildJobs, PacksOfDifferentTablesOfOneFolderNeverShareATemporaryName) {
    constexpr int kTables = 3, kRounds = 25, kDocs = 30;
    Jobs j;
    std::vector<std::vector<Doc>> want(kTables);
    for (int t = 0; t < kTables; ++t) {
        const std::string name = "tab" + std::to_string(t);
        j.build(name, j.dict);
        j.insert(name, t * 100, t * 100 + kDocs);
        want[size_t(t)] = j.docs(name);
        ASSERT_EQ(want[size_t(t)].size(), size_t(kDocs));
    }
    std::vector<std::string> failures(kTables);
    std::vector<std::thread> threads;
    for (int t = 0; t < kTables; ++t)
        threads.emplace_back([&, t] {
            std::string& failed = failures[size_t(t)];
            const std::string table = "tab" + std::to_string(t);
            TqbHandle client = 0, session = 0, db = 0;
            uint32_t hash = 0;
            if (j.engine->ClientAdd(client, "packer" + std::to_string(t), "", 10000, hash) ||
                j.engine->SessionAdd(client, 10000, session) ||
                j.engine->DatabaseOpenPath(client, j.dir.str(), qbomReadWrite, qbsmShared, 10000, db)) {
                failed = "no client";
                return;
            }
            for (int round = 0; round < kRounds && failed.empty(); ++round) {
                TqbHandle id = 0;
                if (TqbResultCode rc = j.engine->TablePack(db, table, id)) {
                    failed = "round " + std::to_string(round) + ": start " + std::to_string(rc);
                    break;
                }
                // The job's own status, polled to its end within a bound.
                TqbRebuildStatus s{};
                bool lost = false;
                const bool ended = pwtest::waitUntil(
                    [&] {
                        bool present = false;
                        lost = j.engine->RebuildGetStatus(id, client, present, s) != 0 || !present;
                        return lost || s.Finished;
                    },
                    120000);
                if (lost)
                    failed = "round " + std::to_string(round) + ": status lost";
                else if (!ended)
                    failed = "round " + std::to_string(round) + ": the job never ended";
                if (failed.empty() && s.ErrorCode != 0)
                    failed = "round " + std::to_string(round) + ": job failed " + std::to_string(s.ErrorCode);
            }
            j.engine->ClientRemove(client);
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kTables; ++t) {
        const std::string name = "tab" + std::to_string(t);
        EXPECT_EQ(failures[size_t(t)], "") << name;
        EXPECT_EQ(j.docs(name), want[size_t(t)]) << name;
        EXPECT_EQ(j.consistency(name), "") << name;
    }
    std::vector<plat::DirEntry> entries;
    ASSERT_EQ(plat::DirList(j.dir.str(), entries), 0);
    for (auto& e : entries)
        EXPECT_TRUE(e.name.rfind("_PACK", 0) != 0 && e.name.find(".SWAP") == std::string::npos) << e.name;
}

} // namespace
