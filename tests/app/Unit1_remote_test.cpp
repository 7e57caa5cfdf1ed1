// The program with its contacts on a database server: the client configuration names the server
// program, which holds the contacts table, and a contact read from it is paged end to end; the
// server lost and back again.
#include "tests/app/ServerContacts.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ClientConfig.h"

#include "app/contactsGrid.h"
#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace snpptest;

TEST_F(AppTest, PagesAContactReadFromTheDatabaseServer) {
    ScriptedServer snpp;
    seedContacts({{"Anna", "5551111", 1, "", {4}}, {"Bert", "5552222", 1, "1234", {4}}});
    // The server holds the folder's tables from now on; the program's own engine stays unused.
    pwtest::ChildProcess db(PW_DBSERVER, {dir.str(), "0"});
    const uint16_t port = db.port();
    ASSERT_NE(port, 0) << db.text;
    ownPort(port);
    pwtest::ClientConfigScope config("TCP/IP", "contacts@127.0.0.1:" + std::to_string(port));
    showApp();
    ASSERT_TRUE(form->contactsOpen());
    EXPECT_EQ(form->qbServerEngine1->State(), qbsInactive);
    pointService(1, snpp.port());
    sendTo("Bert", "Over the wire");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS"; })) << statusBar();
    ASSERT_TRUE(pumpUntil([&] { return snpp.closedConnections() == 1; }));
    ASSERT_EQ(snpp.pages().size(), 1u);
    EXPECT_EQ(snpp.pages()[0].pagerId, "5552222");
    EXPECT_EQ(snpp.pages()[0].pin, "1234");
    EXPECT_EQ(snpp.pages()[0].text, "Over the wire");
    form.reset();
    results.reset();
    releasePort(port);
}

TEST_F(ServerContacts, ALostServerIsOneQuestionAndTheContactsComeBackWhenItRunsAgain) {
    startAll();
    click("Bert");
    ASSERT_EQ(labelText(form->toNameLabel), "Bert");
    ASSERT_EQ(server->stop(), 0);

    // The next use finds the connection gone: one question, with the reason in it.
    dialogs.Answer(cls::mrNo);
    click("Anna");
    pumpFor(300);
    ASSERT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_NE(dialogs.Texts()[0].find("no longer valid"), std::string::npos) << dialogs.Texts()[0];
    EXPECT_NE(dialogs.Texts()[0].find("Reconnect?"), std::string::npos) << dialogs.Texts()[0];
    EXPECT_EQ(dialogs.Boxes()[0].buttons, cls::MsgButtons::YesNo);
    // No contact is named that is not at hand.
    EXPECT_EQ(labelText(form->toNameLabel), "");
    EXPECT_EQ(labelText(form->toIDlabel), "");
    EXPECT_FALSE(form->contactsOpen());

    // Send tries the server again: still down, it says so, and nothing is asked.
    form->checkAllButtonClick(nullptr);
    setMessage("Hi");
    form->sendButtonClick(form->sendButton);
    EXPECT_NE(statusBar().find("does not answer"), std::string::npos) << statusBar();
    EXPECT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_EQ(sendState, 1);
    form->uncheckAllButtonClick(nullptr);

    // Meanwhile a contact was added to the table files; the server runs again, and the next click
    // on a name reconnects, fills the list again and selects the name.
    addContact({"Cleo", "5553333", 1}, /*ownEngine=*/true);
    startServer();
    click("Bert");
    EXPECT_TRUE(form->contactsOpen()) << statusBar() << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(names(), (std::vector<std::string>{"Anna", "Bert", "Cleo"}));
    EXPECT_EQ(labelText(form->toNameLabel), "Bert");
    EXPECT_EQ(labelText(form->toIDlabel), "5552222");
    EXPECT_EQ(form->namesListbox->Items[form->namesListbox->ItemIndex()], "Bert");
    EXPECT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    ASSERT_TRUE(form->lookupContact("Cleo"));
    EXPECT_EQ(lookupId, "5553333");
}

TEST_F(ServerContacts, AServerLostWhileIdleIsOneQuestionAndYesReconnects) {
    startAll();
    click("Bert");
    ASSERT_EQ(server->stop(), 0);
    startServer();
    // Noticed without any use of the contacts; answered Yes, the server running again.
    ASSERT_TRUE(pumpUntil([&] { return !dialogs.Texts().empty(); })) << statusBar();
    ASSERT_TRUE(pumpUntil([&] { return form->contactsOpen(); })) << statusBar();
    ASSERT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_NE(dialogs.Texts()[0].find("Reconnect?"), std::string::npos);
    EXPECT_EQ(names(), (std::vector<std::string>{"Anna", "Bert"}));
    // Named while the contacts were gone: chosen again now.
    EXPECT_EQ(labelText(form->toNameLabel), "");
    ASSERT_TRUE(form->lookupContact("Anna"));
}

TEST_F(ServerContacts, WaitingForALostServerShowsItAndKeepsTheWindowsPainted) {
    startAll();
    auto contacts = std::make_unique<TcontactsGridForm>();
    ASSERT_EQ(server->stop(), 0);
    dialogs.Answer(cls::mrNo); // the loss, when it is noticed
    pumpFor(300);

    // What the event loop sees while the server is waited for.
    struct Seen {
        bool ran = false, busy = false;
        std::string status;
        int paints = 0;
    } seen;
    struct PaintCount : QObject {
        int* count;
        explicit PaintCount(int* c) : count(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            const QCursor* c = QApplication::overrideCursor();
            if (e->type() == QEvent::Paint && c && c->shape() == Qt::WaitCursor) ++*count;
            return false;
        }
    } paints(&seen.paints);
    form->installEventFilter(&paints);
    QMetaObject::invokeMethod(
        form.get(),
        [&] {
            seen.ran = true;
            const QCursor* c = QApplication::overrideCursor();
            seen.busy = c && c->shape() == Qt::WaitCursor;
            seen.status = statusBar();
            form->update();
        },
        Qt::QueuedConnection);

    form->ContactsDatabase1Click(nullptr);
    form->removeEventFilter(&paints);
    EXPECT_TRUE(seen.ran);
    EXPECT_TRUE(seen.busy);
    EXPECT_EQ(seen.status, "Connecting to the contacts server " + server_name() + " ...");
    EXPECT_GE(seen.paints, 1);
    // Given up on: said in the status bar; the contacts window is not opened on nothing.
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(statusBar().rfind("Error: The contacts server " + server_name() + " does not answer", 0), 0u)
        << statusBar();
    EXPECT_FALSE(contacts->isVisible());
    contacts.reset();
}

// A server folder without a contacts table: said once, naming the server, the folder and the tool.
TEST_F(ServerContacts, AServerFolderWithoutAContactsTableIsSaidOnceWithTheServer) {
    dropContacts();
    startServer();
    config = std::make_unique<pwtest::ClientConfigScope>("TCP/IP", server_name());
    showApp();
    const std::string folder = std::filesystem::current_path().string();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"There is no contacts table (\"contacts\") in " +
                                                        folder + " on the contacts server " + server_name() +
                                                        ". Make one there with the tool mkcontacts while the "
                                                        "server is stopped (mkcontacts " +
                                                        folder + ")."});
    EXPECT_FALSE(form->contactsOpen());
}

namespace {

// What the main window's status bar and TO label showed when they were last painted.
class Painted : public QObject {
public:
    explicit Painted(TForm1* f) : form_(f) {
        f->StatusBar1->installEventFilter(this);
        f->toNameLabel->installEventFilter(this);
    }
    ~Painted() override {
        form_->StatusBar1->removeEventFilter(this);
        form_->toNameLabel->removeEventFilter(this);
    }
    std::pair<std::string, std::string> statusAndTo() const { return {status_, to_}; }
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::Paint) return false;
        if (o == form_->StatusBar1)
            status_ = cls::fromQString(form_->StatusBar1->currentMessage());
        else
            to_ = cls::fromQString(form_->toNameLabel->text());
        return false;
    }

private:
    TForm1* form_;
    std::string status_, to_;
};

void postClick(QWidget* w) {
    const QPointF at = QRectF(w->rect()).center();
    const QPointF global = w->mapToGlobal(at);
    QCoreApplication::postEvent(w, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                                   Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(w, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                                   Qt::NoButton, Qt::NoModifier));
}

void postKey(QWidget* w, Qt::Key key, const QString& text) {
    QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
    QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
}

} // namespace

TEST_F(ServerContacts, EveryLossIsAskedAboutAfterEachReconnect) {
    startAll();
    for (size_t loss = 1; loss <= 3; ++loss) {
        SCOPED_TRACE("loss " + std::to_string(loss));
        ASSERT_EQ(server->stop(), 0);
        dialogs.Answer(cls::mrNo);
        if (loss % 2 == 1) {
            // Found by a use of the contacts.
            mouseOnName("Anna");
            pumpFor(200);
        } else {
            // Noticed while idle.
            ASSERT_TRUE(pumpUntil([&] { return dialogs.Texts().size() == loss; })) << statusBar();
        }
        ASSERT_EQ(dialogs.Texts().size(), loss) << statusBar();
        EXPECT_NE(dialogs.Texts().back().find("Reconnect?"), std::string::npos) << dialogs.Texts().back();
        EXPECT_FALSE(form->contactsOpen());

        startServer();
        mouseOnName("Bert");
        ASSERT_TRUE(form->contactsOpen()) << statusBar();
        EXPECT_EQ(labelText(form->toNameLabel), "Bert");
        EXPECT_EQ(dialogs.Texts().size(), loss);
        form->contactsClient->SetTimeOut(1500);
    }
}

// After Yes, nothing moves the mouse: the wait shows the server and no contact from its start, and
// a key and a click made during the wait do not run, then or afterwards.
TEST_F(ServerContacts, TheWaitAfterYesShowsAtOnceAndDropsInputMadeDuringIt) {
    startAll();
    mouseOnName("Bert");
    ASSERT_EQ(labelText(form->toNameLabel), "Bert");
    form->messageMemo->setFocus();
    typeKeys(form->messageMemo, "Hello");
    Painted painted(form.get());
    int sendClicks = 0;
    QObject::connect(form->sendButton, &QPushButton::clicked, [&] { ++sendClicks; });

    int waits = 0;
    QObject::connect(form->StatusBar1, &QStatusBar::messageChanged, [&](const QString& text) {
        if (text.startsWith("Connecting to the contacts server")) ++waits;
    });
    // Runs with the first events the wait lets through: nothing but the wait itself has moved.
    struct {
        bool ran = false;
        std::string status, to;
    } at;
    QMetaObject::invokeMethod(
        form.get(),
        [&] {
            at.ran = true;
            std::tie(at.status, at.to) = painted.statusAndTo();
            postKey(form->messageMemo, Qt::Key_X, "x");
            postClick(form->sendButton);
            postClick(form->checkAllButton);
        },
        Qt::QueuedConnection);
    ASSERT_EQ(server->stop(), 0);
    dialogs.Answer(cls::mrYes);
    mouseOnName("Anna");
    ASSERT_TRUE(at.ran) << "the wait let nothing through";
    pumpFor(300);

    ASSERT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(at.status, "Connecting to the contacts server " + server_name() + " ...");
    EXPECT_EQ(at.to, "");
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Hello");
    EXPECT_EQ(sendClicks, 0);
    EXPECT_EQ(form->namesListbox->StateCount(cbChecked), 0);
    EXPECT_EQ(statusBar().rfind("Error: The contacts server " + server_name() + " does not answer", 0), 0u)
        << statusBar();
}

// The contacts window open while the server goes: it says so, offers only what can be done, and
// Update during the loss is one question; Yes stores the record typed.
TEST_F(ServerContacts, TheContactsWindowSaysTheServerIsLostAndAsksOnce) {
    startAll();
    auto contacts = std::make_unique<TcontactsGridForm>();
    contacts->show();
    ASSERT_TRUE(contacts->contactsTable && contacts->contactsTable->Active());
    EXPECT_TRUE(contacts->lostLabel->isHidden());

    // Lost while idle, No: the window says it; only Exit is offered.
    ASSERT_EQ(server->stop(), 0);
    dialogs.Answer(cls::mrNo);
    ASSERT_TRUE(pumpUntil([&] { return !contacts->contactsTable->Active(); }));
    pumpFor(100);
    ASSERT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_TRUE(contacts->lostLabel->isVisible());
    const std::string said = cls::fromQString(contacts->lostLabel->text());
    EXPECT_NE(said.find(server_name()), std::string::npos) << said;
    EXPECT_NE(said.find("lost"), std::string::npos) << said;
    EXPECT_FALSE(contacts->Insertbutton->isEnabled());
    EXPECT_FALSE(contacts->deleteButton->isEnabled());
    EXPECT_FALSE(contacts->Updatebutton->isEnabled());
    EXPECT_FALSE(contacts->cancelButton->isEnabled());
    EXPECT_TRUE(contacts->exitButton->isEnabled());
    contacts->InsertbuttonClick();
    contacts->deleteButtonClick();
    EXPECT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    contacts->close();

    // Back: the window opens on the contacts again.
    startServer();
    mouseOnName("Anna");
    ASSERT_TRUE(form->contactsOpen()) << statusBar();
    form->contactsClient->SetTimeOut(1500);
    contacts->show();
    ASSERT_TRUE(contacts->contactsTable->Active());
    EXPECT_TRUE(contacts->lostLabel->isHidden());
    EXPECT_TRUE(contacts->Insertbutton->isEnabled());

    // A record typed; the server goes and comes back before Update: one question, and Yes stores it.
    QTest::mouseClick(contacts->Insertbutton, Qt::LeftButton);
    typeKeys(contacts->nameEdit, "Cleo");
    typeKeys(contacts->idEdit, "5553333");
    ASSERT_EQ(server->stop(), 0);
    startServer();
    dialogs.Answer(cls::mrYes);
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    pumpFor(300);
    ASSERT_EQ(dialogs.Texts().size(), 2u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_NE(dialogs.Texts()[1].find("Reconnect?"), std::string::npos) << dialogs.Texts()[1];
    ASSERT_TRUE(contacts->contactsTable->Active());
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);
    EXPECT_TRUE(contacts->lostLabel->isHidden());
    ASSERT_TRUE(form->lookupContact("Cleo")) << statusBar();
    EXPECT_EQ(lookupId, "5553333");

    // Delete while the server was away: the same one question, and the contact goes.
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Cleo"))}));
    ASSERT_EQ(server->stop(), 0);
    startServer();
    dialogs.Answer(cls::mrYes); // delete this contact?
    dialogs.Answer(cls::mrYes); // reconnect?
    QTest::mouseClick(contacts->deleteButton, Qt::LeftButton);
    pumpFor(300);
    ASSERT_EQ(dialogs.Texts().size(), 4u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(dialogs.Texts()[2], "Delete this contact?");
    EXPECT_NE(dialogs.Texts()[3].find("Reconnect?"), std::string::npos) << dialogs.Texts()[3];
    EXPECT_TRUE(contacts->contactsTable->Active());
    EXPECT_FALSE(form->lookupContact("Cleo")) << statusBar();

    // An edit of a stored contact, the same way: stored on the contact it was made on.
    ASSERT_TRUE(contacts->contactsTable->FindKey({cls::Variant(std::string("Anna"))}));
    retype(contacts->idEdit, "5559999");
    ASSERT_EQ(contacts->contactsTable->State(), cls::dsEdit);
    ASSERT_EQ(server->stop(), 0);
    startServer();
    dialogs.Answer(cls::mrYes);
    QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
    pumpFor(300);
    ASSERT_EQ(dialogs.Texts().size(), 5u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_NE(dialogs.Texts()[4].find("Reconnect?"), std::string::npos) << dialogs.Texts()[4];
    EXPECT_EQ(contacts->contactsTable->State(), cls::dsBrowse);
    ASSERT_TRUE(form->lookupContact("Anna")) << statusBar();
    EXPECT_EQ(lookupId, "5559999");
    EXPECT_EQ(form->namesListbox->Items.Count(), 2);
    contacts->close();
    contacts.reset();
}

// Started while the server takes the connection and never answers: the window is painted while the
// first connect waits, one message names the server, the window works meanwhile, and the contacts
// come once the server runs.
TEST_F(AppTest, StartedWhileTheServerIsSilentTheWindowIsPaintedAndOneMessageNamesIt) {
    seedContacts({{"Anna", "5551111", 1}, {"Bert", "5552222", 1}});
    auto silent = std::make_unique<pwtest::LoopbackPort>();
    ASSERT_TRUE(silent->Listen());
    const int port = silent->port();
    ownPort(port);
    const std::string name = "contacts@127.0.0.1:" + std::to_string(port);
    pwtest::ClientConfigScope config("TCP/IP", name);
    cls::ScriptedDialogs dialogs;

    // The first connect waits for its time-out on the test's clock: it comes soon after the wait is
    // seen painted (else from the watchdog after some seconds, so that the test ends).
    struct Watch : QObject {
        std::atomic<bool> painted{false};
        bool eventFilter(QObject* o, QEvent* e) override {
            auto* bar = qobject_cast<QStatusBar*>(o);
            if (e->type() == QEvent::Paint && bar &&
                bar->currentMessage().startsWith("Connecting to the contacts server"))
                painted = true;
            return false;
        }
    } watch;
    qApp->installEventFilter(&watch);
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mu);
        for (int ticks = 1; !cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; }); ++ticks)
            if (watch.painted || ticks % 100 == 0) clock.Advance(11000);
    });
    // A window of the engine's own (a login) would stay open for ever: counted, and closed.
    int windows = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ++windows;
            d->reject();
        }
    });
    closer.start(20);
    showApp();
    const bool said = pumpUntil([&] { return !dialogs.Texts().empty(); }, 30000);
    pumpFor(100);
    {
        std::lock_guard<std::mutex> g(mu);
        done = true;
    }
    cv.notify_all();
    watchdog.join();
    qApp->removeEventFilter(&watch);
    closer.stop();
    ASSERT_TRUE(said);
    EXPECT_EQ(windows, 0);

    EXPECT_TRUE(watch.painted) << "the window was not painted while the first connect waited";
    ASSERT_EQ(dialogs.Texts().size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_NE(dialogs.Texts()[0].find("The contacts server " + name + " does not answer"), std::string::npos)
        << dialogs.Texts()[0];
    EXPECT_FALSE(form->contactsOpen());
    EXPECT_EQ(form->namesListbox->Items.Count(), 0);

    // The window works without contacts.
    form->messageMemo->setFocus();
    typeKeys(form->messageMemo, "Hi there");
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Hi there");
    EXPECT_EQ(labelText(form->lengthLabel), "(8 chars.)");

    // The server runs: the contacts window finds the contacts, and the list has them.
    silent.reset();
    pwtest::ChildProcess db(PW_DBSERVER, {dir.str(), std::to_string(port)});
    ASSERT_EQ(db.port(), port) << db.text;
    auto contacts = std::make_unique<TcontactsGridForm>();
    int rows = -1;
    whenShown(contacts.get(), [&] {
        rows = contacts->contactsTable && contacts->contactsTable->Active()
                   ? contacts->contactsTable->RecordCount()
                   : -1;
        QTest::mouseClick(contacts->exitButton, Qt::LeftButton);
    });
    form->ContactsDatabase1->trigger();
    EXPECT_EQ(rows, 2);
    EXPECT_TRUE(form->contactsOpen()) << statusBar();
    ASSERT_EQ(form->namesListbox->Items.Count(), 2);
    EXPECT_EQ(form->namesListbox->Items[0], "Anna");
    EXPECT_EQ(dialogs.Texts().size(), 1u);
    contacts.reset();
    form.reset();
    results.reset();
    releasePort(port);
}
