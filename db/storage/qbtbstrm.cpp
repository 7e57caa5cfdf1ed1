// Stream-block chains: writing a stream over new blocks (freeing the old tail) and reading it back
// with every block checked.
#include "db/storage/qbtbstrm.h"

#include "db/storage/qbtbdata.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

void checkStreamBlock(const TbtdFileInfo& f, const uint8_t* b, uint32_t number, uint32_t first,
                      uint32_t type) {
    if (BlockWord(b, kBlkSignature) != kSigStream || BlockWord(b, kBlkOwnNumber) != number ||
        BlockWord(b, kStrmFirst) != first || BlockWord(b, kStrmType) != type)
        RaiseServerError(64, {f.FileName, number});
}

void initStreamBlock(uint8_t* b, uint32_t bs, uint32_t type, uint32_t first) {
    InitBlockPrefix(b, kSigStream);
    SetBlockWord(b, kStrmNext, kNoBlock);
    SetBlockWord(b, kStrmType, type);
    SetBlockWord(b, kStrmLength, 0);
    SetBlockWord(b, kStrmFirst, first);
    std::memset(b + kStrmData, 0, bs - kStrmData);
}

} // namespace

void WriteTableStream(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t& FirstBlock, uint32_t StreamType,
                      bool IsNew, std::string_view Stream) {
    const uint32_t bs = f.BlockSize;
    const uint32_t room = bs - kStrmData;
    TqbBlockHold header(f, t, 0, true);
    TqbBlockHold first;
    if (IsNew) {
        first.newBlock(f, t, FirstBlock);
    } else {
        if (FirstBlock == 0 || FirstBlock >= f.BlockCount) RaiseServerError(33, {f.FileName, FirstBlock});
        first.get(f, t, FirstBlock, true);
        checkStreamBlock(f, first.p(), FirstBlock, FirstBlock, StreamType);
        // Free the old tail; the walk cannot be longer than the file.
        uint32_t next = BlockWord(first.p(), kStrmNext);
        for (uint32_t steps = 0; next != kNoBlock; ++steps) {
            if (next == 0 || next >= f.BlockCount) RaiseServerError(33, {f.FileName, next});
            if (steps >= f.BlockCount) RaiseServerError(64, {f.FileName, next});
            TqbBlockHold b(f, t, next, true);
            checkStreamBlock(f, b.p(), next, FirstBlock, StreamType);
            uint32_t after = BlockWord(b.p(), kStrmNext);
            FreeBlock(header.p(), b.p());
            next = after;
        }
    }
    initStreamBlock(first.p(), bs, StreamType, FirstBlock);
    SetBlockWord(first.p(), kStrmLength, uint32_t(Stream.size()));
    size_t pos = 0;
    size_t n = std::min<size_t>(room, Stream.size());
    std::memcpy(first.p() + kStrmData, Stream.data(), n);
    pos += n;
    TqbBlockHold prev = std::move(first);
    while (pos < Stream.size()) {
        uint32_t number;
        TqbBlockHold b;
        b.newBlock(f, t, number);
        initStreamBlock(b.p(), bs, StreamType, FirstBlock);
        SetBlockWord(prev.p(), kStrmNext, number);
        SetBlockWord(prev.p(), kBlkLink, number);
        n = std::min<size_t>(room, Stream.size() - pos);
        std::memcpy(b.p() + kStrmData, Stream.data() + pos, n);
        pos += n;
        prev = std::move(b);
    }
}

void ReadTableStream(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t FirstBlock, std::string& Stream,
                     uint32_t StreamType) {
    Stream.clear();
    const uint32_t room = f.BlockSize - kStrmData;
    if (FirstBlock == 0 || FirstBlock >= f.BlockCount) RaiseServerError(33, {f.FileName, FirstBlock});
    TqbBlockHold b(f, t, FirstBlock, false);
    checkStreamBlock(f, b.p(), FirstBlock, FirstBlock, StreamType);
    uint64_t total = BlockWord(b.p(), kStrmLength);
    // No stream is longer than the blocks of the file could hold.
    if (total > uint64_t(f.BlockCount) * room) RaiseServerError(64, {f.FileName, FirstBlock});
    Stream.reserve(size_t(total));
    uint32_t number = FirstBlock;
    std::set<uint32_t> visited{FirstBlock};
    for (;;) {
        size_t n = size_t(std::min<uint64_t>(room, total - Stream.size()));
        Stream.append(reinterpret_cast<const char*>(b.p()) + kStrmData, n);
        if (Stream.size() == total) break;
        uint32_t next = BlockWord(b.p(), kStrmNext);
        if (next == kNoBlock) RaiseServerError(64, {f.FileName, number});
        if (next == 0 || next >= f.BlockCount) RaiseServerError(33, {f.FileName, next});
        if (!visited.insert(next).second) RaiseServerError(64, {f.FileName, next});
        number = next;
        b.get(f, t, number, false);
        checkStreamBlock(f, b.p(), number, FirstBlock, StreamType);
    }
}
