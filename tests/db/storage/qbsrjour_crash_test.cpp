// The power fails after every prefix of a commit's writes and syncs (with and without the writes
// that no sync made durable, or any subset of them), whether the blocks it added went through the journal or
// straight to the table: recovery leaves both tables as before or both as after, and once the commit has
// returned, always as after; a commit that grew a table rolls back to a sound table.
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrjour.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/storage/StorageTestSupport.h"
#include "tests/db/storage/TableFileSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

using namespace storetest;
using dbtest::raised;

namespace {

struct Answer : TqbJournalPrompt {
    int answer;
    explicit Answer(int a) : answer(a) {}
    int Ask(int, const std::string&, const std::string&, const std::string&, const std::string&) override {
        return answer;
    }
};

struct Recorded {
    std::map<std::string, std::string> start; // the disk before the commit
    size_t from = 0, to = 0;                  // the commit's events
    std::string a0, b0, a1, b1;
};

// A table of 4 KB blocks gets its added blocks straight from a commit from this many on.
constexpr uint32_t kDirectBlocks = uint32_t(kDirectAddedBytes / 4096);

// The folder "/db" with the tables A (4 KB blocks) and B (8 KB blocks).
void makeTables(plat::MemoryFiles& mem) {
    plat::ScopedFiles use(mem);
    plat::DirCreate("/db");
    putFile("/db/A.QB2", tableImage(4096, 7, 2));
    putFile("/db/B.QB2", tableImage(8192, 4, 5));
}

// Two tables; one transaction changes blocks 2, 3 and 5 of A, adds blocks to A and changes
// blocks 1 and 2 of B.
void runCommit(bool failSafe, plat::MemoryFiles& mem, plat::PowerCutFiles& rec, Recorded& r, uint32_t grow) {
    plat::ScopedFiles use(rec);
    TqbBufferManager bm;
    TqbSrTransactionMgr tm(&bm, false, "/db", nullptr);
    Table a(bm, "/db/A.QB2"), b(bm, "/db/B.QB2");
    r.a0 = getFile("/db/A.QB2");
    r.b0 = getFile("/db/B.QB2");
    TqbSrTransaction* t = nullptr;
    bool nested;
    tm.StartTransaction(1, failSafe, t);
    a.write(2, t, '2');
    a.write(3, t, '3');
    a.write(5, t, '5');
    for (uint32_t i = 0; i < grow; ++i) {
        TqbBlockRelease rel;
        uint8_t* fresh = GetNewBlock(*a.fi, t, rel);
        InitBlockPrefix(fresh, kSigData);
        std::memset(fresh + 16, 'N', 100);
        rel();
    }
    b.write(1, t, 'b');
    b.write(2, t, 'c');
    r.from = failSafe ? 0 : rec.eventCount();
    tm.Commit(1, nested);
    r.to = rec.eventCount();
    r.a1 = getFile("/db/A.QB2");
    r.b1 = getFile("/db/B.QB2");
}

TEST(CrashDuringCommit, EveryPrefixRecoversToBeforeOrAfter) {
    for (uint32_t grow : {1u, kDirectBlocks})
        for (bool failSafe : {true, false}) {
            plat::MemoryFiles mem;
            makeTables(mem);
            plat::PowerCutFiles rec(mem);
            Recorded r;
            runCommit(failSafe, mem, rec, r, grow);
            ASSERT_FALSE(r.a0 == r.a1 || r.b0 == r.b1);
            ASSERT_GT(r.to - r.from, 20u);
            int sawBefore = 0, sawAfter = 0, recovered = 0;
            for (size_t n = r.from; n <= r.to; ++n)
                for (bool drop : {false, true})
                    for (int answer : {kJournalCommit, kJournalRollback}) {
                        auto disk = rec.diskAfter(n, drop);
                        plat::MemoryFiles after;
                        ASSERT_EQ(plat::PowerCutFiles::Restore(after, disk), 0);
                        plat::ScopedFiles use(after);
                        plat::FileFind find;
                        bool journal = find.first("/db/*.QB$") == 0;
                        Answer p(answer);
                        TqbRecoveryEngine(&p).CheckFolder("A", "/db");
                        std::string a = getFile("/db/A.QB2"), b = getFile("/db/B.QB2");
                        // Blocks added straight to A past its old count are cut off again.
                        bool isBefore = a == r.a0 && b == r.b0, isAfter = a == r.a1 && b == r.b1;
                        EXPECT_TRUE(isBefore || isAfter)
                            << "event " << n << " of " << r.to << ", dropped " << drop << ", answer "
                            << answer << ", fail-safe " << failSafe << ", grown by " << grow;
                        if (n == r.to) {
                            EXPECT_TRUE(isAfter) << "a returned commit was lost; dropped " << drop;
                        }
                        sawBefore += isBefore;
                        sawAfter += isAfter;
                        recovered += journal;
                        EXPECT_NE(find.first("/db/*.QB$"), 0);
                    }
            EXPECT_GT(sawBefore, 10);
            EXPECT_GT(sawAfter, 10);
            EXPECT_GT(recovered, 10);
        }
}

// The power fails after any prefix of a commit's events, and the disk keeps any subset of the
// changes no sync made durable (not only a prefix of them): recovery leaves no file behind and both
// tables exactly as before or as after. Every subset while there are few, seeded random ones beyond
// (PW_POWERCUT_SUBSETS=<n> raises their number per prefix).
TEST(CrashDuringCommit, AnySubsetOfUnsyncedWritesRecoversToBeforeOrAfter) {
    size_t samples = 48;
    if (const char* v = std::getenv("PW_POWERCUT_SUBSETS"))
        samples = std::max<size_t>(1, std::strtoul(v, nullptr, 10));
    std::mt19937_64 rng(20261208);
    for (uint32_t grow : {1u, kDirectBlocks}) {
        plat::MemoryFiles mem;
        makeTables(mem);
        plat::PowerCutFiles rec(mem);
        Recorded r;
        runCommit(true, mem, rec, r, grow);
        size_t disks = 0, partial = 0;
        for (size_t n = r.from; n <= r.to; ++n) {
            const std::vector<size_t> loose = rec.unsynced(n);
            std::vector<std::vector<size_t>> subsets;
            if (loose.size() < 63 && (uint64_t(1) << loose.size()) <= samples) {
                for (uint64_t bits = 0; bits < (uint64_t(1) << loose.size()); ++bits) {
                    subsets.emplace_back();
                    for (size_t k = 0; k < loose.size(); ++k)
                        if (bits >> k & 1) subsets.back().push_back(loose[k]);
                }
            } else {
                subsets = {{}, loose};
                for (size_t s = 0; s < samples; ++s) {
                    subsets.emplace_back();
                    for (size_t i : loose)
                        if (rng() & 1) subsets.back().push_back(i);
                }
            }
            for (const std::vector<size_t>& kept : subsets)
                for (int answer : {kJournalCommit, kJournalRollback}) {
                    plat::MemoryFiles after;
                    ASSERT_EQ(plat::PowerCutFiles::Restore(after, rec.diskAfter(n, kept)), 0);
                    plat::ScopedFiles use(after);
                    Answer p(answer);
                    const std::string at = "event " + std::to_string(n) + " of " + std::to_string(r.to) +
                                           ", kept " + std::to_string(kept.size()) + " of " +
                                           std::to_string(loose.size()) + " unsynced, answer " +
                                           std::to_string(answer) + ", grown by " + std::to_string(grow);
                    EXPECT_NO_THROW(TqbRecoveryEngine(&p).CheckFolder("A", "/db")) << at;
                    const std::string a = getFile("/db/A.QB2"), b = getFile("/db/B.QB2");
                    const bool isBefore = a == r.a0 && b == r.b0, isAfter = a == r.a1 && b == r.b1;
                    EXPECT_TRUE(isBefore || isAfter) << at;
                    plat::FileFind find;
                    EXPECT_NE(find.first("/db/*.QB$"), 0) << at << ": " << find.path() << " left";
                    ++disks;
                    partial += !kept.empty() && kept.size() < loose.size();
                }
        }
        EXPECT_GT(disks, 100u);
        EXPECT_GT(partial, 20u);
    }
}

// The power fails while recovery rolls forward or back a complete journal of a commit that grew a
// table (whose added blocks the journal does not hold): the next start can always finish either way,
// except a roll forward once a rollback has cut the added block off: that writes nothing and keeps
// the journal, and a rollback then finishes.
TEST(CrashDuringRecovery, ARollbackCutShortCanAlwaysBeFinished) {
    plat::MemoryFiles mem;
    makeTables(mem);
    plat::PowerCutFiles rec(mem);
    Recorded r;
    runCommit(true, mem, rec, r, kDirectBlocks);
    // The disk once the journal is durably complete.
    std::map<std::string, std::string> complete;
    for (size_t n = r.from; n <= r.to && complete.empty(); ++n) {
        auto disk = rec.diskAfter(n, true);
        plat::MemoryFiles probe;
        ASSERT_EQ(plat::PowerCutFiles::Restore(probe, disk), 0);
        plat::ScopedFiles use(probe);
        plat::FileFind find;
        if (find.first("/db/*.QB$") == 0 && CheckJournal(find.path()).Complete) complete = disk;
    }
    ASSERT_FALSE(complete.empty());
    int cutOff = 0;
    for (int first : {kJournalCommit, kJournalRollback}) {
        plat::MemoryFiles start;
        ASSERT_EQ(plat::PowerCutFiles::Restore(start, complete), 0);
        plat::PowerCutFiles recovery(start);
        {
            plat::ScopedFiles use(recovery);
            Answer p(first);
            TqbRecoveryEngine(&p).CheckFolder("A", "/db");
        }
        for (size_t n = 0; n <= recovery.eventCount(); ++n)
            for (bool drop : {false, true})
                for (int answer : {kJournalCommit, kJournalRollback}) {
                    plat::MemoryFiles disk;
                    ASSERT_EQ(plat::PowerCutFiles::Restore(disk, recovery.diskAfter(n, drop)), 0);
                    plat::ScopedFiles use(disk);
                    const std::string a = getFile("/db/A.QB2"), b = getFile("/db/B.QB2");
                    Answer p(answer);
                    plat::FileFind find;
                    const bool journal = find.first("/db/*.QB$") == 0;
                    const std::string at = "first " + std::to_string(first) + ", event " + std::to_string(n) +
                                           ", dropped " + std::to_string(drop);
                    if (raised<EqbServerException>([&] {
                            TqbRecoveryEngine(&p).CheckFolder("A", "/db");
                        }).code) {
                        EXPECT_EQ(first, kJournalRollback) << at;
                        EXPECT_EQ(answer, kJournalCommit) << at;
                        EXPECT_EQ(find.first("/db/*.QB$"), 0) << at;
                        EXPECT_TRUE(sameBytes(getFile("/db/A.QB2"), a)) << at;
                        EXPECT_TRUE(sameBytes(getFile("/db/B.QB2"), b)) << at;
                        ++cutOff;
                        Answer back(kJournalRollback);
                        TqbRecoveryEngine(&back).CheckFolder("A", "/db");
                        answer = kJournalRollback;
                    }
                    // Without a journal the first recovery had finished.
                    const bool after = (journal ? answer : first) == kJournalCommit;
                    EXPECT_TRUE(sameBytes(getFile("/db/A.QB2"), after ? r.a1 : r.a0))
                        << at << ", answer " << answer;
                    EXPECT_TRUE(sameBytes(getFile("/db/B.QB2"), after ? r.b1 : r.b0))
                        << at << ", answer " << answer;
                    EXPECT_NE(find.first("/db/*.QB$"), 0) << at;
                }
    }
    EXPECT_GT(cutOff, 0);
}

// Blocks a transaction adds carry no before image in the journal: a rollback after any prefix of
// the commit still gives back the table's bytes, and the verifier finds nothing wrong either way.
TEST(CrashDuringCommit, AGrownTableRollsBackWithoutBeforeImagesOfItsNewBlocks) {
    tabletest::Db db(false);
    const std::string file = db.file("contacts.QB2");
    auto insert = [&](tabletest::Table& t, int from, int count) {
        TqbSrTransaction* tr = db.begin(true);
        const TqbDataDictionary& d = t.dict();
        std::vector<uint8_t> rec(size_t(d.RecordLength())), key(size_t(d.IndexKeyLength(1)));
        for (int i = from; i < from + count; ++i) {
            d.InitRecord(rec.data());
            std::string name = "contact " + std::to_string(i * 7919 % 1000);
            uint8_t v[41] = {uint8_t(name.size())};
            std::memcpy(v + 1, name.data(), name.size());
            d.SetRecordField(0, rec.data(), v);
            uint64_t ref;
            DataFileAddRecord(*t.fi, tr, ref, rec.data());
            uint8_t k0[8];
            plat::StoreLE64(k0, ref);
            BuildCompositeKey(d, 1, rec.data(), key.data());
            IndexInsertKey(t.index(0), tr, k0, ref);
            IndexInsertKey(t.index(1), tr, key.data(), ref);
        }
        db.commit();
    };
    {
        tabletest::Table t(db, "contacts", tabletest::contactsDictionary());
        insert(t, 0, 50);
    }
    const std::string before = getFile(file);
    plat::PowerCutFiles rec(plat::Files());
    size_t from = 0, to = 0;
    {
        plat::ScopedFiles use(rec);
        tabletest::Table t(db, "contacts");
        from = rec.eventCount();
        insert(t, 50, 400);
        to = rec.eventCount();
    }
    const std::string after = getFile(file);
    const uint32_t bs = 4096;
    ASSERT_GE(after.size(), before.size() + kDirectAddedBytes); // straight to the table

    // The journal holds a before and an after image of blocks the table had, only; each block the
    // commit added reached the table once.
    const uint32_t oldCount = uint32_t(before.size() / bs), newCount = uint32_t(after.size() / bs);
    uint64_t images[2] = {0, 0};
    std::map<uint32_t, int> tableWrites;
    std::map<int, std::string> journals; // as written
    const std::vector<plat::FileEvent> events = rec.events();
    for (size_t i = from; i < to; ++i) {
        const plat::FileEvent& e = events[i];
        if (e.kind == plat::FileEvent::Create && e.path.ends_with(".QB$")) journals[e.file];
        if (e.kind != plat::FileEvent::Write) continue;
        if (auto j = journals.find(e.file); j != journals.end()) {
            std::string& bytes = j->second;
            if (bytes.size() < e.pos + e.data.size()) bytes.resize(e.pos + e.data.size());
            bytes.replace(e.pos, e.data.size(), e.data);
        } else if (e.pos % bs == 0 && e.data.size() == bs) { // a page of a block (not the counter)
            ++tableWrites[uint32_t(e.pos / bs)];
        }
    }
    for (const auto& [file, bytes] : journals)
        for (size_t at = kJournalHeaderSize; at + kJournalRecordHeaderSize <= bytes.size();) {
            const auto* d = reinterpret_cast<const uint8_t*>(bytes.data() + at);
            images[plat::LoadLE32(d + 12) & 1]++;
            EXPECT_LT(plat::LoadLE32(d + 4), oldCount);
            at += kJournalRecordHeaderSize + plat::LoadLE32(d + 8);
        }
    EXPECT_EQ(images[0], images[1]);
    EXPECT_GT(images[0], 0u);
    for (uint32_t b = oldCount; b < newCount; ++b)
        EXPECT_EQ(tableWrites[b], 1) << "block " << b;

    int rolledBack = 0;
    for (size_t n = from; n <= to; ++n)
        for (bool drop : {false, true})
            for (int answer : {kJournalCommit, kJournalRollback}) {
                plat::MemoryFiles disk;
                ASSERT_EQ(plat::PowerCutFiles::Restore(disk, rec.diskAfter(n, drop)), 0);
                plat::ScopedFiles use(disk);
                plat::FileFind find;
                const bool complete =
                    find.first(db.path() + "/*.QB$") == 0 && CheckJournal(find.path()).Complete;
                Answer p(answer);
                TqbRecoveryEngine(&p).CheckFolder("contacts", db.path());
                const std::string now = getFile(file);
                const bool isBefore = sameTableBlocks(now, before), isAfter = now == after;
                EXPECT_TRUE(isBefore || isAfter)
                    << "event " << n << ", dropped " << drop << ", answer " << answer;
                if (complete && answer == kJournalRollback) {
                    EXPECT_TRUE(sameBytes(now, before)) << "event " << n << ", dropped " << drop;
                    ++rolledBack;
                }
                TqbVerifyReport report = VerifyTableFileOnDisk(file);
                EXPECT_TRUE(report.empty()) << "event " << n << ": " << FormatVerifyProblems(report);
            }
    EXPECT_GT(rolledBack, 10);
}

} // namespace
