// A contacts server killed (SIGKILL, as a crash ends it) while the contacts are in use: a record
// being typed, an edit and a delete in the contacts window, and a page being sent, each asked about
// once and finished after Yes, whether the server came back before the answer or only afterwards.
#include "tests/app/ServerContacts.h"

#include "app/contactsGrid.h"
#include "classlib/ui/QtText.h"

#include <QPlainTextEdit>
#include <QTest>
#include <map>

using namespace snpptest;

namespace {

bool isQuestion(const std::string& text) {
    return text.find("has been lost") != std::string::npos && text.find("Reconnect?") != std::string::npos;
}

// Message boxes as the real ones are: the program's events go on while one is up (what a test
// sets runs then), and the box is answered after.
class ModalBoxes : public cls::ScriptedDialogs {
public:
    std::function<void()> whileQuestion;     // while the loss question is up
    std::function<void()> whileConfirmation; // while "Delete this contact?" is up
    int MessageBox(const std::string& text, const std::string& caption, cls::MsgButtons buttons,
                   cls::MsgDlgType type) override {
        const int answer = ScriptedDialogs::MessageBox(text, caption, buttons, type);
        if (isQuestion(text) && whileQuestion) whileQuestion();
        if (text == "Delete this contact?" && whileConfirmation) whileConfirmation();
        return answer;
    }
    int questions() const {
        int n = 0;
        for (const std::string& t : Texts())
            n += isQuestion(t);
        return n;
    }
};

struct Stored {
    std::string id;
    bool group4 = false;
    bool operator==(const Stored&) const = default;
    friend void PrintTo(const Stored& s, std::ostream* os) { *os << s.id << (s.group4 ? " in group 4" : ""); }
};
using Table = std::map<std::string, Stored>;

class KilledServer : public ServerContacts {
protected:
    void TearDown() override {
        contacts.reset();
        groupNames[4].clear();
        ServerContacts::TearDown();
    }
    void openWindow() {
        startAll();
        groupNames[4] = "Night"; // its box can be ticked
        contacts = std::make_unique<TcontactsGridForm>();
        contacts->show();
        ASSERT_TRUE(contacts->contactsTable && contacts->contactsTable->Active());
    }
    // The answer comes after the server was started again.
    void restartWhileAsked() {
        boxes.whileQuestion = [this] { startServer(); };
    }
    // The server is lost while the program is at rest, as it is when a user finds the question.
    void killAndAwaitQuestion(int questions) {
        killServer();
        ASSERT_TRUE(pumpUntil([&] { return boxes.questions() == questions; })) << statusBar();
    }
    // The loss's own report arrives while its question is up; with restart, the server runs again
    // before the answer.
    void reportWhileAsked(bool restart) {
        boxes.whileQuestion = [this, restart] {
            pumpUntil([&] { return !form->contactsClient || !form->contactsClient->Active(); }, 5000);
            if (restart) startServer();
        };
    }
    // A reconnect has ended (the window's table open again, or the status saying it failed).
    void awaitReconnect(bool back) {
        if (back)
            ASSERT_TRUE(pumpUntil([&] { return form->contactsOpen() && contacts->contactsTable->Active(); }))
                << statusBar();
        else
            ASSERT_TRUE(pumpUntil([&] { return statusBar().find("does not answer") != std::string::npos; }))
                << statusBar();
        if (form->contactsClient) form->contactsClient->SetTimeOut(1500);
    }
    bool editing() const {
        return contacts->contactsTable->State() == cls::dsInsert ||
               contacts->contactsTable->State() == cls::dsEdit;
    }
    // What the window says while its table is closed.
    std::string said() const {
        return contacts->lostLabel->isVisible() ? labelText(contacts->lostLabel) : "";
    }
    void insertIvy(const std::string& name) {
        QTest::mouseClick(contacts->Insertbutton, Qt::LeftButton);
        typeKeys(contacts->nameEdit, name);
        typeKeys(contacts->idEdit, "5559010");
        contacts->groupCheckboxes[4]->click();
        ASSERT_EQ(contacts->contactsTable->State(), cls::dsInsert);
        ASSERT_TRUE(contacts->groupCheckboxes[4]->isChecked());
    }
    // The table as the server's folder holds it, read by an engine of the test's own once the server
    // has ended.
    Table storedTable() {
        if (server && server->pid > 0) {
            EXPECT_EQ(server->stop(), 0);
        }
        Table t;
        ContactsStore store(/*ownEngine=*/true);
        TqbTable& table = store.table();
        for (table.First(); !table.Eof(); table.Next())
            t[table.FieldByName("name")->AsString()] =
                Stored{table.FieldByName("id")->AsString(), table.FieldByName("memberGr4")->AsBoolean()};
        return t;
    }

    ModalBoxes boxes;
    std::unique_ptr<TcontactsGridForm> contacts;
};

const Stored kAnna{"5551111", true}, kBert{"5552222", true}, kIvy{"5559010", true};

} // namespace

// The server goes while a new contact is typed; Yes is answered once it runs again: the window is
// back with the record as typed, and Update stores it.
TEST_F(KilledServer, ARecordTypedIsKeptOverTheLossAndStoredByUpdateAfterYes) {
    openWindow();
    insertIvy("Ivy Typed");
    restartWhileAsked();
    killAndAwaitQuestion(1);
    awaitReconnect(true);
    ASSERT_TRUE(editing());
    EXPECT_EQ(contacts->nameEdit->Text(), "Ivy Typed");
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);

    // An edit of a stored contact, the same way.
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Anna"))}));
    retype(contacts->idEdit, "5559999");
    ASSERT_EQ(contacts->contactsTable->State(), cls::dsEdit);
    killAndAwaitQuestion(2);
    awaitReconnect(true);
    ASSERT_EQ(contacts->contactsTable->State(), cls::dsEdit);
    EXPECT_EQ(contacts->idEdit->Text(), "5559999");
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);

    // Update finds the loss itself (its report arrives while the question is up): stored without
    // another Update.
    form->contactsClient->SetTimeOut(1500);
    insertIvy("Ivy Again");
    killServer();
    reportWhileAsked(true);
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    ASSERT_TRUE(contacts->contactsTable->Active()) << statusBar();
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);

    EXPECT_EQ(boxes.questions(), 3) << ::testing::PrintToString(boxes.Texts());
    contacts->close();
    EXPECT_EQ(
        storedTable(),
        (Table{{"Anna", {"5559999", true}}, {"Bert", kBert}, {"Ivy Again", kIvy}, {"Ivy Typed", kIvy}}));
}

// Yes while the server is still down: the record stays as typed and the window says it is not stored;
// the server back, the next Update stores it.
TEST_F(KilledServer, ARecordTypedStaysWhenTheReconnectFailsAndTheNextUpdateStoresIt) {
    openWindow();
    insertIvy("Ivy Typed");
    killAndAwaitQuestion(1);
    awaitReconnect(false);
    EXPECT_FALSE(contacts->contactsTable->Active());
    EXPECT_EQ(contacts->nameEdit->Text(), "Ivy Typed");
    EXPECT_EQ(contacts->idEdit->Text(), "5559010");
    EXPECT_TRUE(contacts->groupCheckboxes[4]->isChecked());
    EXPECT_NE(said().find("not stored yet"), std::string::npos) << said();
    EXPECT_TRUE(contacts->Updatebutton->isEnabled());
    startServer();
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    form->contactsClient->SetTimeOut(1500);
    ASSERT_TRUE(contacts->contactsTable->Active()) << statusBar();
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);
    EXPECT_EQ(said(), "");

    // An edit, found lost by Update itself (its report arrives while the question is up).
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Anna"))}));
    retype(contacts->idEdit, "5559999");
    killServer();
    reportWhileAsked(false);
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    EXPECT_EQ(boxes.questions(), 2) << ::testing::PrintToString(boxes.Texts());
    EXPECT_FALSE(contacts->contactsTable->Active());
    EXPECT_EQ(contacts->idEdit->Text(), "5559999");
    EXPECT_NE(said().find("not stored yet"), std::string::npos) << said();
    startServer();
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    ASSERT_TRUE(contacts->contactsTable->Active()) << statusBar();
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);

    EXPECT_EQ(boxes.questions(), 2) << ::testing::PrintToString(boxes.Texts());
    contacts->close();
    EXPECT_EQ(storedTable(), (Table{{"Anna", {"5559999", true}}, {"Bert", kBert}, {"Ivy Typed", kIvy}}));
}

// The server goes while "Delete this contact?" is up: the contact asked about is deleted after Yes,
// and no other; when it does not come back in time, the next Delete deletes it.
TEST_F(KilledServer, ADeleteAskedWhileTheServerGoesDeletesThatContactAfterYes) {
    openWindow();
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Bert"))}));
    restartWhileAsked();
    boxes.whileConfirmation = [this] { killAndAwaitQuestion(1); };
    QTest::mouseClick(contacts->deleteButton, Qt::LeftButton);
    ASSERT_TRUE(contacts->contactsTable->Active()) << statusBar();
    EXPECT_FALSE(contacts->contactsTable->FindKey({cls::Variant(std::string("Bert"))}));
    form->contactsClient->SetTimeOut(1500);

    // Yes while it is down.
    insertIvy("Cleo");
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Cleo"))}));
    boxes.whileQuestion = nullptr;
    boxes.whileConfirmation = [this] { killAndAwaitQuestion(2); };
    QTest::mouseClick(contacts->deleteButton, Qt::LeftButton);
    awaitReconnect(false);
    EXPECT_FALSE(contacts->contactsTable->Active());
    EXPECT_NE(said().find("\"Cleo\" is not deleted yet"), std::string::npos) << said();
    ASSERT_TRUE(contacts->deleteButton->isEnabled());
    startServer();
    boxes.whileConfirmation = nullptr;
    QTest::mouseClick(contacts->deleteButton, Qt::LeftButton);
    ASSERT_TRUE(contacts->contactsTable->Active()) << statusBar();

    EXPECT_EQ(boxes.questions(), 2) << ::testing::PrintToString(boxes.Texts());
    contacts->close();
    EXPECT_EQ(storedTable(), (Table{{"Anna", kAnna}}));
}

// Send finds the server gone: after Yes, with the server back, the page goes once to the recipient
// chosen; when it is not back, the recipient and the message stay, and one Send later sends it.
TEST_F(KilledServer, ASendThatFindsTheLossGoesOnAfterYes) {
    startAll();
    ScriptedServer snpp;
    pointService(1, snpp.port());
    click("Bert");
    setMessage("Over the wire");
    killServer();
    reportWhileAsked(true);
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return snpp.closedConnections() == 1; })) << statusBar();
    ASSERT_EQ(snpp.pages().size(), 1u);
    EXPECT_EQ(snpp.pages()[0].pagerId, "5552222");
    EXPECT_EQ(snpp.pages()[0].text, "Over the wire");
    EXPECT_EQ(labelText(form->toNameLabel), "Bert");
    EXPECT_EQ(boxes.questions(), 1) << ::testing::PrintToString(boxes.Texts());
    form->contactsClient->SetTimeOut(1500);

    // Yes while it is still down: nothing is sent, and nothing chosen or typed is lost.
    killServer();
    reportWhileAsked(false);
    form->sendButtonClick(form->sendButton);
    EXPECT_EQ(boxes.questions(), 2) << ::testing::PrintToString(boxes.Texts());
    EXPECT_NE(statusBar().find("does not answer"), std::string::npos) << statusBar();
    EXPECT_EQ(labelText(form->toNameLabel), "Bert");
    EXPECT_EQ(labelText(form->toIDlabel), "5552222");
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Over the wire");
    startServer();
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return snpp.closedConnections() == 2; })) << statusBar();
    ASSERT_EQ(snpp.pages().size(), 2u);
    EXPECT_EQ(snpp.pages()[1].pagerId, "5552222");
    EXPECT_EQ(snpp.pages()[1].text, "Over the wire");
    EXPECT_EQ(boxes.questions(), 2) << ::testing::PrintToString(boxes.Texts());
}
