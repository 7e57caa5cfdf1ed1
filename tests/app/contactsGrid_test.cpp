// The contacts window over the in-memory contacts table: record buttons by state, the checks before
// a record is stored, delete with its confirmation, the group filter, and closing and reopening.
#include "app/contactsGrid.h"

#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace snpptest;
using Names = std::vector<std::string>;

namespace {

const char* const kEditing = "You are currently editing a record.  Choose UPDATE or CANCEL.";
const char* const kDuplicate = "A contact with this name already exists";

class ContactsWindow : public testing::Test {
protected:
    void SetUp() override {
        cls::Application.Initialize();
        setBuiltInServices();
        for (auto& g : groupNames)
            g.clear();
        seedContacts({{"Alice", "100", 1, "", {2}},
                      {"Bob", "200", 1, "", {2, 5}},
                      {"Carol", "300", 1, "", {10}},
                      {"Dave", "400", 1, "", {}}});
    }
    void TearDown() override {
        form.reset();
        for (auto& g : groupNames)
            g.clear();
        cls::TMemDatabase::DropAll();
    }

    void open() {
        if (!form) form = std::make_unique<TcontactsGridForm>();
        form->show();
        QApplication::processEvents();
    }
    // Enabled: Insert, Update, Cancel, Delete.
    std::vector<bool> buttons() const {
        return {form->Insertbutton->isEnabled(), form->Updatebutton->isEnabled(),
                form->cancelButton->isEnabled(), form->deleteButton->isEnabled()};
    }
    Names gridNames() const {
        Names names;
        for (int r = 0; r < form->DBGrid1->RowCount(); ++r)
            names.push_back(form->DBGrid1->CellText(r, 0));
        return names;
    }
    // One stored field as text; "<missing>" when there is no such contact.
    static std::string stored(const std::string& name, const std::string& field) {
        cls::TMemTable t;
        openContacts(t);
        return t.FindKey({cls::Variant(name)}) ? t.FieldByName(field)->AsString() : "<missing>";
    }
    // Inserts a record with the name and id typed in and presses Update; returns the messages.
    Names post(const std::string& name, const std::string& id) {
        dialogs.Clear();
        form->Insertbutton->click();
        typeKeys(form->nameEdit, name);
        typeKeys(form->idEdit, id);
        form->Updatebutton->click();
        return dialogs.Texts();
    }

    cls::ScriptedDialogs dialogs;
    std::unique_ptr<TcontactsGridForm> form;
};

TEST_F(ContactsWindow, RecordButtonsFollowTheTableState) {
    open();
    const std::vector<bool> browse = {true, false, false, true};
    EXPECT_EQ(buttons(), browse);
    typeKeys(form->idEdit, "9");
    EXPECT_EQ(buttons(), (std::vector<bool>{false, true, true, false}));
    // Insert and Delete refuse while a record is being edited; nothing else happens.
    form->Insertbutton->click(); // disabled: the click does nothing
    form->InsertbuttonClick();
    form->deleteButtonClick();
    EXPECT_EQ(dialogs.Texts(), (Names{kEditing, kEditing}));
    EXPECT_EQ(form->contactsTable->State(), cls::dsEdit);

    form->cancelButton->click();
    EXPECT_EQ(buttons(), browse);
    EXPECT_EQ(stored("Alice", "id"), "100");
}

TEST_F(ContactsWindow, PostChecksAndTheStoredRecord) {
    groupNames[1] = "Sales";
    open();
    // A missing id is refused and the record is kept to be finished.
    EXPECT_EQ(post("Eve", ""), (Names{"Name and ID must have values"}));
    EXPECT_EQ(form->contactsTable->State(), cls::dsInsert);
    typeKeys(form->idEdit, "5550199");
    form->groupCheckboxes[1]->click();
    form->Updatebutton->click();
    EXPECT_EQ(stored("Eve", "id"), "5550199");
    // The service edit is hidden at run time: a blank service would leave the contact unpageable.
    EXPECT_EQ(stored("Eve", "servicenumber"), "1");
    EXPECT_EQ(stored("Eve", "memberGr1"), "True");

    // An id that would break the SNPP line (as pasted: straight into the field).
    for (const char* id : {" 5550199", "5550199\r\nQUIT"}) {
        post("Fay", "");
        dialogs.Clear();
        form->contactsTable->FieldByName("id")->SetAsString(id);
        form->Updatebutton->click();
        EXPECT_EQ(dialogs.Texts(), Names{"The ID / Alias must not contain blanks or control characters"});
        EXPECT_EQ(stored("Fay", "id"), "<missing>") << id;
        form->cancelButton->click();
    }

    // Duplicate names, whatever the case, and even when the group filter hides the other one.
    form->contactsTable->SetFilter("memberGr10=true");
    form->contactsTable->SetFiltered(true);
    EXPECT_EQ(post("BOB", "999"), Names{kDuplicate});
    form->cancelButton->click();
    form->contactsTable->SetFiltered(false);
    EXPECT_EQ(stored("Bob", "id"), "200");

    // Renaming onto another's name is refused; keeping one's own name is not.
    dialogs.Clear();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Carol")}));
    retype(form->nameEdit, "Alice");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts(), Names{kDuplicate});
    form->cancelButton->click();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Carol")}));
    typeKeys(form->idEdit, "1");
    form->Updatebutton->click();
    EXPECT_EQ(stored("Carol", "id"), "3001");
}

TEST_F(ContactsWindow, DeleteAsksAndDeletesOnlyOnYes) {
    open();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Bob")}));
    dialogs.Answer(cls::mrNo);
    form->deleteButton->click();
    EXPECT_EQ(stored("Bob", "id"), "200");

    dialogs.Answer(cls::mrYes);
    form->deleteButton->click();
    ASSERT_EQ(dialogs.Boxes().size(), 2u);
    EXPECT_EQ(dialogs.Boxes()[0].buttons, cls::MsgButtons::YesNo);
    EXPECT_EQ(stored("Bob", "id"), "<missing>");
    EXPECT_EQ(gridNames(), (Names{"Alice", "Carol", "Dave"}));
}

TEST_F(ContactsWindow, GroupFilterListsNamedGroupsAndShowAllClearsIt) {
    groupNames[2] = "Sales";
    groupNames[5] = "Night shift";
    groupNames[10] = "Board";
    open();
    EXPECT_FALSE(form->groupCheckboxes[4]->isEnabled()) << "an unnamed group";

    // The user picks "Group 5: Night shift".
    QTest::keyClick(form->GroupSelectComboBox, Qt::Key_Down);
    QTest::keyClick(form->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(gridNames(), (Names{"Bob"}));
    EXPECT_EQ(cls::fromQString(form->showingGroupsLabel->text()), "Showing Group 5: Night shift");
    EXPECT_TRUE(form->showAllContactsButton->isEnabled());

    // Group 10 is told from group 1 by its second digit.
    QTest::keyClick(form->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(gridNames(), (Names{"Carol"}));

    // "Show ALL" clears the filter and puts the combo box back without coming through its handler.
    const int changes = form->groupFilterChanges();
    form->showAllContactsButton->click();
    EXPECT_EQ(form->groupFilterChanges(), changes);
    EXPECT_EQ(gridNames(), (Names{"Alice", "Bob", "Carol", "Dave"}));
    EXPECT_TRUE(form->showingGroupsLabel->isHidden());
    EXPECT_EQ(form->GroupSelectComboBox->currentIndex(), 0);
    EXPECT_FALSE(form->showAllContactsButton->isEnabled()) << "nothing left to show";
}

TEST_F(ContactsWindow, ClosingClosesTheTableAndShowingAgainReopensIt) {
    open();
    cls::TMemTable* table = form->contactsTable;
    form->exitButton->click();
    EXPECT_FALSE(table->Active());

    // Another window's change shows when the window opens again, on the same table object.
    deleteContact("Alice");
    groupNames[3] = "Drivers";
    open();
    EXPECT_EQ(form->contactsTable, table);
    EXPECT_EQ(gridNames(), (Names{"Bob", "Carol", "Dave"}));
    EXPECT_TRUE(form->groupCheckboxes[3]->isEnabled());

    // A record left in edit state by closing is not stored.
    typeKeys(form->idEdit, "7");
    form->close();
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(stored("Bob", "id"), "200");
}

TEST_F(ContactsWindow, MissingOrOldTablesLeaveAWorkingWindow) {
    // An old table without the "password" field: the password edit is detached, posts still work.
    seedContacts({{"Alice", "100", 1, "", {}}}, false);
    open();
    EXPECT_EQ(form->passwordEdit->DataSource(), nullptr);
    post("Eve", "1");
    EXPECT_EQ(stored("Eve", "id"), "1");
    form->exitButton->click();

    // No table at all: reported, and the window still closes.
    cls::TMemDatabase::DropAll();
    dialogs.Clear();
    open();
    ASSERT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_NE(dialogs.Texts()[0].find("contacts"), std::string::npos);
    form->InsertbuttonClick();
    form->exitButton->click();
    EXPECT_FALSE(form->isVisible());
}

} // namespace
