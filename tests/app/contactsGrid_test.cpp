// The contacts window over the contacts table files, beside the main window whose session it uses:
// record buttons by state, the checks before a record is stored, delete with its confirmation, the
// group filter, closing and reopening, and what it stored after the program started again.
#include "app/contactsGrid.h"

#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using namespace snpptest;
using Names = std::vector<std::string>;

namespace {

const char* const kEditing = "You are currently editing a record.  Choose UPDATE or CANCEL.";
const char* const kDuplicateBob = "A contact named \"BOB\" already exists.";
const char* const kDuplicateAlice = "A contact named \"Alice\" already exists.";
const std::vector<Contact> kFour = {{"Alice", "100", 1, "", {2}},
                                    {"Bob", "200", 1, "", {2, 5}},
                                    {"Carol", "300", 1, "", {10}},
                                    {"Dave", "400", 1, "", {}}};

// The main window runs (its session is the one the contacts window's table uses); the contacts
// window comes at the first open().
class ContactsWindow : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        startApp(kFour);
        for (auto& g : groupNames)
            g.clear();
    }
    void TearDown() override {
        contacts.reset();
        for (auto& g : groupNames)
            g.clear();
        WindowTest::TearDown();
    }

    void open() {
        if (!contacts) contacts = std::make_unique<TcontactsGridForm>();
        contacts->show();
        QApplication::processEvents();
    }
    // The program ended and started again, the contacts window with it.
    void restartProgram() {
        contacts.reset();
        restartApp();
        showApp();
    }
    // Enabled: Insert, Update, Cancel, Delete.
    std::vector<bool> buttons() const {
        return {contacts->Insertbutton->isEnabled(), contacts->Updatebutton->isEnabled(),
                contacts->cancelButton->isEnabled(), contacts->deleteButton->isEnabled()};
    }
    Names gridNames() const {
        Names names;
        for (int r = 0; r < contacts->DBGrid1->RowCount(); ++r)
            names.push_back(contacts->DBGrid1->CellText(r, 0));
        return names;
    }
    // Inserts a record with the name and id typed in and presses Update; returns the messages.
    Names post(const std::string& name, const std::string& id) {
        dialogs.Clear();
        contacts->Insertbutton->click();
        typeKeys(contacts->nameEdit, name);
        typeKeys(contacts->idEdit, id);
        contacts->Updatebutton->click();
        return dialogs.Texts();
    }

    std::unique_ptr<TcontactsGridForm> contacts;
};

TEST_F(ContactsWindow, RecordButtonsFollowTheTableState) {
    open();
    const std::vector<bool> browse = {true, false, false, true};
    EXPECT_EQ(buttons(), browse);
    typeKeys(contacts->idEdit, "9");
    EXPECT_EQ(buttons(), (std::vector<bool>{false, true, true, false}));
    // Insert and Delete refuse while a record is being edited; nothing else happens.
    contacts->Insertbutton->click(); // disabled: the click does nothing
    contacts->InsertbuttonClick();
    contacts->deleteButtonClick();
    EXPECT_EQ(dialogs.Texts(), (Names{kEditing, kEditing}));
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsEdit);

    contacts->cancelButton->click();
    EXPECT_EQ(buttons(), browse);
    EXPECT_EQ(storedField("Alice", "id"), "100");
}

TEST_F(ContactsWindow, PostChecksAndTheStoredRecord) {
    groupNames[1] = "Sales";
    open();
    // A missing id is refused and the record is kept to be finished.
    EXPECT_EQ(post("Eve", ""), (Names{"Name and ID must have values"}));
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsInsert);
    typeKeys(contacts->idEdit, "5550199");
    contacts->groupCheckboxes[1]->click();
    contacts->Updatebutton->click();
    EXPECT_EQ(storedField("Eve", "id"), "5550199");
    // The service edit is hidden at run time: a blank service would leave the contact unpageable.
    EXPECT_EQ(storedField("Eve", "servicenumber"), "1");
    EXPECT_EQ(storedField("Eve", "memberGr1"), "True");

    // An id that would break the SNPP line (as pasted: straight into the field).
    for (const char* id : {" 5550199", "5550199\r\nQUIT"}) {
        post("Fay", "");
        dialogs.Clear();
        contacts->contactsTable->FieldByName("id")->SetAsString(id);
        contacts->Updatebutton->click();
        EXPECT_EQ(dialogs.Texts(), Names{"The ID / Alias must not contain blanks or control characters"});
        EXPECT_EQ(storedField("Fay", "id"), "<missing>") << id;
        contacts->cancelButton->click();
    }

    // Duplicate names, whatever the case, and even when the group filter hides the other one: the
    // unique name index refuses them, its error is shown and the record stays to be put right.
    contacts->contactsTable->SetFilter("memberGr10=true");
    contacts->contactsTable->SetFiltered(true);
    EXPECT_EQ(post("BOB", "999"), Names{kDuplicateBob});
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsInsert);
    contacts->cancelButton->click();
    contacts->contactsTable->SetFiltered(false);
    EXPECT_EQ(storedField("Bob", "id"), "200");

    // Renaming onto another's name is refused; keeping one's own name is not.
    dialogs.Clear();
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant("Carol")}));
    retype(contacts->nameEdit, "Alice");
    contacts->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts(), Names{kDuplicateAlice});
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsEdit);
    contacts->cancelButton->click();
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant("Carol")}));
    typeKeys(contacts->idEdit, "1");
    contacts->Updatebutton->click();
    EXPECT_EQ(storedField("Carol", "id"), "3001");
}

TEST_F(ContactsWindow, DeleteAsksAndDeletesOnlyOnYes) {
    open();
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant("Bob")}));
    dialogs.Answer(cls::mrNo);
    contacts->deleteButton->click();
    EXPECT_EQ(storedField("Bob", "id"), "200");

    dialogs.Answer(cls::mrYes);
    contacts->deleteButton->click();
    ASSERT_EQ(dialogs.Boxes().size(), 2u);
    EXPECT_EQ(dialogs.Boxes()[0].buttons, cls::MsgButtons::YesNo);
    EXPECT_EQ(storedField("Bob", "id"), "<missing>");
    EXPECT_EQ(gridNames(), (Names{"Alice", "Carol", "Dave"}));
}

TEST_F(ContactsWindow, GroupFilterListsNamedGroupsAndShowAllClearsIt) {
    groupNames[2] = "Sales";
    groupNames[5] = "Night shift";
    groupNames[10] = "Board";
    open();
    EXPECT_FALSE(contacts->groupCheckboxes[4]->isEnabled()) << "an unnamed group";

    // The user picks "Group 5: Night shift".
    QTest::keyClick(contacts->GroupSelectComboBox, Qt::Key_Down);
    QTest::keyClick(contacts->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(gridNames(), (Names{"Bob"}));
    EXPECT_EQ(cls::fromQString(contacts->showingGroupsLabel->text()), "Showing Group 5: Night shift");
    EXPECT_TRUE(contacts->showAllContactsButton->isEnabled());

    // Group 10 is told from group 1 by its second digit.
    QTest::keyClick(contacts->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(gridNames(), (Names{"Carol"}));

    // "Show ALL" clears the filter and puts the combo box back without coming through its handler.
    const int changes = contacts->groupFilterChanges();
    contacts->showAllContactsButton->click();
    EXPECT_EQ(contacts->groupFilterChanges(), changes);
    EXPECT_EQ(gridNames(), (Names{"Alice", "Bob", "Carol", "Dave"}));
    EXPECT_TRUE(contacts->showingGroupsLabel->isHidden());
    EXPECT_EQ(contacts->GroupSelectComboBox->currentIndex(), 0);
    EXPECT_FALSE(contacts->showAllContactsButton->isEnabled()) << "nothing left to show";
}

TEST_F(ContactsWindow, ClosingClosesTheTableAndShowingAgainReopensIt) {
    open();
    TqbTable* table = contacts->contactsTable;
    contacts->exitButton->click();
    EXPECT_FALSE(table->Active());

    // Another window's change shows when the window opens again, on the same table object.
    deleteContact("Alice");
    groupNames[3] = "Drivers";
    open();
    EXPECT_EQ(contacts->contactsTable, table);
    EXPECT_EQ(gridNames(), (Names{"Bob", "Carol", "Dave"}));
    EXPECT_TRUE(contacts->groupCheckboxes[3]->isEnabled());

    // A record left in edit state by closing is not stored.
    typeKeys(contacts->idEdit, "7");
    contacts->close();
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(storedField("Bob", "id"), "200");
}

TEST_F(ContactsWindow, AnInsertedContactIsThereWhenTheProgramStartsAgain) {
    groupNames[3] = "Drivers";
    open();
    contacts->Insertbutton->click();
    typeKeys(contacts->nameEdit, "Eve");
    typeKeys(contacts->idEdit, "5550199");
    contacts->groupCheckboxes[3]->click();
    contacts->Updatebutton->click();
    contacts->exitButton->click();

    restartProgram();
    EXPECT_EQ(form->namesListbox->Items.IndexOf("Eve"), 4);
    ASSERT_TRUE(form->lookupContact("Eve"));
    EXPECT_EQ(lookupId, "5550199");
    EXPECT_EQ(lookupService, 1);
    EXPECT_EQ(storedField("Eve", "memberGr3"), "True");
    open();
    EXPECT_EQ(gridNames(), (Names{"Alice", "Bob", "Carol", "Dave", "Eve"}));
}

TEST_F(ContactsWindow, MissingOrOldTablesLeaveAWorkingWindow) {
    // An old table without the "password" field: the password edit is detached, posts still work.
    restartApp();
    seedContacts({{"Alice", "100", 1, "", {}}}, false);
    showApp();
    open();
    EXPECT_EQ(contacts->passwordEdit->DataSource(), nullptr);
    post("Eve", "1");
    EXPECT_EQ(storedField("Eve", "id"), "1");
    contacts->exitButton->click();

    // No table at all: reported, and the window still closes.
    contacts.reset();
    restartApp();
    dropContacts();
    showApp();
    dialogs.Clear();
    open();
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(dialogs.Texts(), Names{"There is no contacts table (\"contacts\") in " + here +
                                     ". Quit Pagewright, make one with the tool mkcontacts (mkcontacts " +
                                     here + "), then start Pagewright again."});
    contacts->InsertbuttonClick();
    contacts->exitButton->click();
    EXPECT_FALSE(contacts->isVisible());
}

// A keyboard user's Update or Cancel disables the button pressed: the focus goes to the grid, not
// on to Delete, where the next Space would ask to delete the contact.
TEST_F(ContactsWindow, AfterUpdateOrCancelTheFocusIsOnTheGrid) {
    open();
    contacts->activateWindow();
    QApplication::setActiveWindow(contacts.get());
    auto press = [this](QWidget* button) {
        button->setFocus();
        QTest::keyClick(contacts->windowHandle(), Qt::Key_Space);
        QApplication::processEvents();
    };
    contacts->Insertbutton->click();
    typeKeys(contacts->nameEdit, "Eve");
    typeKeys(contacts->idEdit, "5550199");
    press(contacts->Updatebutton);
    ASSERT_EQ(storedField("Eve", "id"), "5550199");
    EXPECT_EQ(QApplication::focusWidget(), contacts->DBGrid1);
    QTest::keyClick(contacts->windowHandle(), Qt::Key_Space);
    EXPECT_EQ(dialogs.Texts(), Names{}) << "a key after Update pressed a button";

    typeKeys(contacts->idEdit, "7");
    press(contacts->cancelButton);
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);
    EXPECT_EQ(QApplication::focusWidget(), contacts->DBGrid1);
    EXPECT_EQ(storedField("Eve", "id"), "5550199");
}

// The application may free the main window, and with it the session, before the contacts window:
// the open table is closed with the session, and the window goes later without touching either.
TEST_F(ContactsWindow, TheMainWindowGoingFirstClosesTheWindowsTable) {
    open();
    TqbTable* table = contacts->contactsTable;
    ASSERT_TRUE(table->Active());
    restartApp();
    EXPECT_FALSE(table->Active());
    contacts.reset();
}

} // namespace
