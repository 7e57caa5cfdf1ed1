// The main window's contacts table: opened on "nameIndex" at the first showing, and the demo
// contacts a program start gets on the in-memory database.
#include "app/ContactsTable.h"
#include "app/Unit1.h"
#include "app/Unit1_glue.h"

const char* const kContactsDatabase = "pageBASE";
const char* const kContactsTable = "contacts";

void prepareDemoContacts() {
    if (!cls::TMemDatabase::TableExists(kContactsDatabase, kContactsTable))
        cls::CreateContactsTable(kContactsDatabase);
    if (cls::TMemDatabase::RowCount(kContactsDatabase, kContactsTable) > 0) return;
    cls::TMemTable t;
    t.SetDatabaseName(kContactsDatabase);
    t.SetTableName(kContactsTable);
    t.Open();
    for (const ContactRow& c : kDemoContacts) {
        std::vector<int> groups;
        for (int g = 1; g <= 10; ++g)
            if (c.groups[g - 1]) groups.push_back(g);
        appendContact(t, c.name, c.id, c.service, c.password, groups);
    }
    t.Close();
}

void appendContact(cls::TMemTable& table, const std::string& name, const std::string& id, int service,
                   const std::string& pin, const std::vector<int>& groups) {
    table.Append();
    table.FieldByName("name")->SetAsString(name);
    table.FieldByName("id")->SetAsString(id);
    table.FieldByName("servicenumber")->SetAsInteger(service);
    if (cls::TField* password = table.FindField("password")) password->SetAsString(pin);
    for (int g = 1; g <= 10; ++g)
        table.FieldByName("memberGr" + std::to_string(g))->SetAsBoolean(false);
    for (int g : groups)
        table.FieldByName("memberGr" + std::to_string(g))->SetAsBoolean(true);
    table.Post();
}

void TForm1::connectToDB() {
    // The database client's connection and session come with the real engine; the in-memory
    // tables need neither.
    if (contactsTable) return;
    auto table = std::make_unique<cls::TMemTable>();
    try {
        table->SetDatabaseName(kContactsDatabase);
        table->SetTableName(kContactsTable);
        table->SetIndexName("nameIndex");
        table->Open();
        contactsTable = std::move(table);
    } catch (const std::exception& e) {
        showException(e.what());
    }
}

bool TForm1::contactsOpen() const {
    return contactsTable && contactsTable->Active();
}
