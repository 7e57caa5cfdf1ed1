// The simple cursor on temporary and disk tables: record order, ends, bookmarks (and damaged
// ones), deletes, refused key and range operations, table creation rules; and the merge sort's
// run tables, which go with the sort whatever happens.
#include "tests/db/engine/BulkTestSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include "classlib/DBFilter.h"
#include "platform/Messages.h"
#include "platform/testing/FaultyFiles.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace bulktest;
using dbtest::raised;

constexpr uint8_t kTemp = kFileNoDiskFile | kFileNoContentLocking;

std::shared_ptr<TqbSrSimpleCursor> tempTable(Db& e, const TqbDataDictionary& d) {
    auto c = e.cursor();
    EXPECT_EQ(c->TableCreate("", d, true, qbsmExclusive, false, true, kTemp, 1048576), 0);
    c->TakeTableOwnership();
    return c;
}

TEST(SimpleCursor, RecordOrderEndsBookmarksAndDeletes) {
    Db e;
    const TqbServerDataDict d = rowDictionary();
    const int tablesBefore = e.host.Tables().Count();
    auto c = tempTable(e, d);
    EXPECT_EQ(c->Table()->GetName(), std::to_string(c->CursorID())) << "a nameless temporary table";
    EXPECT_EQ(c->Table()->GetDictionary().BlockSize(), 65536u);
    EXPECT_EQ(e.host.Tables().Count(), tablesBefore + 1);

    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    EXPECT_EQ(c->RecordGetNext(rec.data(), lmNone), 8706) << "empty table";
    EXPECT_EQ(c->Position().State, csEOF);
    EXPECT_EQ(c->RecordGetNext(rec.data(), lmNone), 8706);
    EXPECT_EQ(c->RecordGetPrior(rec.data(), lmNone), 8705);
    EXPECT_EQ(c->Position().State, csBOF);

    auto rows = randomRows(3000, 5); // several 64 KB blocks
    insertRows(*c, rows);
    EXPECT_EQ(ids(walk(*c)), ids(rows)) << "insert order is record order";
    uint32_t count = 0;
    EXPECT_EQ(c->TableGetRecordCount(count), 0);
    EXPECT_EQ(count, 3000u);
    // Backwards from the end.
    ASSERT_EQ(c->SetToEnd(), 0);
    std::vector<uint32_t> back;
    while (c->RecordGetPrior(rec.data(), lmNone) == 0)
        back.push_back(row(d, rec.data()).id);
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, ids(rows));

    // A bookmark on record 1234 brings the cursor back there from anywhere.
    ASSERT_EQ(c->SetToBegin(), 0);
    for (int i = 0; i <= 1234; ++i)
        ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    ASSERT_EQ(c->GetBookmarkSize(), 24u);
    std::vector<uint8_t> onRecord(24), atEnd(24), atStart(24);
    ASSERT_EQ(c->GetBookmark(onRecord.data()), 0);
    ASSERT_EQ(c->SetToEnd(), 0);
    ASSERT_EQ(c->GetBookmark(atEnd.data()), 0);
    ASSERT_EQ(c->SetToBegin(), 0);
    ASSERT_EQ(c->GetBookmark(atStart.data()), 0);
    ASSERT_EQ(c->SetToBookmark(onRecord.data(), 24), 0);
    ASSERT_EQ(c->RecordGet(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 1234u);
    ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 1235u);
    // The ends come back without a record read.
    ASSERT_EQ(c->SetToBookmark(atEnd.data(), 24), 0);
    EXPECT_EQ(c->RecordGetNext(rec.data(), lmNone), 8706);
    ASSERT_EQ(c->SetToBookmark(atStart.data(), 24), 0);
    ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 0u);
    int32_t order = 9;
    ASSERT_EQ(c->CompareBookmarks(atStart.data(), 24, onRecord.data(), 24, order), 0);
    EXPECT_EQ(order, -1);
    ASSERT_EQ(c->CompareBookmarks(atEnd.data(), 24, onRecord.data(), 24, order), 0);
    EXPECT_EQ(order, 1);
    ASSERT_EQ(c->CompareBookmarks(onRecord.data(), 24, onRecord.data(), 24, order), 0);
    EXPECT_EQ(order, 0);

    // Any changed byte after the checksum, a short block or none: 10021, the position unchanged.
    for (size_t i = 4; i < 24; ++i) {
        auto bad = onRecord;
        bad[i] ^= 0x40;
        EXPECT_EQ(c->SetToBookmark(bad.data(), 24), 10021) << "byte " << i;
    }
    EXPECT_EQ(c->SetToBookmark(onRecord.data(), 23), 10021);
    EXPECT_EQ(c->SetToBookmark(nullptr, 24), 10021);
    ASSERT_EQ(c->RecordGet(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 0u) << "still where it was";

    // Deleting the bookmarked record leaves its gap: 8708, and the next record follows.
    ASSERT_EQ(c->SetToBookmark(onRecord.data(), 24), 0);
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(c->RecordDelete(nullptr), 0);
    EXPECT_EQ(c->Position().State, csBetween);
    EXPECT_EQ(c->RecordGet(rec.data(), lmNone), 8708);
    ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 1235u);
    ASSERT_EQ(e.db->Commit(), 0);
    ASSERT_EQ(c->SetToBookmark(onRecord.data(), 24), 0) << "a bookmark of a record that went";
    EXPECT_EQ(c->RecordGet(rec.data(), lmNone), 8708);
    EXPECT_EQ(c->TableGetRecordCount(count), 0);
    EXPECT_EQ(count, 2999u);

    // Modify in place.
    ASSERT_EQ(c->SetToBegin(), 0);
    ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    Row changed = rows[0];
    changed.name = "zz";
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(c->RecordModify(image(d, changed).data(), true), 0);
    ASSERT_EQ(e.db->Commit(), 0);
    EXPECT_EQ(walk(*c).front(), changed);

    c->Close();
    EXPECT_EQ(e.host.Tables().Count(), tablesBefore) << "the owned table goes with its cursor";
}

TEST(SimpleCursor, KeysRangesAndTableCreationRules) {
    Db e;
    const TqbServerDataDict d = rowDictionary();
    auto c = tempTable(e, d);
    EXPECT_EQ(raised<EqbException>([&] { c->SetToKey(1, false, 1, 0, nullptr); }).code, 192);
    EXPECT_EQ(raised<EqbException>([&] { c->SwitchToIndex(1, false); }).code, 192);
    EXPECT_EQ(raised<EqbException>([&] { c->RecordGetForKey(false, 1, 0, nullptr, nullptr, true); }).code,
              192);
    EXPECT_EQ(
        raised<EqbException>([&] { c->SetRange(false, 1, 0, nullptr, true, 1, 0, nullptr, true); }).code,
        194);
    EXPECT_EQ(raised<EqbException>([&] { c->ResetRange(); }).code, 194);
    EXPECT_NE(raised<EqbException>([&] { c->ResetRange(); }).message.find("TqbSrSimpleCursor"),
              std::string::npos);

    // A table on disk needs a name; one that exists needs Overwrite; an open one is refused.
    auto disk = e.cursor();
    EXPECT_EQ(
        raised<EqbException>([&] { disk->TableCreate("", d, true, qbsmExclusive, false, false, 0, 0); }).code,
        193);
    ASSERT_EQ(disk->TableCreate("Plain", d, true, qbsmExclusive, false, false, 0, 0), 0);
    EXPECT_TRUE(plat::FileExists(e.dir.file("Plain.QB2")));
    insertRows(*disk, randomRows(10, 1));
    auto again = e.cursor();
    EXPECT_EQ(raised<EqbException>([&] {
                  again->TableCreate("PLAIN", d, true, qbsmExclusive, false, true, 0, 0);
              }).code,
              195);
    disk->Close();
    e.host.Tables().RemoveUnused();
    EXPECT_EQ(raised<EqbException>([&] {
                  again->TableCreate("Plain", d, true, qbsmExclusive, false, false, 0, 0);
              }).code,
              175);
    EXPECT_EQ(raised<EqbException>([&] {
                  again->TableCreate("a.b", d, true, qbsmExclusive, false, false, 0, 0);
              }).code,
              193);
    ASSERT_EQ(again->TableCreate("Plain", d, true, qbsmExclusive, false, true, 0, 0), 0);
    EXPECT_TRUE(walk(*again).empty()) << "overwritten";
    insertRows(*again, randomRows(25, 2));
    again->Close();
    e.host.Tables().RemoveUnused();
    // Opened again from disk.
    auto reopened = e.cursor();
    reopened->Open("plain", "", 0, false, qbsmShared, false, false, false);
    EXPECT_EQ(ids(walk(*reopened)), ids(randomRows(25, 2)));
    // A clone starts where its cursor stands and moves on its own.
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    ASSERT_EQ(reopened->SetToBegin(), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(reopened->RecordGetNext(rec.data(), lmNone), 0);
    std::shared_ptr<TqbSrBaseCursor> clone;
    ASSERT_EQ(reopened->Clone(true, clone), 0);
    EXPECT_FALSE(clone->IsReadWrite()) << "no more than the cursor it came from";
    ASSERT_EQ(clone->RecordGetNext(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 3u);
    ASSERT_EQ(reopened->RecordGet(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, 2u);
}

// Under a filter: the count, the deletes and the sort see only the passing records; the sort
// writes them back into their own places, so the others stay where they were.
TEST(SimpleCursor, FilterLimitsCountSortAndDeletes) {
    Db e;
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("filtered", d, true, qbsmExclusive, false, false, 0, 0), 0);
    auto rows = randomRows(2000, 11);
    insertRows(*c, rows);
    const std::vector<cls::TFilterField> fields{{"key", 1, cls::ftInteger}, {"name", 2, cls::ftString}};
    const std::vector<uint8_t> expr = cls::BuildFilterExpression("key > 0", 0, fields);
    auto visible = [](const Row& r) { return !r.keyNull && r.key > 0; };
    std::vector<Row> passing;
    for (auto& r : rows)
        if (visible(r)) passing.push_back(r);
    ASSERT_EQ(c->SetFilter(expr.data(), expr.size(), 0), 0);

    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    ASSERT_EQ(c->SetToBegin(), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(c->RecordGetNext(rec.data(), lmNone), 0);
    const uint32_t tenth = row(d, rec.data()).id;
    uint32_t count = 0;
    ASSERT_EQ(c->TableGetRecordCount(count), 0);
    EXPECT_EQ(count, passing.size());
    ASSERT_EQ(c->RecordGet(rec.data(), lmNone), 0);
    EXPECT_EQ(row(d, rec.data()).id, tenth) << "the position is kept";

    const int32_t byName[1] = {fName};
    ASSERT_EQ(c->SortRecords(byName, 1, nullptr), 0);
    ASSERT_EQ(c->SetFilter(nullptr, 0, 0), 0);
    auto all = walk(*c);
    ASSERT_EQ(all.size(), rows.size());
    std::vector<Row> sortedPassing;
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(visible(all[i]), visible(rows[i])) << "a passing place holds a passing record: " << i;
        if (visible(all[i]))
            sortedPassing.push_back(all[i]);
        else
            ASSERT_EQ(all[i], rows[i]) << "the others stay: " << i;
    }
    // Nulls first, then by name; which of two equal names comes first is not fixed.
    std::vector<std::string> gotNames, wantNames;
    for (size_t i = 0; i < passing.size(); ++i) {
        gotNames.push_back(sortedPassing[i].nameNull ? "" : "." + sortedPassing[i].name);
        wantNames.push_back(passing[i].nameNull ? "" : "." + passing[i].name);
    }
    std::sort(wantNames.begin(), wantNames.end());
    std::vector<uint32_t> gotIds = ids(sortedPassing), wantIds = ids(passing);
    EXPECT_EQ(gotNames, wantNames);
    std::sort(gotIds.begin(), gotIds.end());
    EXPECT_EQ(gotIds, wantIds) << "every passing record once";

    ASSERT_EQ(c->SetFilter(expr.data(), expr.size(), 0), 0);
    ASSERT_EQ(c->DeleteRecords(), 0);
    ASSERT_EQ(c->SetFilter(nullptr, 0, 0), 0);
    auto left = walk(*c);
    EXPECT_EQ(left.size(), rows.size() - passing.size());
    for (auto& r : left)
        EXPECT_FALSE(visible(r));
}

// A filtered count that runs out of time says so instead of giving the records it got to.
TEST(SimpleCursor, FilteredCountThatTimesOutFails) {
    struct Ticking : plat::Clock {
        std::atomic<uint64_t> now{1000000};
        uint64_t NowMs() override { return now++; }
    } clock;
    Db e;
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("slow", d, true, qbsmExclusive, false, false, 0, 0), 0);
    insertRows(*c, randomRows(500, 6));
    const std::vector<cls::TFilterField> fields{{"key", 1, cls::ftInteger}};
    const std::vector<uint8_t> expr = cls::BuildFilterExpression("key > 1000", 0, fields);
    ASSERT_EQ(c->SetFilter(expr.data(), expr.size(), 50), 0);
    const TqbSrPosition before = c->Position();
    plat::SetClock(&clock);
    uint32_t count = 99;
    const int32_t rc = c->TableGetRecordCount(count);
    plat::SetClock(nullptr);
    EXPECT_EQ(rc, 15444);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(c->Position().State, before.State) << "the position is kept";
    EXPECT_EQ(c->Position().Ref, before.Ref);
}

// A temporary table given a store size keeps the pages that leave RAM in a storage of that size
// in the configuration folder, its own; a full storage keeps the rest in RAM. Rows come back whole.
TEST(SimpleCursor, ATemporaryTableParksItsPagesInAStoreOfItsOwn) {
    struct ConfigHost : TqbSrCursorHost {
        using TqbSrCursorHost::TqbSrCursorHost;
        std::string folder;
        std::string ConfigFolder() override { return folder; }
    };
    Db e(64, 1); // RAM of 1 MB; the buffer manager's own storage 64 MB
    ConfigHost host(e.bm);
    std::filesystem::create_directory(e.dir.path() / "cfg");
    host.folder = e.dir.file("cfg") + "/";
    auto db = std::make_shared<TqbSrDatabase>(host, e.folder, 0);
    const TqbServerDataDict d = rowDictionary();
    const auto rows = randomRows(30000, 9); // about 3 MB
    for (const uint32_t mb : {3u, 1u, 3u}) {
        SCOPED_TRACE(mb);
        auto c = std::make_shared<TqbSrSimpleCursor>(host, 0, *db);
        ASSERT_EQ(c->TableCreate("", d, true, qbsmExclusive, false, true, kTemp, mb * 1048576), 0);
        c->TakeTableOwnership();
        const TqbTempStorageMM* store = c->TempStore();
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(store->Size(), int64_t(mb) * 1048576);
        EXPECT_EQ(store->BlockCount(), int32_t(mb * 16));
        insertRows(*c, rows);
        EXPECT_GT(store->BlocksInUse(), 8) << "pages parked there";
        EXPECT_LE(store->BlocksInUse(), store->BlockCount());
        EXPECT_EQ(store->FileName().rfind(host.folder, 0), 0u) << store->FileName();
        EXPECT_EQ(ids(walk(*c)), ids(rows));
        c->Close();
    }
    // Given no size, a table has none of its own.
    auto c = std::make_shared<TqbSrSimpleCursor>(host, 0, *db);
    ASSERT_EQ(c->TableCreate("", d, true, qbsmExclusive, false, true, kTemp, 0), 0);
    c->TakeTableOwnership();
    EXPECT_EQ(c->TempStore(), nullptr);
    c->Close();
    db.reset();
    host.Tables().RemoveUnused();
}

// The sort of a simple table on disk through SortRecords: runs in temporary tables, none left.
TEST(SimpleCursor, SortRecordsThroughRunTablesLeavesNone) {
    Db e(64, 2); // RAM of 2 MB: the runs' pages move to the temporary storage and back
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("big", d, true, qbsmExclusive, false, false, 0, 0), 0);
    const size_t per = size_t(kSortRunBufferSize / d.RecordLength());
    auto rows = randomRows(3 * per + 17, 77);
    insertRows(*c, rows);
    const int tables = e.host.Tables().Count();
    const int32_t fields[2] = {fKey, fName};
    const bool descending[2] = {false, true};
    ASSERT_EQ(c->SortRecords(fields, 2, descending), 0);
    EXPECT_EQ(e.host.Tables().Count(), tables);
    EXPECT_EQ(sortedPermutationProblem(rows, walk(*c)), "");
    // A shared cursor may not sort.
    auto shared = e.cursor();
    c->Close();
    e.host.Tables().RemoveUnused();
    shared->Open("big", "", 0, true, qbsmShared, false, false, false);
    EXPECT_EQ(shared->SortRecords(fields, 2, descending), 10253);
}

// A table with indexes (one of them unique) sorted in place: every index holds each record's key
// once afterwards, and no unique key was ever seen twice on the way.
TEST(SimpleCursor, SortRecordsKeepsEveryIndexOfAnIndexedTable) {
    Db e;
    TqbServerDataDict d = rowDictionary();
    d.SetTableName("keyed");
    const int32_t pad = fPad, name = fName;
    d.AddIndex("byPad", "", 0, 1, &pad, nullptr, false, true, false); // unique: the row's id
    d.AddIndex("byName", "", 0, 1, &name, nullptr, true, true, false);
    {
        auto t = std::make_shared<TqbSrTable>(e.host, e.bm, e.folder, "keyed");
        t->BuildFiles(d, 0);
        t->OpenFiles(false);
        e.host.Tables().Add(t);
    }
    auto c = e.cursor();
    c->Open("keyed", "", 0, true, qbsmExclusive, false, false, false);
    auto* table = dynamic_cast<TqbSrTable*>(c->Table());
    ASSERT_NE(table, nullptr);
    auto rows = randomRows(size_t(kSortRunBufferSize / d.RecordLength()) * 2 + 30, 21);
    insertRows(*c, rows);
    const int32_t fields[2] = {fKey, fName};
    const bool descending[2] = {false, true};
    ASSERT_EQ(c->SortRecords(fields, 2, descending), 0);
    EXPECT_EQ(sortedPermutationProblem(rows, walk(*c)), "");
    // What each index holds against the keys of the records at their references.
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    for (int32_t i = 1; i < d.IndexCount(); ++i) {
        std::vector<std::pair<std::string, uint64_t>> want;
        uint64_t ref = 0, next = 0;
        for (;; ref = next) {
            table->GetNextRecord(nullptr, ref, rec.data(), next);
            if (next == 0) break;
            std::string key(size_t(d.IndexKeyLength(i)), '\0');
            ASSERT_TRUE(table->BuildKey(i, rec.data(), reinterpret_cast<uint8_t*>(key.data())));
            want.emplace_back(key, next);
        }
        auto got = enginetest::indexEntries(*table, i, nullptr);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "index " << i;
    }
    for (int32_t f = 0; f < table->GetFileCount(); ++f)
        EXPECT_EQ(FormatVerifyProblems(VerifyTableFile(*table->GetFile(f), nullptr)), "");
}

// An extender refusing a rewrite stops the sort with its code: nothing written, no run left.
TEST(SimpleCursor, RefusedRewriteLeavesTableAndNoRunTable) {
    struct Refuse : TqbSrExtender {
        int32_t Notify(TqbSrBaseCursor&, int32_t Action) override { return Action == eaModify ? 4242 : 0; }
    };
    Db e;
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("vetoed", d, true, qbsmExclusive, false, false, 0, 0), 0);
    auto rows = randomRows(size_t(kSortRunBufferSize / d.RecordLength()) + 9, 4);
    insertRows(*c, rows);
    c->AddExtender(std::make_unique<Refuse>());
    const int tables = e.host.Tables().Count();
    const int32_t fields[1] = {fName};
    EXPECT_EQ(c->SortRecords(fields, 1, nullptr), 4242);
    EXPECT_EQ(e.host.Tables().Count(), tables);
    EXPECT_EQ(ids(walk(*c)), ids(rows));
}

// The temporary storage fails while the runs' pages move there: the sort fails, the table is as
// it was, and no run table is left.
TEST(SimpleCursor, FailingTemporaryStorageLeavesNoRunTable) {
    plat::FaultyFiles faulty(plat::PosixFiles());
    plat::ScopedFiles scoped(faulty);
    Db e(64, 1);
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("big", d, true, qbsmExclusive, false, false, 0, 0), 0);
    const size_t per = size_t(kSortRunBufferSize / d.RecordLength());
    auto rows = randomRows(3 * per + 5, 3);
    insertRows(*c, rows);
    const int tables = e.host.Tables().Count();
    faulty.failAt(1, plat::FileOp::Map, EIO, true);
    const int32_t fields[1] = {fKey};
    auto r = raised<EqbException>([&] { c->SortRecords(fields, 1, nullptr); });
    faulty.clearFault();
    EXPECT_TRUE(faulty.faultFired());
    EXPECT_NE(r.code, 0) << r.message;
    EXPECT_EQ(e.host.Tables().Count(), tables);
    EXPECT_EQ(ids(walk(*c)), ids(rows)) << "the table is unchanged";
}

// Two clients sort tables of their own at once on one engine (its table list, buffer manager and
// lock manager shared): each gets exactly its rows back, sorted.
TEST(SimpleCursor, TwoClientsSortAtOnce) {
    Db e;
    auto second = std::make_shared<TqbSrDatabase>(e.host, e.folder, 0);
    const TqbServerDataDict d = rowDictionary();
    const size_t n = size_t(kSortRunBufferSize / d.RecordLength()) * 2 + 3;
    struct Result {
        std::vector<Row> rows, sorted;
        int32_t rc = -1;
    };
    auto work = [&](TqbSrDatabase& db, const std::string& name, uint32_t seed, Result& out) {
        auto c = std::make_shared<TqbSrSimpleCursor>(e.host, 0, db);
        if (c->TableCreate(name, d, true, qbsmExclusive, false, false, 0, 0) != 0) return;
        out.rows = randomRows(n, seed);
        insertRows(*c, out.rows);
        const int32_t fields[2] = {fKey, fName};
        const bool descending[2] = {false, true};
        out.rc = c->SortRecords(fields, 2, descending);
        out.sorted = walk(*c);
        c->Close();
    };
    Result a, b;
    std::thread one([&] { work(*e.db, "one", 1, a); });
    std::thread two([&] { work(*second, "two", 2, b); });
    one.join();
    two.join();
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(sortedPermutationProblem(a.rows, a.sorted), "");
    EXPECT_EQ(sortedPermutationProblem(b.rows, b.sorted), "");
}

} // namespace

// A record whose lock cannot be taken in the operation's time goes again with the failed insert.
TEST(SimpleCursor, InsertWhoseRecordLockTimesOutLeavesNoRecord) {
    Db e;
    const TqbServerDataDict d = rowDictionary();
    auto c = e.cursor();
    ASSERT_EQ(c->TableCreate("plain", d, true, qbsmShared, false, false, 0, 0), 0);
    ASSERT_EQ(c->Database().StartTransaction(), 0);
    ASSERT_EQ(c->RecordInsert(image(d, {false, false, 1, "ann", 1}).data(), lmNone), 0);
    SetThreadDeadline(1); // under the least time a lock request is made with
    const auto failed = raised<EqbException>([&] {
        c->RecordInsert(image(d, {false, false, 2, "bob", 2}).data(), lmExclusive);
    });
    SetThreadDeadline(0);
    EXPECT_FALSE(failed.message.empty()) << "the insert failed";
    ASSERT_EQ(c->Database().Commit(), 0);
    EXPECT_EQ(ids(walk(*c)), std::vector<uint32_t>{1});
}

// A commit walks its tables' cursors from a snapshot of their lists, which may still hold the
// cursor of a database another client has just freed: asking it for its database reads nothing
// of the gone database.
TEST(SimpleCursor, ACursorHeldPastItsDatabaseStillNamesIt) {
    Db e;
    auto other = std::make_shared<TqbSrDatabase>(e.host, e.folder, 0);
    const uint64_t id = other->DatabaseID();
    auto c = std::make_shared<TqbSrSimpleCursor>(e.host, 0, *other);
    ASSERT_EQ(c->TableCreate("plain", rowDictionary(), true, qbsmShared, false, false, 0, 0), 0);
    auto held = c->Table()->GetCursorList().Snapshot();
    c->Close();
    c.reset();
    other.reset();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(dynamic_cast<TqbSrTableCursor&>(*held[0]).DatabaseID(), id);
    EXPECT_NE(id, e.db->DatabaseID());
}
