// Helpers of the engine tests: a data folder in a temporary directory with a table of four
// indexes, record images, and what every index holds compared with the data file.
#pragma once
#include "db/engine/qbsrcur.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbverify.h"
#include "platform/Paths.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace enginetest {

// Runs f on a thread of its own. Threads caught in a deadlock can neither finish nor be joined, so
// when f is not done within the bound the test binary fails at once instead of hanging.
template <class F> void finishesWithin(std::chrono::seconds bound, const char* what, F&& f) {
    auto done = std::async(std::launch::async, std::forward<F>(f));
    if (done.wait_for(bound) == std::future_status::ready) return done.get();
    ADD_FAILURE() << what << ": still not done after " << bound.count()
                  << " s (threads waiting on each other)";
    std::fprintf(stderr, "%s: still not done after %lld s, a deadlock; giving up\n", what,
                 static_cast<long long>(bound.count()));
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

// Runs Check(n, at) with the disk a power cut after each write call among rec's events From..To
// leaves installed as the file system, with and without the writes no sync made durable (at names
// the cut); stops at the first cut a check failed on.
template <class F>
void forEachPowerCut(const plat::PowerCutFiles& rec, size_t From, size_t To, const std::string& What,
                     F&& Check) {
    const std::vector<plat::FileEvent> events = rec.events();
    for (size_t n = From; n <= To; ++n)
        for (bool drop : {false, true}) {
            if (n > From && events[n - 1].more) continue;
            const std::string at = What + (What.empty() ? "" : ", ") + "event " + std::to_string(n) + " of " +
                                   std::to_string(From) + ".." + std::to_string(To) +
                                   (drop ? ", unsynced writes lost" : "");
            plat::MemoryFiles after;
            ASSERT_EQ(plat::PowerCutFiles::Restore(after, rec.diskAfter(n, drop)), 0) << at;
            plat::ScopedFiles use(after);
            Check(n, at);
            if (::testing::Test::HasFailure()) return; // the first disk that shows a fault is enough
        }
}

// name (dups), city (dups), code (unique), name+num (dups): indexes 1 to 4.
inline TqbServerDataDict peopleDictionary(int indexes = 4, bool secondFile = false) {
    TqbServerDataDict d(4096);
    d.SetTableName("people");
    int32_t file = 0;
    if (secondFile) file = d.AddFile("Index file", "QBX", qbfIndex, 4096);
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("city", "", qbtShortString, 20, 0, false);
    d.AddField("code", "", qbtInt32, 0, 0, false);
    d.AddField("num", "", qbtInt32, 0, 0, false);
    const int32_t name = 0, city = 1, code = 2, pair[2] = {0, 3};
    if (indexes >= 1) d.AddIndex("byName", "", file, 1, &name, nullptr, true, true, true);
    if (indexes >= 2) d.AddIndex("byCity", "", 0, 1, &city, nullptr, true, true, false);
    if (indexes >= 3) d.AddIndex("byCode", "", 0, 1, &code, nullptr, false, true, false);
    if (indexes >= 4) d.AddIndex("byNameNum", "", 0, 2, pair, nullptr, true, false, false);
    return d;
}

struct Person {
    std::string name, city;
    int32_t code = 0, num = 0;
    bool operator==(const Person&) const = default;
};

inline std::vector<uint8_t> record(const TqbDataDictionary& d, const Person& p) {
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    auto str = [&](int f, const std::string& s) {
        std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
        v[0] = uint8_t(s.size());
        std::memcpy(v.data() + 1, s.data(), s.size());
        d.SetRecordField(f, r.data(), v.data());
    };
    auto i32 = [&](int f, int32_t x) {
        uint8_t b[4];
        plat::StoreLE32(b, uint32_t(x));
        d.SetRecordField(f, r.data(), b);
    };
    if (!p.name.empty()) str(0, p.name);
    str(1, p.city);
    i32(2, p.code);
    i32(3, p.num);
    return r;
}

inline Person person(const TqbDataDictionary& d, const uint8_t* r) {
    Person p;
    p.name.assign(reinterpret_cast<const char*>(r + d.FieldOffset(0) + 1), r[d.FieldOffset(0)]);
    p.city.assign(reinterpret_cast<const char*>(r + d.FieldOffset(1) + 1), r[d.FieldOffset(1)]);
    p.code = int32_t(plat::LoadLE32(r + d.FieldOffset(2)));
    p.num = int32_t(plat::LoadLE32(r + d.FieldOffset(3)));
    return p;
}

// A data folder in a temporary directory, its folder object and an engine host.
struct Engine {
    pwtest::TempDir dir;
    TqbBufferManager bm;
    TqbSrTableHost host;
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    Engine() {
        bm.SetMaxRAM(64);
        folder = folders.AddFolder(dir.str(), false, &bm);
    }
    ~Engine() { folders.ReleaseFolder(folder); }
    TqbSrTransactionMgr& tm() { return folder->TransactionMgr(); }
    TqbSrTransaction* begin(uint64_t db = 1) {
        TqbSrTransaction* t = nullptr;
        EXPECT_EQ(tm().StartTransaction(db, false, t), 0);
        return t;
    }
    void commit(uint64_t db = 1) {
        bool nested;
        ASSERT_EQ(tm().Commit(db, nested), 0);
    }
    void rollback(uint64_t db = 1) {
        bool nested;
        ASSERT_EQ(tm().Rollback(db, nested), 0);
    }
    std::unique_ptr<TqbSrTable> build(const std::string& name, const TqbDataDictionary& d) {
        auto t = std::make_unique<TqbSrTable>(host, bm, folder, name);
        t->BuildFiles(d, 0);
        t->OpenFiles(false);
        return t;
    }
};

// Every record of the data file as the transaction sees it, by reference.
inline std::map<uint64_t, Person> records(TqbSrTable& t, TqbSrTransaction* tr) {
    std::map<uint64_t, Person> out;
    std::vector<uint8_t> r(size_t(t.GetDictionary().RecordLength()));
    uint64_t ref = 0, next = 0;
    for (;;) {
        t.GetNextRecord(tr, ref, r.data(), next);
        if (next == 0) break;
        ref = next;
        out[ref] = person(t.GetDictionary(), r.data());
    }
    return out;
}

// What an index holds: its (key, reference) entries in index order.
inline std::vector<std::pair<std::string, uint64_t>> indexEntries(TqbSrTable& t, int32_t i,
                                                                  TqbSrTransaction* tr) {
    std::vector<std::pair<std::string, uint64_t>> out;
    TqbIndexData d = t.IndexData(i);
    TqbKeyPath path;
    KeyPathClear(path);
    KeyPathToBegin(path);
    std::vector<uint8_t> key(size_t(t.GetDictionary().IndexKeyLength(i)), 0);
    uint64_t ref = 0;
    while (IndexNextKey(d, tr, path, key.data(), ref))
        out.emplace_back(i == 0 ? std::string() : std::string(key.begin(), key.end()), ref);
    return out;
}

// Empty when every index holds exactly the keys of the data file's records and the verifier finds
// nothing wrong; else what differs.
inline std::string checkConsistent(TqbSrTable& t, TqbSrTransaction* tr) {
    std::string problems;
    for (int32_t f = 0; f < t.GetFileCount(); ++f)
        problems += FormatVerifyProblems(VerifyTableFile(*t.GetFile(f), tr));
    // The stored records as they are, whatever the table's layout.
    const TqbDataDictionary& d = t.GetDictionary();
    std::map<uint64_t, std::vector<uint8_t>> recs;
    for (uint64_t ref = 0, next = 0;; ref = next) {
        std::vector<uint8_t> r(size_t(d.RecordLength()));
        t.GetNextRecord(tr, ref, r.data(), next);
        if (next == 0) break;
        recs[next] = std::move(r);
    }
    for (int32_t i = 0; i < d.IndexCount(); ++i) {
        std::vector<std::pair<std::string, uint64_t>> want;
        for (auto& [ref, r] : recs) {
            std::string key(size_t(d.IndexKeyLength(i)), '\0');
            if (i > 0 && !t.BuildKey(i, r.data(), reinterpret_cast<uint8_t*>(key.data()))) continue;
            want.emplace_back(i == 0 ? std::string() : key, ref);
        }
        auto got = indexEntries(t, i, tr);
        auto sorted = got;
        std::sort(want.begin(), want.end());
        std::sort(sorted.begin(), sorted.end());
        if (sorted != want)
            problems += "index " + std::to_string(i) + ": " + std::to_string(got.size()) + " entries, " +
                        std::to_string(want.size()) + " records\n";
        TqbIndexHeaderEntry h = IndexHeaderEntry(*t.GetFile(d.IndexFileNumber(i)), tr, i);
        if (h.KeyCount != want.size())
            problems += "index " + std::to_string(i) + ": key count " + std::to_string(h.KeyCount) + "\n";
    }
    return problems;
}

} // namespace enginetest
