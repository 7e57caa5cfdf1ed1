// End to end over real loopback TCP: the main window pages a group of three contacts to the
// scripted SNPP server, two contacts through Debian's Net::SNPP::Server, and a contact added in the
// contacts window through the widgets alone.
#include "tests/app/AppFixture.h"

#include "app/contactsGrid.h"
#include "classlib/ui/QtText.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>

using namespace snpptest;

TEST_F(AppTest, GroupOfThreeOverLoopbackEveryByteOfTheDialogue) {
    ScriptedServer server;
    server.setGreeting("220 \x02Welcome to the gateway\r\n");
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\n[Groups]\ngroup4Name=Ward 4\n");
    startApp({{"Anna", "5551111", 1, "", {4}},
              {"Bert", "5552222", 1, "1234", {4}},
              {"Cleo", "5553333", 1, "", {4}},
              {"Dirk", "5554444", 1, "", {3}},
              {"Dora", "5555555", 0, "", {4}}}); // no valid service: left out
    pointService(1, server.port());
    selectGroup(4);
    const std::string text = "Ward round at 14:00 - bring the \xE9tat sheets (50% done)";
    setMessage(text);
    form->sendButton->click();
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    // The server logs its QUIT reply before it lets the connection go.
    ASSERT_TRUE(pumpUntil([&] { return server.closedConnections() == 1; }));

    const std::string mess = "C: MESS SNPPENCRYPTED128" + Pc1Cipher().Crypt(text) + "\\r\\n";
    std::vector<std::string> dialogue = {"S: 220 \\x2Welcome to the gateway\\r\\n"};
    for (const std::string page : {"PAGE 5551111", "PAGE 5552222 1234", "PAGE 5553333"})
        dialogue.insert(dialogue.end(), {"C: " + page + "\\r\\n", "S: 250 Pager ID Accepted\\r\\n", mess,
                                         "S: 250 Message OK\\r\\n", "C: SEND\\r\\n",
                                         "S: 250 Message Sent Successfully\\r\\n"});
    dialogue.insert(dialogue.end(), {"C: QUIT\\r\\n", "S: 221 OK, Goodbye\\r\\n"});
    EXPECT_EQ(server.transcript(), dialogue);
    EXPECT_EQ(server.texts(), std::vector<std::string>(3, text));
    EXPECT_EQ(resultsLines(), (std::vector<std::string>{
                                  "CONNECTING TO SERVICE: Tarvo ...", "Sending to: Anna ...",
                                  "MESSAGE SENT OK", "Sending to: Bert ...", "MESSAGE SENT OK",
                                  "Sending to: Cleo ...", "MESSAGE SENT OK", "", "3 of 3 MESSAGES SENT OK"}));
    const std::string prefix = "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:";
    EXPECT_EQ(logText(), prefix + "Anna, MSG:" + text + "\r\n" + prefix + "Bert, MSG:" + text + "\r\n" +
                             prefix + "Cleo, MSG:" + text + "\r\n");
}

TEST_F(AppTest, InteroperatesWithNetSnppServer) {
    const std::string pagesFile = dir.file("perl-pages.txt");
    QProcess perl;
    perl.start("perl",
               {QString(PW_SOURCE_DIR "/tests/app/snpp_server.pl"), QString::fromStdString(pagesFile)});
    ASSERT_TRUE(perl.waitForStarted(10000));
    int port = 0;
    ASSERT_TRUE(pumpUntil(
        [&] {
            perl.waitForReadyRead(10);
            if (!perl.canReadLine()) return false;
            const QByteArray line = perl.readLine().trimmed();
            if (line.startsWith("READY ")) port = line.mid(6).toInt();
            return port > 0;
        },
        30000))
        << perl.readAllStandardError().toStdString();
    ownPort(port); // the server holds it from its start

    startApp({{"Anna", "5551111", 1}, {"Bert", "5552222", 1, "9876"}});
    pointService(1, port);
    checkNames({"Anna", "Bert"});
    const std::string text = "Interop check";
    setMessage(text);
    form->sendButton->click();
    const bool done = pumpUntil([&] { return statusLabel() == "DONE"; }, 30000);
    perl.kill();
    perl.waitForFinished(10000);
    releasePort(port);
    ASSERT_TRUE(done) << statusBar();

    EXPECT_EQ(resultsLines().back(), "2 of 2 MESSAGES SENT OK");
    const std::string letters = Pc1Cipher().Crypt(text);
    EXPECT_EQ(pwtest::readFile(pagesFile), "5551111\t1\tSNPPENCRYPTED128" + letters +
                                               "\n5552222\t9876\tSNPPENCRYPTED128" + letters + "\n");
    EXPECT_EQ(Decrypt(letters), text);
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Anna, MSG:Interop check\r\n"
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Bert, MSG:Interop check\r\n");
}

// Through the widgets only: open Contacts, insert a contact, close, find it in the list, check it,
// type a message, press Send; the scripted server takes the page.
TEST_F(AppTest, AContactInsertedInTheContactsWindowIsPagedThroughTheWidgets) {
    ScriptedServer server;
    cls::ScriptedDialogs dialogs;
    auto contacts = std::make_unique<TcontactsGridForm>();
    startApp({{"Anna", "5551111", 1}});
    pointService(1, server.port());

    whenShown(contacts.get(), [&] {
        QTest::mouseClick(contacts->Insertbutton, Qt::LeftButton);
        typeKeys(contacts->nameEdit, "Zo\xEB Ray");
        typeKeys(contacts->idEdit, "5559876");
        QTest::mouseClick(contacts->Updatebutton, Qt::LeftButton);
        QTest::mouseClick(contacts->exitButton, Qt::LeftButton);
    });
    form->ContactsDatabase1->trigger();
    EXPECT_TRUE(dialogs.Texts().empty()) << dialogs.Texts().front();
    ASSERT_FALSE(contacts->isVisible());

    TLncCheckList* list = form->namesListbox;
    const int i = list->Items.IndexOf("Zo\xEB Ray");
    ASSERT_GE(i, 0) << "the new contact is in the list";
    const QRect r = list->ItemRect(i);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 4, r.center().y()));
    ASSERT_EQ(list->ItemState(i), cbChecked);
    EXPECT_EQ(cls::fromQString(form->toNameLabel->text()), "[selected names]");

    form->messageMemo->setFocus();
    typeKeys(form->messageMemo, "Gate 4 at 10");
    QTest::mouseClick(form->sendButton, Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; })) << statusBar();

    EXPECT_EQ(server.pagerIds(), std::vector<std::string>{"5559876"});
    EXPECT_EQ(server.texts(), std::vector<std::string>{"Gate 4 at 10"});
    EXPECT_EQ(resultsLines().back(), "1 of 1 MESSAGES SENT OK");
    EXPECT_EQ(logText(),
              "3/7/2024 10:00:00 AM, Message Sent OK, SRVC:Tarvo, CONTACT:Zo\xEB Ray, MSG:Gate 4 at 10\r\n");
}

// A results line after a quiet spell shows without waiting; lines coming in a burst follow with
// the next update, all of them.
TEST_F(AppTest, AResultsLineAfterAQuietSpellShowsAtOnceAndABurstFollows) {
    startApp({{"Alice", "5551234", 1}});
    form->resultsAdd("CONNECTING TO SERVICE: One ...");
    QApplication::processEvents();
    EXPECT_EQ(results->linesText(), "CONNECTING TO SERVICE: One ...");
    form->resultsAdd("Sending to: Alice ...");
    form->resultsAdd("MESSAGE SENT OK");
    ASSERT_TRUE(pumpUntil([&] { return results->sendingMemo->lineCount() == 3; }));
    EXPECT_EQ(results->linesText(), "CONNECTING TO SERVICE: One ...\nSending to: Alice ...\nMESSAGE SENT OK");
}
