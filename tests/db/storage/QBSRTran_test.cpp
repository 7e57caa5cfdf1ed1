// Transaction manager: numbers across runs through the counter file and the table stamps,
// renumbering, nesting, locks released at the end, and one engine per folder.
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrjour.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

using namespace storetest;
using dbtest::raised;

namespace {

std::string counter(uint32_t next, double when = 0) {
    std::string s;
    plat::ByteWriter w(s);
    w.u32(next);
    uint64_t bits;
    std::memcpy(&bits, &when, 8);
    w.u64(bits);
    return s;
}

uint32_t startNumber(TqbSrTransactionMgr& tm, uint64_t db) {
    TqbSrTransaction* t = nullptr;
    tm.StartTransaction(db, false, t);
    return t->TransactionNumber;
}

TEST(CounterFile, NumbersContinueAboveTheFileAndEveryStampWhateverTheTimesSay) {
    Folder folder(true);
    putFile(folder.file("A.QB2"), tableImage(4096, 2, 7));
    putFile(folder.file("B.qb2"), tableImage(4096, 2, 3));
    // Missing: made, and the next number is above every stamp.
    {
        TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr);
        EXPECT_EQ(startNumber(tm, 1), 8u);
    }
    EXPECT_EQ(getFile(folder.file(kCounterFileName)), counter(9));
    // Stale (a table written later than the file) and ahead of the stamps.
    putFile(folder.file(kCounterFileName), counter(5, 45000.5));
    {
        TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr);
        EXPECT_EQ(tm.NextTransactionNumber(), 8u);
        EXPECT_EQ(tm.RenumberDateTime(), 0.0);
    }
    putFile(folder.file(kCounterFileName), counter(50, 45000.5));
    {
        TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr);
        EXPECT_EQ(tm.NextTransactionNumber(), 50u);
        EXPECT_EQ(tm.RenumberDateTime(), 45000.5);
    }
    // A stamp at the end of the numbers never gives 0: the first start renumbers.
    putFile(folder.file("C.QB2"), tableImage(4096, 2, 0xFFFFFFFF));
    {
        TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr);
        EXPECT_EQ(tm.NextTransactionNumber(), 0xFFFFFFFFu);
        EXPECT_EQ(startNumber(tm, 1), 2u);
        EXPECT_NE(tm.RenumberDateTime(), 0.0);
    }
}

TEST(CounterFile, AReadOnlyManagerNeverWritesAndAnUnwritableFolderIsRefused) {
    Folder folder(true);
    putFile(folder.file("A.QB2"), tableImage(4096, 2, 41));
    {
        TqbSrTransactionMgr tm(nullptr, true, folder.path(), nullptr);
        EXPECT_EQ(startNumber(tm, 1), 42u);
    }
    EXPECT_FALSE(plat::FileExists(folder.file(kCounterFileName)));
    plat::FaultyFiles faulty(*folder.memory());
    plat::ScopedFiles use(faulty);
    faulty.failAt(1, plat::FileOp::Open, EACCES);
    auto got =
        raised<EqbServerException>([&] { TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr); });
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.message.find(kCounterFileName), std::string::npos) << got;
    EXPECT_NE(got.message.find(plat::FileErrorText(EACCES)), std::string::npos) << got;
    EXPECT_TRUE(faulty.openHandles().empty());
}

// A folder's journals are recovered when its manager is made, before numbering and before any
// table opens; a journal that cannot be recovered fails the creation.
TEST(CounterFile, TheFolderIsRecoveredBeforeItsNumbersAreRead) {
    Folder folder(true);
    std::string table = tableImage(4096, 2, 3), after = table;
    plat::StoreLE32(&after[kBlkStamp], 77);
    std::string j;
    plat::ByteWriter w(j);
    w.u32(kJournalSignature);
    w.u32(1);
    w.u32(kJournalRecordSignature);
    w.u32(0);
    w.u32(4096);
    w.u32(0);
    std::string name = folder.file("T.QB2");
    name.resize(kJournalNameSize, '\0');
    w.bytes(name);
    w.bytes(after.substr(0, 4096));
    putFile(folder.file("T.QB2"), table);
    putFile(folder.file("76_1.QB$"), j.substr(0, j.size() - 1));
    TqbRecoveryEngine recovery;
    EXPECT_EQ(raised<EqbServerException>([&] {
                  TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr, &recovery);
              }).code,
              32);
    putFile(folder.file("76_1.QB$"), j);
    TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr, &recovery);
    EXPECT_FALSE(plat::FileExists(folder.file("76_1.QB$")));
    EXPECT_EQ(tm.NextTransactionNumber(), 78u);
}

TEST(CounterFile, ASecondManagerOfTheSameFolderIsRefused) {
    Folder folder(false);
    TqbSrTransactionMgr first(nullptr, false, folder.path(), nullptr);
    auto got = raised<EqbServerException>(
        [&] { TqbSrTransactionMgr second(nullptr, false, folder.path(), nullptr); });
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.message.find(kCounterFileName), std::string::npos) << got;
}

// Active 100 and 105: the new transaction takes the last number; the three move down so that
// the lowest is 2. The number 0xFFFFFFFF is never handed out.
TEST(Renumbering, ActiveNumbersMoveDownKeepingTheirOrder) {
    Folder folder(true);
    TqbSrTransactionMgr tm(nullptr, false, folder.path(), nullptr);
    tm.SetNextTransactionNumberForTesting(100);
    startNumber(tm, 1);
    tm.SetNextTransactionNumberForTesting(105);
    startNumber(tm, 2);
    tm.SetNextTransactionNumberForTesting(4294967294u);
    startNumber(tm, 3);
    EXPECT_EQ(tm.TransactionOf(1)->TransactionNumber, 2u);
    EXPECT_EQ(tm.TransactionOf(2)->TransactionNumber, 7u);
    EXPECT_EQ(tm.TransactionOf(3)->TransactionNumber, 4294967294u - 98);
    EXPECT_EQ(tm.NextTransactionNumber(), 4294967294u - 97);
    EXPECT_EQ(tm.LowestActiveNumber(), 2u);
    // Exhausted before the start: the new one comes after the moved ones.
    bool nested;
    tm.Rollback(3, nested);
    tm.SetNextTransactionNumberForTesting(0xFFFFFFFF);
    EXPECT_EQ(startNumber(tm, 4), 8u);
    for (uint64_t db : {1, 2, 4})
        tm.Rollback(db, nested);
    EXPECT_EQ(tm.LowestActiveNumber(), std::nullopt);
    tm.SetNextTransactionNumberForTesting(0xFFFFFFFF);
    EXPECT_EQ(startNumber(tm, 5), 2u);
}

TEST(Transactions, NestingEndsOneLevelAtATimeAndLocksGoAtTheEnd) {
    Folder folder(true);
    TqbLockManager lm;
    TqbSrTransactionMgr tm(nullptr, false, folder.path(), &lm);
    bool nested = true;
    EXPECT_EQ(tm.Commit(9, nested), 9990);
    EXPECT_EQ(tm.Rollback(9, nested), 9990);
    TqbSrTransaction* t = nullptr;
    tm.StartTransaction(1, false, t);
    TqbSrTransaction* inner = nullptr;
    tm.StartTransaction(1, false, inner);
    EXPECT_EQ(inner, t);
    EXPECT_EQ(t->CurrentLevel()->LevelNumber, 1u);
    TqbFileRecordLocks file;
    ASSERT_EQ(lm.AcquireRecordLock(4096, file, 0, t->LockOwnerID, t, 0, true, lmExclusive), lrGranted);
    EXPECT_EQ(tm.Commit(1, nested), 0);
    EXPECT_TRUE(nested);
    EXPECT_TRUE(lm.IsRecordLocked(4096, file));
    EXPECT_EQ(tm.Commit(1, nested), 0);
    EXPECT_FALSE(nested);
    EXPECT_FALSE(lm.IsRecordLocked(4096, file));
    EXPECT_EQ(tm.ActiveCount(), 0u);
}

} // namespace
