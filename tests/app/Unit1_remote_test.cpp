// The program with its contacts on a database server: the client configuration names the server
// program, which holds the contacts table, and a contact read from it is paged end to end.
#include "tests/app/AppFixture.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ClientConfig.h"

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
