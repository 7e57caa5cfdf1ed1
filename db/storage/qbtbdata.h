// Table file format: the header block with its build values and checks, data blocks with record
// slots, the deleted-record chain, record operations and auto-increment.
#pragma once
#include "db/storage/qblldict.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbtbbase.h"

#include <cstdint>
#include <cstring>
#include <string>

// Header block words (besides those of the table-file base).
inline constexpr uint32_t kHdrRecordCount = 40;
inline constexpr uint32_t kHdrDeletedRecords = 44;
inline constexpr uint32_t kHdrDeletedRecordHead = 48; // 8 bytes
inline constexpr uint32_t kHdrSlotsPerBlock = 64;
inline constexpr uint32_t kHdrFirstDataBlock = 68;
inline constexpr uint32_t kHdrLastDataBlock = 72;
inline constexpr uint32_t kHdrBLOBCount = 76;
inline constexpr uint32_t kHdrFirstDeletedSegment = 80; // 8 bytes
inline constexpr uint32_t kHdrLastDeletedSegment = 88;  // 8 bytes
inline constexpr uint32_t kHdrAutoInc = 96;
inline constexpr uint32_t kHdrIndexCount = 100;
inline constexpr uint32_t kHdrSequentialIndex = 104;
inline constexpr uint32_t kHdrIndexHeaderBlock = 108;
inline constexpr uint32_t kHdrFieldCount = 112;
inline constexpr uint32_t kHdrDictBlock = 116;
inline constexpr uint32_t kEngineVersion = 21000;

// Data block words.
inline constexpr uint32_t kSigData = 0x48444251; // 'Q','B','D','H'
inline constexpr uint32_t kDataSlots = 16;
inline constexpr uint32_t kDataRecordLength = 20;
inline constexpr uint32_t kDataNext = 24;
inline constexpr uint32_t kDataPrior = 28;
inline constexpr uint32_t kDataSlotArea = 32;
inline constexpr uint8_t kSlotInUse = 0x00;
inline constexpr uint8_t kSlotDeleted = 0xFF;
inline constexpr uint64_t kNoRef = ~uint64_t(0);

// A block held from the buffer manager; released when the holder goes.
class TqbBlockHold {
public:
    TqbBlockHold() = default;
    TqbBlockHold(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t n, bool dirty) { get(f, t, n, dirty); }
    ~TqbBlockHold() { release(); }
    TqbBlockHold(TqbBlockHold&& o) noexcept : p_(o.p_), r_(o.r_) {
        o.p_ = nullptr;
        o.r_ = TqbBlockRelease();
    }
    TqbBlockHold& operator=(TqbBlockHold&& o) noexcept {
        if (this != &o) {
            release();
            p_ = o.p_;
            r_ = o.r_;
            o.p_ = nullptr;
            o.r_ = TqbBlockRelease();
        }
        return *this;
    }
    TqbBlockHold(const TqbBlockHold&) = delete;
    TqbBlockHold& operator=(const TqbBlockHold&) = delete;

    uint8_t* get(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t n, bool dirty) {
        release();
        p_ = GetFileBlock(f, t, n, r_, dirty);
        return p_;
    }
    // The block a word of block 0 names (TqbBufferManager::GetBlockNamedInHeader).
    uint8_t* getNamedInHeader(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t offset, bool dirty, uint32_t& n,
                              uint32_t* stamp = nullptr) {
        release();
        p_ = GetFileBlockNamedInHeader(f, t, offset, r_, dirty, n, stamp);
        return p_;
    }
    uint8_t* newBlock(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t& n) {
        release();
        p_ = GetNewBlock(f, t, r_, &n);
        // A reused block keeps nothing of its past: files stay byte-reproducible.
        std::memset(p_ + kBlkStamp, TqbBufferManager::kNewBufferFill, f.BlockSize - kBlkStamp);
        return p_;
    }
    void release() {
        r_();
        p_ = nullptr;
    }
    uint8_t* p() const { return p_; }

private:
    uint8_t* p_ = nullptr;
    TqbBlockRelease r_;
};

// The prefix of a block made for a new purpose: its kind, in use, not yet stamped.
inline void InitBlockPrefix(uint8_t* b, uint32_t signature) {
    SetBlockWord(b, kBlkSignature, signature);
    SetBlockWord(b, kBlkLink, kNoBlock);
    SetBlockWord(b, kBlkStamp, 0);
}

inline uint64_t BlockRef(const uint8_t* b, uint32_t off) {
    return plat::LoadLE64(b + off);
}
inline void SetBlockRef(uint8_t* b, uint32_t off, uint64_t v) {
    plat::StoreLE64(b + off, v);
}

// The header block of a new table file: the build values over the fill byte of new buffers, the
// high words of the chain heads 0xFFFFFFFF.
std::string BuildTableHeader(const TqbDataDictionary& Dictionary, bool Encrypted);
// Creates the file (block 0 only) with that header. The name is taken as given.
void CreateTableFile(const std::string& FileName, const TqbDataDictionary& Dictionary, bool Encrypted);
// The cheap checks of a header (first kHeaderCheckedSize bytes, the file size in blocks): the
// signature, block size and shift, record and slot lengths, slots per block, block count and the
// chain heads; server error 32 (113 for the old format).
void CheckTableHeaderFields(const TbtdFileInfo& FileInfo, const uint8_t* Header, uint64_t FileBlocks);
// What is wrong with the fields after the prefix and block size ("" when nothing).
std::string TableHeaderProblem(const uint8_t* Header, uint64_t FileBlocks);
// Adds an open table file to its buffer manager with the header checks.
void DataFileOpen(TbtdFileInfo& FileInfo);

struct TqbDataFileInfo {
    uint32_t RecordLength = 0;
    uint32_t RecordCount = 0;
    uint32_t DeletedCount = 0;
    uint32_t SlotsPerBlock = 0;
};

void DataFileAddRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t& RefNr,
                       const void* Data);
void DataFileDeleteRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr);
void DataFileReadRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr, void* Data);
void DataFileWriteRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr,
                         const void* Data);
// RefNr 0 starts before the first (after the last) record; NextRefNr 0 at the end.
void DataFileNextRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr, void* Data,
                        uint64_t& NextRefNr);
void DataFilePriorRecord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr, void* Data,
                         uint64_t& PriorRefNr);
void DataFileGetRecordInfo(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, TqbDataFileInfo& Info);
// Raises 184 instead of wrapping to 0 (0 asks for the next value).
uint32_t DataFileNextAutoInc(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction);
uint32_t DataFileReadAutoInc(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction);
void DataFileSetAutoInc(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t Value);

// The data block holding a reference, with the slot's offset in it (36 for a reference that is
// not a slot, 33 for a block outside the file, 37 for a block that is not a data block).
uint8_t* DataFileGetRefBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t RefNr,
                             TqbBlockHold& Hold, bool MarkDirty, uint32_t& SlotOffset);
uint8_t* DataFileGetBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                          TqbBlockHold& Hold, bool MarkDirty);
