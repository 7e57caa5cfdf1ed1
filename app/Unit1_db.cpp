// The main window's contacts table: opened on "nameIndex" at the first showing, and the demo
// contacts a program start gets on the in-memory database.
#include "app/Unit1.h"
#include "app/Unit1_glue.h"

const char* const kContactsDatabase = "pageBASE";
const char* const kContactsTable = "contacts";

namespace {
struct DemoContact {
    const char* name;
    const char* id;
    const char* pin;
    std::initializer_list<int> groups;
};
const DemoContact kDemoContacts[] = {
    {"Ada Lovelace", "5550101", "", {1}},
    {"Alan Turing", "5550102", "", {1}},
    {"Grace Hopper", "5550103", "4711", {1, 2}},
    {"Ken Thompson", "5550104", "", {2}},
};
} // namespace

void prepareDemoContacts() {
    if (!cls::TMemDatabase::TableExists(kContactsDatabase, kContactsTable))
        cls::CreateContactsTable(kContactsDatabase);
    if (cls::TMemDatabase::RowCount(kContactsDatabase, kContactsTable) > 0) return;
    cls::TMemTable t;
    t.SetDatabaseName(kContactsDatabase);
    t.SetTableName(kContactsTable);
    t.Open();
    for (const DemoContact& c : kDemoContacts) {
        t.Append();
        t.FieldByName("name")->SetAsString(c.name);
        t.FieldByName("id")->SetAsString(c.id);
        t.FieldByName("servicenumber")->SetAsInteger(1);
        if (cls::TField* pin = t.FindField("password")) pin->SetAsString(c.pin);
        for (int g = 1; g <= 10; ++g)
            t.FieldByName("memberGr" + std::to_string(g))->SetAsBoolean(false);
        for (int g : c.groups)
            t.FieldByName("memberGr" + std::to_string(g))->SetAsBoolean(true);
        t.Post();
    }
    t.Close();
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
