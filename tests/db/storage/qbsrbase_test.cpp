// Buffer manager: nested levels, LRU and the RAM limit, pinned pages, the journaled commit with its
// order of writes and syncs, and what a failing file routine leaves behind.
#include "db/base/qblllog.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbsrjour.h"
#include "platform/Messages.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "platform/testing/ScopedManualClock.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <thread>

using namespace storetest;
using dbtest::raised;

namespace {

class BufferManagerTest : public ::testing::TestWithParam<bool> {
protected:
    Folder folder{GetParam()};
};

std::string block(const std::string& image, uint32_t bs, uint32_t n) {
    return image.substr(size_t(n) * bs, bs);
}

TEST_P(BufferManagerTest, NestedLevelsSeeTheirOwnDataAndOnlyLevelZeroReachesTheFile) {
    const uint32_t bs = 4096;
    const std::string before = tableImage(bs, 8);
    putFile(folder.file("T.QB2"), before);
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    TqbSrTransaction* t = nullptr;
    bool nested = false;
    tm.StartTransaction(1, false, t);
    tab.write(7, t, 'A');
    tm.StartTransaction(1, false, t); // level 1
    tab.write(7, t, 'B');
    tab.write(6, t, 'b');
    EXPECT_EQ(tab.read(7, t)[100], 'B');
    EXPECT_EQ(tab.read(7)[100], block(before, bs, 7)[100]); // others see the committed block
    tm.Rollback(1, nested);
    EXPECT_TRUE(nested);
    EXPECT_EQ(tab.read(7, t)[100], 'A');
    EXPECT_TRUE(sameBytes(tab.read(6, t), block(before, bs, 6))); // block 6 left the transaction
    tm.StartTransaction(1, false, t);                             // level 1
    tm.StartTransaction(1, false, t);                             // level 2
    tab.write(7, t, 'C');
    tm.Commit(1, nested); // 2 into 1
    tab.write(5, t, 'D');
    tm.Commit(1, nested); // 1 into 0
    EXPECT_TRUE(nested);
    EXPECT_EQ(tab.read(7, t)[100], 'C');
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before)); // nothing reached the file yet
    uint32_t number = t->TransactionNumber;
    tm.Commit(1, nested);
    EXPECT_FALSE(nested);
    std::string after = getFile(folder.file("T.QB2"));
    EXPECT_EQ(after[7 * bs + 100], 'C');
    EXPECT_EQ(after[5 * bs + 100], 'D');
    EXPECT_TRUE(sameBytes(block(after, bs, 6), block(before, bs, 6)));
    EXPECT_EQ(plat::LoadLE32(after.data() + kBlkStamp), number);          // header stamped
    EXPECT_EQ(plat::LoadLE32(after.data() + 7 * bs + kBlkStamp), number); // and each block written
    EXPECT_EQ(tab.read(7)[100], 'C');
    plat::FileFind find;
    EXPECT_NE(find.first(folder.file("*.QB$")), 0); // the journal is gone
}

// A header word comes from the buffer the transaction sees, holds nothing, and after its page was
// taken over for another block comes from the file again.
TEST_P(BufferManagerTest, AHeaderWordIsBlockZeroAsTheTransactionSeesIt) {
    const uint32_t bs = 4096, at = 2000;
    const std::string image = tableImage(bs, 6);
    putFile(folder.file("T.QB2"), image);
    Store store(folder.path(), folder.file("T.QB2"));
    // Not bindings: clang 14 refuses a binding that a lambda captures.
    auto& bm = store.bm;
    auto& tm = store.tm;
    auto& tab = store.tab;
    const uint32_t committed = plat::LoadLE32(image.data() + at);
    ASSERT_NE(committed, 0x41414141u);
    EXPECT_EQ(bm.HeaderWord(*tab.fi, nullptr, at), committed);
    TqbSrTransaction* t = nullptr;
    bool nested = false;
    tm.StartTransaction(1, false, t);
    tab.write(0, t, 'A');
    EXPECT_EQ(bm.HeaderWord(*tab.fi, t, at), 0x41414141u);
    EXPECT_EQ(bm.HeaderWord(*tab.fi, nullptr, at), committed); // others see the committed block
    tm.Rollback(1, nested);
    EXPECT_EQ(bm.HeaderWord(*tab.fi, nullptr, at), committed);
    tm.StartTransaction(1, false, t);
    tab.write(0, t, 'B');
    tm.Commit(1, nested);
    // No page is held after a word was read: with no RAM left, reading another block takes
    // block 0's page over, and block 0 then takes over that one again, read from the file.
    bm.SetMaxRAM(0);
    bm.ReleaseUnusedMemory();
    EXPECT_EQ(bm.HeaderWord(*tab.fi, nullptr, at), 0x42424242u);
    tab.read(3);
    EXPECT_EQ(bm.FindPage(*tab.fi, 0), nullptr);
    EXPECT_EQ(bm.HeaderWord(*tab.fi, nullptr, at), 0x42424242u);
    EXPECT_EQ(bm.FindPage(*tab.fi, 3), nullptr);
    EXPECT_EQ(bm.PageCount(), 1u);
    EXPECT_EQ(plat::LoadLE32(tab.read(0).data() + at), 0x42424242u);
    EXPECT_EQ(raised<EqbException>([&] { bm.HeaderWord(*tab.fi, nullptr, bs); }).code, 0);
}

TEST_P(BufferManagerTest, RollbackDropsNewBlocksAndGivesBackTheBlockCount) {
    putFile(folder.file("T.QB2"), tableImage(4096, 3));
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    TqbSrTransaction* t = nullptr;
    bool nested;
    tm.StartTransaction(1, true, t);
    TqbBlockRelease r;
    uint32_t n = 0;
    GetNewBlock(*tab.fi, t, r, &n);
    r();
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(tab.fi->BlockCount, 4u);
    // A new buffer that nobody wrote shows the fill byte.
    uint8_t* fresh = bm.AddBlock(*tab.fi, t, 4, r);
    EXPECT_EQ(std::count(fresh, fresh + 4096, 70), 4096);
    r();
    tm.Rollback(1, nested);
    EXPECT_EQ(bm.RecycledCount(), 2u);
    EXPECT_EQ(bm.FindPage(*tab.fi, 3), nullptr);
    EXPECT_EQ(tab.fi->BlockCount, 3u);
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), tableImage(4096, 3)));
    plat::FileFind find;
    EXPECT_NE(find.first(folder.file("*.QB$")), 0); // the fail-safe journal went with the rollback
}

// Freed buffers are kept for the next pages: one used again shows nothing of its old content and
// is counted again only while in use.
TEST_P(BufferManagerTest, ABufferUsedAgainShowsOnlyTheFillByte) {
    putFile(folder.file("T.QB2"), tableImage(4096, 3));
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    bm.SetMaxRAM(64);
    const uint64_t before = bm.RAMUsedBytes();
    TqbSrTransaction* t = nullptr;
    bool nested;
    for (int round = 0; round < 3; ++round) {
        tm.StartTransaction(1, true, t);
        TqbBlockRelease r;
        for (uint32_t n = 3; n < 11; ++n) {
            uint8_t* b = bm.AddBlock(*tab.fi, t, n, r);
            EXPECT_EQ(std::count(b, b + 4096, 70), 4096) << "round " << round << ", block " << n;
            std::memset(b, 0xAB, 4096);
            r();
        }
        EXPECT_GT(bm.RAMUsedBytes(), before);
        tm.Rollback(1, nested);
        bm.FreeRecycledPages();
        EXPECT_EQ(bm.RAMUsedBytes(), before);
    }
    bm.ReleaseUnusedMemory();
    EXPECT_EQ(bm.RAMUsedBytes(), before);
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), tableImage(4096, 3)));
}

TEST_P(BufferManagerTest, TheRamLimitTakesOverTheOldestIdlePageButNeverAHeldOne) {
    plat::ScopedManualClock mc;
    plat::ManualClock& clock = mc.clock;
    const uint32_t bs = 32768;
    putFile(folder.file("T.QB2"), tableImage(bs, 40));
    MemoryEventLog log;
    {
        TqbBufferManager bm;
        bm.SetLog(&log);
        bm.SetMaxRAM(1);
        Table tab(bm, folder.file("T.QB2")); // block 0 cached
        TqbBlockRelease held;
        bm.GetBlock(*tab.fi, 1, held, false, nullptr); // pinned, never released below
        for (uint32_t b = 2; b < 32; ++b)
            tab.read(b);
        EXPECT_EQ(bm.RAMUsedBytes(), 1048576u);
        clock.Advance(10ull * 3600 * 1000); // however long it is held
        tab.read(32);                       // 33rd distinct block
        EXPECT_EQ(bm.RAMUsedBytes(), 1048576u);
        EXPECT_EQ(bm.FindPage(*tab.fi, 0), nullptr); // the oldest idle page went
        ASSERT_NE(bm.FindPage(*tab.fi, 1), nullptr); // the held one stayed
        tab.read(33);
        EXPECT_NE(bm.FindPage(*tab.fi, 1), nullptr);
        EXPECT_EQ(bm.FindPage(*tab.fi, 2), nullptr);
        EXPECT_TRUE(sameBytes(tab.read(1), block(tableImage(bs, 40), bs, 1)));
        EXPECT_EQ(log.LineCount(), 1u); // the long hold is reported once
        held();
        tab.read(34);
        EXPECT_EQ(bm.FindPage(*tab.fi, 3), nullptr); // LRU order: 1 was used again after 3
        // Trimming below the limit: idle pages go, oldest first, down to the bytes asked; a held one
        // stays whatever is asked.
        TqbBlockRelease again;
        bm.GetBlock(*tab.fi, 20, again, false, nullptr);
        bm.TrimTo(3 * bs);
        EXPECT_EQ(bm.RAMUsedBytes(), 3u * bs);
        EXPECT_NE(bm.FindPage(*tab.fi, 20), nullptr);
        EXPECT_NE(bm.FindPage(*tab.fi, 34), nullptr);
        bm.TrimTo(0);
        EXPECT_EQ(bm.RAMUsedBytes(), uint64_t(bs));
        EXPECT_NE(bm.FindPage(*tab.fi, 20), nullptr);
        again();
        // Trimming after a lower limit frees idle pages down to it.
        bm.SetMaxRAM(0);
        bm.TrimToMaxRAM();
        EXPECT_EQ(bm.RAMUsedBytes(), 0u);
    }
}

// A page handed out inside a transaction is dated when it leaves it: a hold that goes on past the
// commit is reported five minutes after it, however long the transaction lasted.
TEST_P(BufferManagerTest, AHoldGoingOnPastItsTransactionIsDatedAtTheTransactionsEnd) {
    plat::ScopedManualClock mc;
    plat::ManualClock& clock = mc.clock;
    const uint32_t bs = 32768;
    putFile(folder.file("T.QB2"), tableImage(bs, 80));
    MemoryEventLog log;
    {
        Store store(folder.path(), folder.file("T.QB2"));
        // Not bindings: clang 14 refuses a binding that a lambda captures.
        auto& bm = store.bm;
        auto& tm = store.tm;
        auto& tab = store.tab;
        bm.SetLog(&log);
        bm.SetMaxRAM(1); // 32 blocks
        TqbSrTransaction* t = nullptr;
        bool nested = false;
        tm.StartTransaction(1, false, t);
        TqbBlockRelease held;
        bm.GetBlock(*tab.fi, 1, held, true, t)[100] = 'h';
        clock.Advance(10 * 60 * 1000); // a long transaction
        tm.Commit(1, nested);
        auto readMany = [&](uint32_t from) {
            for (uint32_t b = from; b < from + 36; ++b)
                tab.read(b);
        };
        clock.Advance(4 * 60 * 1000);
        readMany(2); // passes the held page over again and again
        EXPECT_EQ(log.LineCount(), 0u) << "held for four minutes since the commit";
        ASSERT_NE(bm.FindPage(*tab.fi, 1), nullptr);
        clock.Advance(2 * 60 * 1000);
        readMany(40);
        EXPECT_EQ(log.LineCount(), 1u) << "six minutes";
        held();
    }
}

// A transaction far past the RAM limit keeps every page it changed while idle pages are taken over
// for it; at its end its pages come back as the newest ones and the limit holds again, the oldest
// going first.
TEST_P(BufferManagerTest, ATransactionPastTheRamLimitGivesItsPagesBackAtItsEnd) {
    const uint32_t bs = 32768;
    putFile(folder.file("T.QB2"), tableImage(bs, 48));
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    bm.SetMaxRAM(1); // 32 blocks
    for (bool commit : {false, true}) {
        tab.read(47);
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        for (uint32_t b = 1; b <= 40; ++b)
            tab.write(b, t, commit ? 'c' : 'r');
        EXPECT_EQ(bm.RAMUsedBytes(), 80u * bs); // each page with its copy
        EXPECT_EQ(bm.FindPage(*tab.fi, 47), nullptr);
        commit ? tm.Commit(1, nested) : tm.Rollback(1, nested);
        EXPECT_LE(bm.RAMUsedBytes(), 1048576u) << commit;
        EXPECT_EQ(bm.FindPage(*tab.fi, 1), nullptr) << commit;
        EXPECT_NE(bm.FindPage(*tab.fi, 40), nullptr) << commit;
    }
    const std::string disk = getFile(folder.file("T.QB2"));
    for (uint32_t b = 1; b <= 40; ++b)
        EXPECT_EQ(disk[size_t(b) * bs + 100], 'c') << b;
    EXPECT_EQ(tab.read(20)[100], 'c');
}

// Blocks 0 and 5 changed: a before and an after image of each. A block added past the table's end
// has only an after image; enough added blocks to be worth a sync go to the table alone instead,
// synced with the journal before the journal is marked complete.
TEST_P(BufferManagerTest, TheCommitJournalsEveryImageAndSyncsBeforeTheJournalGoes) {
    const uint32_t bs = 8192;
    putFile(folder.file("T.QB2"), tableImage(bs, 8));
    plat::PowerCutFiles rec(plat::Files());
    plat::ScopedFiles use(rec);
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    for (int round = 0; round < 4; ++round) {
        const bool failSafe = round % 2 == 0;
        // Rounds 2 and 3: one added block, then just enough to go straight to the table.
        const uint32_t grow = round < 2 ? 0 : round == 2 ? 1 : uint32_t(kDirectAddedBytes / bs);
        const bool direct = round == 3;
        TqbSrTransaction* t = nullptr;
        bool nested;
        const size_t from = rec.eventCount();
        tm.StartTransaction(1, failSafe, t);
        tab.write(5, t, 'x');
        tab.write(0, t, 'h'); // the header's tail
        std::vector<uint64_t> added;
        for (uint32_t i = 0; i < grow; ++i) {
            TqbBlockRelease r;
            uint32_t n;
            InitBlockPrefix(GetNewBlock(*tab.fi, t, r, &n), kSigData);
            r();
            added.push_back(n);
        }
        tm.Commit(1, nested);
        auto ev = rec.events();
        int journal = -1, table = -1;
        uint64_t journalSize = 0;
        std::vector<std::string> order;
        std::vector<uint64_t> tableWrites;
        for (size_t i = from; i < ev.size(); ++i) {
            const auto& e = ev[i];
            if (e.kind == plat::FileEvent::Create && e.path.ends_with(".QB$")) journal = e.file;
            if (e.kind == plat::FileEvent::Write && e.file == journal)
                journalSize = std::max<uint64_t>(journalSize, e.pos + e.data.size());
            if (e.kind == plat::FileEvent::Write && e.file != journal && e.path.empty()) {
                table = e.file;
                // A block reaches the disk in pages: its first one names it.
                if (e.pos % bs == 0) tableWrites.push_back(e.pos / bs);
            }
            std::string what = e.kind == plat::FileEvent::Create   ? "create"
                               : e.kind == plat::FileEvent::Write  ? (e.file == journal ? "jwrite" : "twrite")
                               : e.kind == plat::FileEvent::Sync   ? (e.file == journal ? "jsync" : "tsync")
                               : e.kind == plat::FileEvent::Remove ? "remove"
                               : e.kind == plat::FileEvent::SyncDir ? "dirsync"
                                                                    : "other";
            if (order.empty() || order.back() != what) order.push_back(what);
        }
        EXPECT_EQ(journalSize, 8u + (4u + (direct ? 0 : grow)) * (276u + bs)) << "round " << round;
        // Added blocks going straight to the table first; the header after the other blocks.
        std::vector<uint64_t> wantWrites{5, 0};
        wantWrites.insert(wantWrites.begin() + (direct ? 0 : 1), added.begin(), added.end());
        EXPECT_EQ(tableWrites, wantWrites) << "round " << round;
        ASSERT_NE(table, -1);
        // The header durable on its own before any record; added blocks going straight to the
        // table only once the records are durable.
        std::vector<std::string> want{"create", "jwrite", "jsync",  "dirsync", "jwrite", "jsync",
                                      "jwrite", "jsync",  "twrite", "tsync",   "remove", "dirsync"};
        if (direct)
            want = {"create", "jwrite", "jsync", "dirsync", "jwrite", "jsync",  "twrite",
                    "tsync",  "jwrite", "jsync", "twrite",  "tsync",  "remove", "dirsync"};
        EXPECT_EQ(order, want) << "round " << round;
    }
}

// Closing a table writes the newest copy of any level; a partial commit writes what the
// transaction changed so far and keeps it going.
TEST_P(BufferManagerTest, FileChangesAndPartialCommitsWriteWithoutEndingTheTransaction) {
    const uint32_t bs = 4096;
    putFile(folder.file("T.QB2"), tableImage(bs, 8));
    Store store(folder.path(), folder.file("T.QB2"));
    auto& [bm, tm, tab] = store;
    TqbSrTransaction* t = nullptr;
    bool nested;
    tm.StartTransaction(1, true, t);
    tab.write(3, t, 'p');
    tm.StartTransaction(1, true, t);
    tab.write(4, t, 'q');
    bm.CommitFileChanges(*tab.fi, *t);
    std::string disk = getFile(folder.file("T.QB2"));
    EXPECT_EQ(disk[3 * bs + 100], 'p');
    EXPECT_EQ(disk[4 * bs + 100], 'q');
    EXPECT_TRUE(t->Pages.empty());
    tm.Rollback(1, nested);
    tm.Rollback(1, nested);
    EXPECT_EQ(tab.read(4)[100], 'q');
    tm.StartTransaction(1, false, t);
    tab.write(2, t, 'r');
    bm.CommitPartial(*t);
    EXPECT_EQ(getFile(folder.file("T.QB2"))[2 * bs + 100], 'r');
    EXPECT_EQ(tm.TransactionOf(1), t);
    tab.write(5, t, 's');
    tm.Rollback(1, nested);
    disk = getFile(folder.file("T.QB2"));
    EXPECT_EQ(disk[2 * bs + 100], 'r');
    EXPECT_EQ(disk[5 * bs + 100], tableImage(bs, 8)[5 * bs + 100]);
    plat::FileFind find;
    EXPECT_NE(find.first(folder.file("*.QB$")), 0);
}

// A journal kept from before (say, one that failed its checks) is never taken over by a new
// journal of the same name.
TEST_P(BufferManagerTest, AJournalNeverReusesTheNameOfAKeptOne) {
    putFile(folder.file("T.QB2"), tableImage(4096, 4));
    plat::PowerCutFiles rec(plat::Files());
    plat::ScopedFiles use(rec);
    Store store(folder.path(), folder.file("T.QB2"));
    // Not bindings: clang 14 refuses a binding that a lambda captures.
    auto& tm = store.tm;
    auto& tab = store.tab;
    auto commitOne = [&] {
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        tab.write(2, t, 'j');
        tm.Commit(1, nested);
    };
    auto lastJournal = [&] {
        std::string name;
        for (const auto& e : rec.events())
            if (e.kind == plat::FileEvent::Create && e.path.ends_with(".QB$")) name = e.path;
        return name.substr(name.find_last_of('/') + 1);
    };
    commitOne();
    std::string first = lastJournal(); // "<number>_<k>.QB$"
    uint32_t k = uint32_t(std::stoul(first.substr(first.find('_') + 1)));
    std::string kept = std::to_string(tm.NextTransactionNumber()) + "_" + std::to_string(k + 1) + ".QB$";
    putFile(folder.file(kept), "kept journal");
    commitOne();
    EXPECT_NE(lastJournal(), kept);
    EXPECT_EQ(getFile(folder.file(kept)), "kept journal");
}

// Committing one table's changes (as closing it does) or a partial commit writes that table's
// pages, or the level-0 ones, and nothing else: another table changed in the same transaction,
// header and data, comes back whole from the rollback, on disk and in memory.
TEST_P(BufferManagerTest, CommittingOneTablesChangesLeavesAnotherTableToTheRollback) {
    const uint32_t bs = 4096;
    const std::string b0 = tableImage(bs, 4, 3);
    putFile(folder.file("A.QB2"), tableImage(bs, 6));
    putFile(folder.file("B.QB2"), b0);
    TqbBufferManager bm;
    TqbSrTransactionMgr tm(&bm, false, folder.path(), nullptr);
    Table ta(bm, folder.file("A.QB2")), tb(bm, folder.file("B.QB2"));
    for (bool partial : {false, true}) {
        const char mark = partial ? 'p' : 'f';
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        ta.write(3, t, mark);
        if (partial) tm.StartTransaction(1, false, t); // B changes at level 1
        TqbBlockRelease r;
        GetNewBlock(*tb.fi, t, r); // B's header
        r();
        tb.write(2, t, mark);
        if (partial)
            bm.CommitPartial(*t);
        else
            bm.CommitFileChanges(*ta.fi, *t);
        EXPECT_EQ(getFile(folder.file("A.QB2"))[3 * bs + 100], mark);
        tm.Rollback(1, nested);
        if (partial) tm.Rollback(1, nested);
        EXPECT_TRUE(sameBytes(getFile(folder.file("B.QB2")), b0)) << mark;
        EXPECT_EQ(tb.fi->BlockCount, 4u) << mark;
        std::string cached;
        for (uint32_t n = 0; n < 4; ++n)
            cached += tb.read(n);
        EXPECT_TRUE(sameBytes(cached, b0)) << mark;
    }
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, BufferManagerTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Memory" : "Disk"; });

// Every call of a commit in turn fails: the commit either leaves the tables as they were (and the
// transaction to roll back) or keeps a complete journal, marks the folder damaged and drops the
// files' cached pages; recovery then finishes it. No file is left open.
TEST(BufferManagerFaults, AFailingCallNeverLeavesAHalfCommittedTable) {
    const uint32_t bs = 4096;
    const std::string a0 = tableImage(bs, 6), b0 = tableImage(bs, 4, 3);
    std::string a1, b1; // after images, from a run without faults
    int untouched = 0, left = 0, afterRecovery = 0;
    // A single failure, then a failure that stays (every later call fails too).
    for (bool sticky : {false, true})
        for (uint64_t n = 0;; ++n) {
            // The blocks the commit added are given back to the disk when nothing can finish it;
            // a failure that stays keeps them there, past the count of A's header.
            auto asBefore = [sticky](const std::string& got, const std::string& want) {
                return sticky ? sameTableBlocks(got, want) : sameBytes(got, want);
            };
            plat::MemoryFiles mem;
            plat::FaultyFiles faulty(mem);
            plat::ScopedFiles use(faulty);
            plat::DirCreate("/db");
            putFile("/db/A.QB2", a0);
            putFile("/db/B.QB2", b0);
            TqbBufferManager bm;
            auto tm = std::make_unique<TqbSrTransactionMgr>(&bm, false, "/db", nullptr);
            bool damaged = false;
            {
                Table ta(bm, "/db/A.QB2"), tb(bm, "/db/B.QB2");
                TqbSrTransaction* t = nullptr;
                bool nested;
                tm->StartTransaction(1, n % 2 == 0, t);
                ta.write(3, t, '3');
                ta.write(5, t, '5');
                tb.write(2, t, '2');
                // Enough added blocks to go straight to A.
                for (uint64_t i = 0; i < kDirectAddedBytes / bs; ++i) {
                    TqbBlockRelease r;
                    InitBlockPrefix(GetNewBlock(*ta.fi, t, r), kSigData);
                    r();
                }
                faulty.reset();
                if (n) faulty.failAt(n, plat::FileOp::Any, EIO, sticky);
                auto got = raised<EqbServerException>([&] { tm->Commit(1, nested); });
                bool fired = faulty.faultFired();
                faulty.clearFault();
                if (!fired) {
                    ASSERT_EQ(got.code, 0) << got;
                    if (n == 0) {
                        if (sticky) continue;
                        a1 = getFile("/db/A.QB2");
                        b1 = getFile("/db/B.QB2");
                        continue;
                    }
                    break; // every call has failed once
                }
                if (got.code == 0) {
                    // A failure the commit could ride out (the roll-forward retry) still commits.
                    EXPECT_TRUE(sameBytes(getFile("/db/A.QB2"), a1)) << "call " << n;
                    continue;
                }
                EXPECT_EQ(got.code, 183) << "call " << n;
                damaged = tm->Damaged();
                ++(damaged ? left : untouched);
                if (!damaged) {
                    EXPECT_TRUE(asBefore(getFile("/db/A.QB2"), a0)) << "call " << n;
                    EXPECT_EQ(tm->TransactionOf(1), t);
                    tm->Rollback(1, nested);
                    EXPECT_TRUE(asBefore(getFile("/db/A.QB2"), a0)) << "call " << n;
                    EXPECT_TRUE(sameBytes(getFile("/db/B.QB2"), b0)) << "call " << n;
                } else {
                    EXPECT_EQ(tm->TransactionOf(1), nullptr);
                    EXPECT_EQ(raised<EqbServerException>([&] { tm->StartTransaction(1, false, t); }).code,
                              183);
                    EXPECT_TRUE(bm.CachedBlocks(*ta.fi).empty());
                }
            }
            if (damaged) {
                // Recovery of the folder lets transactions start again.
                TqbRecoveryEngine rec;
                tm->Recover(rec);
                TqbSrTransaction* t = nullptr;
                bool nested;
                tm->StartTransaction(1, false, t);
                tm->Rollback(1, nested);
            }
            tm.reset();
            EXPECT_TRUE(faulty.openHandles().empty()) << "call " << n;
            if (!damaged) {
                // At most an incomplete journal is left; the next start deletes it untouched.
                TqbRecoveryEngine().CheckFolder("", "/db");
                EXPECT_TRUE(asBefore(getFile("/db/A.QB2"), a0)) << "call " << n;
            }
            if (damaged) {
                // Recovery decided: both tables before, or both after.
                std::string a = getFile("/db/A.QB2"), b = getFile("/db/B.QB2");
                EXPECT_TRUE((asBefore(a, a0) && b == b0) || (a == a1 && b == b1)) << "call " << n;
                afterRecovery += a == a1;
            }
            plat::FileFind find;
            EXPECT_NE(find.first("/db/*.QB$"), 0);
        }
    EXPECT_GT(untouched, 5);
    EXPECT_GT(left, 8);
    EXPECT_GT(afterRecovery, 5);
}

// A commit that fails once its journal is complete leaves the file to recovery: pages that callers
// still hold leave the cache too, so the next reader reads the disk, while each holder reads the
// buffer it was given until it lets go. Whether the commit left its journal is known by the
// transaction itself, never by the memory it lived in.
TEST(BufferManagerFaults, AFailedCommitDropsHeldPagesWhileTheirHoldersKeepTheirBuffers) {
    const uint32_t bs = 4096;
    const std::string a0 = tableImage(bs, 6);
    plat::MemoryFiles mem;
    plat::FaultyFiles faulty(mem);
    plat::ScopedFiles use(faulty);
    plat::DirCreate("/db");
    putFile("/db/A.QB2", a0);
    TqbBufferManager bm;
    {
        TqbSrTransactionMgr tm(&bm, false, "/db", nullptr);
        Table ta(bm, "/db/A.QB2");
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        ta.write(3, t, 'n');
        TqbBlockRelease readerHold, writerHold;
        const uint8_t* seen = bm.GetBlock(*ta.fi, 3, readerHold, false, nullptr); // the committed block
        const uint8_t* own = bm.GetBlock(*ta.fi, 3, writerHold, false, t);        // the copy
        faulty.failAt(1, plat::FileOp::Remove, EIO);                              // the journal stays
        EXPECT_EQ(raised<EqbServerException>([&] { tm.Commit(1, nested); }).code, 183);
        faulty.clearFault();
        ASSERT_TRUE(tm.Damaged());
        EXPECT_EQ(seen[100], a0[3 * bs + 100]);
        EXPECT_EQ(own[100], 'n');
        const std::string disk = getFile("/db/A.QB2");
        EXPECT_EQ(disk[3 * bs + 100], 'n'); // the tables were complete
        EXPECT_TRUE(sameBytes(ta.read(3), block(disk, bs, 3)));
        EXPECT_TRUE(sameBytes(ta.read(0), block(disk, bs, 0)));
        readerHold();
        writerHold();
    }
    bm.FreeRecycledPages();
    EXPECT_EQ(bm.RAMUsedBytes(), 0u); // the buffers kept for the holders went with them

    // A transaction whose commit left a journal, and a later one that happens to live where it did.
    Table ta(bm, "/db/A.QB2");
    alignas(TqbSrTransaction) unsigned char room[sizeof(TqbSrTransaction)];
    auto* failed = new (room) TqbSrTransaction(1);
    failed->TransactionNumber = 50;
    bm.StartTransaction(*failed, false, "/db");
    ta.write(2, failed, 'x');
    faulty.failAt(1, plat::FileOp::Remove, EIO);
    EXPECT_EQ(raised<EqbServerException>([&] { bm.CommitTransaction(*failed); }).code, 183);
    faulty.clearFault();
    EXPECT_TRUE(bm.CommitLeftJournal(*failed));
    failed->~TqbSrTransaction();
    auto* next = new (room) TqbSrTransaction(1);
    EXPECT_FALSE(bm.CommitLeftJournal(*next));
    next->~TqbSrTransaction();
}

// A buffer handed out stays valid and unchanged until its holder releases it, whatever commits,
// merges or rolls back meanwhile: another thread's commit of the block while a reader holds it,
// then the merge and the rollback of the level whose copy a caller holds.
TEST(BufferManagerHolds, AHeldBufferOutlivesCommitsMergesAndRollbacks) {
    const uint32_t bs = 4096;
    Folder folder(true);
    putFile(folder.file("T.QB2"), tableImage(bs, 6));
    Store store(folder.path(), folder.file("T.QB2"));
    // Not bindings: clang 14 refuses a binding that a lambda captures.
    auto& bm = store.bm;
    auto& tm = store.tm;
    auto& tab = store.tab;
    // Every committed image of block 3 has one byte value from offset 16 on.
    auto whole = [](const uint8_t* b) { return std::count(b + 16, b + bs, b[16]) == bs - 16; };
    auto commitBlock3 = [&](uint64_t db, char c) {
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(db, false, t);
        tab.write(3, t, c);
        tm.Commit(db, nested);
    };

    // A reader holds the block while a writer thread commits it; then both run freely.
    TqbBlockRelease r;
    const uint8_t* held = bm.GetBlock(*tab.fi, 3, r, false, nullptr);
    const uint8_t before = held[100];
    std::thread writer([&] { commitBlock3(1, 'w'); });
    writer.join();
    EXPECT_EQ(held[100], before);
    EXPECT_TRUE(whole(held));
    r();
    EXPECT_EQ(tab.read(3)[100], 'w');
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            TqbBlockRelease rr;
            const uint8_t* b = bm.GetBlock(*tab.fi, 3, rr, false, nullptr);
            if (!whole(b)) ++torn;
            rr();
        }
    });
    writer = std::thread([&] {
        for (int i = 0; i < 300; ++i)
            commitBlock3(2, char('A' + i % 26));
        done = true;
    });
    writer.join();
    reader.join();
    EXPECT_EQ(torn.load(), 0);

    // A caller of the transaction holds the copy of level 1 across its merge, and another the copy
    // of level 2 across its rollback.
    TqbSrTransaction* t = nullptr;
    bool nested;
    tm.StartTransaction(1, false, t);
    tab.write(3, t, '0');
    tm.StartTransaction(1, false, t);
    tab.write(3, t, '1');
    TqbBlockRelease merged;
    const uint8_t* one = bm.GetBlock(*tab.fi, 3, merged, false, t);
    tm.Commit(1, nested); // 1 into 0
    tm.StartTransaction(1, false, t);
    tab.write(3, t, '2');
    TqbBlockRelease dropped;
    const uint8_t* two = bm.GetBlock(*tab.fi, 3, dropped, false, t);
    tm.Rollback(1, nested);
    EXPECT_EQ(one[100], '1');
    EXPECT_EQ(two[100], '2');
    merged();
    dropped();
    tm.Commit(1, nested);
    EXPECT_EQ(tab.read(3)[100], '1');
    // Nothing kept for a holder outlives the holds.
    EXPECT_EQ(bm.RAMUsedBytes(), uint64_t(bm.PageCount()) * bs);
}

} // namespace

namespace {

// Pages of an in-memory table leave RAM for the temporary storage and come back byte for byte;
// with the storage full they stay in RAM.
TEST(BufferManagerTempStorage, InMemoryPagesParkAndComeBackIntact) {
    Folder folder(true);
    const uint32_t bs = 32768;
    for (uint32_t blocks : {40u, 60u}) {
        TqbBufferManager bm(folder.path(), 1); // 16 blocks of 64 KB
        bm.SetMaxRAM(1);
        TqbSrTransactionMgr tm(&bm, false, folder.path(), nullptr);
        auto fi = AllocFileInfo(folder.file("M"), "QB2", &bm);
        fi->Flags = kFileNoDiskFile;
        fi->BlockSize = bs;
        fi->BlockShift = 15;
        fi->BlockCount = blocks;
        OpenFile(*fi, true, 0, false, false);
        TqbSrTransaction* t = nullptr;
        bool nested;
        tm.StartTransaction(1, false, t);
        for (uint32_t b = 0; b < blocks; ++b) {
            TqbBlockRelease r;
            uint8_t* p = bm.AddBlock(*fi, t, b, r);
            std::memset(p + 16, int(b), bs - 16);
            r();
        }
        const uint32_t number = t->TransactionNumber;
        tm.Commit(1, nested);
        const uint64_t parked = blocks == 40 ? 8 : 16;
        EXPECT_EQ(bm.RAMUsedBytes(), (blocks - parked) * bs) << blocks;
        EXPECT_EQ(raised<EqbServerException>([&] { bm.SetTempStoreSize(2); }).code, 0);
        for (uint32_t b = 0; b < blocks; ++b) {
            TqbBlockRelease r;
            uint8_t* p = bm.GetBlock(*fi, b, r, false, nullptr);
            EXPECT_EQ(std::count(p + 16, p + bs, uint8_t(b)), bs - 16) << "block " << b;
            EXPECT_EQ(BlockWord(p, kBlkStamp), number);
            r();
        }
        bm.RemoveFile(*fi);
        CloseFile(*fi);
        bm.SetTempStoreSize(2); // nothing parked any more
    }
}

} // namespace
