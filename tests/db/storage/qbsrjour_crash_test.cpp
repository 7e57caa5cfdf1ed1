// The power fails after every prefix of a commit's writes and syncs (with and without the writes
// that no sync made durable): recovery leaves both tables as before or both as after, and once the
// commit has returned, always as after.
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrjour.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

using namespace storetest;

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

// Two tables; one transaction changes blocks 2, 3 and 5 of A, adds a block to A and changes
// blocks 1 and 2 of B.
void runCommit(bool failSafe, plat::MemoryFiles& mem, plat::PowerCutFiles& rec, Recorded& r) {
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
    TqbBlockRelease rel;
    uint8_t* fresh = GetNewBlock(*a.fi, t, rel);
    InitBlockPrefix(fresh, kSigData);
    std::memset(fresh + 16, 'N', 100);
    rel();
    b.write(1, t, 'b');
    b.write(2, t, 'c');
    r.from = failSafe ? 0 : rec.eventCount();
    tm.Commit(1, nested);
    r.to = rec.eventCount();
    r.a1 = getFile("/db/A.QB2");
    r.b1 = getFile("/db/B.QB2");
}

TEST(CrashDuringCommit, EveryPrefixRecoversToBeforeOrAfter) {
    for (bool failSafe : {true, false}) {
        plat::MemoryFiles mem;
        {
            plat::ScopedFiles use(mem);
            plat::DirCreate("/db");
            putFile("/db/A.QB2", tableImage(4096, 7, 2));
            putFile("/db/B.QB2", tableImage(8192, 4, 5));
        }
        plat::PowerCutFiles rec(mem);
        Recorded r;
        runCommit(failSafe, mem, rec, r);
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
                    bool isBefore = a == r.a0 && b == r.b0, isAfter = a == r.a1 && b == r.b1;
                    EXPECT_TRUE(isBefore || isAfter)
                        << "event " << n << " of " << r.to << ", dropped " << drop << ", answer " << answer
                        << ", fail-safe " << failSafe;
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

} // namespace
