// Journal files as a commit leaves them behind, for tests of the start-up recovery: the records of
// a journal, and a complete journal of the change between two states of a table file.
#pragma once
#include "db/storage/qbsrbase.h"
#include "db/storage/qbtbbase.h"
#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace journaltest {

struct Image {
    uint32_t block;
    bool before;
    std::string name; // the table file's full name
    std::string bytes;
    uint32_t size = 0; // the record's size field; 0: that of bytes
    uint32_t signature = kJournalRecordSignature;
};

inline std::string journalBytes(uint32_t state, const std::vector<Image>& images) {
    std::string j;
    plat::ByteWriter w(j);
    w.u32(kJournalSignature);
    w.u32(state);
    for (const Image& i : images) {
        w.u32(i.signature);
        w.u32(i.block);
        w.u32(i.size ? i.size : uint32_t(i.bytes.size()));
        w.u32(i.before ? 1 : 0);
        std::string name = i.name;
        name.resize(kJournalNameSize, '\0');
        w.bytes(name);
        w.bytes(i.bytes);
    }
    return j;
}

// The images of every block of table file `name` that differs from `before` to `after` (both whole
// unscrambled files of one block size; blocks added get no before image), block 0 always among
// them.
inline std::vector<Image> changeImages(const std::string& name, const std::string& before,
                                       const std::string& after) {
    const uint32_t bs = plat::LoadLE32(reinterpret_cast<const uint8_t*>(before.data()) + kHdrBlockSize);
    std::vector<Image> images;
    const size_t blocks = std::max(before.size(), after.size()) / bs;
    for (uint32_t b = 0; b < blocks; ++b) {
        const bool had = size_t(b + 1) * bs <= before.size();
        const std::string old = had ? before.substr(size_t(b) * bs, bs) : std::string();
        const std::string now = after.substr(size_t(b) * bs, bs);
        if (b != 0 && old == now) continue;
        if (had) images.push_back({b, true, name, old});
        images.push_back({b, false, name, now});
    }
    return images;
}

} // namespace journaltest
