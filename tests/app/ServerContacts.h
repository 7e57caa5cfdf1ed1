// The program with its contacts on a database server program the test runs as a child process on
// the test's folder: started, stopped and killed by the test.
#pragma once
#include "tests/app/AppFixture.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ClientConfig.h"

#include <QPoint>
#include <QRect>
#include <QTest>
#include <memory>
#include <signal.h>
#include <string>
#include <vector>

namespace snpptest {

// The program with a database server of the test's own, on the test's folder: started with extra
// arguments, killed as a crash ends it.
class ServerProcess : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        // The transport's connects and waits run on real time.
        plat::SetClock(nullptr);
    }
    void startServer(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{dir.str(), std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<pwtest::ChildProcess>(PW_DBSERVER, args);
        const uint16_t got = server->port();
        ASSERT_NE(got, 0) << server->text;
        if (port == 0) {
            port = got;
            ownPort(port);
        }
        ASSERT_EQ(got, port);
    }
    // The server ended as a crash ends it: its connections are not closed by it.
    void killServer() {
        ASSERT_EQ(::kill(server->pid, SIGKILL), 0);
        server->wait();
        ASSERT_EQ(server->pid, -1) << "the server did not end";
    }
    std::string server_name() const { return serverNamePart + "@127.0.0.1:" + std::to_string(port); }
    void configure() { config = std::make_unique<pwtest::ClientConfigScope>("TCP/IP", server_name()); }
    // A click on the name (beside its check box), by the mouse.
    void mouseOnName(const std::string& name) {
        TLncCheckList* list = form->namesListbox;
        const int i = list->Items.IndexOf(name);
        ASSERT_GE(i, 0) << name;
        const QRect r = list->ItemRect(i);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          QPoint(list->BoxRightEdge(r) + 12, r.center().y()));
    }
    void TearDown() override {
        form.reset();
        results.reset();
        server.reset();
        if (port) releasePort(port);
        AppTest::TearDown();
    }

    std::string serverNamePart = "contacts";
    uint16_t port = 0;
    std::unique_ptr<pwtest::ChildProcess> server;
    std::unique_ptr<pwtest::ClientConfigScope> config;
};

// The same with its message boxes answered by the test's script.
class ServerContacts : public ServerProcess {
protected:
    void startAll() {
        seedContacts({{"Anna", "5551111", 1, "", {4}}, {"Bert", "5552222", 1, "1234", {4}}});
        startServer();
        configure();
        showApp();
        ASSERT_TRUE(form->contactsOpen());
        // A server that is gone is given up on sooner than the default 10 s.
        form->contactsClient->SetTimeOut(1500);
    }
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
    cls::ScriptedDialogs dialogs;
};

} // namespace snpptest
