// The main window's contacts: connecting to the store at the first showing, and the in-memory
// contacts table that stands in for the database until the database client is connected.
#include "app/Unit1.h"
#include "app/Unit1_glue.h"

#include "classlib/SysUtils.h"
#include "platform/Text.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

struct Table {
    std::vector<ContactRecord> rows; // in "nameIndex" order
    bool hasPassword = true;
    bool unavailable = false;
};

std::mutex dbMutex;
std::map<std::string, std::shared_ptr<Table>>& tables() {
    static std::map<std::string, std::shared_ptr<Table>> t;
    return t;
}

bool nameLess(const ContactRecord& a, const ContactRecord& b) {
    return a.name < b.name;
}

std::shared_ptr<Table> tableOf(const std::string& folder, bool create) {
    auto& t = tables();
    auto it = t.find(folder);
    if (it != t.end()) return it->second;
    if (!create) return nullptr;
    auto table = std::make_shared<Table>();
    t[folder] = table;
    return table;
}

[[noreturn]] void fieldNotFound(const std::string& field) {
    throw cls::Exception("contacts: Field '" + field + "' not found");
}

} // namespace

namespace contactsdb {

void Create(const std::string& folder) {
    std::lock_guard<std::mutex> g(dbMutex);
    tables()[folder] = std::make_shared<Table>();
}

void Put(const std::string& folder, const ContactRecord& record) {
    std::lock_guard<std::mutex> g(dbMutex);
    auto t = tableOf(folder, true);
    auto it = std::lower_bound(t->rows.begin(), t->rows.end(), record, nameLess);
    if (it != t->rows.end() && it->name == record.name)
        *it = record;
    else
        t->rows.insert(it, record);
}

bool Delete(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> g(dbMutex);
    auto t = tableOf(folder, false);
    if (!t) return false;
    auto it = std::find_if(t->rows.begin(), t->rows.end(), [&](auto& r) { return r.name == name; });
    if (it == t->rows.end()) return false;
    t->rows.erase(it);
    return true;
}

void SetHasPasswordField(const std::string& folder, bool has) {
    std::lock_guard<std::mutex> g(dbMutex);
    tableOf(folder, true)->hasPassword = has;
}

void SetUnavailable(const std::string& folder, bool unavailable) {
    std::lock_guard<std::mutex> g(dbMutex);
    tableOf(folder, true)->unavailable = unavailable;
}

std::vector<ContactRecord> DemoContacts() {
    std::vector<ContactRecord> demo = {
        {"Ada Lovelace", "5550101", 1, "", {}},
        {"Alan Turing", "5550102", 1, "", {}},
        {"Grace Hopper", "5550103", 1, "4711", {}},
        {"Ken Thompson", "5550104", 1, "", {}},
    };
    demo[0].memberGr[1] = demo[1].memberGr[1] = demo[2].memberGr[1] = true;
    demo[2].memberGr[2] = demo[3].memberGr[2] = true;
    return demo;
}

} // namespace contactsdb

struct ContactsStore::Impl {
    std::shared_ptr<Table> table;
    size_t pos = 0;

    const ContactRecord& current() const {
        if (pos >= table->rows.size()) throw cls::Exception("contacts: No current record");
        return table->rows[pos];
    }
};

ContactsStore::ContactsStore(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    bool seed = false;
    {
        std::lock_guard<std::mutex> g(dbMutex);
        impl_->table = tableOf(folder, false);
        if (!impl_->table) {
            impl_->table = tableOf(folder, true);
            seed = true;
        }
        if (impl_->table->unavailable) throw cls::Exception("contacts: Table cannot be opened in " + folder);
    }
    if (seed)
        for (const auto& r : contactsdb::DemoContacts())
            contactsdb::Put(folder, r);
}

ContactsStore::~ContactsStore() = default;

void ContactsStore::setIndexName(const std::string& name) {
    if (!plat::SameTextAscii(name, "nameIndex"))
        throw cls::Exception("contacts: Index '" + name + "' not found");
}

bool ContactsStore::FindKey(const std::string& key) {
    std::lock_guard<std::mutex> g(dbMutex);
    auto& rows = impl_->table->rows;
    auto it = std::lower_bound(rows.begin(), rows.end(), ContactRecord{key}, nameLess);
    if (it == rows.end() || it->name != key) return false;
    impl_->pos = static_cast<size_t>(it - rows.begin());
    return true;
}

void ContactsStore::First() {
    impl_->pos = 0;
}
void ContactsStore::Next() {
    if (impl_->pos < impl_->table->rows.size()) ++impl_->pos;
}
bool ContactsStore::Eof() {
    return impl_->pos >= impl_->table->rows.size();
}

std::string ContactsStore::fieldString(const std::string& field) {
    std::lock_guard<std::mutex> g(dbMutex);
    const ContactRecord& r = impl_->current();
    if (plat::SameTextAscii(field, "name")) return r.name;
    if (plat::SameTextAscii(field, "id")) return r.id;
    if (plat::SameTextAscii(field, "serviceNumber")) return std::to_string(r.serviceNumber);
    if (plat::SameTextAscii(field, "password")) {
        if (!impl_->table->hasPassword) fieldNotFound(field);
        return r.password;
    }
    for (int k = 1; k <= 10; ++k)
        if (plat::SameTextAscii(field, "memberGr" + std::to_string(k)))
            return r.memberGr[k] ? "True" : "False";
    fieldNotFound(field);
}

int ContactsStore::fieldInteger(const std::string& field) {
    if (plat::SameTextAscii(field, "serviceNumber")) {
        std::lock_guard<std::mutex> g(dbMutex);
        return impl_->current().serviceNumber;
    }
    const std::string s = fieldString(field);
    try {
        return std::stoi(s);
    } catch (...) {
        throw cls::EConvertError("'" + s + "' is not a valid integer value");
    }
}

bool ContactsStore::fieldBoolean(const std::string& field) {
    for (int k = 1; k <= 10; ++k)
        if (plat::SameTextAscii(field, "memberGr" + std::to_string(k))) {
            std::lock_guard<std::mutex> g(dbMutex);
            return impl_->current().memberGr[k];
        }
    return plat::SameTextAscii(fieldString(field), "True");
}

// ---- The main window's side ----------------------------------------------------------------------

void TForm1::connectToDB() {
    if (contacts_) return;
    try {
        char buf[4096];
        const std::string folder = ::getcwd(buf, sizeof buf) ? buf : ".";
        contacts_ = std::make_unique<ContactsStore>(folder);
    } catch (const std::exception& e) {
        showException(e.what());
    }
}

bool TForm1::contactsOpen() const {
    return contacts_ != nullptr;
}
