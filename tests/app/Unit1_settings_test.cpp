// Settings file, service table, and the main window's start over missing or odd contacts and settings.
#include "tests/app/AppFixture.h"

#include "app/Unit1_glue.h"
#include "app/contactsGrid.h"
#include "classlib/ui/QtText.h"
#include "platform/Profile.h"

#include <QApplication>
#include <QHelpEvent>
#include <QStatusBar>
#include <QTest>
#include <QToolTip>
#include <filesystem>

using namespace snpptest;

TEST_F(AppTest, DefaultsWithoutASettingsFile) {
    std::filesystem::remove("snppqorn.ini");
    startApp({{"Alice", "5551234", 1}});
    EXPECT_EQ(std::vector<std::string>(quickMessages.begin() + 1, quickMessages.end()),
              (std::vector<std::string>{"Hi", "Call home", "Call the office", "Call me", "I love you",
                                        "See you soon", "Break a leg", "Don't call"}));
    EXPECT_EQ(timeoutSetting, 45);
    EXPECT_FALSE(loggingEnabled);
    EXPECT_EQ(loggingDir, ".\\logs\\");
    EXPECT_EQ(helpWordProgram, "winword.exe");
    EXPECT_FALSE(hideCheckAllButton);
    EXPECT_TRUE(groupItems().empty());
    EXPECT_FALSE(std::filesystem::exists("snppqorn.ini")) << "reading never creates the file";
    EXPECT_FALSE(std::filesystem::exists("logs"));
    // The built-in service.
    EXPECT_EQ(builtIn1.port, 444);
    EXPECT_EQ(builtIn1.splitChars, 1000);
    EXPECT_EQ(builtIn1.backupHost, PW_SERVICE1_BACKUP_HOST);
    for (int k = 2; k <= 12; ++k)
        EXPECT_FALSE(serviceUsable(k)) << k;
}

TEST_F(AppTest, SettingsRoundTripInTheConfigurationWriteOrder) {
    std::filesystem::remove("snppqorn.ini");
    setBuiltInServices();
    timeoutSetting = 60;
    for (int k = 1; k <= 8; ++k)
        quickMessages[k] = "quick " + std::to_string(k);
    loggingEnabled = true;
    loggingDir = "C:\\pager logs\\";
    hideCheckAllButton = true;
    helpWordDir = "d";
    helpWordProgram = "p";
    helpWordFile = "f";
    for (int k = 1; k <= 10; ++k)
        groupNames[k] = k % 2 ? "Group " + std::to_string(k) : "";
    {
        plat::ProfileFile ini(kSettingsFileName);
        writeSettings(ini);
    }
    EXPECT_EQ(
        pwtest::readFile("snppqorn.ini"),
        "[General]\ntimeout=60\nmessage1=quick 1\nmessage2=quick 2\nmessage3=quick 3\nmessage4=quick 4\n"
        "message5=quick 5\nmessage6=quick 6\nmessage7=quick 7\nmessage8=quick 8\n"
        "hideCheckAllButton=1\nhelpWordDir=d\nhelpWordprogram=p\nhelpWordFile=f\n\n"
        "[LOGGING]\nloggingEnabled=1\nloggingDir=C:\\pager logs\\\n\n"
        "[Groups]\ngroup1Name=Group 1\ngroup2Name=\ngroup3Name=Group 3\ngroup4Name=\ngroup5Name=Group 5\n"
        "group6Name=\ngroup7Name=Group 7\ngroup8Name=\ngroup9Name=Group 9\ngroup10Name=\n");
    // Read back under the reading spellings.
    timeoutSetting = 0;
    quickMessages.fill("");
    loggingEnabled = hideCheckAllButton = false;
    loggingDir = helpWordDir = helpWordProgram = helpWordFile = "";
    groupNames.fill("x");
    readSettings(plat::ProfileFile(kSettingsFileName));
    EXPECT_EQ(timeoutSetting, 60);
    EXPECT_EQ(quickMessages[8], "quick 8");
    EXPECT_EQ(loggingDir, "C:\\pager logs\\");
    EXPECT_TRUE(hideCheckAllButton);
    EXPECT_EQ(helpWordProgram, "p");
    EXPECT_EQ(groupNames[2], "");
}

TEST_F(AppTest, BadValuesInTheSettingsFile) {
    pwtest::writeFile("snppqorn.ini", "[general]\nTIMEOUT=soon\nmessage3=Back at 5\n[groups]\ngroup1name=" +
                                          std::string(40, 'g') + "\ngroup3Name=Third\n");
    startApp({});
    EXPECT_EQ(timeoutSetting, 45);
    EXPECT_EQ(quickMessages[3], "Back at 5");
    // Gaps in the numbering stay gaps.
    EXPECT_EQ(groupItems(), (std::vector<std::string>{"G1: " + std::string(32, 'g'), "G3: Third"}));
    timeoutSetting = -5;
    EXPECT_EQ(effectiveTimeout(), 45);
}

TEST(ServiceTable, HostFieldsSplitIntoTheirParts) {
    setBuiltInServices();
    services[2].hostField = "  pager.example.net, my login , pass word ,extra";
    services[2].backupHostField = "backup.example.net";
    services[3].hostField = "host,user";
    splitIPintoParts();
    EXPECT_EQ(services[2].host, "  pager.example.net");
    EXPECT_EQ(services[2].loginId, "mylogin");
    EXPECT_EQ(services[2].password, "password");
    EXPECT_EQ(services[2].backupHost, "backup.example.net");
    EXPECT_EQ(services[3].loginId, "user");
    EXPECT_EQ(services[3].password, "");
    // Clearing a field clears its parts.
    services[2].hostField = "";
    splitIPintoParts();
    EXPECT_EQ(services[2].loginId, "");
}

TEST_F(AppTest, ATableWithoutPasswordFieldPagesWithoutPin) {
    ScriptedServer server;
    startApp({{"Alice", "5551234", 1}}, false);
    EXPECT_FALSE(hasPasswordField);
    pointService(1, server.port());
    sendTo("Alice");
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    ASSERT_EQ(server.pages().size(), 1u);
    EXPECT_EQ(server.pages()[0].pin, "");
}

TEST_F(AppTest, AMissingContactsTableLeavesAWorkingWindow) {
    cls::ScriptedDialogs dialogs;
    showApp(); // no contacts table at all
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"There is no contacts table (\"contacts\") in " + here +
                                       ". Quit Pagewright, make one with the tool mkcontacts "
                                       "(mkcontacts " +
                                       here + "), then start Pagewright again."})
        << "the failure is shown once";
    sendTo("Alice");
    EXPECT_EQ(statusBar(), "Error: Contacts database not available");
    EXPECT_EQ(sendState, 1);
    // The Contacts window says the same, in the same words.
    auto contacts = std::make_unique<TcontactsGridForm>();
    whenShown(contacts.get(), [&] { QTest::mouseClick(contacts->exitButton, Qt::LeftButton); });
    form->ContactsDatabase1->trigger();
    ASSERT_EQ(dialogs.Texts().size(), 2u);
    EXPECT_EQ(dialogs.Texts()[1], dialogs.Texts()[0]);
}

// The status bar is as wide as the window: a longer text is read whole in its tooltip.
TEST_F(AppTest, AStatusTextLongerThanTheBarIsReadWholeInItsTooltip) {
    startApp({{"Alice", "5551234", 1}});
    QStatusBar* bar = form->StatusBar1;
    const auto tooltipShown = [bar] {
        QHelpEvent help(QEvent::ToolTip, QPoint(20, 8), bar->mapToGlobal(QPoint(20, 8)));
        QApplication::sendEvent(bar, &help);
        return cls::fromQString(QToolTip::text());
    };
    const std::string text = "Error: The contacts server 127.0.0.1 does not answer: Quillbase: Cannot locate "
                             "or connect to network server. [$2c0e/11278]";
    form->setStatusBarText(text);
    ASSERT_GT(bar->fontMetrics().horizontalAdvance(bar->currentMessage()), bar->contentsRect().width());
    EXPECT_EQ(tooltipShown(), text);
    form->setStatusBarText("Error: No message entered");
    EXPECT_EQ(tooltipShown(), "Error: No message entered");
    QToolTip::hideText();
}

TEST_F(AppTest, ALoggingFolderThatCannotBeCreatedTurnsLoggingOff) {
    cls::ScriptedDialogs dialogs;
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\nloggingDir=missing\\deeper\\\n");
    startApp({});
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Unable to create logging directory:missing\\deeper\\"});
    EXPECT_FALSE(loggingEnabled);
    EXPECT_EQ(pwtest::readFile("snppqorn.ini"),
              "[LOGGING]\nloggingEnabled=1\nloggingDir=missing\\deeper\\\n");
}

// As the run script does for a new run folder: the contacts tool's demo contacts, read by the
// program from the table files; a later run of the tool leaves the user's contacts as they are.
TEST_F(AppTest, TheContactsToolsDemoContactsAndAUsersOwnAfterIt) {
    const char* const tool = PW_BINARY_DIR "/tools/mkcontacts . >tool.txt 2>&1";
    const std::string settings = pwtest::readFile("snppqorn.ini");
    ASSERT_EQ(std::system(tool), 0) << pwtest::readFile("tool.txt");
    // The folder's own settings file is left as it is.
    EXPECT_EQ(pwtest::readFile("snppqorn.ini"), settings);
    showApp();
    std::vector<std::string> names;
    for (int i = 0; i < form->namesListbox->Items.Count(); ++i)
        names.push_back(form->namesListbox->Items[i]);
    EXPECT_EQ(names,
              (std::vector<std::string>{"Ada Lovelace", "Alan Turing", "Grace Hopper", "Ken Thompson"}));
    ASSERT_TRUE(form->lookupContact("Grace Hopper"));
    EXPECT_EQ(lookupPin, "4711");

    deleteContact("Ada Lovelace");
    addContact({"Zed", "5559999", 1});
    restartApp();
    ASSERT_EQ(std::system(tool), 0) << pwtest::readFile("tool.txt");
    showApp();
    names.clear();
    for (int i = 0; i < form->namesListbox->Items.Count(); ++i)
        names.push_back(form->namesListbox->Items[i]);
    EXPECT_EQ(names, (std::vector<std::string>{"Alan Turing", "Grace Hopper", "Ken Thompson", "Zed"}));
}

// A new run folder without a settings file gets one with the demo's group names, so that the demo
// contacts' groups show; a later run of the tool leaves the file the user changed as it is.
TEST_F(AppTest, TheContactsToolNamesTheDemoGroupsInANewFolder) {
    std::filesystem::remove("snppqorn.ini");
    const char* const tool = PW_BINARY_DIR "/tools/mkcontacts . >tool.txt 2>&1";
    ASSERT_EQ(std::system(tool), 0) << pwtest::readFile("tool.txt");
    showApp();
    EXPECT_EQ(groupItems(), (std::vector<std::string>{"G1: Pioneers", "G2: Systems"}));
    form->groupsListBox->setCurrentRow(1);
    form->groupsListBoxClick(form->groupsListBox);
    EXPECT_EQ(labelText(form->toNameLabel), "[Group 2]");

    restartApp();
    pwtest::writeFile("snppqorn.ini", "[Groups]\ngroup1Name=Mine\n");
    for (const char* table : {"contacts.QB2", "CONTACTS.QB2"})
        std::filesystem::remove(table);
    dropContacts();
    ASSERT_EQ(std::system(tool), 0) << pwtest::readFile("tool.txt");
    EXPECT_EQ(pwtest::readFile("snppqorn.ini"), "[Groups]\ngroup1Name=Mine\n");
}

// A settings file named in another case is the folder's settings file all the same: the tool
// leaves it as it is, and the program reads the user's group names from it.
TEST_F(AppTest, TheContactsToolLeavesASettingsFileNamedInAnyCase) {
    std::filesystem::remove("snppqorn.ini");
    const char* const tool = PW_BINARY_DIR "/tools/mkcontacts . >tool.txt 2>&1";
    const std::string users = "[Groups]\ngroup1Name=Night shift\n";
    for (const char* name : {"SNPPQORN.INI", "SnppQorn.Ini"}) {
        pwtest::writeFile(name, users);
        dropContacts();
        ASSERT_EQ(std::system(tool), 0) << pwtest::readFile("tool.txt");
        EXPECT_EQ(pwtest::readFile(name), users) << name;
        EXPECT_FALSE(std::filesystem::exists("snppqorn.ini")) << name;
        showApp();
        EXPECT_EQ(groupItems(), std::vector<std::string>{"G1: Night shift"}) << name;
        restartApp();
        std::filesystem::remove(name);
    }
}
