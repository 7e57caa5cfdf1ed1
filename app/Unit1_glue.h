// Where the main window meets what it borrows: the contacts table, the dialog service, the
// application object and the other windows.
#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

// The contacts table as the paging client uses it: key search on an index, a walk in index
// order and field values by name (case-insensitive). Every failure is an exception.
class ContactsStore {
public:
    // Opens the "contacts" table of the database in folder on "nameIndex"; throws when it cannot be
    // opened.
    explicit ContactsStore(const std::string& folder);
    ~ContactsStore();
    ContactsStore(const ContactsStore&) = delete;
    ContactsStore& operator=(const ContactsStore&) = delete;

    void setIndexName(const std::string& name);
    bool FindKey(const std::string& key);
    void First();
    void Next();
    bool Eof();
    std::string fieldString(const std::string& field);
    int fieldInteger(const std::string& field);
    bool fieldBoolean(const std::string& field);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// One contact as the stand-in keeps it.
struct ContactRecord {
    std::string name;
    std::string id;
    int serviceNumber = 0;
    std::string password;
    std::array<bool, 11> memberGr{}; // 1..10
};

// The contacts stand-in: one in-memory "contacts" table per database folder, shared by every store
// opened on that folder, until the database client takes its place. A folder whose table was never
// created gets a few demo contacts when it is first opened.
namespace contactsdb {
void Create(const std::string& folder);                           // an empty table (replacing any)
void Put(const std::string& folder, const ContactRecord& record); // insert, or replace by name
bool Delete(const std::string& folder, const std::string& name);
// Tests: a table without the "password" field; a folder whose table cannot be opened.
void SetHasPasswordField(const std::string& folder, bool has);
void SetUnavailable(const std::string& folder, bool unavailable);
std::vector<ContactRecord> DemoContacts();
} // namespace contactsdb

// A message box with an OK button, through the dialog service.
void showMessage(const std::string& text);
// The application's standard display of an exception that escaped a handler.
void showException(const std::string& text);
void setApplicationTitle(const std::string& title);
// At the main window's first showing: hide the configuration window's Services tab and the
// contacts window's service and password editors.
void hideOtherWindowsControls();
// The contacts table has no "password" field: its editor is hidden in the contacts window.
void hidePasswordEditor();
