// Emptying a table through the recoverable file swap: a failure at each rename or of any file
// routine, and a power cut after each step, leave the table with all its records or none; a damaged
// marker touches nothing.
#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrswap.h"
#include "tests/db/engine/EngineTestSupport.h"

#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"

namespace {

using namespace enginetest;

constexpr size_t kRows = 5;

// kRows rows, committed.
void fill(TqbSrTransactionMgr& tm, TqbSrTable& t) {
    TqbSrTransaction* tr = nullptr;
    ASSERT_EQ(tm.StartTransaction(1, false, tr), 0);
    for (int i = 0; i < int(kRows); ++i) {
        uint64_t ref;
        t.InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref,
                       record(t.GetDictionary(), {"n" + std::to_string(i), "c", i, i}).data(), false);
    }
    bool nested;
    ASSERT_EQ(tm.Commit(1, nested), 0);
}

// Names left in the folder that no finished swap should leave.
std::vector<std::string> leftovers(const std::string& folder) {
    std::vector<plat::DirEntry> entries;
    plat::DirList(folder, entries);
    std::vector<std::string> out;
    for (auto& d : entries)
        if (d.name.rfind("_EMPT", 0) == 0 || d.name.find(".SWAP") != std::string::npos) out.push_back(d.name);
    return out;
}

// The table "people" of the folder "/db" with its folder's managers; closed and released at the end.
struct PeopleInDb {
    TqbBufferManager bm;
    TqbSrFolderList folders;
    TqbSrFolderPtr folder;
    TqbSrTable t;
    explicit PeopleInDb(TqbSrTableHost& host)
        : folder(folders.AddFolder("/db", false, &bm)), t(host, bm, folder, "people") {}
    ~PeopleInDb() {
        try {
            t.CloseFiles(false, nullptr);
        } catch (const std::exception& x) {
            ADD_FAILURE() << "closing the table: " << x.what();
        }
        folders.ReleaseFolder(folder);
    }
};

TEST(TableEmptying, AFailureAtEachRenameLeavesAllRecordsOrNone) {
    for (bool sticky : {false, true}) {
        int undone = 0, emptied = 0;
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 40u);
            Engine e;
            auto t = e.build("people", peopleDictionary(4, true));
            fill(e.tm(), *t);
            plat::FaultyFiles faulty(plat::PosixFiles());
            bool raised = false;
            {
                plat::ScopedFiles scoped(faulty);
                faulty.failAt(n, plat::FileOp::Rename, EIO, sticky);
                try {
                    t->EmptyFiles(nullptr, false);
                } catch (const EqbException& x) {
                    raised = true;
                    EXPECT_TRUE(x.ErrorCode == 274 || x.ErrorCode == 6) << x.what();
                }
            }
            const bool fired = faulty.faultFired();
            // Whatever happened, the next open finds the old table or the empty one.
            t->OpenFiles(false);
            const size_t rows = records(*t, nullptr).size();
            EXPECT_TRUE(rows == kRows || rows == 0) << rows << " rows after a failure at rename " << n;
            EXPECT_EQ(checkConsistent(*t, nullptr), "") << "rename " << n;
            EXPECT_EQ(leftovers(e.folder->GetPath()), std::vector<std::string>()) << "rename " << n;
            EXPECT_EQ(raised, fired);
            if (!sticky && raised) {
                EXPECT_EQ(rows, kRows) << "one failed rename is taken back at once";
            }
            (rows == 0 ? emptied : undone) += raised;
            if (!fired) {
                EXPECT_EQ(rows, 0u);
                EXPECT_GE(n, 6u) << "two marker writes and a rename out and in for each of two files";
                break;
            }
        }
        EXPECT_GT(undone, 0);
        if (sticky) {
            EXPECT_GT(emptied, 0) << "a failure past the point of no return finishes at the next open";
        }
    }
}

// The power fails after every step of an emptying, with and without the writes no sync made
// durable; also of emptyings whose renames fail once, so that they are taken back.
TEST(TableEmptying, APowerCutAfterEachStepLeavesAllRecordsOrNone) {
    TqbSrTableHost host;
    int sawAll = 0, sawNone = 0;
    // Renames 1 and 2 write the marker, 3 to 6 move the two files out and in.
    for (uint64_t failRename : {0, 3, 4, 5, 6}) {
        plat::MemoryFiles mem;
        {
            plat::ScopedFiles use(mem);
            ASSERT_EQ(plat::DirCreate("/db"), 0);
            PeopleInDb db(host);
            db.t.BuildFiles(peopleDictionary(4, true), 0);
            fill(db.folder->TransactionMgr(), db.t);
        }
        plat::FaultyFiles faulty(mem);
        plat::PowerCutFiles rec(faulty);
        size_t from = 0, to = 0;
        bool raised = false;
        {
            plat::ScopedFiles use(rec);
            PeopleInDb db(host);
            db.t.OpenFiles(false);
            from = rec.eventCount();
            if (failRename) faulty.failAt(failRename, plat::FileOp::Rename);
            try {
                db.t.EmptyFiles(nullptr, false);
            } catch (const EqbException&) {
                raised = true;
            }
            to = rec.eventCount();
            EXPECT_EQ(raised, failRename != 0);
        }
        ASSERT_GT(to - from, 20u);
        for (size_t n = from; n <= to; ++n)
            for (bool drop : {false, true}) {
                const std::string at = "event " + std::to_string(n) + " of " + std::to_string(to) +
                                       ", dropped " + std::to_string(drop) + ", failed rename " +
                                       std::to_string(failRename);
                plat::MemoryFiles after;
                ASSERT_EQ(plat::PowerCutFiles::Restore(after, rec.diskAfter(n, drop)), 0);
                plat::ScopedFiles use(after);
                // The folder's start-up settles the swap before any table opens.
                PeopleInDb db(host);
                EXPECT_EQ(leftovers("/db"), std::vector<std::string>()) << at;
                db.t.OpenFiles(false);
                const size_t rows = records(db.t, nullptr).size();
                EXPECT_TRUE(rows == kRows || rows == 0) << rows << " rows; " << at;
                EXPECT_EQ(checkConsistent(db.t, nullptr), "") << at;
                if (n == to) {
                    EXPECT_EQ(rows, raised ? kRows : 0u) << "the outcome the call reported was lost; " << at;
                }
                (rows == 0 ? sawNone : sawAll)++;
            }
    }
    EXPECT_GT(sawAll, 50);
    EXPECT_GT(sawNone, 50);
}

// Any file routine failing once, anywhere in the emptying: the table keeps all its rows or none,
// and nothing of the swap is left behind.
TEST(TableEmptying, AFailureOfAnyFileRoutineLeavesAllRecordsOrNone) {
    TqbSrTableHost host;
    int failed = 0;
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 2000u);
        plat::MemoryFiles mem;
        plat::FaultyFiles faulty(mem);
        plat::ScopedFiles use(faulty);
        ASSERT_EQ(plat::DirCreate("/db"), 0);
        bool fired = false;
        {
            PeopleInDb db(host);
            db.t.BuildFiles(peopleDictionary(4, true), 0);
            fill(db.folder->TransactionMgr(), db.t);
            faulty.failAt(n);
            bool raised = false;
            try {
                db.t.EmptyFiles(nullptr, false);
            } catch (const EqbException&) {
                raised = true;
            }
            fired = faulty.faultFired();
            faulty.clearFault();
            failed += raised;
            ASSERT_NO_THROW(db.t.OpenFiles(false)) << "call " << n;
            const size_t rows = records(db.t, nullptr).size();
            EXPECT_TRUE(rows == kRows || rows == 0) << rows << " rows after a failure at call " << n;
            EXPECT_EQ(checkConsistent(db.t, nullptr), "") << "call " << n;
            EXPECT_EQ(leftovers("/db"), std::vector<std::string>()) << "call " << n;
            if (!raised) {
                EXPECT_EQ(rows, 0u) << "call " << n;
            }
        }
        if (!fired) break;
    }
    EXPECT_GT(failed, 20);
}

// A closed table with rows, and where its swap marker goes.
struct SwapMarker : ::testing::Test {
    Engine e;
    std::unique_ptr<TqbSrTable> t = e.build("people", peopleDictionary());
    const std::string marker = plat::JoinPath(e.folder->GetPath(), "people.SWAP");
    SwapMarker() {
        fill(e.tm(), *t);
        t->CloseFiles(false, nullptr);
    }
};

TEST_F(SwapMarker, ADamagedOneIsRefusedAndTouchesNothing) {
    for (std::string bad : {std::string("PWSWAP 1\nC\npeople\n../x\n_S1\nQB2\nQB2\n"),
                            std::string("PWSWAP 1\nC\npeople\n_E1\n_S1\nQB2\n"), std::string("\0\0\0", 3),
                            std::string("PWSWAP 1\nC\nother\n_E1\n_S1\nQB2\nQB2\n")}) {
        pwtest::writeFile(marker, bad);
        auto r = dbtest::raised<EqbException>([&] { t->OpenFiles(false); });
        EXPECT_EQ(r, (dbtest::Raised{qbFormat(ServerStrings().GetText(32), {marker}), 32}));
        EXPECT_EQ(t->GetFileCount(), 0);
    }
    plat::FileDelete(marker);
    t->OpenFiles(false);
    EXPECT_EQ(records(*t, nullptr).size(), kRows);
}

// A reader of a read-only folder cannot settle a swap: a committed one keeps it off the table, one
// that never committed leaves the old files whole.
TEST_F(SwapMarker, AReadOnlyOpenIsRefusedWhileACommittedSwapIsUnsettled) {
    TqbSrFolderPtr reader = std::make_shared<TqbSrFolder>(e.folder->GetPath(), &e.bm, true);
    TqbSrTable r(e.host, e.bm, reader, "people");
    pwtest::writeFile(marker, "PWSWAP 1\nC\npeople\n_EMPT1\n_EMPTSV1\nQB2\nQB2\n");
    EXPECT_EQ(dbtest::raised<EqbException>([&] { r.OpenFiles(false); }),
              (dbtest::Raised{CompatErrorStrings().GetText(10243), 10243}));
    EXPECT_TRUE(plat::FileExists(marker)) << "left for a writer";
    pwtest::writeFile(marker, "PWSWAP 1\nP\npeople\n_EMPT1\n_EMPTSV1\nQB2\nQB2\n");
    r.OpenFiles(false);
    EXPECT_EQ(records(r, nullptr).size(), kRows);
    r.CloseFiles(false, nullptr);
    // The writer discards the swap that never committed.
    t->OpenFiles(false);
    EXPECT_FALSE(plat::FileExists(marker));
    EXPECT_EQ(records(*t, nullptr).size(), kRows);
}

// Temporary names: one held by another swap of the folder, and those a swap left unsettled in the
// folder names (its files may come back when it is settled), are never handed out again; a name
// comes free when the swap that held it goes.
TEST_F(SwapMarker, TemporaryNamesAreNeverThoseOfAnotherSwapOfTheFolder) {
    const std::string folder = e.folder->GetPath();
    pwtest::writeFile(plat::JoinPath(folder, "other.SWAP"),
                      "PWSWAP 1\nC\nother\n_EMPT1\n_EMPTSV2\nQB2\nQB2\n");
    auto reserve = [&](const std::string& table) {
        auto s = std::make_unique<TqbFileSwap>();
        s->Table = table;
        s->OldExts = s->NewExts = {"QB2"};
        s->ReserveNames(folder, "_EMPT", "_EMPTSV");
        return s;
    };
    auto a = reserve("people");
    EXPECT_EQ(a->New, "_EMPT2");
    EXPECT_EQ(a->Saved, "_EMPTSV1");
    auto b = reserve("third");
    EXPECT_EQ(b->New, "_EMPT3");
    EXPECT_EQ(b->Saved, "_EMPTSV3");
    const TqbFileSwap copy = *a;
    a.reset();
    EXPECT_EQ(reserve("fourth")->New, "_EMPT4") << "a copy of the swap still holds its names";
    EXPECT_EQ(copy.New, "_EMPT2");
    b.reset();
    EXPECT_EQ(reserve("fifth")->New, "_EMPT3");
}

} // namespace
