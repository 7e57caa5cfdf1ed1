// Shared by the data-aware control tests: a fresh contacts table in its own in-memory database.
#pragma once
#include "classlib/MemTable.h"

#include <memory>
#include <string>

namespace pwtest {

// Drops every in-memory database, creates the contacts table in db and opens it on "nameIndex".
inline std::unique_ptr<cls::TMemTable> openFreshContacts(const char* db) {
    cls::TMemDatabase::DropAll();
    cls::CreateContactsTable(db);
    auto table = std::make_unique<cls::TMemTable>();
    table->SetDatabaseName(db);
    table->SetTableName("contacts");
    table->SetIndexName("nameIndex");
    table->Open();
    return table;
}

inline void addContact(cls::TMemTable& table, const std::string& name, const std::string& id, bool group1) {
    table.Append();
    table.FieldByName("name")->SetAsString(name);
    table.FieldByName("id")->SetAsString(id);
    table.FieldByName("memberGr1")->SetAsBoolean(group1);
    table.Post();
}

} // namespace pwtest
