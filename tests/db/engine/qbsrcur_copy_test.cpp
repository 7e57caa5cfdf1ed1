// The base cursor's BLOB operations (with extenders and links) and its bulk work: copies in the
// three BLOB modes, copies of some fields, the auto-increment counter after a copy, deletes of
// every record and the refusals of each.
#include "tests/db/engine/BulkTestSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbverify.h"
#include "platform/Files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

namespace {

using namespace bulktest;
using dbtest::raised;

// An engine whose cursor class (for cursors on linked tables) is the simple cursor.
struct SimpleHost : TqbSrCursorHost {
    using TqbSrCursorHost::TqbSrCursorHost;
    std::shared_ptr<TqbSrBaseCursor> NewCursor(TqbSrDatabase& Database, uint32_t Timeout) override {
        return std::make_shared<TqbSrSimpleCursor>(*this, Timeout, Database);
    }
};

struct LinkDb : Db {
    SimpleHost linkHost{bm};
};

// Records the actions it hears; refuses Refuse with Code.
struct Recorder : TqbSrExtender {
    std::vector<int32_t>* heard;
    int32_t refuse, code;
    Recorder(std::vector<int32_t>* h, int32_t r = -1, int32_t c = 0) : heard(h), refuse(r), code(c) {}
    int32_t Notify(TqbSrBaseCursor&, int32_t Action) override {
        heard->push_back(Action);
        return Action == refuse ? code : 0;
    }
};

std::string bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(rng());
    return s;
}

std::string readBLOB(TqbSrBaseCursor& c, uint64_t nr) {
    int32_t error = 0;
    const int64_t n = c.BLOBGetLength(nr, error);
    EXPECT_EQ(error, 0);
    std::string s(size_t(std::max<int64_t>(n, 0)), '\0');
    uint32_t got = 0;
    EXPECT_EQ(c.BLOBRead(nr, 0, uint32_t(s.size()), s.data(), got), 0);
    EXPECT_EQ(got, s.size());
    return s;
}

uint64_t blobOf(const TqbDataDictionary& d, const uint8_t* rec) {
    return d.IsRecordFieldNull(3, rec) ? 0 : plat::LoadLE64(rec + d.FieldOffset(3));
}

std::shared_ptr<TqbSrSimpleCursor> diskTable(Db& e, TqbSrCursorHost& host, const std::string& name,
                                             const TqbDataDictionary& d, uint8_t share = qbsmShared) {
    auto c = std::make_shared<TqbSrSimpleCursor>(host, 0, *e.db);
    EXPECT_EQ(c->TableCreate(name, d, true, share, false, false, 0, 0), 0);
    return c;
}

TEST(CursorBLOBs, OperationsExtendersAndLinks) {
    LinkDb e;
    const TqbServerDataDict d = rowDictionary(true);
    auto a = diskTable(e, e.linkHost, "alpha", d);
    auto b = diskTable(e, e.linkHost, "beta", d);
    uint64_t nr = 0;
    EXPECT_EQ(a->BLOBCreate(nr), 10257) << "a write needs a transaction";

    std::vector<int32_t> heard;
    a->AddExtender(std::make_unique<Recorder>(&heard));
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(a->BLOBCreate(nr), 0);
    const std::string text = bytes(200000, 1);
    ASSERT_EQ(a->BLOBWrite(nr, 0, uint32_t(text.size()), text.data()), 0);
    EXPECT_EQ(readBLOB(*a, nr), text);
    ASSERT_EQ(a->BLOBTruncate(nr, 1000), 0);
    EXPECT_EQ(readBLOB(*a, nr), text.substr(0, 1000));
    EXPECT_EQ(a->BLOBFree(nr), 0) << "a BLOB with content stays";
    std::string segments;
    EXPECT_EQ(a->BLOBListSegments(nr, segments), 0);
    EXPECT_FALSE(segments.empty());
    // Before and after of each, nothing for the segment list.
    const std::vector<int32_t> want{45, 46, 51, 52, 60, 61, 48, 49, 57, 58, 60, 61, 48, 49, 63, 64};
    EXPECT_EQ(heard, want);

    uint64_t empty = 0;
    ASSERT_EQ(a->BLOBCreate(empty), 0);
    EXPECT_EQ(a->BLOBFree(empty), 13058) << "an empty BLOB is freed";
    int32_t error = 0;
    EXPECT_EQ(raised<EqbException>([&] { a->BLOBGetLength(empty, error); }).code != 0, true);

    // A link in beta reads and measures alpha's BLOB through a cursor on alpha.
    uint64_t link = 0;
    ASSERT_EQ(b->BLOBCreateLink("ALPHA", nr, link), 0);
    EXPECT_EQ(readBLOB(*b, link), text.substr(0, 1000));
    // A link that leads back to itself ends at the depth limit instead of the stack's end.
    uint64_t loop = 0;
    ASSERT_EQ(b->BLOBCreateLink("beta", 0, loop), 0);
    uint64_t self = 0;
    ASSERT_EQ(b->BLOBCreateLink("beta", loop, self), 0);
    EXPECT_NE(raised<EqbException>([&] { b->BLOBGetLength(self, error); }).code, 0);

    // A refusal comes back unchanged; earlier extenders hear the undo action; nothing is done.
    std::vector<int32_t> first, second;
    auto c = diskTable(e, e.linkHost, "gamma", d);
    c->AddExtender(std::make_unique<Recorder>(&first));
    c->AddExtender(std::make_unique<Recorder>(&second, 45, 777));
    uint64_t none = 0;
    EXPECT_EQ(c->BLOBCreate(none), 777);
    EXPECT_EQ(first, (std::vector<int32_t>{45, 47}));
    EXPECT_EQ(none, 0u);
    ASSERT_EQ(e.db->Commit(), 0);
}

// A cursor on a linked table that runs Hook before its first BLOB read.
struct HookedCursor : TqbSrSimpleCursor {
    using TqbSrSimpleCursor::TqbSrSimpleCursor;
    std::function<void()> hook;
    int32_t BLOBRead(uint64_t nr, uint64_t offset, uint32_t length, void* buffer, uint32_t& got) override {
        if (hook) std::exchange(hook, {})();
        return TqbSrSimpleCursor::BLOBRead(nr, offset, length, buffer, got);
    }
};

struct HookedHost : TqbSrCursorHost {
    using TqbSrCursorHost::TqbSrCursorHost;
    std::function<void()> beforeLinkedRead;
    std::shared_ptr<TqbSrBaseCursor> NewCursor(TqbSrDatabase& Database, uint32_t Timeout) override {
        auto c = std::make_shared<HookedCursor>(*this, Timeout, Database);
        c->hook = beforeLinkedRead;
        return c;
    }
};

struct HookedDb : Db {
    HookedHost hooked{bm};
};

// A commit takes the portals of the folder's tables in the order of their identities. A reader
// that followed a link while it held its own table's portal would hold beta's and wait for
// alpha's, while the commit holds alpha's and waits for beta's.
TEST(CursorBLOBs, ALinkIsFollowedOutsideItsTableSoACommitMeanwhileGoesThrough) {
    HookedDb e;
    const TqbServerDataDict d = rowDictionary(true);
    auto alpha = diskTable(e, e.hooked, "alpha", d);
    auto beta = diskTable(e, e.hooked, "beta", d);
    ASSERT_LT(alpha->Table()->TableID(), beta->Table()->TableID());
    const std::string text = bytes(5000, 3);
    uint64_t nr = 0, link = 0;
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(alpha->BLOBCreate(nr), 0);
    ASSERT_EQ(alpha->BLOBWrite(nr, 0, uint32_t(text.size()), text.data()), 0);
    ASSERT_EQ(beta->BLOBCreateLink("alpha", nr, link), 0);
    ASSERT_EQ(e.db->Commit(), 0);

    TqbSrDatabase other(e.hooked, e.folder, 0);
    std::promise<void> following;
    std::atomic<bool> committed{false};
    // Between the link's read and the linked BLOB's: until the other client's commit is through,
    // or waits behind this reader for beta's portal.
    e.hooked.beforeLinkedRead = [&] {
        following.set_value();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!committed && beta->Table()->WaitingWriters() == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        EXPECT_TRUE(committed) << "the commit waits for the reader of the link";
    };
    std::thread committer([&] {
        EXPECT_EQ(following.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(other.StartTransaction(), 0);
        EXPECT_EQ(other.Commit(), 0);
        committed = true;
    });
    enginetest::finishesWithin(std::chrono::seconds(60), "a link followed during a commit", [&] {
        std::string got(text.size(), '\0');
        uint32_t n = 0;
        EXPECT_EQ(beta->BLOBRead(link, 0, uint32_t(got.size()), got.data(), n), 0);
        EXPECT_EQ(n, got.size());
        EXPECT_EQ(got, text);
        committer.join();
    });
}

// A link that leads to itself: the segment of a deleted link goes to the next link made, which
// then names its own number. Each step is followed outside the table's lock, one inside another.
TEST(CursorBLOBs, ALinkToItselfEndsAtTheDepthLimit) {
    LinkDb e;
    const TqbServerDataDict d = rowDictionary(true);
    auto b = diskTable(e, e.linkHost, "beta", d);
    uint64_t gone = 0, self = 0;
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(b->BLOBCreateLink("beta", 0, gone), 0);
    ASSERT_EQ(e.db->Commit(), 0);
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(b->BLOBDelete(gone), 0);
    ASSERT_EQ(e.db->Commit(), 0);
    ASSERT_EQ(e.db->StartTransaction(), 0);
    ASSERT_EQ(b->BLOBCreateLink("beta", gone, self), 0);
    ASSERT_EQ(e.db->Commit(), 0);
    ASSERT_EQ(self, gone) << "the freed segment was not used again: no loop to follow";
    int32_t error = 0;
    EXPECT_EQ(raised<EqbException>([&] { b->BLOBGetLength(self, error); }).code, 51);
    char buf[16];
    uint32_t got = 0;
    EXPECT_EQ(raised<EqbException>([&] { b->BLOBRead(self, 0, sizeof buf, buf, got); }).code, 51);
    EXPECT_EQ(got, 0u);
}

struct CopyCase {
    LinkDb e;
    TqbServerDataDict d = rowDictionary(true, true);
    std::shared_ptr<TqbSrSimpleCursor> source;
    std::vector<std::string> texts;
    std::string fileText = bytes(5000, 9);

    // 40 rows: every third without a BLOB, row 5 with a BLOB of 1.5 MB, row 7 with a file BLOB.
    CopyCase() {
        SetBLOBFileFolder(e.dir.str());
        std::ofstream(e.dir.file("memo.txt"), std::ios::binary) << fileText;
        source = diskTable(e, e.linkHost, "source", d);
        EXPECT_EQ(e.db->StartTransaction(), 0);
        for (uint32_t i = 0; i < 40; ++i) {
            Row r{false, false, int32_t(i), "n" + std::to_string(i), i};
            auto rec = image(d, r);
            uint8_t serial[4];
            plat::StoreLE32(serial, 10 + i);
            d.SetRecordField(4, rec.data(), serial);
            std::string text;
            if (i == 7) {
                uint64_t nr = 0;
                EXPECT_EQ(source->BLOBCreateFile("memo.txt", nr), 0);
                uint8_t v[8];
                plat::StoreLE64(v, nr);
                d.SetRecordField(3, rec.data(), v);
                text = fileText;
            } else if (i % 3 != 0) {
                text = bytes(i == 5 ? 1572864 + 17 : 100 + i, i);
                uint64_t nr = 0;
                EXPECT_EQ(source->BLOBCreate(nr), 0);
                EXPECT_EQ(source->BLOBWrite(nr, 0, uint32_t(text.size()), text.data()), 0);
                uint8_t v[8];
                plat::StoreLE64(v, nr);
                d.SetRecordField(3, rec.data(), v);
            }
            texts.push_back(text);
            EXPECT_EQ(source->RecordInsert(rec.data(), lmNone), 0);
        }
        EXPECT_EQ(e.db->Commit(), 0);
    }
    ~CopyCase() { SetBLOBFileFolder(""); }

    // The target's rows in order, each with its BLOB's content ("" without one).
    std::vector<std::pair<Row, std::string>> contents(TqbSrBaseCursor& c) {
        std::vector<std::pair<Row, std::string>> out;
        std::vector<uint8_t> rec(size_t(d.RecordLength()));
        EXPECT_EQ(c.SetToBegin(), 0);
        while (c.RecordGetNext(rec.data(), lmNone) == 0) {
            const uint64_t nr = blobOf(d, rec.data());
            out.emplace_back(row(d, rec.data()), nr ? readBLOB(c, nr) : std::string());
        }
        return out;
    }
};

TEST(CopyRecords, ThreeBLOBModes) {
    CopyCase k;
    for (uint8_t mode : {0, 1, 2}) {
        SCOPED_TRACE(int(mode));
        auto target = diskTable(k.e, k.e.linkHost, "copy" + std::to_string(mode), k.d);
        ASSERT_EQ(target->CopyRecords(*k.source, mode), 0);
        auto got = k.contents(*target);
        ASSERT_EQ(got.size(), 40u);
        for (uint32_t i = 0; i < 40; ++i) {
            EXPECT_EQ(got[i].first.id, i);
            EXPECT_EQ(got[i].second, mode == 0 ? std::string() : k.texts[i]) << "row " << i;
        }
        std::vector<uint8_t> rec(size_t(k.d.RecordLength()));
        ASSERT_EQ(target->SetToBegin(), 0);
        for (int i = 0; i <= 7; ++i)
            ASSERT_EQ(target->RecordGetNext(rec.data(), lmNone), 0);
        std::string name;
        TqbSrBaseTable& t = *target->Table();
        const uint64_t nr = blobOf(k.d, rec.data());
        if (mode == 1) {
            EXPECT_TRUE(TableBLOBGetFileName(*t.GetFile(1), nullptr, nr, name)) << "still a file BLOB";
            EXPECT_EQ(name, "memo.txt");
        }
        if (mode == 2) {
            // Linked, not copied: the source's change shows through the link.
            ASSERT_EQ(k.e.db->StartTransaction(), 0);
            ASSERT_EQ(k.source->SetToBegin(), 0);
            std::vector<uint8_t> src(rec.size());
            for (int i = 0; i <= 5; ++i)
                ASSERT_EQ(k.source->RecordGetNext(src.data(), lmNone), 0);
            ASSERT_EQ(k.source->BLOBWrite(blobOf(k.d, src.data()), 0, 3, "XYZ"), 0);
            ASSERT_EQ(k.e.db->Commit(), 0);
            EXPECT_EQ(k.contents(*target)[5].second.substr(0, 3), "XYZ");
        }
    }
}

TEST(CopyRecords, AutoIncrementCounterNeverMovesBack) {
    CopyCase k;
    auto ahead = diskTable(k.e, k.e.linkHost, "ahead", k.d);
    ASSERT_EQ(k.e.db->StartTransaction(), 0);
    ASSERT_EQ(ahead->TableSetAutoInc(1000), 0);
    ASSERT_EQ(k.e.db->Commit(), 0);
    ASSERT_EQ(ahead->CopyRecords(*k.source, 0), 0);
    uint32_t counter = 0;
    ASSERT_EQ(ahead->TableGetAutoInc(counter), 0);
    EXPECT_EQ(counter, 1000u) << "a counter ahead of the copied values stays";

    auto behind = diskTable(k.e, k.e.linkHost, "behind", k.d);
    ASSERT_EQ(behind->CopyRecords(*k.source, 0), 0);
    ASSERT_EQ(behind->TableGetAutoInc(counter), 0);
    EXPECT_EQ(counter, 49u) << "the largest value copied";
    // The next insert takes the next value, not one that was copied.
    ASSERT_EQ(k.e.db->StartTransaction(), 0);
    auto rec = image(k.d, Row{});
    ASSERT_EQ(behind->RecordInsert(rec.data(), lmNone), 0);
    ASSERT_EQ(k.e.db->Commit(), 0);
    ASSERT_EQ(behind->RecordGet(rec.data(), lmNone), 0);
    EXPECT_EQ(plat::LoadLE32(rec.data() + k.d.FieldOffset(4)), 50u);
}

TEST(CopyRecords, RefusalsCallbackPartsAndDeleteRecords) {
    CopyCase k;
    EXPECT_EQ(raised<EqbException>([&] { k.source->CopyRecords(*k.source, 0); }).code, 196);
    auto other = diskTable(k.e, k.e.linkHost, "other", rowDictionary());
    EXPECT_EQ(raised<EqbException>([&] { other->CopyRecords(*k.source, 0); }).code, 114);

    // A callback keeps the even rows.
    auto even = diskTable(k.e, k.e.linkHost, "even", k.d);
    int calls = 0;
    auto keepEven = [&](TqbSrBaseCursor& s, const uint8_t* r, bool& include, void* a1, void* a2) {
        EXPECT_EQ(&s, k.source.get());
        EXPECT_EQ(a1, &calls);
        EXPECT_EQ(a2, nullptr);
        ++calls;
        include = row(k.d, r).id % 2 == 0;
    };
    ASSERT_EQ(even->CopyRecords(*k.source, 1, keepEven, &calls, nullptr), 0);
    EXPECT_EQ(calls, 40);
    auto got = k.contents(*even);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got[3].first.id, 6u);
    EXPECT_EQ(got[5].second, k.texts[10]);

    // Some fields: the target's three fields take the source's name, key and BLOB.
    TqbServerDataDict parts(4096);
    parts.SetTableName("parts");
    parts.AddFile("BLOBs", "QBB", qbfBLOB, 4096);
    parts.AddField("name", "", qbtShortString, 20, 0, false);
    parts.AddField("key", "", qbtInt32, 0, 0, false);
    parts.AddField("memo", "", qbtBLOB, 0, 0, false);
    auto part = diskTable(k.e, k.e.linkHost, "parts", parts);
    const int32_t wrongOrder[3] = {fKey, fName, 3};
    EXPECT_EQ(raised<EqbException>([&] { part->CopyRecordParts(*k.source, wrongOrder, 3, 1); }).code, 114);
    const int32_t fields[3] = {fName, fKey, 3};
    ASSERT_EQ(part->CopyRecordParts(*k.source, fields, 3, 1), 0);
    std::vector<uint8_t> rec(size_t(parts.RecordLength()));
    ASSERT_EQ(part->SetToBegin(), 0);
    for (uint32_t i = 0; i < 40; ++i) {
        ASSERT_EQ(part->RecordGetNext(rec.data(), lmNone), 0);
        EXPECT_EQ(rec[size_t(parts.FieldOffset(0))], uint8_t(("n" + std::to_string(i)).size()));
        EXPECT_EQ(plat::LoadLE32(rec.data() + parts.FieldOffset(1)), i);
        EXPECT_EQ(parts.IsRecordFieldNull(2, rec.data()), k.texts[i].empty()) << i;
        if (!k.texts[i].empty()) {
            EXPECT_EQ(readBLOB(*part, plat::LoadLE64(rec.data() + parts.FieldOffset(2))), k.texts[i]);
        }
    }
    EXPECT_EQ(part->RecordGetNext(rec.data(), lmNone), 8706);

    // Every record goes, and its BLOBs with it; an extender's refusal stops the deletes and
    // nothing of them stays.
    std::vector<int32_t> heard;
    even->AddExtender(std::make_unique<Recorder>(&heard, 8, 555));
    EXPECT_EQ(even->DeleteRecords(), 555);
    EXPECT_EQ(k.contents(*even).size(), 20u);
    auto plain = diskTable(k.e, k.e.linkHost, "plain", k.d);
    ASSERT_EQ(plain->CopyRecords(*k.source, 1), 0);
    ASSERT_EQ(plain->DeleteRecords(), 0);
    EXPECT_TRUE(k.contents(*plain).empty());
    ASSERT_EQ(plain->CopyRecords(*k.source, 0), 0);
    EXPECT_EQ(k.contents(*plain).size(), 40u);
}

// Emptying needs the table for itself; a table on disk and one in memory both come out empty and
// take new records.
TEST(TableEmpty, OnDiskAndInMemory) {
    Db e;
    const TqbServerDataDict d = rowDictionary(true);
    auto shared = diskTable(e, e.host, "shared", d);
    insertRows(*shared, randomRows(30, 1));
    EXPECT_EQ(shared->TableEmpty(), 10253);
    EXPECT_EQ(walk(*shared).size(), 30u);
    auto disk = diskTable(e, e.host, "mine", d, qbsmExclusive);
    auto memory = e.cursor();
    ASSERT_EQ(memory->TableCreate("", d, true, qbsmExclusive, false, true, kFileNoDiskFile, 0), 0);
    for (auto* c : {static_cast<TqbSrBaseCursor*>(disk.get()), static_cast<TqbSrBaseCursor*>(memory.get())}) {
        insertRows(*c, randomRows(3000, 2));
        ASSERT_EQ(c->TableEmpty(), 0);
        EXPECT_TRUE(walk(*c).empty());
        uint32_t count = 9;
        ASSERT_EQ(c->TableGetRecordCount(count), 0);
        EXPECT_EQ(count, 0u);
        insertRows(*c, randomRows(5, 3));
        auto got = ids(walk(*c)); // freed slots are taken again, last freed first
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, ids(randomRows(5, 3)));
    }
}

// Tables with indexes sorted and emptied through index cursors.
TqbServerDataDict indexedDictionary() {
    TqbServerDataDict d = rowDictionary();
    d.SetTableName("indexed");
    const int32_t key = fKey, name = fName;
    d.AddIndex("byKey", "", 0, 1, &key, nullptr, true, true, false);
    d.AddIndex("byName", "", 0, 1, &name, nullptr, true, true, false);
    return d;
}

std::shared_ptr<TqbSrCursor> indexedTable(Db& e, const std::string& name, const std::vector<Row>& rows) {
    auto make = e.cursor<TqbSrCursor>();
    EXPECT_EQ(make->TableCreate(name, indexedDictionary(), true, qbsmExclusive, false, false, 0, 0), 0);
    insertRows(*make, rows);
    return make;
}

std::string verify(TqbSrBaseTable& t) {
    std::string problems;
    for (int32_t f = 0; f < t.GetFileCount(); ++f)
        problems += FormatVerifyProblems(VerifyTableFile(*t.GetFile(f), nullptr));
    return problems;
}

TEST(IndexCursorBulk, SortRecordsOnIndexZeroAndOnASecondaryIndex) {
    for (int32_t index : {0, 2}) {
        SCOPED_TRACE(index);
        Db e;
        const size_t per = size_t(kSortRunBufferSize / indexedDictionary().RecordLength());
        auto rows = randomRows(2 * per + 1, 40 + uint32_t(index));
        auto c = indexedTable(e, "t", rows);
        ASSERT_EQ(c->SwitchToIndex(index, false), 0);
        const int32_t fields[2] = {fKey, fName};
        const bool descending[2] = {false, true};
        const int tables = e.host.Tables().Count();
        ASSERT_EQ(c->SortRecords(fields, 2, descending), 0);
        EXPECT_EQ(e.host.Tables().Count(), tables) << "no run table left";
        ASSERT_EQ(c->SwitchToIndex(0, false), 0);
        EXPECT_EQ(sortedPermutationProblem(rows, walk(*c)), "");
        // Every index holds each record once.
        for (int32_t i : {1, 2}) {
            ASSERT_EQ(c->SwitchToIndex(i, false), 0);
            std::vector<uint32_t> got = ids(walk(*c));
            std::sort(got.begin(), got.end());
            std::vector<uint32_t> want = ids(rows);
            EXPECT_EQ(got, want) << "index " << i;
        }
        EXPECT_EQ(verify(*c->Table()), "");
    }
}

// A simple cursor reads a table with indexes but may not write it: its writes would pass the
// indexes by.
TEST(IndexCursorBulk, SimpleCursorWritesNoIndexedTable) {
    Db e;
    auto rows = randomRows(10, 3);
    static_cast<TqbSrBaseCursor&>(*indexedTable(e, "t", rows)).Close();
    e.host.Tables().RemoveUnused();
    auto writer = e.cursor();
    EXPECT_EQ(
        raised<EqbException>([&] { writer->Open("t", "", 0, true, qbsmShared, false, false, false); }).code,
        192);
    EXPECT_EQ(e.host.Tables().Count(), 0);
    auto reader = e.cursor();
    reader->Open("t", "", 0, false, qbsmShared, false, false, false);
    EXPECT_EQ(ids(walk(*reader)), ids(rows));
}

TEST(IndexCursorBulk, DeleteRecordsWithARange) {
    Db e;
    auto rows = randomRows(3000, 8);
    auto c = indexedTable(e, "t", rows);
    ASSERT_EQ(c->SwitchToIndex(1, false), 0);
    const TqbServerDataDict d = indexedDictionary();
    auto low = image(d, Row{false, false, -10, "", 0}), high = image(d, Row{false, false, 10, "", 0});
    ASSERT_EQ(c->SetRange(false, 1, 0, low.data(), true, 1, 0, high.data(), false), 0);
    ASSERT_EQ(c->DeleteRecords(), 0);
    ASSERT_EQ(c->ResetRange(), 0);
    ASSERT_EQ(c->SwitchToIndex(0, false), 0);
    std::vector<uint32_t> want;
    for (auto& r : rows)
        if (r.keyNull || r.key < -10 || r.key >= 10) want.push_back(r.id);
    EXPECT_EQ(ids(walk(*c)), want);
    EXPECT_EQ(verify(*c->Table()), "");
}

} // namespace
