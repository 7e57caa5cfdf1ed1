// A table-file image for the storage tests and the journal fuzz target.
#pragma once
#include "db/storage/qbtbdata.h"
#include "platform/ByteCodec.h"

#include <cstring>
#include <string>

namespace storetest {

// A table-file image: a header that opens (no records, no indexes) and blocks - 1 data blocks whose
// bytes tell their number.
inline std::string tableImage(uint32_t bs, uint32_t blocks, uint32_t stamp = 0, bool encrypted = false) {
    std::string img(size_t(bs) * blocks, 'F');
    auto* p = reinterpret_cast<uint8_t*>(img.data());
    plat::StoreLE32(p + kBlkSignature, kSigHeader);
    plat::StoreLE32(p + kBlkLink, kNoBlock);
    plat::StoreLE32(p + kBlkOwnNumber, 0);
    plat::StoreLE32(p + kBlkStamp, stamp);
    plat::StoreLE32(p + kHdrBlockSize, bs);
    plat::StoreLE32(p + kHdrEncrypted, encrypted ? 1 : 0);
    plat::StoreLE32(p + kHdrBlockShift, BlockSizeToShift(bs));
    plat::StoreLE32(p + kHdrBlockCount, blocks);
    plat::StoreLE32(p + kHdrDeletedCount, 0);
    plat::StoreLE32(p + kHdrDeletedHead, kNoBlock);
    const uint32_t recordLength = 100;
    plat::StoreLE32(p + kHdrRecordCount, 0);
    plat::StoreLE32(p + kHdrDeletedRecords, 0);
    plat::StoreLE32(p + kHdrDeletedRecordHead, kNoBlock);
    plat::StoreLE32(p + kHdrRecordLength, recordLength);
    plat::StoreLE32(p + kHdrSlotLength, recordLength + 1);
    plat::StoreLE32(p + kHdrSlotsPerBlock, (bs - kDataSlotArea) / (recordLength + 1));
    plat::StoreLE32(p + kHdrFirstDataBlock, kNoBlock);
    plat::StoreLE32(p + kHdrLastDataBlock, kNoBlock);
    plat::StoreLE32(p + kHdrIndexCount, 0);
    plat::StoreLE32(p + kHdrIndexHeaderBlock, kNoBlock);
    plat::StoreLE32(p + kHdrDictBlock, 0);
    for (uint32_t b = 1; b < blocks; ++b) {
        uint8_t* blk = p + size_t(b) * bs;
        plat::StoreLE32(blk, 0x48444251); // data block
        plat::StoreLE32(blk + kBlkLink, kNoBlock);
        plat::StoreLE32(blk + kBlkOwnNumber, b);
        plat::StoreLE32(blk + kBlkStamp, stamp);
        std::memset(blk + 16, int('a' + b % 26), bs - 16);
    }
    return img;
}

} // namespace storetest
