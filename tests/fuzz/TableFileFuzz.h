// Harnesses of the table-file fuzz targets, shared with the unit test that replays their seeds
// under the sanitizers in CI: a table file opened and walked through every structure, dictionary
// stream decoding, and stream-chain reading.
#pragma once
#include "db/storage/qbsrblob.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbstrm.h"
#include "db/storage/qbtbverify.h"
#include "platform/testing/MemoryFiles.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace pwfuzz {

// Opens the bytes as "/db/T.QB2" on an in-memory file system; calls walk with the open file.
template <class Walk> void withTableFile(const uint8_t* data, size_t size, Walk walk) {
    plat::MemoryFiles mem;
    plat::ScopedFiles use(mem);
    mem.put("/db/T.QB2", std::string(reinterpret_cast<const char*>(data), size));
    TqbBufferManager bm;
    bm.SetMaxRAM(16);
    auto fi = AllocFileInfo("/db/T", "QB2", &bm);
    try {
        OpenFile(*fi, false, 2, false, false);
        DataFileOpen(*fi);
    } catch (const EqbException&) {
        return;
    }
    try {
        walk(*fi);
    } catch (const EqbException&) {
        // A refused file is a right answer; a crash, a hang or a read outside a block is not.
    }
    bm.RemoveFile(*fi);
}

inline void walkIndex(TbtdFileInfo& f, const TqbServerDataDict* dict, int32_t i) {
    TqbCompositeCompareData cd;
    TqbIndexData d;
    d.FileInfo = &f;
    d.IndexNo = i;
    if (dict && i > 0 && i < dict->IndexCount() && !dict->IsIndexDescUserDefined(i)) {
        cd = MakeIndexCompareInfo(*dict, i);
        d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
            return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
        };
        d.CompareData = &cd;
    } else {
        d.Compare = [](const uint8_t* a, const uint8_t* b, const void*) { return std::memcmp(a, b, 1); };
    }
    TqbKeyPath p;
    uint8_t key[kMaxKeyLength] = {};
    uint64_t ref = 0;
    KeyPathToBegin(p);
    for (int n = 0; n < 100000 && IndexNextKey(d, nullptr, p, key, ref); ++n) {
    }
    KeyPathToEnd(p);
    for (int n = 0; n < 100000 && IndexPriorKey(d, nullptr, p, key, ref); ++n) {
    }
    ref = 0;
    IndexFindKey(d, nullptr, key, ref, 1, p);
}

// Every structure: the verifier, the dictionary, records both ways, every index, every BLOB.
inline void RunTableFileWalk(const uint8_t* data, size_t size) {
    withTableFile(data, size, [](TbtdFileInfo& f) {
        VerifyTableFile(f, nullptr);
        std::unique_ptr<TqbServerDataDict> dict;
        try {
            dict = std::make_unique<TqbServerDataDict>();
            dict->LoadFromTableFile(f, nullptr);
            dict->BindIndexHelpers();
        } catch (const EqbException&) {
            dict.reset();
        }
        std::string rec(f.RecordLength, '\0');
        uint64_t ref = 0;
        try {
            for (int n = 0; n < 100000; ++n) {
                DataFileNextRecord(f, nullptr, ref, rec.data(), ref);
                if (!ref) break;
            }
        } catch (const EqbException&) {
        }
        try {
            ref = 0;
            for (int n = 0; n < 100000; ++n) {
                DataFilePriorRecord(f, nullptr, ref, rec.data(), ref);
                if (!ref) break;
            }
        } catch (const EqbException&) {
        }
        for (int32_t i = 0; i < 4; ++i)
            try {
                walkIndex(f, dict.get(), i);
            } catch (const EqbException&) {
            }
        // Every place a segment could start in every block, read as a BLOB.
        std::string buf(70000, '\0');
        for (uint32_t b = 1; b < f.BlockCount && b < 64; ++b)
            for (uint32_t off = kBLOBSegments; off + kSegmentUnit <= f.BlockSize; off += kSegmentUnit) {
                const uint64_t blob = (uint64_t(b) << f.BlockShift) + off;
                try {
                    int32_t err;
                    uint32_t got;
                    TableBLOBGetLength(f, nullptr, blob, err);
                    TableBLOBRead(f, nullptr, blob, 0, uint32_t(buf.size()), buf.data(), got, err);
                } catch (const EqbException&) {
                }
            }
    });
}

// Dictionary stream bytes: a stream that decodes must encode to one that decodes to itself.
inline void RunDictDecode(const uint8_t* data, size_t size) {
    TqbDataDictionary d;
    try {
        d.ReadFromStream(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const EqbException&) {
        return;
    }
    std::string once, twice;
    d.WriteToStream(once);
    TqbDataDictionary again;
    again.ReadFromStream(once);
    again.WriteToStream(twice);
    if (once != twice) std::abort();
}

// The stream chain from the header's dictionary word, read as the dictionary loader reads it.
inline void RunStreamChain(const uint8_t* data, size_t size) {
    withTableFile(data, size, [](TbtdFileInfo& f) {
        TqbBlockHold h(f, nullptr, 0, false);
        const uint32_t first = BlockWord(h.p(), kHdrDictBlock);
        h.release();
        std::string s;
        ReadTableStream(f, nullptr, first, s);
        if (s.size() > uint64_t(f.BlockCount) * f.BlockSize) std::abort();
        TqbServerDataDict d;
        d.LoadFromTableFile(f, nullptr);
    });
}

} // namespace pwfuzz
