// Table-file base: block access through the buffer manager, block allocation and the deleted-block
// chain, deleting and renaming a table's files, record locks, and comparison of field values.
#pragma once
#include "db/storage/qbfile.h"
#include "platform/ByteCodec.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TqbSrTransaction;

// Field types of the data dictionary.
enum TqbFieldType : int {
    qbtBoolean = 0,
    qbtChar = 1,
    qbtWideChar = 2,
    qbtByte = 3,
    qbtWord16 = 4,
    qbtWord32 = 5,
    qbtInt8 = 6,
    qbtInt16 = 7,
    qbtInt32 = 8,
    qbtAutoInc = 9,
    qbtSingle = 10,
    qbtDouble = 11,
    qbtExtended = 12,
    qbtComp = 13,
    qbtCurrency = 14,
    qbtStDate = 15,
    qbtStTime = 16,
    qbtDateTime = 17,
    qbtBLOB = 18,
    qbtBLOBFile = 25,
    qbtByteArray = 45,
    qbtShortString = 46,
    qbtShortAnsiStr = 47,
    qbtNullString = 48,
    qbtNullAnsiStr = 49,
    qbtWideString = 50,
};

// -1, 0 or 1. BLOB types raise server error 178, unknown types general error 325.
int CompareFieldValues(const void* Value1, const void* Value2, int FieldType, bool IgnoreCase,
                       int32_t Length);

// ---------------------------------------------------------------------------------------------
// Block layout shared by every block kind (little-endian words).

inline constexpr uint32_t kBlkSignature = 0;
inline constexpr uint32_t kBlkLink = 4; // next deleted block; 0xFFFFFFFF while in use
inline constexpr uint32_t kBlkOwnNumber = 8;
inline constexpr uint32_t kBlkStamp = 12; // number of the last transaction that wrote the block
// Header block (block 0).
inline constexpr uint32_t kHdrBlockSize = 16;
inline constexpr uint32_t kHdrEncrypted = 20;
inline constexpr uint32_t kHdrBlockShift = 24;
inline constexpr uint32_t kHdrBlockCount = 28;
inline constexpr uint32_t kHdrDeletedCount = 32;
inline constexpr uint32_t kHdrDeletedHead = 36;
inline constexpr uint32_t kHdrRecordLength = 56;
inline constexpr uint32_t kHdrSlotLength = 60;
inline constexpr uint32_t kHdrVersion = 120;
// The part of the header that opening a table validates.
inline constexpr uint32_t kHeaderCheckedSize = 1036;

inline constexpr uint32_t kSigHeader = 0x48024251;    // 'Q','B',2,'H'
inline constexpr uint32_t kSigOldHeader = 0x48464251; // 'Q','B','F','H'
inline constexpr uint32_t kSigDeleted = 0x44414544;   // 'D','E','A','D'
inline constexpr uint32_t kNoBlock = 0xFFFFFFFF;

inline uint32_t BlockWord(const uint8_t* block, uint32_t offset) {
    return plat::LoadLE32(block + offset);
}
inline void SetBlockWord(uint8_t* block, uint32_t offset, uint32_t v) {
    plat::StoreLE32(block + offset, v);
}

// Checks a header image (at least kHeaderCheckedSize bytes): 113 for the old format, 32 for a
// wrong signature, link, own number, block size or shift.
void CheckTableHeader(const TbtdFileInfo& FileInfo, const uint8_t* header);

// ---------------------------------------------------------------------------------------------
// Blocks through the buffer manager. Each buffer handed out stays valid until the caller calls
// the release it received, once.

class TqbBlockRelease {
public:
    TqbBlockRelease() = default;
    explicit TqbBlockRelease(TqbbmRAMPage* page) : page_(page) {}
    void operator()();
    bool Pending() const { return page_ != nullptr; }

private:
    TqbbmRAMPage* page_ = nullptr;
};

// Server error 0 when the file has no buffer manager.
uint8_t* GetFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                      TqbBlockRelease& Release, bool MarkDirty);
// The block a word of block 0 names, or null when the word is 0 or past the file's end; Stamp, when
// given, gets the block's transaction stamp (TqbBufferManager::GetLSN) in the same look-up.
uint8_t* GetFileBlockNamedInHeader(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t Offset,
                                   TqbBlockRelease& Release, bool MarkDirty, uint32_t& Number,
                                   uint32_t* Stamp = nullptr);
uint8_t* AddFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                      TqbBlockRelease& Release);
uint8_t* DirtyFileBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber);
// A block for a new purpose: the head of the deleted-block chain, or a new block at the end.
uint8_t* GetNewBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, TqbBlockRelease& Release,
                     uint32_t* BlockNumber = nullptr);
// Puts a block (both buffers made dirty in the transaction) on the deleted-block chain.
void FreeBlock(uint8_t* Header, uint8_t* Block);

// All files of a table: file 0 has the extension "QB2", the others the given extensions. A
// failure undoes the renames done so far (or deletes the remaining files) before it is raised.
void DeleteTableFiles(std::string_view Path, std::string_view TableName,
                      const std::vector<std::string>& Extensions);
void RenameTableFiles(std::string_view Path, std::string_view OldName, std::string_view NewName,
                      const std::vector<std::string>& Extensions);

// Record locks for the thread's deadline. Only exclusive requests lock, and none for the file's
// owner cursor; 190 when fewer than 5 ms are left, 187 on time-out, 188 on refusal.
void LockRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, TqbLockTransaction* Transaction,
                uint64_t RecordRef, bool Conditional, TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID,
                uint8_t Mode);
void RelaxRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, uint64_t RecordRef,
                 TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID);
void UnlockRecord(TbtdFileInfo& FileInfo, TqbLockManager& LockManager, TqbLockTransaction* Transaction,
                  uint64_t RecordRef, TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID);
