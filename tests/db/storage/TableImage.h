// A table-file image for the storage tests and the journal fuzz target.
#pragma once
#include "db/storage/qbtbbase.h"
#include "platform/ByteCodec.h"

#include <cstring>
#include <string>

namespace storetest {

// A table-file image: a valid header and blocks - 1 data blocks whose bytes tell their number.
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
