// The configuration window with the main window: filling from the settings, Save writing the
// settings file in its order and putting the settings into effect at once, and refused input.
#include "app/config.h"

#include "classlib/ui/QtText.h"
#include "platform/Profile.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <filesystem>

using namespace snpptest;

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
    void setEdit(const std::string& name, const std::string& text) { retype(config->findEdit(name), text); }

    std::unique_ptr<TconfigForm> config;
};

TEST_F(ConfigWindow, ShowingFillsTheControlsAndHidesServicesAndHelp) {
    start("[LOGGING]\nloggingEnabled=0\nloggingDir=.\\mylogs\\\n"
          "[Groups]\ngroup4Name=Drivers\n[GENERAL]\nhidecheckAllButton=1\n");
    openConfig();
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
    EXPECT_EQ(plat::ProfileFile(kSettings).ReadString("General", "message3", ""), "Meeting at 3");
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

TEST_F(ConfigWindow, RefusedTimeoutAndCancelWriteNothing) {
    const char* const file = "[General]\ntimeout=45\n";
    start(file);
    openConfig();
    setEdit("message1Edit", "Changed");
    const std::pair<const char*, std::string> bad[] = {{"0", "The SNPP Timeout must be at least 1 second"},
                                                       {"ab", "'ab' is not a valid integer value"}};
    for (const auto& [timeout, message] : bad) {
        dialogs.Clear();
        setEdit("timeoutEdit", timeout);
        config->SaveButton->click();
        EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{message});
        EXPECT_TRUE(config->isVisible()) << timeout;
    }
    config->CancelButton->click();
    EXPECT_EQ(timeoutSetting, 45);
    EXPECT_EQ(quickMessages[1], "Hi");
    EXPECT_EQ(pwtest::readFile(kSettings), file);
}

// A character the settings file has no byte for would be saved as "?" (and a quick message paged
// so): it is named and selected, and nothing is saved until it is gone.
TEST_F(ConfigWindow, ACharacterTheSettingsFileCannotHoldIsRefusedByName) {
    const char* const file = "[General]\nmessage2=Call home\n";
    start(file);
    openConfig();
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    const auto typeEmoji = [&](const std::string& editName, const std::string& before) {
        QLineEdit* e = config->findEdit(editName);
        retype(e, before);
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, emoji);
        QApplication::sendEvent(e, &key);
        typeKeys(e, " ok");
    };
    typeEmoji("message2Edit", "See you ");
    typeEmoji("group3NameEdit", "Team ");
    ASSERT_EQ(config->findEdit("message2Edit")->text(), "See you " + emoji + " ok");

    config->SaveButton->click();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Quick-message 2 contains the character U+1F600 "
                                                        "(selected), which a page cannot carry"});
    EXPECT_TRUE(config->isVisible());
    EXPECT_EQ(config->PageControl1->currentWidget(), config->MessagesTabSheet->parentWidget());
    EXPECT_EQ(config->findEdit("message2Edit")->selectedText(), emoji);
    EXPECT_EQ(pwtest::readFile(kSettings), file);
    EXPECT_EQ(quickMessages[2], "Call home");

    dialogs.Clear();
    setEdit("message2Edit", "Caf\xE9 at 8 \x80 5");
    config->SaveButton->click();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Group 3 contains the character U+1F600 (selected), "
                                                        "which the settings file cannot keep"});
    EXPECT_EQ(config->PageControl1->currentWidget(), config->GroupsTabSheet->parentWidget());
    EXPECT_EQ(pwtest::readFile(kSettings), file);

    // What Windows-1252 holds is saved, and paged, as typed.
    dialogs.Clear();
    setEdit("group3NameEdit", "Team \xC6");
    config->SaveButton->click();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{});
    EXPECT_FALSE(config->isVisible());
    EXPECT_EQ(plat::ProfileFile(kSettings).ReadString("General", "message2", ""), "Caf\xE9 at 8 \x80 5");
    EXPECT_EQ(plat::ProfileFile(kSettings).ReadString("Groups", "group3Name", ""), "Team \xC6");
    form->pickButtons[2]->click();
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Caf\xE9 at 8 \x80 5");
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
    // The choice stays in the file for the next start.
    EXPECT_TRUE(plat::ProfileFile(kSettings).ReadBool("LOGGING", "loggingEnabled", false));
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
}

} // namespace
