// The paging client's test bench: a temporary current directory with the contacts table files, the
// results window and the main window, the manual clock, and helpers to drive a send.
#pragma once
#include "app/Unit1.h"
#include "db/client/qbcldb.h"

#include "app/results.h"
#include "classlib/ui/Dialogs.h"
#include "platform/Messages.h"
#include "tests/app/SnppTestSupport.h"
#include "tests/support/TestSupport.h"
#include <QLabel>
#include <QPushButton>

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace snpptest {

struct Contact {
    std::string name;
    std::string id;
    int service = 1;
    std::string pin{};
    std::vector<int> groups{}; // 1..10
};

// A client, session and database of the test's own on the contacts folder (the current directory):
// through the running program's engine when there is one (the folder is its own while it runs),
// else through an engine of its own, stopped when this goes.
class ContactsStore {
public:
    // With ownEngine, an engine of its own even while the program runs (its contacts elsewhere).
    explicit ContactsStore(bool ownEngine = false);
    ~ContactsStore();
    ContactsStore(const ContactsStore&) = delete;
    ContactsStore& operator=(const ContactsStore&) = delete;
    TqbBaseServerEngine& engine() { return *engine_; }
    TqbHandle databaseID() const { return database_->DatabaseID(); }
    // The "contacts" table in "nameIndex" order, opened at the first call.
    TqbTable& table();

private:
    TqbOwned<TqbServerEngine> own_;
    TqbServerEngine* engine_ = nullptr;
    TqbOwned<TqbClient> client_;
    TqbOwned<TqbSession> session_;
    TqbOwned<TqbDatabase> database_;
    std::unique_ptr<TqbTable> table_;
};

// Creates the "contacts" table afresh (without the "password" field when withPassword is false)
// and stores the contacts in it; no program may have it open.
void seedContacts(const std::vector<Contact>& contacts, bool withPassword = true);
// Removes the "contacts" table; no program may have it open.
void dropContacts();
// Adds or removes one contact in the table (as another window would); with ownEngine through an
// engine of its own, as while the program's contacts are on a server that is not running.
void addContact(const Contact& c, bool ownEngine = false);
void deleteContact(const std::string& name);
// One stored field of a contact as text; "<missing>" when there is no such contact.
std::string storedField(const std::string& name, const std::string& field);

// Types Windows-1252 text into w, one key event per character, as a keyboard would.
void typeKeys(QWidget* w, const std::string& text);
// Replaces the text of a line edit as a user would: select all, then type (or Delete).
void retype(QWidget* lineEdit, const std::string& text);
// The text of a label, as Windows-1252.
std::string labelText(const QLabel* l);

// Runs f from the event loop as soon as w is visible (for example inside its modal loop); gives up
// after realMs of real time.
void whenShown(QWidget* w, std::function<void()> f, int realMs = 10000);

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Stores the contacts, then creates the windows (results window, then the main window) and
    // shows the main window.
    void startApp(const std::vector<Contact>& contacts, bool withPassword = true);
    // The same over the contacts table as it stands.
    void showApp();
    // Ends the windows and the log so that a test can start the application again.
    void restartApp();
    // startApp with Alice (5551234, service 1) alone, service 1 pointed at port.
    void startWithAlice(int port);
    // Points service k at 127.0.0.1:port ("127.0.0.1" + extra, e.g. ",user,pw").
    void pointService(int k, int port, const std::string& hostExtra = "");
    // Selects one recipient as the single-selection path does.
    void selectSingle(const std::string& name);
    void checkNames(const std::vector<std::string>& names);
    void selectGroup(int group);
    void setMessage(const std::string& text);
    // Send pressed with one recipient, or with the names checked, and the message text.
    void sendTo(const std::string& name, const std::string& text = "Hi");
    void sendToChecked(const std::vector<std::string>& names, const std::string& text = "Hi");
    // Advances the manual clock by ms in timer-sized steps, running the queue after each.
    void advance(uint64_t ms);
    // Results memo lines.
    std::vector<std::string> resultsLines() const; // (flushes the waiting lines first)
    std::string logText() const;                   // today's log file, every line
    std::string statusLabel() const { return form->statusLabelText(); }
    std::string statusBar() const { return form->statusBarText(); }
    std::vector<std::string> groupItems() const; // the groups list, "G<n>: <name>"

    // Every connect of the program goes to a port the test owns; the built-in service 1 and the
    // backup port point at the guard's refused port until a test points them at a server.
    PortGuard guard;
    serviceRecordType builtIn1; // service 1 as the main window's creation set it
    pwtest::TempDir dir;
    std::string oldCwd;
    plat::ManualClock clock{1000000};
    std::unique_ptr<TsendingMemoForm> results;
    std::unique_ptr<TForm1> form;
    std::tm logDay{};
};

// For the secondary windows: the application object set up and message boxes recorded.
class WindowTest : public AppTest {
protected:
    void SetUp() override;
    cls::ScriptedDialogs dialogs;
};

} // namespace snpptest
