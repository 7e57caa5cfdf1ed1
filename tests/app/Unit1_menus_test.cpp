// The main window's ways to the other windows: the contact view on a double click, the
// instructions, the menus Contacts, Configure, About and Exit, and the future-delivery send.
#include "tests/app/AppFixture.h"

#include "app/about.h"
#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/instructions.h"
#include "app/sendLater.h"
#include "app/viewContact.h"
#include "classlib/MemTable.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QTest>

using namespace snpptest;

namespace {

std::string text(const QLabel* l) {
    return cls::fromQString(l->text());
}

std::vector<std::string> groupItems(const TForm1& f) {
    std::vector<std::string> items;
    for (int r = 0; r < f.groupsListBox->count(); ++r)
        items.push_back(cls::fromQString(f.groupsListBox->item(r)->text()));
    return items;
}

// The main window with every window it opens, created in the program's order.
class MenusTest : public AppTest {
protected:
    void start(const std::vector<Contact>& contacts, const std::string& groups = "") {
        pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=0\n[Groups]\n" + groups);
        results = std::make_unique<TsendingMemoForm>();
        form = std::make_unique<TForm1>();
        contactsWindow = std::make_unique<TcontactsGridForm>();
        viewWindow = std::make_unique<TviewContactForm>();
        instructionsWindow = std::make_unique<TInstructionsForm>();
        configWindow = std::make_unique<TconfigForm>();
        aboutWindow = std::make_unique<TAboutForm>();
        sendLaterWindow = std::make_unique<TSendLaterForm>();
        seedContacts(contacts);
        form->dailyLog().setTimeSource([this] { return logDay; });
        form->sleepFn = [](uint32_t) {};
        form->move(100, 80);
        form->show();
        QApplication::processEvents();
        list = form->namesListbox;
    }
    void TearDown() override {
        sendLaterWindow.reset();
        aboutWindow.reset();
        configWindow.reset();
        instructionsWindow.reset();
        viewWindow.reset();
        contactsWindow.reset();
        AppTest::TearDown();
    }
    void doubleClick(const std::string& name) {
        const QRect r = list->ItemRect(list->Items.IndexOf(name));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 60, r.center().y()));
    }
    QPoint offset(const QWidget* w) const { return w->pos() - form->pos(); }

    std::unique_ptr<TcontactsGridForm> contactsWindow;
    std::unique_ptr<TviewContactForm> viewWindow;
    std::unique_ptr<TInstructionsForm> instructionsWindow;
    std::unique_ptr<TconfigForm> configWindow;
    std::unique_ptr<TAboutForm> aboutWindow;
    std::unique_ptr<TSendLaterForm> sendLaterWindow;
    TLncCheckList* list = nullptr;
};

const std::vector<Contact> kTeam = {
    {"Anna", "5551111", 1, "", {2}}, {"Bert", "5552222", 1, "", {2}}, {"Dirk", "5554444", 0, "", {}}};

} // namespace

TEST_F(MenusTest, ADoubleClickShowsTheContact) {
    start(kTeam);
    struct Seen {
        std::string name, id, service;
        QPoint offset;
        bool modal = false;
    } seen;
    auto look = [&] {
        seen = {text(viewWindow->nameLabel), text(viewWindow->idLabel), text(viewWindow->serviceLabel),
                offset(viewWindow.get()), QApplication::activeModalWidget() == viewWindow.get()};
        viewWindow->okbutton->click();
    };
    whenShown(viewWindow.get(), look);
    doubleClick("Bert");
    EXPECT_EQ(seen.name, "Bert");
    EXPECT_EQ(seen.id, "5552222");
    EXPECT_EQ(seen.service, "1  [Tarvo]");
    EXPECT_EQ(seen.offset, QPoint(150, 50));
    EXPECT_TRUE(seen.modal);
    EXPECT_FALSE(viewWindow->isVisible());

    // A contact without a usable service number shows none.
    whenShown(viewWindow.get(), look);
    doubleClick("Dirk");
    EXPECT_EQ(seen.id, "5554444");
    EXPECT_EQ(seen.service, "");

    // A name that is gone from the table shows no ID or service of another contact.
    deleteContact("Anna");
    whenShown(viewWindow.get(), look);
    doubleClick("Anna");
    EXPECT_EQ(seen.name, "Anna");
    EXPECT_EQ(seen.id, "");
    EXPECT_EQ(seen.service, "");
}

TEST_F(MenusTest, AfterTheContactsWindowTheListIsRefilledAndTheRecipientsCleared) {
    start(kTeam, "group2Name=Ward\n");
    form->checkAllButton->click();
    form->groupsListBox->setCurrentRow(0);
    QPoint where;
    whenShown(contactsWindow.get(), [&] {
        where = offset(contactsWindow.get());
        // Someone else's change to the table while the window is open.
        cls::TMemTable t;
        t.SetDatabaseName(kContactsDatabase);
        t.SetTableName(kContactsTable);
        t.Open();
        t.Append();
        t.FieldByName("name")->SetAsString("Carl");
        t.FieldByName("id")->SetAsString("5553333");
        t.FieldByName("servicenumber")->SetAsInteger(1);
        t.Post();
        contactsWindow->exitButton->click();
    });
    form->ContactsDatabase1->trigger();
    EXPECT_EQ(where, QPoint(20, 20));
    ASSERT_EQ(list->Items.Count(), 4);
    EXPECT_EQ(list->Items[2], "Carl");
    EXPECT_EQ(list->StateCount(cbChecked), 0) << "the refill loses the check marks";
    EXPECT_EQ(cls::fromQString(form->toNameLabel->text()), "");
    EXPECT_EQ(cls::fromQString(form->toIDlabel->text()), "");
    EXPECT_TRUE(form->NamesSelectingPanel->isHidden());
    EXPECT_TRUE(form->groupSelectingLabel->isHidden());
    EXPECT_TRUE(form->groupsListBox->selectedItems().isEmpty());
}

TEST_F(MenusTest, AfterTheConfigurationWindowTheGroupsListIsRefilled) {
    start(kTeam, "group2Name=Ward\n");
    QPoint where;
    whenShown(configWindow.get(), [&] {
        where = offset(configWindow.get());
        configWindow->findEdit("group3NameEdit")->setText("Night");
        configWindow->SaveButton->click();
    });
    form->Configure1->trigger();
    EXPECT_EQ(where, QPoint(20, 20));
    EXPECT_FALSE(configWindow->isVisible());
    EXPECT_EQ(groupItems(*form), (std::vector<std::string>{"G2: Ward", "G3: Night"}));
}

TEST_F(MenusTest, AboutShowsTheVersionAndExitEndsTheWindow) {
    start(kTeam);
    std::string version;
    bool modal = false;
    whenShown(aboutWindow.get(), [&] {
        version = text(aboutWindow->versionLabel);
        modal = QApplication::activeModalWidget() == aboutWindow.get();
        aboutWindow->okButton->click();
    });
    form->About1->trigger();
    EXPECT_EQ(version, "Version: 3.10");
    EXPECT_TRUE(modal);

    // The instructions stay open beside the main window.
    form->instructionsButton->click();
    EXPECT_TRUE(instructionsWindow->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    form->Exit1->trigger();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MenusTest, FutureDeliverySendsHoldWithTheTimeEntered) {
    start(kTeam);
    ScriptedServer server;
    pointService(1, server.port());
    form->toNameLabel->setText("Bert");
    setMessage("Later");
    // The menu item is hidden and disabled: the handler is reached only by the program.
    EXPECT_FALSE(form->SendFutureDelivery1->isEnabled() && form->SendOptions1->isVisible());
    QPoint where;
    whenShown(sendLaterWindow.get(), [&] {
        where = offset(sendLaterWindow.get());
        sendLaterWindow->yearEdit->setText("30");
        sendLaterWindow->monthEdit->setText("01");
        sendLaterWindow->dateEdit->setText("02");
        sendLaterWindow->timeEdit->setText("9:05");
        sendLaterWindow->amPmComboBox->setCurrentIndex(1); // PM
        sendLaterWindow->sendButton->click();
    });
    form->sendLaterButtonClick(nullptr);
    EXPECT_EQ(where, QPoint(150, 50));
    ASSERT_TRUE(pumpUntil([&] { return server.pages().size() == 1 && sendState == 1; }));
    EXPECT_EQ(server.pages()[0].hold, "300102210500");
    EXPECT_EQ(server.pages()[0].pagerId, "5552222");

    // Cancelled: nothing is sent.
    whenShown(sendLaterWindow.get(), [&] { sendLaterWindow->cancelButton->click(); });
    form->sendLaterButtonClick(nullptr);
    pumpFor(50);
    EXPECT_EQ(server.connections(), 1);
}
