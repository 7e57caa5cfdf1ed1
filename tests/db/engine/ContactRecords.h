// The paging client's contacts table as the engine tests and the engine's fuzz target use it: the
// product's dictionary and record images, and a contact read back from a record.
#pragma once
#include "app/ContactsTable.h"
#include "db/storage/qbtbdict.h"
#include "platform/ByteCodec.h"

#include <string>

namespace engineapi {

using Contact = ::ContactRow;
using ::contactRecord;
using ::contactsDictionary;

// Reads the fields by their offsets in d, apart from the code that writes them.
inline Contact contactOf(const TqbDataDictionary& d, const uint8_t* r) {
    Contact c;
    auto str = [&](int f) {
        return std::string(reinterpret_cast<const char*>(r + d.FieldOffset(f) + 1), r[d.FieldOffset(f)]);
    };
    c.name = str(0);
    c.id = str(1);
    c.service = int32_t(plat::LoadLE32(r + d.FieldOffset(2)));
    c.password = str(3);
    for (int i = 0; i < 10; ++i)
        c.groups[i] = r[d.FieldOffset(4 + i)] != 0;
    return c;
}

} // namespace engineapi
