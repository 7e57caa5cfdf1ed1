// Tests of the data-bound edit and check box over the in-memory contacts table: auto-edit on
// typing and clicking, what Post stores, refresh on record changes, cancel, and Windows-1252 text.
#include "classlib/ui/DBCtrls.h"
#include "tests/classlib/ContactsFixture.h"

#include <gtest/gtest.h>

using namespace cls;
using pwtest::key;

namespace {

// Types like a user: one key event per character, at the cursor.
void type(QWidget* w, const QString& text) {
    for (QChar c : text) {
        char16_t u = c.toUpper().unicode();
        int k = (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == ' ' ? int(u) : int(Qt::Key_unknown);
        key(w, k, QString(c));
    }
}

class DBCtrlsTest : public pwtest::ContactsFormTest {
protected:
    void SetUp() override {
        ContactsFormTest::SetUp();
        addContact("Carol", "300", false);
        addContact("Alice", "100", true);
        addContact("Bob", "200", false);
        table->First();
        nameEdit = bind<TDBEdit>("name", 0);
        idEdit = bind<TDBEdit>("id", 30);
        group1 = bind<TDBCheckBox>("memberGr1", 60);
        form->resize(300, 120);
        form->show();
    }

    TDBEdit* nameEdit = nullptr;
    TDBEdit* idEdit = nullptr;
    TDBCheckBox* group1 = nullptr;
};

TEST_F(DBCtrlsTest, TypingAutoEditsAndPostStoresTheText) {
    EXPECT_TRUE(group1->isChecked());
    idEdit->setFocus();
    key(idEdit, Qt::Key_End);
    type(idEdit, "42");
    // The refresh that entering edit state brings must not eat what was typed.
    EXPECT_EQ(table->State(), dsEdit);
    EXPECT_EQ(idEdit->cursorPosition(), 5);
    key(idEdit, Qt::Key_Backspace);
    type(idEdit, "7");
    EXPECT_EQ(stored("Alice", "id"), "100");

    table->Post();
    EXPECT_EQ(stored("Alice", "id"), "10047");
    EXPECT_EQ(stored("Alice", "name"), "Alice"); // untouched controls write nothing

    // Typing into an empty table inserts the first record.
    table->First();
    while (!table->IsEmpty())
        table->Delete();
    type(nameEdit, "Zoe");
    table->Post();
    EXPECT_EQ(stored("Zoe", "name"), "Zoe");
}

TEST_F(DBCtrlsTest, MaxLengthAndFieldSizeCutInput) {
    TDBEdit* service = bind<TDBEdit>("servicenumber", 90);
    service->SetMaxLength(2);
    type(service, "123");
    service->insert("99"); // a paste past the limit is cut too
    table->Post();
    EXPECT_EQ(table->FieldByName("servicenumber")->AsInteger(), 12);

    // Without MaxLength the text field's size (40) limits.
    table->Append();
    nameEdit->insert(QString(60, 'x'));
    table->Post();
    EXPECT_EQ(stored(std::string(40, 'x'), "name"), std::string(40, 'x'));

    // A stored value longer than MaxLength is shown whole; it can be shortened, not lengthened.
    table->First();
    nameEdit->SetMaxLength(3);
    key(nameEdit, Qt::Key_End);
    type(nameEdit, "Z");
    EXPECT_EQ(nameEdit->text(), "Alice");
    key(nameEdit, Qt::Key_Backspace);
    key(nameEdit, Qt::Key_Backspace);
    type(nameEdit, "ZZ");
    EXPECT_EQ(nameEdit->text(), "Ali");
}

TEST_F(DBCtrlsTest, ProgramChangesRefreshWithoutEditing) {
    table->Last();
    EXPECT_EQ(nameEdit->text(), "Carol");
    // Text put in by the program is not the user's: no auto-edit, nothing written.
    idEdit->setText("999");
    group1->setChecked(true);
    EXPECT_EQ(table->State(), dsBrowse);

    // A field set by code shows at once and replaces what the user had typed.
    table->First();
    type(idEdit, "5");
    EXPECT_EQ(table->State(), dsEdit);
    table->FieldByName("id")->SetAsString("777");
    table->FieldByName("memberGr1")->SetAsBoolean(false);
    EXPECT_EQ(idEdit->text(), "777");
    EXPECT_FALSE(group1->isChecked());
    table->Post();
    EXPECT_EQ(stored("Alice", "id"), "777");
    EXPECT_EQ(stored("Carol", "id"), "300");
}

TEST_F(DBCtrlsTest, CheckBoxClickStoresCheckedAndUncheckedValues) {
    table->Next(); // Bob, not in group 1
    group1->click();
    table->Post();
    EXPECT_EQ(stored("Bob", "memberGr1"), "True");

    // On a text field the values themselves are stored, and read back without regard to case.
    TDBCheckBox yesNo(form.get());
    yesNo.SetValueChecked("Y");
    yesNo.SetValueUnchecked("N");
    yesNo.SetDataSource(source.get());
    yesNo.SetDataField("password");
    yesNo.click();
    yesNo.click();
    table->Post();
    EXPECT_EQ(stored("Bob", "password"), "N");
    table->Edit();
    table->FieldByName("password")->SetAsString("y");
    EXPECT_TRUE(yesNo.isChecked());
    table->FieldByName("password")->SetAsString("maybe");
    EXPECT_FALSE(yesNo.isChecked());
}

TEST_F(DBCtrlsTest, AutoEditOffRefusesUserInput) {
    source->AutoEdit = false;
    type(nameEdit, "Q");
    group1->click();
    EXPECT_TRUE(group1->isChecked());
    EXPECT_EQ(dialogs.Beeps(), 2);
    table->Edit();
    key(nameEdit, Qt::Key_End);
    type(nameEdit, "Q");
    group1->click();
    table->Post();
    EXPECT_EQ(stored("AliceQ", "memberGr1"), "False");

    // A read-only field, a field the dataset lacks and a closed dataset take no input.
    table->FieldByName("id")->ReadOnly = true;
    idEdit->SetDataField("name"); // rebind so the edit sees the flag
    idEdit->SetDataField("id");
    EXPECT_TRUE(idEdit->isReadOnly());
    EXPECT_TRUE(bind<TDBEdit>("nosuchfield", 90)->isReadOnly());
    table->Close();
    EXPECT_TRUE(nameEdit->isReadOnly());
    table->Open();
    EXPECT_EQ(nameEdit->text(), "AliceQ");
}

TEST_F(DBCtrlsTest, CancelRestoresTheControlsAndAnAbortedPostKeepsThem) {
    key(nameEdit, Qt::Key_End);
    type(nameEdit, "xyz");
    group1->click();
    table->Cancel();
    EXPECT_EQ(nameEdit->text(), "Alice");
    EXPECT_TRUE(group1->isChecked());
    // Nothing left over from the cancelled edit is written by a later post; Escape in an edit
    // throws away only that edit's change.
    key(nameEdit, Qt::Key_End);
    type(nameEdit, "Z");
    type(idEdit, "9");
    key(idEdit, Qt::Key_Escape);
    table->Post();
    EXPECT_EQ(stored("AliceZ", "id"), "100");
    EXPECT_EQ(stored("AliceZ", "memberGr1"), "True");

    // An aborted post keeps the edit and its text.
    table->BeforePost = [](TDataSet* ds) {
        if (ds->FieldByName("id")->AsString().empty()) Abort();
    };
    idEdit->selectAll();
    key(idEdit, Qt::Key_Delete);
    EXPECT_THROW(table->Post(), EAbort);
    EXPECT_EQ(table->State(), dsEdit);
    type(idEdit, "55");
    table->Post();
    EXPECT_EQ(stored("AliceZ", "id"), "55");
}

TEST_F(DBCtrlsTest, Windows1252TextShowsAndRoundTrips) {
    table->Edit();
    table->FieldByName("name")->SetAsString("caf\xE9"); // Windows-1252
    key(nameEdit, Qt::Key_End);
    type(nameEdit, QString::fromUtf8(" \u20ac\u00fc"));
    // A character the code page lacks is refused rather than stored as '?'.
    type(nameEdit, QString::fromUtf8("\u0159"));
    EXPECT_EQ(nameEdit->text(), QString::fromUtf8("caf\u00e9 \u20ac\u00fc"));
    table->Post();
    EXPECT_EQ(stored("caf\xE9 \x80\xFC", "name"), "caf\xE9 \x80\xFC");
}

TEST_F(DBCtrlsTest, ControlsOutliveOrLoseTheirDataSource) {
    // A data source freed under the controls detaches them.
    source.reset();
    type(nameEdit, "x");
    EXPECT_EQ(table->State(), dsBrowse);
    // Controls freed before their data source leave it working.
    source = std::make_unique<TDataSource>(nullptr);
    source->SetDataSet(table.get());
    {
        TDBEdit e(form.get());
        e.SetDataSource(source.get());
        e.SetDataField("name");
    }
    EXPECT_EQ(source->DataLinkCount(), 0);
    table->Next();
    table->Edit();
    table->Post();
}

} // namespace
