// File primitives and the table-file base: each routine's failure, exact and block I/O, volume
// limits, block allocation, a table's files, record locks under the thread deadline, and the
// order of field values.
#include "db/base/qbtbcryp.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbtbbase.h"
#include "platform/Messages.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

using namespace storetest;
using dbtest::raised;

namespace {

// Every routine's failure gives its error number with the file name and the system's text, and
// the file can still be closed. A device error (EIO) is a failure like any other, not a short read.
// Over the in-memory file system and over real files in a temporary folder; the open fails at its
// first and at its second call (the sequence opens the file twice), every other routine at its first.
TEST(FileRoutines, EachFailureNamesTheFileAndTheSystemError) {
    const std::tuple<plat::FileOp, uint64_t, int> cases[] = {
        {plat::FileOp::Open, 1, 1},  {plat::FileOp::Open, 2, 1},      {plat::FileOp::Read, 1, 4},
        {plat::FileOp::Write, 1, 6}, {plat::FileOp::Sync, 1, 9},      {plat::FileOp::Size, 1, 8},
        {plat::FileOp::Close, 1, 3}, {plat::FileOp::Truncate, 1, 10},
    };
    for (bool inMemory : {true, false})
        for (int err : {ENOSPC, EIO})
            for (auto [op, nth, code] : cases) {
                Folder folder(inMemory);
                putFile(folder.file("T.QB2"), std::string(100, 'x'));
                plat::FaultyFiles faulty(inMemory ? static_cast<plat::FileSystem&>(*folder.memory())
                                                  : plat::PosixFiles());
                plat::ScopedFiles use(faulty);
                faulty.failAt(nth, op, err);
                auto fi = AllocFileInfo(folder.file("t"), "QB2", nullptr);
                auto got = raised<EqbServerException>([&] {
                    OpenFile(*fi, true, 0, false, false);
                    char b[10] = {};
                    ReadFileExactAt(*fi, 0, 10, b);
                    WriteFileExactAt(*fi, 50, 10, b);
                    FlushFile(*fi);
                    EXPECT_EQ(GetFileSize(*fi), 100u);
                    CloseFile(*fi);
                    OpenFile(*fi, true, 0, false, false);
                    FileRoutines().SetEndOfFile(*fi, 40);
                });
                const std::string what = std::string(plat::FileOpName(op)) + " #" + std::to_string(nth) +
                                         " " + std::to_string(err) + (inMemory ? " in memory" : " on disk");
                EXPECT_EQ(got.code, code) << what;
                EXPECT_NE(got.message.find("t.QB2"), std::string::npos) << what << ": " << got;
                EXPECT_NE(got.message.find(plat::FileErrorText(err)), std::string::npos)
                    << what << ": " << got;
                if (IsFileOpen(*fi)) CloseFile(*fi);
                EXPECT_TRUE(faulty.openHandles().empty()) << what;
            }
}

TEST(FileRoutines, ExactTransfersBlocksAndTheReadOnlyAttribute) {
    Folder folder(true);
    auto fi = AllocFileInfo(folder.file("E"), "QB2", nullptr);
    OpenFile(*fi, true, 3, true, false);
    fi->Encrypted = true;
    std::string block(4096, 'k');
    WriteFileBlock(*fi, 0, 4096, block.data());
    WriteFileBlock(*fi, 4096, 4096, block.data());
    std::string disk = getFile(folder.file("E.QB2"));
    EXPECT_TRUE(sameBytes(disk.substr(0, 4096), block)); // the header is never scrambled
    std::string scrambled = block;
    ScrambleBlock(scrambled.data(), 4096, 4096, TqbScrambleKey::A);
    EXPECT_TRUE(sameBytes(disk.substr(4096), scrambled));
    std::string back(4096, 0);
    ReadFileBlock(*fi, 4096, 4096, back.data());
    EXPECT_TRUE(sameBytes(back, block));
    auto got = raised<EqbServerException>([&] { ReadFileExactAt(*fi, 8000, 4096, back.data()); });
    EXPECT_EQ(got.code, 5);
    EXPECT_NE(got.message.find("4096 bytes"), std::string::npos) << got;
    // Neighbouring blocks in one write: each is scrambled at its own place, the header not at all.
    fi->BlockSize = 4096;
    std::string run;
    for (char c : {'h', 'p', 'q', 'r'})
        run += std::string(4096, c);
    WriteFileBlock(*fi, 0, uint32_t(run.size()), run.data());
    disk = getFile(folder.file("E.QB2"));
    ASSERT_EQ(disk.size(), run.size());
    EXPECT_TRUE(sameBytes(disk.substr(0, 4096), run.substr(0, 4096)));
    for (uint32_t k = 1; k < 4; ++k) {
        scrambled = run.substr(k * 4096, 4096);
        ScrambleBlock(scrambled.data(), 4096, k * 4096, TqbScrambleKey::A);
        EXPECT_TRUE(sameBytes(disk.substr(k * 4096, 4096), scrambled)) << "block " << k;
        ReadFileBlock(*fi, k * 4096, 4096, back.data());
        EXPECT_TRUE(sameBytes(back, run.substr(k * 4096, 4096))) << "block " << k;
    }
    CloseFile(*fi);
    EXPECT_EQ(raised<EqbServerException>([&] { FlushFile(*fi); }).code, 0); // closed: invalid for this
    // A read-only file opens for reading, whatever was asked.
    plat::Files().chmod(folder.file("E.QB2"), 0444);
    OpenFile(*fi, true, 0, false, false);
    EXPECT_FALSE(fi->ReadWrite);
    EXPECT_EQ(fi->ShareMode, 3);
    CloseFile(*fi);
}

TEST(FileRoutines, VolumeLimitsWithUnknownAsTheLargestBlockCount) {
    EXPECT_EQ(MaxFileSizeForVolume("FAT32", "/x", 0), 4294967294u);
    EXPECT_EQ(MaxFileSizeForVolume("NTFS", "/x", 0), ~uint64_t(0));
    EXPECT_EQ(MaxFileSizeForVolume("FAT16", "/x", 0), 2147483647u);
    EXPECT_EQ(MaxFileSizeForVolume("FAT", "A:\\db\\t.QB2", 0), 1457664u);
    EXPECT_EQ(MaxFileSizeForVolume("CDFS", "/x", 123), 0u);
    EXPECT_EQ(MaxFileSizeForVolume("ext4", "/x", 1u << 30), 1u << 30);
    EXPECT_EQ(MaxBlockCountFor(1457664, 4096), 355u);
    EXPECT_EQ(MaxBlockCountFor(~uint64_t(0), 4096), kMaxBlockCount);
    EXPECT_EQ(MaxBlockCountFor(0, 4096), kMaxBlockCount);
    Folder folder(true);
    folder.memory()->setVolumeName("vfat", 1ull << 40);
    auto fi = AllocFileInfo(folder.file("T"), "QB2", nullptr);
    EXPECT_EQ(GetMaxFileSize(*fi), 4294967294u);
}

// A table's blocks: reuse of freed blocks last-freed-first, a chain head that is no deleted block,
// the size limit, and a file without buffer manager.
TEST(TableFileBase, BlockAllocationTrustsNoChainAndStopsAtTheLimit) {
    Folder folder(true);
    putFile(folder.file("T.QB2"), tableImage(4096, 10));
    Store store(folder.path(), folder.file("T.QB2"));
    // Not bindings: clang 14 refuses a binding that a lambda captures.
    auto& tm = store.tm;
    auto& tab = store.tab;
    TqbSrTransaction* t = nullptr;
    tm.StartTransaction(1, false, t);
    TqbBlockRelease rh, rb;
    for (uint32_t n : {5u, 7u}) {
        uint8_t* h = GetFileBlock(*tab.fi, t, 0, rh, true);
        uint8_t* b = GetFileBlock(*tab.fi, t, n, rb, true);
        FreeBlock(h, b);
        rh();
        rb();
    }
    uint32_t got1 = 0, got2 = 0, got3 = 0;
    GetNewBlock(*tab.fi, t, rb, &got1);
    rb();
    GetNewBlock(*tab.fi, t, rb, &got2);
    rb();
    GetNewBlock(*tab.fi, t, rb, &got3);
    rb();
    EXPECT_EQ(std::vector<uint32_t>({got1, got2, got3}), std::vector<uint32_t>({7, 5, 10}));
    // A head that is not a deleted block carrying its own number is corruption, not a new block.
    uint8_t* h = GetFileBlock(*tab.fi, t, 0, rh, true);
    SetBlockWord(h, kHdrDeletedCount, 1);
    SetBlockWord(h, kHdrDeletedHead, 3);
    rh();
    EXPECT_EQ(raised<EqbServerException>([&] { GetNewBlock(*tab.fi, t, rb); }).code, 32);
    EXPECT_FALSE(rb.Pending());
    h = GetFileBlock(*tab.fi, t, 0, rh, true);
    SetBlockWord(h, kHdrDeletedHead, 4000);
    rh();
    EXPECT_EQ(raised<EqbServerException>([&] { GetNewBlock(*tab.fi, t, rb); }).code, 33);
    h = GetFileBlock(*tab.fi, t, 0, rh, true);
    SetBlockWord(h, kHdrDeletedCount, 0);
    rh();
    // At and beyond the limit.
    tab.fi->MaxBlockCount = 11;
    EXPECT_EQ(raised<EqbServerException>([&] { GetNewBlock(*tab.fi, t, rb); }).code, 184);
    tab.fi->MaxBlockCount = 5;
    EXPECT_EQ(raised<EqbServerException>([&] { GetNewBlock(*tab.fi, t, rb); }).code, 184);
    bool nested;
    tm.Rollback(1, nested);
    TbtdFileInfo bare;
    bare.FileName = "x";
    bare.Handle = 3;
    EXPECT_EQ(raised<EqbServerException>([&] { GetFileBlock(bare, nullptr, 0, rb, false); }).code, 0);
}

TEST(TableFileBase, RenameAndDeleteLeaveNoHalfTable) {
    Folder folder(true);
    for (const char* f : {"T.QB2", "T.IX", "T.BL", "U.BL"})
        putFile(folder.file(f), f);
    // The third target exists: the two renamed files go back.
    auto got = raised<EqbException>([&] { RenameTableFiles(folder.path(), "T.QB2", "U", {"IX", "BL"}); });
    EXPECT_EQ(got.code, 274);
    for (const char* f : {"T.QB2", "T.IX", "T.BL", "U.BL"})
        EXPECT_EQ(getFile(folder.file(f)), f);
    EXPECT_FALSE(plat::FileExists(folder.file("U.QB2")));
    RenameTableFiles(folder.path(), "T", "V", {"IX", "BL"});
    EXPECT_EQ(getFile(folder.file("V.IX")), "T.IX");
    // One file missing: the others go all the same, then the error.
    plat::FileDelete(folder.file("V.IX"));
    got = raised<EqbException>([&] { DeleteTableFiles(folder.path(), "V", {"IX", "BL"}); });
    EXPECT_EQ(got.code, 273);
    EXPECT_FALSE(plat::FileExists(folder.file("V.QB2")));
    EXPECT_FALSE(plat::FileExists(folder.file("V.BL")));
}

// The deadline is kept apart from "no deadline" and measured across the 32-bit wrap.
TEST(TableFileBase, RecordLocksFollowTheThreadDeadline) {
    plat::ManualClock clock((1ull << 32) - 100);
    plat::SetClock(&clock);
    TqbLockManager lm;
    TbtdFileInfo fi;
    fi.FileName = "/db/T.QB2";
    TqbSrTransaction a(1), b(2);
    SetThreadDeadline(1000);
    clock.Advance(500); // past 2^32
    EXPECT_EQ(ThreadTimeRemaining(), 500u);
    LockRecord(fi, lm, &a, 0x100000200ull, false, 11, a.LockOwnerID, lmExclusive);
    LockRecord(fi, lm, &b, 0x100000200ull, false, 12, b.LockOwnerID, lmShare); // only exclusive locks
    auto got = raised<EqbServerException>(
        [&] { LockRecord(fi, lm, &b, 0x100000200ull, true, 12, b.LockOwnerID, lmExclusive); });
    EXPECT_EQ(got.code, 188);
    EXPECT_NE(got.message.find("record 1:512 (high:low)"), std::string::npos) << got;
    EXPECT_NE(got.message.find("/db/T.QB2"), std::string::npos) << got;
    fi.OwnerCursor = 12; // the table's owner cursor takes no record locks
    LockRecord(fi, lm, &b, 0x100000200ull, false, 12, b.LockOwnerID, lmExclusive);
    fi.OwnerCursor = kNoOwnerCursor;
    clock.Advance(496); // 4 ms left: refused before the lock manager is asked
    EXPECT_EQ(raised<EqbServerException>([&] {
                  LockRecord(fi, lm, &b, 8, false, 12, b.LockOwnerID, lmExclusive);
              }).code,
              190);
    clock.Advance(10);
    EXPECT_EQ(ThreadTimeRemaining(), 1u);
    SetThreadDeadline(0);
    EXPECT_EQ(ThreadTimeRemaining(), 0u);
    UnlockRecord(fi, lm, &a, 0x100000200ull, 11, a.LockOwnerID);
    EXPECT_FALSE(lm.IsRecordLocked(0x100000200ull, fi.RecordLocks));
    plat::SetClock(nullptr);
}

template <class T> std::string bytesOf(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

int cmp(int type, const std::string& a, const std::string& b, bool noCase = false, int len = 0) {
    return CompareFieldValues(a.data(), b.data(), type, noCase, len ? len : int(a.size()));
}

std::string extended(bool neg, uint16_t exp, uint64_t mant) {
    return bytesOf(mant) + bytesOf(uint16_t(exp | (neg ? 0x8000 : 0)));
}

TEST(FieldValues, EachTypeHasItsOrder) {
    EXPECT_EQ(cmp(qbtBoolean, "\1", "\2"), 0);
    EXPECT_EQ(cmp(qbtBoolean, std::string(1, '\0'), "\1"), -1);
    EXPECT_EQ(cmp(qbtByte, "\x80", "\x01"), 1);
    EXPECT_EQ(cmp(qbtInt8, "\x80", "\x01"), -1);
    EXPECT_EQ(cmp(qbtChar, "a", "A", true), 0);
    EXPECT_EQ(cmp(qbtChar, "a", "A"), 1);
    EXPECT_EQ(cmp(qbtWord16, bytesOf<uint16_t>(0x8000), bytesOf<uint16_t>(1)), 1);
    EXPECT_EQ(cmp(qbtInt32, bytesOf<int32_t>(-1), bytesOf<int32_t>(1)), -1);
    EXPECT_EQ(cmp(qbtAutoInc, bytesOf<uint32_t>(0xFFFFFFFF), bytesOf<uint32_t>(1)), 1);
    EXPECT_EQ(cmp(qbtDouble, bytesOf(-0.0), bytesOf(0.0)), 0);
    EXPECT_EQ(cmp(qbtDouble, bytesOf(std::nan("")), bytesOf(1e300)), 1);
    EXPECT_EQ(cmp(qbtSingle, bytesOf(-1.5f), bytesOf(-2.5f)), 1);
    EXPECT_EQ(cmp(qbtComp, bytesOf<int64_t>(-5), bytesOf<int64_t>(3)), -1);
    // 80-bit: 1.0, 2.0, -3.0 and zeros of both signs.
    std::string one = extended(false, 16383, 1ull << 63), two = extended(false, 16384, 1ull << 63);
    std::string minus3 = extended(true, 16384, 3ull << 62);
    EXPECT_EQ(cmp(qbtExtended, one, two), -1);
    EXPECT_EQ(cmp(qbtExtended, minus3, one), -1);
    EXPECT_EQ(cmp(qbtExtended, extended(true, 0, 0), extended(false, 0, 0)), 0);
    EXPECT_EQ(cmp(qbtExtended, minus3, extended(true, 16383, 1ull << 63)), -1);
    EXPECT_EQ(cmp(qbtByteArray, "ab\xff", "ab\x01"), 1);
    // Strings go by the one collation and at most the field's characters.
    EXPECT_EQ(cmp(qbtShortString, "\3abc", "\3ABC", true, 4), 0);
    EXPECT_NE(cmp(qbtShortString, "\3abc", "\3ABC", false, 4), 0);
    EXPECT_EQ(cmp(qbtShortString, std::string("\3abc\0", 5), "\4abcd", false, 4), 0);
    EXPECT_EQ(cmp(qbtNullString, std::string("abc\0", 4), std::string("abd\0", 4)), -1);
    std::u16string w1 = u"ab", w2 = u"aB";
    EXPECT_EQ(CompareFieldValues(w1.c_str(), w2.c_str(), qbtWideString, true, 6), 0);
    EXPECT_EQ(raised<EqbServerException>([] { cmp(qbtBLOB + 2, "12345678", "12345678"); }).code, 178);
    EXPECT_EQ(raised<EqbException>([] { cmp(30, "1", "1"); }).code, 325);
}

} // namespace
