// Helpers of the simple cursor, sort and copy tests: a database on a data folder in a temporary
// directory, tables of rows (a key, a name, padding, optionally a BLOB and an auto-increment
// field) and their records read back through cursors.
#pragma once
#include "db/engine/qbsrcur_simple.h"
#include "db/storage/qbsrbase.h"
#include "platform/ByteCodec.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace bulktest {

// A database of its own engine stand-in; the cursors still open are closed at the end.
struct Db {
    pwtest::TempDir dir;
    TqbBufferManager bm;
    TqbSrCursorHost host{bm};
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    std::shared_ptr<TqbSrDatabase> db;
    // TempStoreMB: the temporary storage that in-memory tables' pages move to when RAM runs short.
    explicit Db(uint32_t TempStoreMB = 0, uint32_t MaxRAM = 64) : bm(dir.str(), TempStoreMB) {
        bm.SetMaxRAM(MaxRAM);
        folder = folders.AddFolder(dir.str(), false, &bm);
        db = std::make_shared<TqbSrDatabase>(host, folder, 0);
    }
    ~Db() {
        for (auto& o : db->Cursors().Snapshot())
            if (auto* c = dynamic_cast<TqbSrBaseCursor*>(o.get())) c->Close();
        db.reset();
        host.Tables().RemoveUnused();
        folders.ReleaseFolder(folder);
    }
    template <class C = TqbSrSimpleCursor> std::shared_ptr<C> cursor() {
        return std::make_shared<C>(host, 0, *db);
    }
};

enum RowFields { fKey = 0, fName = 1, fPad = 2 };

// key (int32), name (short string 20), pad (bytes, holds the row's id): about 100-byte records;
// with blob a BLOB field (3), with autoInc an auto-increment field after it.
inline TqbServerDataDict rowDictionary(bool blob = false, bool autoInc = false, int32_t pad = 60) {
    TqbServerDataDict d(4096);
    d.SetTableName("rows");
    d.AddField("key", "", qbtInt32, 0, 0, false);
    d.AddField("name", "", qbtShortString, 20, 0, false);
    d.AddField("pad", "", qbtByteArray, pad, 0, false);
    if (blob) {
        d.AddFile("BLOBs", "QBB", qbfBLOB, 4096);
        d.AddField("memo", "", qbtBLOB, 0, 0, false);
    }
    if (autoInc) d.AddField("serial", "", qbtAutoInc, 0, 0, false);
    return d;
}

struct Row {
    bool keyNull = false, nameNull = false;
    int32_t key = 0;
    std::string name;
    uint32_t id = 0;
    bool operator==(const Row&) const = default;
};

inline std::vector<uint8_t> image(const TqbDataDictionary& d, const Row& r) {
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    d.InitRecord(rec.data());
    uint8_t k[4];
    plat::StoreLE32(k, uint32_t(r.key));
    if (!r.keyNull) d.SetRecordField(fKey, rec.data(), k);
    std::vector<uint8_t> s(size_t(d.FieldLength(fName)), 0);
    s[0] = uint8_t(r.name.size());
    std::memcpy(s.data() + 1, r.name.data(), r.name.size());
    if (!r.nameNull) d.SetRecordField(fName, rec.data(), s.data());
    std::vector<uint8_t> pad(size_t(d.FieldLength(fPad)), 0x5A);
    plat::StoreLE32(pad.data(), r.id);
    d.SetRecordField(fPad, rec.data(), pad.data());
    return rec;
}

inline Row row(const TqbDataDictionary& d, const uint8_t* rec) {
    Row r;
    r.keyNull = d.IsRecordFieldNull(fKey, rec);
    if (!r.keyNull) r.key = int32_t(plat::LoadLE32(rec + d.FieldOffset(fKey)));
    r.nameNull = d.IsRecordFieldNull(fName, rec);
    if (!r.nameNull)
        r.name.assign(reinterpret_cast<const char*>(rec + d.FieldOffset(fName) + 1),
                      rec[d.FieldOffset(fName)]);
    r.id = plat::LoadLE32(rec + d.FieldOffset(fPad));
    return r;
}

inline std::vector<Row> randomRows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Row> rows(n);
    for (size_t i = 0; i < n; ++i) {
        Row& r = rows[i];
        r.id = uint32_t(i);
        r.keyNull = rng() % 17 == 0;
        if (!r.keyNull) r.key = int32_t(rng() % 200) - 100;
        r.nameNull = rng() % 13 == 0;
        if (!r.nameNull) r.name = std::string(1, char('a' + rng() % 26)) + char('a' + rng() % 26);
    }
    return rows;
}

// By key (nulls first), then name descending (nulls last).
inline bool rowBefore(const Row& a, const Row& b) {
    if (a.keyNull != b.keyNull) return a.keyNull;
    if (!a.keyNull && a.key != b.key) return a.key < b.key;
    if (a.nameNull != b.nameNull) return b.nameNull;
    if (!a.nameNull && a.name != b.name) return a.name > b.name;
    return false;
}

inline std::vector<uint32_t> ids(const std::vector<Row>& rows) {
    std::vector<uint32_t> out;
    for (auto& r : rows)
        out.push_back(r.id);
    return out;
}

// "" when Sorted holds every row exactly once, whole and in order; else the first problem.
inline std::string sortedPermutationProblem(const std::vector<Row>& rows, const std::vector<Row>& sorted) {
    if (sorted.size() != rows.size())
        return std::to_string(sorted.size()) + " rows for " + std::to_string(rows.size());
    std::vector<bool> seen(rows.size(), false);
    for (size_t i = 0; i < sorted.size(); ++i) {
        const uint32_t id = sorted[i].id;
        if (id >= rows.size() || seen[id]) return "row " + std::to_string(id) + " twice or unknown";
        seen[id] = true;
        if (!(sorted[i] == rows[id])) return "row " + std::to_string(id) + " changed";
        if (i > 0 && rowBefore(sorted[i], sorted[i - 1])) return "out of order at " + std::to_string(i);
    }
    return "";
}

// Every record the cursor shows from its start, through RecordGetNext; 8706 must end the walk.
inline std::vector<Row> walk(TqbSrBaseCursor& c) {
    std::vector<Row> out;
    std::vector<uint8_t> rec(size_t(c.Dictionary().RecordLength()));
    EXPECT_EQ(c.SetToBegin(), 0);
    int32_t rc;
    while ((rc = c.RecordGetNext(rec.data(), lmNone)) == 0)
        out.push_back(row(c.Dictionary(), rec.data()));
    EXPECT_EQ(rc, 8706);
    return out;
}

// Inserts the rows in one transaction of the cursor's database.
inline void insertRows(TqbSrBaseCursor& c, const std::vector<Row>& rows) {
    ASSERT_EQ(c.Database().StartTransaction(), 0);
    for (const Row& r : rows)
        ASSERT_EQ(c.RecordInsert(image(c.Dictionary(), r).data(), lmNone), 0);
    ASSERT_EQ(c.Database().Commit(), 0);
}

} // namespace bulktest
