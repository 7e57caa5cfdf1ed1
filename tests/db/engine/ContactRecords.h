// The paging client's contacts table as the engine tests and the engine's fuzz target use it: its
// dictionary and record images.
#pragma once
#include "db/storage/qbtbdict.h"
#include "platform/ByteCodec.h"

#include <cstring>
#include <string>
#include <vector>

namespace engineapi {

// The contacts table: name (unique "nameIndex"), id, service number, password and ten group flags.
inline TqbServerDataDict contactsDictionary() {
    TqbServerDataDict d;
    d.SetTableName("contacts");
    d.AddField("name", "", qbtShortString, 40, 0, true);
    d.AddField("id", "", qbtShortString, 40, 0, false);
    d.AddField("servicenumber", "", qbtInt32, 2, 0, false);
    d.AddField("password", "", qbtShortString, 20, 0, false);
    for (int i = 1; i <= 10; ++i)
        d.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
    const int32_t name = 0;
    d.AddIndex("nameIndex", "", 0, 1, &name, nullptr, false, true, true);
    d.BindIndexHelpers();
    return d;
}

struct Contact {
    std::string name, id;
    int32_t service = 0;
    std::string password;
    bool groups[10] = {};
};

// A record image of the dictionary's layout.
inline std::vector<uint8_t> contactRecord(const TqbDataDictionary& d, const Contact& c) {
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    auto str = [&](int f, const std::string& s) {
        std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
        v[0] = uint8_t(s.size());
        std::memcpy(v.data() + 1, s.data(), s.size());
        d.SetRecordField(f, r.data(), v.data());
    };
    if (!c.name.empty()) str(0, c.name);
    str(1, c.id);
    uint8_t n[4];
    plat::StoreLE32(n, uint32_t(c.service));
    d.SetRecordField(2, r.data(), n);
    str(3, c.password);
    for (int i = 0; i < 10; ++i) {
        const uint8_t b = c.groups[i] ? 1 : 0;
        d.SetRecordField(4 + i, r.data(), &b);
    }
    return r;
}

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
