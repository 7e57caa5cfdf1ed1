// The configuration window with the main window: filling from the settings, Save writing the
// settings file in its order and putting the settings into effect at once, and refused input.
#include "app/config.h"

#include "classlib/ui/QtText.h"
#include "platform/Profile.h"
#include "tests/app/AppFixture.h"
#include "tests/app/WindowsTestSupport.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <filesystem>

using namespace snpptest;
using wintest::retype;

namespace {

const char* const kSettings = "snppqorn.ini";

class ConfigWindow : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        config = std::make_unique<TconfigForm>();
    }
    void TearDown() override {
        WindowTest::TearDown();
        config.reset();
    }
    // The main window over a settings file holding text (none when text is null).
    void start(const char* text) {
        std::filesystem::remove(kSettings);
        if (text) pwtest::writeFile(kSettings, text);
        startApp({{"Alice", "5551234", 1, "", {1}}, {"Bob", "5555678", 1, "", {1}}});
    }
    void openConfig() {
        config->show();
        QApplication::processEvents();
    }
    QString edit(const std::string& name) const { return config->findEdit(name)->text(); }
    void setEdit(const std::string& name, const QString& text) {
        QLineEdit* e = config->findEdit(name);
        ASSERT_NE(e, nullptr) << name;
        retype(e, text);
    }

    std::unique_ptr<TconfigForm> config;
};

TEST_F(ConfigWindow, ShowingFillsTheControlsAndHidesServicesAndHelp) {
    start("[LOGGING]\nloggingEnabled=0\nloggingDir=.\\mylogs\\\n"
          "[Groups]\ngroup4Name=Drivers\n[GENERAL]\nhidecheckAllButton=1\n");
    openConfig();
    // Hidden by the main window at its first showing, and by design.
    EXPECT_FALSE(config->servicesTabSheet->TabVisible());
    EXPECT_FALSE(config->HelpTabSheet->TabVisible());

    EXPECT_FALSE(config->loggingEnabledCheckbox->isChecked());
    EXPECT_TRUE(config->hideCheckallCheckbox->isChecked());
    // The service edits are looked up by composed names without regard to case.
    const std::pair<const char*, QString> edits[] = {{"loggingDirEdit", ".\\mylogs\\"},
                                                     {"group4NameEdit", "Drivers"},
                                                     {"SERVICE1NAMEEDIT", "Tarvo"},
                                                     {"service12portEdit", "0"}};
    for (const auto& [name, value] : edits)
        EXPECT_EQ(edit(name), value) << name;
    EXPECT_EQ(config->findEdit("service13nameEdit"), nullptr);
    EXPECT_EQ(config->findEdit("group1NameEdit")->maxLength(), 32);
}

TEST_F(ConfigWindow, SaveWritesTheSettingsFileInItsOrder) {
    start(nullptr);
    openConfig();
    setEdit("timeoutEdit", "20");
    setEdit("message3Edit", "Meeting at 3");
    setEdit("loggingDirEdit", "plogs/");
    config->loggingEnabledCheckbox->click();
    setEdit("group2NameEdit", "Sales");
    config->SaveButton->click();
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_EQ(pwtest::readFile(kSettings),
              "[General]\ntimeout=20\nmessage1=Hi\nmessage2=Call home\nmessage3=Meeting at 3\n"
              "message4=Call me\nmessage5=I love you\nmessage6=See you soon\nmessage7=Break a leg\n"
              "message8=Don't call\nhideCheckAllButton=0\n"
              "helpWordDir=C:\\Program Files\\Microsoft Office\\Office\\\nhelpWordprogram=winword.exe\n"
              "helpWordFile=C:\\Program Files\\Qorn SNPP\\Help\\snpphelp.doc\n\n"
              "[LOGGING]\nloggingEnabled=1\nloggingDir=plogs/\n\n"
              "[Groups]\ngroup1Name=\ngroup2Name=Sales\ngroup3Name=\ngroup4Name=\ngroup5Name=\n"
              "group6Name=\ngroup7Name=\ngroup8Name=\ngroup9Name=\ngroup10Name=\n");
}

TEST_F(ConfigWindow, NewSettingsTakeEffectAtOnce) {
    start("[LOGGING]\nloggingEnabled=0\n");
    LoopbackPeer silent; // takes the connection and never answers
    pointService(1, silent.port());

    openConfig();
    setEdit("timeoutEdit", "2");
    setEdit("message3Edit", "Meeting at 3");
    setEdit("loggingDirEdit", ".\\newlogs\\");
    config->loggingEnabledCheckbox->click();
    config->hideCheckallCheckbox->click();
    config->SaveButton->click();
    EXPECT_TRUE(form->checkAllButton->isHidden());

    // Quick message 3 is the new text.
    form->pickButtons[3]->click();
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Meeting at 3");

    // A multiple send to a silent server ends after the new time-out of 2 seconds, and the log
    // goes into the new folder.
    checkNames({"Alice", "Bob"});
    form->sendButtonClick(form->sendButton);
    ASSERT_TRUE(pumpUntil([&] { return silent.tryAccept(); }));
    EXPECT_EQ(timeoutLeft, 2);
    advance(3000);
    EXPECT_TRUE(pumpUntil([&] { return statusLabel() == "DONE"; }));
    const std::string log = pwtest::readFile("newlogs/03_07_24.txt");
    EXPECT_NE(log.find("ERROR: Timeout when sending to service."), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists("logs"));
}

TEST_F(ConfigWindow, TimeoutBelowOneOrNotANumberIsRefusedAndNothingIsWritten) {
    const char* const file = "[General]\ntimeout=45\n";
    start(file);
    openConfig();
    setEdit("message1Edit", "Changed");
    for (const char* bad : {"0", "ab"}) {
        dialogs.Clear();
        setEdit("timeoutEdit", bad);
        config->SaveButton->click();
        ASSERT_EQ(dialogs.Texts().size(), 1u) << bad;
        if (std::string(bad) == "0")
            EXPECT_EQ(dialogs.Texts()[0], "The SNPP Timeout must be at least 1 second");
        else
            EXPECT_EQ(dialogs.Texts()[0], "'" + std::string(bad) + "' is not a valid integer value");
        EXPECT_TRUE(config->isVisible()) << bad;
        EXPECT_EQ(pwtest::readFile(kSettings), file) << bad;
        EXPECT_EQ(quickMessages[1], "Hi");
    }
    // Put right, it saves.
    setEdit("timeoutEdit", "1");
    config->SaveButton->click();
    EXPECT_EQ(timeoutSetting, 1);
}

TEST_F(ConfigWindow, LoggingFolderThatCannotBeMadeTurnsLoggingOffForThisRun) {
    start("[LOGGING]\nloggingEnabled=0\n");
    openConfig();
    setEdit("loggingDirEdit", "no/such/folder/");
    config->loggingEnabledCheckbox->click();
    config->SaveButton->click();
    EXPECT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"Unable to create logging directory:no/such/folder/"}));
    EXPECT_FALSE(loggingEnabled);
    EXPECT_FALSE(config->isVisible());
    // The choice stays in the file for the next start.
    plat::ProfileFile ini(kSettings);
    EXPECT_TRUE(ini.ReadBool("LOGGING", "loggingEnabled", false));
}

TEST_F(ConfigWindow, CancelChangesNothing) {
    start("[General]\ntimeout=45\n");
    openConfig();
    setEdit("timeoutEdit", "9");
    config->CancelButton->click();
    EXPECT_EQ(timeoutSetting, 45);
    EXPECT_EQ(pwtest::readFile(kSettings), "[General]\ntimeout=45\n");
}

TEST_F(ConfigWindow, LongValuesFromTheFileSurviveShowAndSave) {
    // The limits hold for typing: a longer value from a hand-edited file is shown and saved whole.
    const std::string longMessage(140, 'm');
    start(("[General]\nmessage5=" + longMessage + "\n").c_str());
    openConfig();
    EXPECT_EQ(edit("message5Edit").size(), 140);
    config->SaveButton->click();
    EXPECT_EQ(quickMessages[5], longMessage);
    EXPECT_EQ(plat::ProfileFile(kSettings).ReadString("General", "message5", ""), longMessage);
    // Typing into it cannot make it longer.
    openConfig();
    QLineEdit* e = config->findEdit("message5Edit");
    e->end(false);
    wintest::type(e, "x");
    EXPECT_EQ(e->text().size(), 140);
}

} // namespace
