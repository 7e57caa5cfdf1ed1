// The program with its contacts on a database server: the client configuration names the server
// program, which holds the contacts table, and a contact read from it is paged end to end; the
// server lost and back again.
#include "tests/app/AppFixture.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ClientConfig.h"

#include "app/contactsGrid.h"
#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QCursor>
#include <QStatusBar>
#include <filesystem>

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

namespace {

// The program with its contacts on a database server of the test's own, on the test's folder.
class ServerContacts : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        // The transport's connects and waits run on real time.
        plat::SetClock(nullptr);
    }
    void startServer() {
        server = std::make_unique<pwtest::ChildProcess>(
            PW_DBSERVER, std::vector<std::string>{dir.str(), std::to_string(port)});
        const uint16_t got = server->port();
        ASSERT_NE(got, 0) << server->text;
        if (port == 0) {
            port = got;
            ownPort(port);
        }
        ASSERT_EQ(got, port);
    }
    void startAll() {
        seedContacts({{"Anna", "5551111", 1, "", {4}}, {"Bert", "5552222", 1, "1234", {4}}});
        startServer();
        config = std::make_unique<pwtest::ClientConfigScope>("TCP/IP", server_name());
        showApp();
        ASSERT_TRUE(form->contactsOpen());
        // A server that is gone is given up on sooner than the default 10 s.
        form->contactsClient->SetTimeOut(1500);
    }
    std::string server_name() const { return "contacts@127.0.0.1:" + std::to_string(port); }
    void click(const std::string& name) {
        form->namesListbox->SetItemIndex(form->namesListbox->Items.IndexOf(name));
        form->namesListboxClick(form->namesListbox);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (int i = 0; i < form->namesListbox->Items.Count(); ++i)
            n.push_back(form->namesListbox->Items[i]);
        return n;
    }
    void TearDown() override {
        form.reset();
        results.reset();
        server.reset();
        if (port) releasePort(port);
        AppTest::TearDown();
    }

    cls::ScriptedDialogs dialogs;
    uint16_t port = 0;
    std::unique_ptr<pwtest::ChildProcess> server;
    std::unique_ptr<pwtest::ClientConfigScope> config;
};

} // namespace

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
