// Waits on the contacts server: a server that asks for a log-on is answered by the keyboard, a server
// that is down is said at once and tried again by the next use, and one that hangs shows the wait.
#include "tests/app/ServerContacts.h"

#include "app/contactsGrid.h"
#include "classlib/ui/QBLoginDlg.h"
#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <signal.h>

using namespace snpptest;

namespace {

// The program with its contacts on a database server run as a child process on the test's folder.
class ServerWaits : public ServerProcess {
protected:
    void SetUp() override {
        ServerProcess::SetUp();
        groupsBefore = groupNames;
        seedContacts({{"Anna", "5551111", 1, "", {4}}, {"Bert", "5552222", 1, "1234", {4}}});
    }
    void mouseOnGroup(int group) {
        const std::string prefix = "G" + std::to_string(group) + ": ";
        for (int r = 0; r < form->groupsListBox->count(); ++r) {
            QListWidgetItem* item = form->groupsListBox->item(r);
            if (cls::fromQString(item->text()).rfind(prefix, 0) == 0) {
                const QRect at = form->groupsListBox->visualItemRect(item);
                QTest::mouseClick(form->groupsListBox->viewport(), Qt::LeftButton, {}, at.center());
                return;
            }
        }
        ADD_FAILURE() << "no group " << group;
    }
    int names() const { return form->namesListbox->Items.Count(); }
    void TearDown() override {
        contacts.reset();
        ServerProcess::TearDown();
        groupNames = groupsBefore;
    }

    std::array<std::string, 11> groupsBefore;
    std::unique_ptr<TcontactsGridForm> contacts;
};

// Answers the modal windows as a user at the keyboard would: each key goes through the application
// as a typed one does. A window the keys do not close is closed after a while, and counted.
class Keyboard : public QObject {
public:
    // The log-on windows, in turn: the user name and password typed, or Escape when cancel.
    struct LogOn {
        std::string user, password;
        bool cancel = false;
    };
    explicit Keyboard(std::vector<LogOn> logOns) : logOns_(std::move(logOns)) {
        connect(&timer_, &QTimer::timeout, this, [this] { look(); });
        timer_.start(20);
    }
    std::vector<std::string> messages;  // the message boxes' texts
    std::vector<std::string> prefilled; // each log-on window's user name as it came up
    int busyCursors = 0;                // windows answered under the busy cursor
    int logOnsShown = 0;
    int stuck = 0; // windows the keys did not close
    int otherWindows = 0;

private:
    void look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != current_) {
            current_ = modal;
            answered_ = false;
            since_.start();
        }
        if (!modal) return;
        if (answered_) {
            if (since_.elapsed() > 5000) {
                ++stuck;
                static_cast<QDialog*>(modal)->done(0);
            }
            return;
        }
        answered_ = true;
        if (const QCursor* c = QApplication::overrideCursor(); c && c->shape() == Qt::WaitCursor)
            ++busyCursors;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages.push_back(cls::fromQString(box->text()));
            QTest::keyClick(box, Qt::Key_Return);
        } else if (auto* login = dynamic_cast<TQBLoginDialog*>(modal)) {
            prefilled.push_back(cls::fromQString(login->edtUserName->text()));
            const LogOn step = logOnsShown < int(logOns_.size()) ? logOns_[logOnsShown] : LogOn{"", "", true};
            ++logOnsShown;
            if (step.cancel) {
                QTest::keyClick(login->edtUserName, Qt::Key_Escape);
                return;
            }
            login->edtUserName->selectAll();
            QTest::keyClicks(login->edtUserName, cls::toQString(step.user));
            QTest::keyClick(login->edtUserName, Qt::Key_Tab);
            QTest::keyClicks(login->edtPassword, cls::toQString(step.password));
            QTest::keyClick(login->edtPassword, Qt::Key_Return);
        } else if (auto* grid = qobject_cast<TcontactsGridForm*>(modal)) {
            QTest::mouseClick(grid->exitButton, Qt::LeftButton);
        } else {
            ++otherWindows;
            answered_ = true;
        }
    }

    std::vector<LogOn> logOns_;
    QTimer timer_;
    QPointer<QWidget> current_;
    bool answered_ = false;
    QElapsedTimer since_;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

// A server that asks for a log-on: its window takes the keys; a wrong password is said and asked
// again, Cancel leaves the program without contacts with one message, and the right one opens them.
TEST_F(ServerWaits, TheLogOnWindowTakesTheKeyboardAndOnlyTheRightPasswordOpensTheContacts) {
    const std::string users = dir.file("users.txt");
    pwtest::writeFile(users, "alice:secret1\n");
    startServer({"--users", users});
    configure();
    contacts = std::make_unique<TcontactsGridForm>();
    Keyboard keys({{"alice", "wrong"}, {"", "", true}, {"alice", "secret1"}});

    showApp();
    ASSERT_TRUE(
        pumpUntil([&] { return keys.messages.size() >= 2 && !QApplication::activeModalWidget(); }, 30000))
        << ::testing::PrintToString(keys.messages);
    pumpFor(100);
    EXPECT_EQ(keys.stuck, 0) << "a window took no keys";
    EXPECT_EQ(keys.busyCursors, 0);
    EXPECT_EQ(keys.logOnsShown, 2);
    ASSERT_EQ(keys.messages.size(), 2u) << ::testing::PrintToString(keys.messages);
    EXPECT_TRUE(contains(keys.messages[0], server_name()) && contains(keys.messages[0], "does not accept"))
        << keys.messages[0];
    EXPECT_TRUE(contains(keys.messages[1], server_name()) && contains(keys.messages[1], "cancelled"))
        << keys.messages[1];
    // Asked again with the user name typed.
    ASSERT_EQ(keys.prefilled.size(), 2u);
    EXPECT_EQ(keys.prefilled[1], "alice");
    EXPECT_FALSE(form->contactsOpen());
    EXPECT_EQ(names(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The contacts window is a use of the contacts: the log-on is asked again, and the right
    // password opens them.
    form->ContactsDatabase1->trigger();
    pumpFor(100);
    EXPECT_EQ(keys.stuck, 0);
    EXPECT_EQ(keys.logOnsShown, 3);
    EXPECT_EQ(keys.messages.size(), 2u) << ::testing::PrintToString(keys.messages);
    EXPECT_EQ(keys.otherWindows, 0);
    EXPECT_EQ(keys.busyCursors, 0);
    ASSERT_TRUE(form->contactsOpen()) << statusBar();
    ASSERT_EQ(names(), 2);
    EXPECT_EQ(form->namesListbox->Items[0], "Anna");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The server's port closed: a click on a name says so at once (not after the engine's time-out),
// naming the server; a group clicked once the server runs again opens the contacts.
TEST_F(ServerWaits, AServerThatIsDownIsSaidAtOnceAndAGroupTriesAgainOnceItIsBack) {
    startServer();
    configure();
    cls::ScriptedDialogs dialogs;
    showApp();
    ASSERT_TRUE(pumpUntil([&] { return form->contactsOpen(); })) << statusBar();
    ASSERT_EQ(form->contactsClient->TimeOut(), 10000);
    mouseOnName("Bert");
    ASSERT_EQ(labelText(form->toNameLabel), "Bert");

    killServer();
    dialogs.Answer(cls::mrNo);
    ASSERT_TRUE(pumpUntil([&] { return dialogs.Texts().size() == 1; })) << statusBar();
    ASSERT_FALSE(form->contactsOpen());

    for (int click = 1; click <= 2; ++click) {
        SCOPED_TRACE("click " + std::to_string(click));
        const auto start = std::chrono::steady_clock::now();
        mouseOnName("Anna");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(4)) << "the engine's 10 s time-out was waited out";
        EXPECT_EQ(statusBar().rfind("Error: The contacts server " + server_name() + " does not answer: ", 0),
                  0u)
            << statusBar();
        EXPECT_TRUE(contains(statusBar(), "refused")) << statusBar();
        EXPECT_EQ(labelText(form->toNameLabel), "");
    }

    groupNames[4] = "Night shift";
    form->fillGroupslistbox();
    startServer();
    mouseOnGroup(4);
    EXPECT_TRUE(form->contactsOpen()) << statusBar();
    EXPECT_EQ(names(), 2);
    EXPECT_EQ(labelText(form->toNameLabel), "[Group 4]");
    EXPECT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());

    // The same for a contact checked while the server was away.
    killServer();
    dialogs.Answer(cls::mrNo);
    ASSERT_TRUE(pumpUntil([&] { return dialogs.Texts().size() == 2; })) << statusBar();
    ASSERT_FALSE(form->contactsOpen());
    startServer();
    const QRect r = form->namesListbox->ItemRect(form->namesListbox->Items.IndexOf("Bert"));
    QTest::mouseClick(form->namesListbox->viewport(), Qt::LeftButton, {},
                      QPoint((r.left() + form->namesListbox->BoxRightEdge(r)) / 2, r.center().y()));
    ASSERT_TRUE(pumpUntil([&] { return form->contactsOpen(); }, 5000)) << statusBar();
    EXPECT_EQ(form->namesListbox->ItemState(form->namesListbox->Items.IndexOf("Bert")), cbChecked);
    EXPECT_EQ(labelText(form->toNameLabel), "[selected names]");
}

// A server that hangs (stopped): a click on a name shows the wait, naming the server, with a busy
// cursor and the window painted, then says the server does not answer; once it runs on, the name is
// looked up.
TEST_F(ServerWaits, AServerThatHangsShowsTheWaitNamingTheServer) {
    startServer();
    configure();
    cls::ScriptedDialogs dialogs;
    showApp();
    ASSERT_TRUE(pumpUntil([&] { return form->contactsOpen(); })) << statusBar();
    form->contactsClient->SetTimeOut(1500);
    mouseOnName("Bert");
    ASSERT_EQ(labelText(form->toNameLabel), "Bert");

    struct Seen : QObject {
        TForm1* form;
        std::string waiting;
        bool busy = false;
        int paints = 0;
        explicit Seen(TForm1* f) : form(f) {}
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint && o == form->StatusBar1 &&
                form->StatusBar1->currentMessage().startsWith("Waiting for the contacts server")) {
                ++paints;
                waiting = cls::fromQString(form->StatusBar1->currentMessage());
                const QCursor* c = QApplication::overrideCursor();
                busy = busy || (c && c->shape() == Qt::WaitCursor);
            }
            return false;
        }
    } seen(form.get());
    form->StatusBar1->installEventFilter(&seen);
    ASSERT_EQ(::kill(server->pid, SIGSTOP), 0);
    mouseOnName("Anna");
    ::kill(server->pid, SIGCONT);
    form->StatusBar1->removeEventFilter(&seen);

    EXPECT_EQ(seen.waiting, "Waiting for the contacts server " + server_name() + " ...");
    EXPECT_GE(seen.paints, 1);
    EXPECT_TRUE(seen.busy);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(statusBar().rfind("Error: The contacts server " + server_name() + " does not answer", 0), 0u)
        << statusBar();
    EXPECT_EQ(labelText(form->toNameLabel), "Bert");
    EXPECT_TRUE(dialogs.Texts().empty()) << ::testing::PrintToString(dialogs.Texts());

    mouseOnName("Anna");
    EXPECT_EQ(labelText(form->toNameLabel), "Anna") << statusBar();
    EXPECT_EQ(labelText(form->toIDlabel), "5551111");
}
