// Table-file base: header check, block access through the buffer manager, block allocation and the
// deleted-block chain, deleting and renaming a table's files, and record locks.
#include "db/storage/qbtbbase.h"

#include "db/base/qbllbase.h"
#include "db/storage/qbsrbase.h"
#include "platform/Files.h"

void CheckTableHeader(const TbtdFileInfo& FileInfo, const uint8_t* header) {
    CheckFileSignature(FileInfo, BlockWord(header, kBlkSignature));
    uint32_t bs = BlockWord(header, kHdrBlockSize);
    if (BlockWord(header, kBlkLink) != kNoBlock || BlockWord(header, kBlkOwnNumber) != 0 ||
        !IsValidBlockSize(bs) || BlockWord(header, kHdrBlockShift) != BlockSizeToShift(bs))
        RaiseServerError(32, {FileInfo.FileName});
}

namespace {

TqbBufferManager& managerOf(TbtdFileInfo& f) {
    CheckFileInfo(f, true);
    if (!f.BufferManager) RaiseServerError(0);
    return *f.BufferManager;
}

} // namespace

uint8_t* GetFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                      TqbBlockRelease& Release, bool MarkDirty) {
    return managerOf(FileInfo).GetBlock(FileInfo, BlockNumber, Release, MarkDirty, Transaction);
}

uint8_t* GetFileBlockNamedInHeader(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t Offset,
                                   TqbBlockRelease& Release, bool MarkDirty, uint32_t& Number,
                                   uint32_t* Stamp) {
    return managerOf(FileInfo).GetBlockNamedInHeader(FileInfo, Offset, Release, MarkDirty, Transaction,
                                                     Number, Stamp);
}

uint8_t* AddFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                      TqbBlockRelease& Release) {
    return managerOf(FileInfo).AddBlock(FileInfo, Transaction, BlockNumber, Release);
}

uint8_t* DirtyFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber) {
    return managerOf(FileInfo).DirtyBlock(FileInfo, BlockNumber, Transaction);
}

uint8_t* GetNewBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, TqbBlockRelease& Release,
                     uint32_t* BlockNumber) {
    TqbBlockRelease headerRelease;
    uint8_t* header = GetFileBlock(FileInfo, Transaction, 0, headerRelease, true);
    struct Guard {
        TqbBlockRelease& r;
        ~Guard() { r(); }
    } guard{headerRelease};
    uint8_t* block;
    uint32_t number;
    if (BlockWord(header, kHdrDeletedCount) != 0) {
        number = BlockWord(header, kHdrDeletedHead);
        // The chain head must really be a deleted block that carries its own number; anything
        // else would hand out a block that is still in use.
        if (number == 0 || number >= FileInfo.BlockCount) RaiseServerError(33, {FileInfo.FileName, number});
        block = GetFileBlock(FileInfo, Transaction, number, Release, true);
        if (BlockWord(block, kBlkSignature) != kSigDeleted || BlockWord(block, kBlkOwnNumber) != number) {
            Release();
            RaiseServerError(32, {FileInfo.FileName});
        }
        SetBlockWord(header, kHdrDeletedHead, BlockWord(block, kBlkLink));
        SetBlockWord(header, kHdrDeletedCount, BlockWord(header, kHdrDeletedCount) - 1);
    } else {
        number = BlockWord(header, kHdrBlockCount);
        uint32_t limit = FileInfo.MaxBlockCount ? FileInfo.MaxBlockCount : kMaxBlockCount;
        if (number >= limit) RaiseServerError(184);
        block = AddFileBlock(FileInfo, Transaction, number, Release);
        SetBlockWord(header, kHdrBlockCount, number + 1);
        FileInfo.BlockCount = number + 1;
    }
    SetBlockWord(block, kBlkOwnNumber, number);
    if (BlockNumber) *BlockNumber = number;
    return block;
}

void FreeBlock(uint8_t* Header, uint8_t* Block) {
    SetBlockWord(Block, kBlkSignature, kSigDeleted);
    SetBlockWord(Block, kBlkLink, BlockWord(Header, kHdrDeletedHead));
    SetBlockWord(Header, kHdrDeletedHead, BlockWord(Block, kBlkOwnNumber));
    SetBlockWord(Header, kHdrDeletedCount, BlockWord(Header, kHdrDeletedCount) + 1);
}

// ---------------------------------------------------------------------------------------------
// A table's files

namespace {

std::vector<std::string> tableFileNames(std::string_view path, std::string_view tableName,
                                        const std::vector<std::string>& extensions) {
    std::string name(tableName);
    if (name.size() > 4 && TextCompareNoCase(name.substr(name.size() - 4), ".QB2") == 0)
        name.resize(name.size() - 4);
    name = name.substr(0, 31);
    std::string base = PathMakeFull(path, name) + ".";
    std::vector<std::string> r{base + "QB2"};
    for (const std::string& ext : extensions)
        r.push_back(base + ext);
    return r;
}

} // namespace

void DeleteTableFiles(std::string_view Path, std::string_view TableName,
                      const std::vector<std::string>& Extensions) {
    // Every file is tried, so a failure leaves no more of the table behind than it must.
    std::exception_ptr first;
    for (const std::string& n : tableFileNames(Path, TableName, Extensions)) {
        try {
            DeleteFileChecked(n);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

void RenameTableFiles(std::string_view Path, std::string_view OldName, std::string_view NewName,
                      const std::vector<std::string>& Extensions) {
    auto from = tableFileNames(Path, OldName, Extensions);
    auto to = tableFileNames(Path, NewName, Extensions);
    for (size_t i = 0; i < from.size(); ++i) {
        try {
            RenameFileChecked(from[i], to[i]);
        } catch (...) {
            // The table keeps its old name: the files renamed so far go back.
            for (size_t k = i; k-- > 0;)
                plat::FileRename(to[k], from[k], false);
            throw;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Record locks

void LockRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, TqbLockTransaction* Transaction,
                uint64_t RecordRef, bool Conditional, TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID,
                uint8_t Mode) {
    if (Mode != lmExclusive || CursorID == FileInfo.OwnerCursor) return;
    uint32_t timeout = ThreadLockTimeout();
    TqbLockResult r = LockManager.AcquireRecordLock(RecordRef, FileInfo.RecordLocks, CursorID, OwnerID,
                                                    Transaction, timeout, Conditional, Mode);
    CheckRecordLockResult(r, Mode, RecordRef, FileInfo.FileName);
}

void RelaxRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, uint64_t RecordRef,
                 TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID) {
    if (CursorID == FileInfo.OwnerCursor) return;
    LockManager.RelaxRecordLock(RecordRef, FileInfo.RecordLocks, OwnerID);
}

void UnlockRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, TqbLockTransaction* Transaction,
                  uint64_t RecordRef, TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID) {
    if (CursorID == FileInfo.OwnerCursor) return;
    LockManager.ReleaseRecordLock(RecordRef, FileInfo.RecordLocks, OwnerID, Transaction);
}
