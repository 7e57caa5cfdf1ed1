// The paging client's contacts table: the dictionary it is built with (fields, sizes and
// "nameIndex"), the record image of one contact, the demo contacts a new folder starts with, and
// the one way the table is built and filled.
#pragma once
#include "db/storage/qblleng.h"
#include "db/storage/qbtbdict.h"
#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct ContactRow {
    std::string name, id;
    int32_t service = 0; // paging service 1..12
    std::string password;
    bool groups[10] = {}; // memberGr1..memberGr10
};

// "name" (the unique, case-insensitive key of "nameIndex"), "id", "servicenumber", "password"
// and "memberGr1".."memberGr10"; an older table has no "password".
inline TqbServerDataDict contactsDictionary(bool withPassword = true) {
    TqbServerDataDict d;
    d.SetTableName("contacts");
    d.AddField("name", "Contact name", qbtShortString, 40, 0, true);
    d.AddField("id", "Pager ID or alias", qbtShortString, 40, 0, false);
    d.AddField("servicenumber", "Paging service", qbtInt32, 2, 0, false);
    if (withPassword) d.AddField("password", "Pager PIN", qbtShortString, 20, 0, false);
    for (int i = 1; i <= 10; ++i)
        d.AddField("memberGr" + std::to_string(i), "Group " + std::to_string(i), qbtBoolean, 0, 0, false);
    const int32_t name = 0;
    // Unique: a contact is found by its name, so a second one of the same name could never be paged.
    d.AddIndex("nameIndex", "Contacts by name", 0, 1, &name, nullptr, false, true, true);
    d.BindIndexHelpers();
    return d;
}

// The record image of c for a table of dictionary d. Fields the table lacks (an older table has no
// "password") are left out, text longer than its field is cut, and an empty name stays null.
inline std::vector<uint8_t> contactRecord(const TqbDataDictionary& d, const ContactRow& c) {
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    d.InitRecord(r.data());
    auto put = [&](const std::string& field, auto fill) {
        const int32_t f = d.GetFieldFromName(field);
        if (f < 0) return;
        std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
        fill(v);
        d.SetRecordField(f, r.data(), v.data());
    };
    auto text = [&](const std::string& field, const std::string& s) {
        put(field, [&](std::vector<uint8_t>& v) {
            const size_t n = std::min({s.size(), v.size() - 1, size_t(255)});
            v[0] = uint8_t(n);
            std::memcpy(v.data() + 1, s.data(), n);
        });
    };
    if (!c.name.empty()) text("name", c.name);
    text("id", c.id);
    put("servicenumber", [&](std::vector<uint8_t>& v) { plat::StoreLE32(v.data(), uint32_t(c.service)); });
    text("password", c.password);
    for (int i = 0; i < 10; ++i)
        put("memberGr" + std::to_string(i + 1), [&](std::vector<uint8_t>& v) { v[0] = c.groups[i] ? 1 : 0; });
    return r;
}

// The contacts a new run folder starts with, on paging service 1.
inline const std::vector<ContactRow> kDemoContacts = {
    {"Ada Lovelace", "5550101", 1, "", {true}},
    {"Alan Turing", "5550102", 1, "", {true}},
    {"Grace Hopper", "5550103", 1, "4711", {true, true}},
    {"Ken Thompson", "5550104", 1, "", {false, true}},
};

// The names of the demo contacts' groups 1 and 2, for a new run folder's settings file.
inline const std::vector<std::string> kDemoGroupNames = {"Pioneers", "Systems"};

// A step of building the contacts table that the engine refused: what was being done, its code and
// what the engine said of it (its log line, when it wrote one).
class ContactsTableError : public std::runtime_error {
public:
    ContactsTableError(const std::string& step, TqbResultCode code, const std::string& detail = {});
    std::string step;
    TqbResultCode code;
    std::string detail;
};

// Builds the contacts table of dict in folder with rows, through an engine of its own (its
// configuration tables go to the same folder), in one transaction. False when the folder has the
// table already: it is left as it is. The table is built and filled as "<name>_mkfill", a name of
// this function's own, and renamed to its name only when whole, so that neither a failure nor a
// kill leaves a half-filled table under its name; such a copy left by an earlier try is removed,
// so that the next try starts afresh. On a failure ContactsTableError (a refused step; a table of
// that name that cannot be read too, with the engine's reason as detail) or another exception is
// raised. Recovered (when given) hears each line of the engine's start-up recovery check: the
// journals and stray files it found and what became of them. BeforeNaming (when given) runs once the
// table is filled, before it takes its name: what must come with the table is made there.
bool makeContactsTable(const std::string& folder, TqbServerDataDict dict, const std::vector<ContactRow>& rows,
                       const std::function<void(const std::string&)>& Recovered = {},
                       const std::function<void()>& BeforeNaming = {});
