// The main window's ways to the other windows: the contact view on a double click, the menus
// Contacts and Configure, and the future-delivery send.
#include "tests/app/AppFixture.h"

#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/sendLater.h"
#include "app/viewContact.h"

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QTest>

using namespace snpptest;

namespace {

// The main window with every window it opens, all there before its first showing.
class MenusTest : public AppTest {
protected:
    void start(const std::vector<Contact>& contacts, const std::string& groups = "") {
        pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=0\n[Groups]\n" + groups);
        contactsWindow = std::make_unique<TcontactsGridForm>();
        viewWindow = std::make_unique<TviewContactForm>();
        configWindow = std::make_unique<TconfigForm>();
        sendLaterWindow = std::make_unique<TSendLaterForm>();
        startApp(contacts);
        form->move(100, 80);
        list = form->namesListbox;
    }
    void TearDown() override {
        sendLaterWindow.reset();
        configWindow.reset();
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
    std::unique_ptr<TconfigForm> configWindow;
    std::unique_ptr<TSendLaterForm> sendLaterWindow;
    TLncCheckList* list = nullptr;
};

const std::vector<Contact> kTeam = {
    {"Anna", "5551111", 1, "", {2}}, {"Bert", "5552222", 1, "", {2}}, {"Dirk", "5554444", 0, "", {}}};

} // namespace

TEST_F(MenusTest, ADoubleClickShowsTheContact) {
    start({{"Anna", "5551111", 1}, {"Bert", "5552222", 4}, {"Dirk", "5554444", 0}});
    services[4].name = "Night Co"; // a service other than the first: its own number and name
    struct Seen {
        std::string name, id, service;
        QPoint offset;
        bool modal = false;
    } seen;
    auto look = [&] {
        seen = {labelText(viewWindow->nameLabel), labelText(viewWindow->idLabel),
                labelText(viewWindow->serviceLabel), offset(viewWindow.get()),
                QApplication::activeModalWidget() == viewWindow.get()};
        viewWindow->okbutton->click();
    };
    whenShown(viewWindow.get(), look);
    doubleClick("Bert");
    EXPECT_EQ(seen.id, "5552222");
    EXPECT_EQ(seen.service, "4  [Night Co]");
    EXPECT_EQ(seen.offset, QPoint(150, 50));
    EXPECT_TRUE(seen.modal);
    // A contact without a usable service number shows none.
    whenShown(viewWindow.get(), look);
    doubleClick("Dirk");
    EXPECT_EQ(seen.service, "");

    // A name that is gone from the table shows no ID or service of another contact.
    deleteContact("Anna");
    whenShown(viewWindow.get(), look);
    doubleClick("Anna");
    EXPECT_EQ(seen.id, "");
    EXPECT_EQ(seen.service, "");
}

TEST_F(MenusTest, AfterTheContactsAndConfigurationWindowsTheListsAreRefilled) {
    start(kTeam, "group2Name=Ward\n");
    form->checkAllButton->click();
    form->groupsListBox->setCurrentRow(0);
    QPoint where;
    whenShown(contactsWindow.get(), [&] {
        where = offset(contactsWindow.get());
        // Someone else's change to the table while the window is open.
        addContact({"Carl", "5553333", 1});
        contactsWindow->exitButton->click();
    });
    form->ContactsDatabase1->trigger();
    EXPECT_EQ(where, QPoint(20, 20));
    EXPECT_EQ(list->Items.IndexOf("Carl"), 2);
    EXPECT_EQ(list->StateCount(cbChecked), 0) << "the refill loses the check marks";
    EXPECT_EQ(labelText(form->toNameLabel), "");
    EXPECT_TRUE(form->groupsListBox->selectedItems().isEmpty());

    whenShown(configWindow.get(), [&] {
        configWindow->findEdit("group3NameEdit")->setText("Night");
        configWindow->SaveButton->click();
    });
    form->Configure1->trigger();
    EXPECT_EQ(groupItems(), (std::vector<std::string>{"G2: Ward", "G3: Night"}));
}

TEST_F(MenusTest, FutureDeliverySendsHoldWithTheTimeEntered) {
    start(kTeam);
    ScriptedServer server;
    pointService(1, server.port());
    form->toNameLabel->setText("Bert");
    setMessage("Later");
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

    // Cancelled: nothing is sent.
    whenShown(sendLaterWindow.get(), [&] { sendLaterWindow->cancelButton->click(); });
    form->sendLaterButtonClick(nullptr);
    pumpFor(50);
    EXPECT_EQ(server.connections(), 1);
}

namespace {

// A key pressed and released as the window system delivers it: to the window, which gives it to
// its focus widget or to the menu open in it.
void press(QWidget* window, Qt::Key key) {
    QTest::keyClick(window->windowHandle(), key);
    QApplication::processEvents();
}

QMenu* fileMenu(const TForm1& form) {
    return qobject_cast<QMenu*>(form.Exit1->parent());
}

// The application's style for a while: one that, as some styles do, leaves the menu bar's Alt key
// navigation off.
class StyleWithoutAltNavigation {
public:
    StyleWithoutAltNavigation() : was_(QApplication::style()->name()) { QApplication::setStyle(new Style); }
    ~StyleWithoutAltNavigation() { QApplication::setStyle(was_); }

private:
    class Style : public QProxyStyle {
    public:
        int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                      QStyleHintReturn* returned) const override {
            if (hint == SH_MenuBar_AltKeyNavigation) return 0;
            return QProxyStyle::styleHint(hint, option, widget, returned);
        }
    };
    QString was_;
};

} // namespace

// F10, or Alt pressed and released alone, selects the menu bar's first menu, whatever the style;
// Down opens it, the arrows move along the bar and Enter opens the window of the item reached.
TEST_F(MenusTest, TheMenuBarIsReachedFromTheKeyboard) {
    StyleWithoutAltNavigation style;
    start(kTeam);
    form->activateWindow();
    QApplication::setActiveWindow(form.get());
    QMenuBar* bar = form->menuBar();
    QMenu* file = fileMenu(*form);
    ASSERT_TRUE(file);
    for (Qt::Key select : {Qt::Key_F10, Qt::Key_Alt}) {
        SCOPED_TRACE(select == Qt::Key_F10 ? "F10" : "Alt");
        form->messageMemo->setFocus();
        press(form.get(), select);
        ASSERT_EQ(bar->activeAction(), file->menuAction());
        EXPECT_TRUE(form->messageMemo->toPlainText().isEmpty());
        press(form.get(), Qt::Key_Down);
        EXPECT_TRUE(file->isVisible());
        press(form.get(), Qt::Key_Escape);
        press(form.get(), Qt::Key_Escape);
        EXPECT_FALSE(file->isVisible());
        EXPECT_EQ(bar->activeAction(), nullptr);
        EXPECT_EQ(QApplication::focusWidget(), form->messageMemo) << "the focus goes back where it was";
    }

    // File, Configure, Contacts: Enter opens the contacts window.
    bool opened = false;
    whenShown(contactsWindow.get(), [&] {
        opened = true;
        contactsWindow->exitButton->click();
    });
    press(form.get(), Qt::Key_F10);
    press(form.get(), Qt::Key_Right);
    press(form.get(), Qt::Key_Right);
    ASSERT_EQ(bar->activeAction(), form->ContactsDatabase1);
    press(form.get(), Qt::Key_Return);
    EXPECT_TRUE(opened);
}
