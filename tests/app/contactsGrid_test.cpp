// The contacts window over the in-memory contacts table: record buttons by state, the checks before
// a record is stored, delete with its confirmation, the group filter, and closing and reopening.
#include "app/contactsGrid.h"

#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"
#include "tests/app/AppFixture.h"
#include "tests/app/WindowsTestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>
#include <memory>

using namespace wintest;
using Names = std::vector<std::string>;

namespace {

const char* const kEditing = "You are currently editing a record.  Choose UPDATE or CANCEL.";

class ContactsWindow : public testing::Test {
protected:
    void SetUp() override {
        cls::Application.Initialize();
        setBuiltInServices();
        for (auto& g : groupNames)
            g.clear();
        snpptest::seedContacts({{"Alice", "100", 1, "", {2}},
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
    cls::TDataSetState state() const { return form->contactsTable->State(); }
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
    // Starts a new record with the name and id typed in (either may be empty).
    void insertTyped(const QString& name, const QString& id) {
        form->Insertbutton->click();
        ASSERT_EQ(state(), cls::dsInsert);
        if (!name.isEmpty()) type(form->nameEdit, name);
        if (!id.isEmpty()) type(form->idEdit, id);
    }

    cls::ScriptedDialogs dialogs;
    std::unique_ptr<TcontactsGridForm> form;
};

const std::vector<bool> kBrowse = {true, false, false, true};
const std::vector<bool> kEditingButtons = {false, true, true, false};

TEST_F(ContactsWindow, RecordButtonsFollowTheTableState) {
    open();
    EXPECT_EQ(buttons(), kBrowse);
    // Typing into a field edits the current record.
    type(form->idEdit, "9");
    EXPECT_EQ(buttons(), kEditingButtons);
    // Insert and Delete refuse while a record is being edited; nothing else happens.
    form->Insertbutton->click(); // disabled: the click does nothing
    form->InsertbuttonClick();
    form->deleteButtonClick();
    EXPECT_EQ(dialogs.Texts(), (Names{kEditing, kEditing}));
    EXPECT_EQ(dialogs.Beeps(), 1);
    EXPECT_EQ(state(), cls::dsEdit);

    form->cancelButton->click();
    EXPECT_EQ(buttons(), kBrowse);
    EXPECT_EQ(storedField("Alice", "id"), "100");
}

TEST_F(ContactsWindow, InsertedContactIsStoredWithServiceOne) {
    groupNames[1] = "Sales";
    open();
    insertTyped("Eve", "5550199");
    form->groupCheckboxes[1]->click();
    form->Updatebutton->click();
    EXPECT_EQ(storedField("Eve", "id"), "5550199");
    // The service edit is hidden at run time: a blank service would leave the contact unpageable.
    EXPECT_EQ(storedField("Eve", "servicenumber"), "1");
    EXPECT_EQ(storedField("Eve", "memberGr1"), "True");
    EXPECT_EQ(gridNames(), (Names{"Alice", "Bob", "Carol", "Dave", "Eve"}));
}

TEST_F(ContactsWindow, PostWithoutNameOrIdIsRefusedAndKeepsTheRecord) {
    open();
    insertTyped("Eve", "");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts(), (Names{"Name and ID must have values"}));
    EXPECT_EQ(state(), cls::dsInsert);

    // The record being inserted is still there to be finished.
    type(form->idEdit, "555");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_EQ(storedField("Eve", "id"), "555");
}

TEST_F(ContactsWindow, IdWithBlanksOrControlCharactersIsRefused) {
    open();
    const char* const bad[] = {" 5550199", "5550199\r\nQUIT", "555\x7f"};
    for (const char* id : bad) {
        dialogs.Clear();
        insertTyped("Eve", "");
        // As pasted or imported: straight into the field.
        form->contactsTable->FieldByName("id")->SetAsString(id);
        form->Updatebutton->click();
        EXPECT_EQ(dialogs.Texts(), Names{"The ID / Alias must not contain blanks or control characters"});
        EXPECT_EQ(storedField("Eve", "id"), "<missing>") << id;
        form->cancelButton->click();
    }
}

TEST_F(ContactsWindow, SecondContactWithAStoredNameIsRefused) {
    open();
    for (const QString& name : {QString("Bob"), QString("BOB")}) {
        dialogs.Clear();
        insertTyped(name, "999");
        form->Updatebutton->click();
        EXPECT_EQ(dialogs.Texts(), (Names{"A contact with this name already exists"})) << name.toStdString();
        form->cancelButton->click();
    }
    EXPECT_EQ(storedField("Bob", "id"), "200");

    // Renaming a contact onto another's name is refused; keeping one's own name is not.
    dialogs.Clear();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Carol")}));
    retype(form->nameEdit, "Alice");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts().size(), 1u);
    form->cancelButton->click();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Carol")}));
    type(form->idEdit, "1");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_EQ(storedField("Carol", "id"), "3001");

    // The check sees contacts the group filter hides.
    form->contactsTable->SetFilter("memberGr10=true");
    form->contactsTable->SetFiltered(true);
    dialogs.Clear();
    insertTyped("Dave", "1");
    form->Updatebutton->click();
    EXPECT_EQ(dialogs.Texts(), (Names{"A contact with this name already exists"}));
    form->cancelButton->click();
}

TEST_F(ContactsWindow, DeleteAsksAndDeletesOnlyOnYes) {
    open();
    ASSERT_TRUE(form->contactsTable->FindKey({cls::Variant("Bob")}));
    dialogs.Answer(cls::mrNo);
    form->deleteButton->click();
    ASSERT_EQ(dialogs.Boxes().size(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].buttons, cls::MsgButtons::YesNo);
    EXPECT_EQ(storedNames().size(), 4u);

    dialogs.Answer(cls::mrYes);
    form->deleteButton->click();
    EXPECT_EQ(storedNames(), (Names{"Alice", "Carol", "Dave"}));
    EXPECT_EQ(gridNames(), (Names{"Alice", "Carol", "Dave"}));
}

TEST_F(ContactsWindow, GroupFilterListsNamedGroupsAndShowAllClearsIt) {
    groupNames[2] = "Sales";
    groupNames[5] = "Night shift";
    groupNames[10] = "Board";
    open();
    EXPECT_FALSE(form->groupCheckboxes[4]->isEnabled()) << "an unnamed group";

    // The user picks "Group 5: Night shift".
    key(form->GroupSelectComboBox, Qt::Key_Down);
    key(form->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(form->groupFilterChanges(), 2);
    EXPECT_EQ(gridNames(), (Names{"Bob"}));
    EXPECT_EQ(cls::fromQString(form->showingGroupsLabel->text()), "Showing Group 5: Night shift");

    // Group 10 is told from group 1 by its second digit.
    key(form->GroupSelectComboBox, Qt::Key_Down);
    EXPECT_EQ(gridNames(), (Names{"Carol"}));

    // "Show ALL" clears the filter and puts the combo box back without coming through its handler.
    const int changes = form->groupFilterChanges();
    form->showAllContactsButton->click();
    EXPECT_EQ(form->groupFilterChanges(), changes);
    EXPECT_EQ(gridNames(), (Names{"Alice", "Bob", "Carol", "Dave"}));
    EXPECT_TRUE(form->showingGroupsLabel->isHidden());
    EXPECT_EQ(form->GroupSelectComboBox->currentIndex(), 0);
    EXPECT_FALSE(form->showAllContactsButton->isEnabled());
}

TEST_F(ContactsWindow, ClosingClosesTheTableAndShowingAgainReopensIt) {
    open();
    cls::TMemTable* table = form->contactsTable;
    form->exitButton->click();
    EXPECT_FALSE(table->Active());

    // Another window's change shows when the window opens again, on the same table object.
    snpptest::deleteContact("Alice");
    groupNames[3] = "Drivers";
    open();
    EXPECT_EQ(form->contactsTable, table);
    EXPECT_EQ(gridNames(), (Names{"Bob", "Carol", "Dave"}));
    EXPECT_TRUE(form->groupCheckboxes[3]->isEnabled());

    // A record left in edit state by closing is not stored.
    type(form->idEdit, "7");
    form->close();
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(storedField("Bob", "id"), "200");
}

TEST_F(ContactsWindow, MissingTableIsReportedAndTheWindowStillCloses) {
    cls::TMemDatabase::DropAll();
    open();
    ASSERT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_NE(dialogs.Texts()[0].find("contacts"), std::string::npos);
    form->InsertbuttonClick();
    form->exitButton->click();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(ContactsWindow, TableWithoutPasswordFieldDetachesThePasswordEdit) {
    snpptest::seedContacts({{"Alice", "100", 1, "", {}}}, false);
    open();
    EXPECT_EQ(form->passwordEdit->DataSource(), nullptr);
    insertTyped("Eve", "1");
    form->Updatebutton->click();
    EXPECT_EQ(storedField("Eve", "id"), "1");
}

} // namespace
