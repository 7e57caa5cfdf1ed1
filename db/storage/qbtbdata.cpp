// Header block and data blocks: the build values, the header checks on open, and the record
// operations over slots and the deleted-record chain.
#include "db/storage/qbtbdata.h"

#include "db/storage/qbsrbase.h"
#include "platform/Files.h"

#include <cstring>

std::string BuildTableHeader(const TqbDataDictionary& d, bool Encrypted) {
    const uint32_t bs = d.BlockSize();
    std::string img(bs, char(TqbBufferManager::kNewBufferFill));
    auto* h = reinterpret_cast<uint8_t*>(img.data());
    const uint32_t rl = uint32_t(d.RecordLength());
    SetBlockWord(h, kBlkSignature, kSigHeader);
    SetBlockWord(h, kBlkLink, kNoBlock);
    SetBlockWord(h, kBlkOwnNumber, 0);
    SetBlockWord(h, kBlkStamp, 0);
    SetBlockWord(h, kHdrBlockSize, bs);
    SetBlockWord(h, kHdrEncrypted, Encrypted ? 1 : 0);
    SetBlockWord(h, kHdrBlockShift, BlockSizeToShift(bs));
    SetBlockWord(h, kHdrBlockCount, 1);
    SetBlockWord(h, kHdrDeletedCount, 0);
    SetBlockWord(h, kHdrDeletedHead, kNoBlock);
    SetBlockWord(h, kHdrRecordCount, 0);
    SetBlockWord(h, kHdrDeletedRecords, 0);
    SetBlockRef(h, kHdrDeletedRecordHead, kNoRef);
    SetBlockWord(h, kHdrRecordLength, rl);
    SetBlockWord(h, kHdrSlotLength, rl + 1);
    SetBlockWord(h, kHdrSlotsPerBlock, (bs - kDataSlotArea) / (rl + 1));
    SetBlockWord(h, kHdrFirstDataBlock, kNoBlock);
    SetBlockWord(h, kHdrLastDataBlock, kNoBlock);
    SetBlockWord(h, kHdrBLOBCount, 0);
    SetBlockRef(h, kHdrFirstDeletedSegment, kNoRef);
    SetBlockRef(h, kHdrLastDeletedSegment, kNoRef);
    SetBlockWord(h, kHdrAutoInc, 0);
    SetBlockWord(h, kHdrIndexCount, uint32_t(d.IndexCount()));
    SetBlockWord(h, kHdrSequentialIndex, 1);
    SetBlockWord(h, kHdrIndexHeaderBlock, kNoBlock);
    SetBlockWord(h, kHdrFieldCount, uint32_t(d.FieldCount()));
    SetBlockWord(h, kHdrDictBlock, 0);
    SetBlockWord(h, kHdrVersion, kEngineVersion);
    return img;
}

void CreateTableFile(const std::string& FileName, const TqbDataDictionary& Dictionary, bool Encrypted) {
    Dictionary.CheckValid();
    std::string img = BuildTableHeader(Dictionary, Encrypted);
    TbtdFileInfo f;
    f.FileName = FileName;
    f.BlockSize = Dictionary.BlockSize();
    f.BlockShift = BlockSizeToShift(f.BlockSize);
    OpenFile(f, true, 0, true, false);
    try {
        WriteFileExactAt(f, 0, uint32_t(img.size()), img.data());
        FlushFile(f);
    } catch (...) {
        CloseFile(f);
        throw;
    }
    CloseFile(f);
}

std::string TableHeaderProblem(const uint8_t* h, uint64_t FileBlocks) {
    const uint32_t bs = BlockWord(h, kHdrBlockSize);
    const uint32_t rl = BlockWord(h, kHdrRecordLength);
    if (rl < 8 || rl > bs - kRecordBlockOverhead) return "record length out of range";
    if (BlockWord(h, kHdrSlotLength) != rl + 1) return "slot length is not the record length + 1";
    if (BlockWord(h, kHdrSlotsPerBlock) != (bs - kDataSlotArea) / (rl + 1)) return "wrong slots per block";
    if (BlockWord(h, kHdrEncrypted) > 1) return "encrypted flag neither 0 nor 1";
    const uint32_t count = BlockWord(h, kHdrBlockCount);
    if (count < 1 || count > kMaxBlockCount || count > FileBlocks) return "block count beyond the file";
    auto inRange = [&](uint32_t b) { return b >= 1 && b < count; };
    const uint32_t deleted = BlockWord(h, kHdrDeletedCount);
    if (deleted >= count || (deleted > 0 && !inRange(BlockWord(h, kHdrDeletedHead))))
        return "deleted-block chain head or count out of range";
    const uint32_t first = BlockWord(h, kHdrFirstDataBlock), last = BlockWord(h, kHdrLastDataBlock);
    if ((first == kNoBlock) != (last == kNoBlock) ||
        (first != kNoBlock && (!inRange(first) || !inRange(last))))
        return "data chain ends out of range";
    if (BlockWord(h, kHdrDeletedRecords) > 0 &&
        (first == kNoBlock || BlockWord(h, kHdrDeletedRecordHead) == kNoBlock))
        return "deleted records without a chain";
    if (BlockWord(h, kHdrRecordCount) > 0 && first == kNoBlock) return "records without data blocks";
    const uint32_t ix = BlockWord(h, kHdrIndexHeaderBlock);
    if (ix != kNoBlock && !inRange(ix)) return "index header block out of range";
    const uint32_t dict = BlockWord(h, kHdrDictBlock);
    if (dict != 0 && !inRange(dict)) return "dictionary block out of range";
    if (BlockWord(h, kHdrIndexCount) > kMaxIndexes) return "too many indexes";
    return {};
}

void CheckTableHeaderFields(const TbtdFileInfo& f, const uint8_t* h, uint64_t FileBlocks) {
    CheckTableHeader(f, h);
    if (!TableHeaderProblem(h, FileBlocks).empty()) RaiseServerError(32, {f.FileName});
}

void DataFileOpen(TbtdFileInfo& f) {
    if (!f.BufferManager) RaiseServerError(0);
    TqbBlockRelease r;
    try {
        uint8_t* h = f.BufferManager->AddFile(f, nullptr, r, false);
        uint64_t blocks = f.HasDiskFile() ? GetFileSize(f) >> f.BlockShift : f.BlockCount.load();
        CheckTableHeaderFields(f, h, blocks);
        r();
    } catch (...) {
        r();
        f.BufferManager->RemoveFile(f);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

struct Layout {
    uint32_t bs, shift, rl, slot, slots;
};

Layout layoutOf(const TbtdFileInfo& f) {
    // Filled from the header when the file was added; a record that makes no sense stops here.
    if (f.SlotLength == 0 || f.SlotLength != f.RecordLength + 1 || f.RecordLength < 8 ||
        f.RecordLength > f.BlockSize - kRecordBlockOverhead)
        RaiseServerError(32, {f.FileName});
    return {f.BlockSize, f.BlockShift, f.RecordLength, f.SlotLength,
            (f.BlockSize - kDataSlotArea) / f.SlotLength};
}

void badRef(const TbtdFileInfo& f, uint64_t ref, int code) {
    RaiseServerError(code, {f.FileName, uint32_t(ref >> 32), uint32_t(ref)});
}

uint64_t refOf(const Layout& l, uint32_t block, uint32_t slot) {
    return (uint64_t(block) << l.shift) + kDataSlotArea + uint64_t(slot) * l.slot;
}

} // namespace

uint8_t* DataFileGetBlock(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t n, TqbBlockHold& hold, bool dirty) {
    if (n == 0 || n >= f.BlockCount) RaiseServerError(33, {f.FileName, n});
    uint8_t* b = hold.get(f, t, n, dirty);
    if (BlockWord(b, kBlkSignature) != kSigData || BlockWord(b, kBlkOwnNumber) != n ||
        BlockWord(b, kDataRecordLength) != f.RecordLength ||
        BlockWord(b, kDataSlots) != (f.BlockSize - kDataSlotArea) / f.SlotLength)
        RaiseServerError(37, {f.FileName, n});
    return b;
}

uint8_t* DataFileGetRefBlock(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, TqbBlockHold& hold,
                             bool dirty, uint32_t& slotOffset) {
    Layout l = layoutOf(f);
    uint64_t off = ref & (uint64_t(l.bs) - 1);
    if (ref == 0 || off < kDataSlotArea || (off - kDataSlotArea) % l.slot != 0 ||
        (off - kDataSlotArea) / l.slot >= l.slots)
        badRef(f, ref, 36);
    uint64_t block = ref >> l.shift;
    if (block == 0 || block >= f.BlockCount) RaiseServerError(33, {f.FileName, uint32_t(block)});
    slotOffset = uint32_t(off);
    return DataFileGetBlock(f, t, uint32_t(block), hold, dirty);
}

void DataFileAddRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t& RefNr, const void* Data) {
    Layout l = layoutOf(f);
    TqbBlockHold header(f, t, 0, true);
    uint8_t* h = header.p();
    if (BlockWord(h, kHdrDeletedRecords) == 0) {
        uint32_t n;
        TqbBlockHold nb;
        uint8_t* b = nb.newBlock(f, t, n);
        InitBlockPrefix(b, kSigData);
        SetBlockWord(b, kDataSlots, l.slots);
        SetBlockWord(b, kDataRecordLength, l.rl);
        SetBlockWord(b, kDataNext, kNoBlock);
        const uint32_t last = BlockWord(h, kHdrLastDataBlock);
        SetBlockWord(b, kDataPrior, last);
        for (uint32_t i = 0; i < l.slots; ++i) {
            uint8_t* s = b + kDataSlotArea + i * l.slot;
            s[0] = kSlotDeleted;
            SetBlockRef(s, 1, i + 1 < l.slots ? refOf(l, n, i + 1) : kNoRef);
            std::memset(s + 9, 0, l.rl - 8);
        }
        if (last != kNoBlock) {
            TqbBlockHold lb;
            SetBlockWord(DataFileGetBlock(f, t, last, lb, true), kDataNext, n);
        } else {
            SetBlockWord(h, kHdrFirstDataBlock, n);
        }
        SetBlockWord(h, kHdrLastDataBlock, n);
        SetBlockRef(h, kHdrDeletedRecordHead, refOf(l, n, 0));
        SetBlockWord(h, kHdrDeletedRecords, l.slots);
    }
    const uint64_t ref = BlockRef(h, kHdrDeletedRecordHead);
    if (uint32_t(ref) == kNoBlock) RaiseServerError(32, {f.FileName});
    TqbBlockHold hold;
    uint32_t off;
    uint8_t* b = DataFileGetRefBlock(f, t, ref, hold, true, off);
    uint8_t* s = b + off;
    if (s[0] != kSlotDeleted) badRef(f, ref, 36);
    SetBlockRef(h, kHdrDeletedRecordHead, BlockRef(s, 1));
    s[0] = kSlotInUse;
    std::memcpy(s + 1, Data, l.rl);
    SetBlockWord(h, kHdrRecordCount, BlockWord(h, kHdrRecordCount) + 1);
    SetBlockWord(h, kHdrDeletedRecords, BlockWord(h, kHdrDeletedRecords) - 1);
    RefNr = ref;
}

namespace {

uint8_t* usedSlot(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, TqbBlockHold& hold, bool dirty) {
    uint32_t off;
    uint8_t* s = DataFileGetRefBlock(f, t, ref, hold, dirty, off) + off;
    if (s[0] == kSlotDeleted) badRef(f, ref, 35);
    if (s[0] != kSlotInUse) RaiseServerError(37, {f.FileName, uint32_t(ref >> f.BlockShift)});
    return s;
}

} // namespace

void DataFileDeleteRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr) {
    Layout l = layoutOf(f);
    TqbBlockHold header(f, t, 0, true);
    uint8_t* h = header.p();
    TqbBlockHold hold;
    uint8_t* s = usedSlot(f, t, RefNr, hold, true);
    if (BlockWord(h, kHdrRecordCount) == 0) RaiseServerError(32, {f.FileName});
    s[0] = kSlotDeleted;
    SetBlockRef(s, 1, BlockRef(h, kHdrDeletedRecordHead));
    std::memset(s + 9, 0, l.rl - 8);
    SetBlockRef(h, kHdrDeletedRecordHead, RefNr);
    SetBlockWord(h, kHdrDeletedRecords, BlockWord(h, kHdrDeletedRecords) + 1);
    SetBlockWord(h, kHdrRecordCount, BlockWord(h, kHdrRecordCount) - 1);
}

void DataFileReadRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr, void* Data) {
    TqbBlockHold hold;
    std::memcpy(Data, usedSlot(f, t, RefNr, hold, false) + 1, f.RecordLength);
}

void DataFileWriteRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr, const void* Data) {
    layoutOf(f);
    TqbBlockHold hold;
    std::memcpy(usedSlot(f, t, RefNr, hold, true) + 1, Data, f.RecordLength);
}

namespace {

// One scan over slots in either direction, bounded by the block count.
uint64_t scan(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr, void* Data, bool forward) {
    Layout l = layoutOf(f);
    TqbBlockHold header(f, t, 0, false);
    if (BlockWord(header.p(), kHdrRecordCount) == 0) return 0;
    uint32_t block;
    int64_t slot;
    TqbBlockHold hold;
    uint8_t* b;
    if (RefNr == 0) {
        block = BlockWord(header.p(), forward ? kHdrFirstDataBlock : kHdrLastDataBlock);
        if (block == kNoBlock) return 0;
        b = DataFileGetBlock(f, t, block, hold, false);
        slot = forward ? 0 : int64_t(l.slots) - 1;
    } else {
        uint32_t off;
        b = DataFileGetRefBlock(f, t, RefNr, hold, false, off);
        block = uint32_t(RefNr >> l.shift);
        slot = int64_t((off - kDataSlotArea) / l.slot) + (forward ? 1 : -1);
    }
    header.release();
    for (uint32_t visited = 0;;) {
        for (; slot >= 0 && slot < int64_t(l.slots); slot += forward ? 1 : -1) {
            const uint8_t* s = b + kDataSlotArea + uint32_t(slot) * l.slot;
            if (s[0] == kSlotInUse) {
                if (Data) std::memcpy(Data, s + 1, l.rl);
                return refOf(l, block, uint32_t(slot));
            }
            if (s[0] != kSlotDeleted) RaiseServerError(37, {f.FileName, block});
        }
        const uint32_t next = BlockWord(b, forward ? kDataNext : kDataPrior);
        if (next == kNoBlock) return 0;
        // A chain longer than the file is a loop.
        if (++visited >= f.BlockCount) RaiseServerError(37, {f.FileName, next});
        block = next;
        b = DataFileGetBlock(f, t, block, hold, false);
        slot = forward ? 0 : int64_t(l.slots) - 1;
    }
}

} // namespace

void DataFileNextRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr, void* Data,
                        uint64_t& NextRefNr) {
    NextRefNr = scan(f, t, RefNr, Data, true);
}

void DataFilePriorRecord(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t RefNr, void* Data,
                         uint64_t& PriorRefNr) {
    PriorRefNr = scan(f, t, RefNr, Data, false);
}

void DataFileGetRecordInfo(TbtdFileInfo& f, TqbSrTransaction* t, TqbDataFileInfo& Info) {
    TqbBlockHold header(f, t, 0, false);
    Info.RecordLength = BlockWord(header.p(), kHdrRecordLength);
    Info.RecordCount = BlockWord(header.p(), kHdrRecordCount);
    Info.DeletedCount = BlockWord(header.p(), kHdrDeletedRecords);
    Info.SlotsPerBlock = BlockWord(header.p(), kHdrSlotsPerBlock);
}

uint32_t DataFileNextAutoInc(TbtdFileInfo& f, TqbSrTransaction* t) {
    TqbBlockHold header(f, t, 0, true);
    uint32_t v = BlockWord(header.p(), kHdrAutoInc);
    // Starting again at 1 would hand out values that records still hold.
    if (v == 0xFFFFFFFF) RaiseServerError(184);
    SetBlockWord(header.p(), kHdrAutoInc, v + 1);
    return v + 1;
}

uint32_t DataFileReadAutoInc(TbtdFileInfo& f, TqbSrTransaction* t) {
    TqbBlockHold header(f, t, 0, false);
    return BlockWord(header.p(), kHdrAutoInc);
}

void DataFileSetAutoInc(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t Value) {
    TqbBlockHold header(f, t, 0, true);
    SetBlockWord(header.p(), kHdrAutoInc, Value);
}
