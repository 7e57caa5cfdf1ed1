// TJournalForm: texts, colour and buttons per kind of journal, and the answers its keys and buttons
// give; Escape never answers Rollback. The paging program puts the journals its engine finds at
// start-up to the operator through it, and goes on with its contacts.
#include "app/uQBSRJrn.h"

#include "db/engine/qbsrfold.h"
#include "tests/app/AppFixture.h"
#include "tests/db/JournalTestSupport.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Runs the dialog modally and acts on it once it shows.
template <class F> int answer(TJournalForm& form, F act) {
    QTimer::singleShot(0, &form, [&] { act(); });
    return form.ShowModal();
}

TEST(JournalForm, EachKindShowsItsTextsAndButtons) {
    TJournalForm form;
    EXPECT_EQ(form.windowTitle(), "Quillbase Journal Recovery");
    EXPECT_EQ(form.size(), QSize(536, 193));
    form.Setup(0, "Contacts", "/data/contacts", "12_3.QB$", "");
    form.show();
    EXPECT_EQ(form.OKBtn->text(), "&Commit");
    EXPECT_TRUE(form.RollbackBtn->isVisible());
    EXPECT_EQ(form.CompletenessLabel->text(), "Complete journal file found!");
    EXPECT_EQ(form.ActionLabel->text(), "Recovery is possible!");
    EXPECT_TRUE(form.ActionLabel->styleSheet().contains("green"));
    EXPECT_FALSE(form.ExceptionLabel->isVisible());
    EXPECT_EQ(form.AliasLabel->text(), "Contacts");
    EXPECT_EQ(form.FilenameLabel->text(), "12_3.QB$");
    form.Setup(1, "A", "/p", "f", "");
    EXPECT_EQ(form.OKBtn->text(), "&OK");
    EXPECT_FALSE(form.RollbackBtn->isVisible());
    EXPECT_EQ(form.CompletenessLabel->text(), "Incomplete journal file found!");
    EXPECT_EQ(form.ActionLabel->text(), "Recovery is impossible!");
    EXPECT_TRUE(form.ActionLabel->styleSheet().contains("red"));
    form.Setup(2, "A", "/p", "f", "disk full");
    EXPECT_EQ(form.CompletenessLabel->text(), "Error processing journal file!");
    EXPECT_EQ(form.ActionLabel->text(), "Cannot recover!");
    EXPECT_TRUE(form.ExceptionLabel->isVisible());
    EXPECT_EQ(form.ExceptionLabel->text(), "disk full");
    form.Setup(3, "A", "/p", "f", "bad");
    EXPECT_EQ(form.CompletenessLabel->text(), "Error processing file! Skipped the file");
    EXPECT_FALSE(form.RollbackBtn->isVisible());
}

TEST(JournalForm, TheButtonsAnswerAndEscapeIsNoRollback) {
    TJournalForm form;
    form.Setup(0, "A", "/p", "f", "");
    EXPECT_EQ(answer(form, [&] { form.OKBtn->click(); }), kJournalCommit);
    EXPECT_EQ(answer(form, [&] { form.RollbackBtn->click(); }), kJournalRollback);
    EXPECT_EQ(answer(form, [&] { QTest::keyClick(&form, Qt::Key_Escape); }), 0);
    EXPECT_EQ(answer(form, [&] { QTest::keyClick(form.OKBtn, Qt::Key_Return); }), kJournalCommit);
}

// What each recovery dialog showed, answered with the button chosen for its kind.
struct DialogRecord {
    std::string completeness, alias, path, file, exception;
    bool rollbackShown = false, exceptionShown = false;
};

class Answerer {
public:
    // Answers every journal dialog that shows: complete journals with answer, the others "&OK".
    explicit Answerer(int answer) {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* form = dynamic_cast<TJournalForm*>(w);
                if (!form || !form->isVisible()) continue;
                DialogRecord r;
                r.completeness = snpptest::labelText(form->CompletenessLabel);
                r.alias = snpptest::labelText(form->AliasLabel);
                r.path = snpptest::labelText(form->PathLabel);
                r.file = snpptest::labelText(form->FilenameLabel);
                r.exception = snpptest::labelText(form->ExceptionLabel);
                r.rollbackShown = form->RollbackBtn->isVisible();
                r.exceptionShown = form->ExceptionLabel->isVisible();
                seen.push_back(r);
                (r.rollbackShown && answer == kJournalRollback ? form->RollbackBtn : form->OKBtn)->click();
            }
        });
        timer_.start();
    }
    std::vector<DialogRecord> seen;

private:
    QTimer timer_;
};

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The program ran once (so the alias of its folder is kept), then a commit that added Bob to the
// contacts was cut short: the table as before it, and its complete journal beside it.
class JournalAtStart : public snpptest::AppTest {
protected:
    std::string table, before, after, folder;
    void leaveJournal() {
        startApp({{"Alice", "5551234", 1}});
        restartApp();
        folder = CanonicalFolderPath(std::filesystem::current_path().string());
        table = folder + "/contacts.QB2";
        ASSERT_TRUE(std::filesystem::exists(table));
        before = readAll(table);
        snpptest::addContact({"Bob", "5550002", 1});
        after = readAll(table);
        ASSERT_NE(before, after);
        writeAll(table, before);
        writeAll("12_1.QB$", journaltest::journalBytes(1, journaltest::changeImages(table, before, after)));
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (int i = 0; i < form->namesListbox->Items.Count(); ++i)
            n.push_back(form->namesListbox->Items[i]);
        return n;
    }
};

TEST_F(JournalAtStart, TheOperatorCommitsOrRollsBackACompleteJournal) {
    for (int answer : {kJournalCommit, kJournalRollback}) {
        leaveJournal();
        Answerer operatorAnswers(answer);
        showApp();
        ASSERT_EQ(operatorAnswers.seen.size(), 1u) << answer;
        const DialogRecord& d = operatorAnswers.seen[0];
        EXPECT_EQ(d.completeness, "Complete journal file found!");
        EXPECT_EQ(d.alias, "pagebase");
        EXPECT_EQ(d.path, folder);
        EXPECT_EQ(d.file, "12_1.QB$");
        EXPECT_TRUE(d.rollbackShown);
        EXPECT_FALSE(d.exceptionShown);
        EXPECT_FALSE(std::filesystem::exists("12_1.QB$"));
        EXPECT_TRUE(form->contactsOpen());
        const std::vector<std::string> want = answer == kJournalCommit
                                                  ? std::vector<std::string>{"Alice", "Bob"}
                                                  : std::vector<std::string>{"Alice"};
        EXPECT_EQ(names(), want) << answer;
        restartApp();
        snpptest::deleteContact("Bob");
    }
}

// An incomplete journal is shown and goes; a file that is no journal is shown with the reason and
// stays; the program runs with its contacts.
TEST_F(JournalAtStart, IncompleteJournalsAndFilesInErrorAreShownAndTheContactsStay) {
    leaveJournal();
    writeAll("12_1.QB$", journaltest::journalBytes(0, {}));
    writeAll("7.QB$", "meeting notes\n");
    Answerer operatorAnswers(kJournalRollback);
    showApp();
    std::vector<DialogRecord> seen = operatorAnswers.seen;
    std::sort(seen.begin(), seen.end(), [](auto& a, auto& b) { return a.file < b.file; });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].file, "12_1.QB$");
    EXPECT_EQ(seen[0].completeness, "Incomplete journal file found!");
    EXPECT_FALSE(seen[0].rollbackShown);
    EXPECT_EQ(seen[1].file, "7.QB$");
    EXPECT_EQ(seen[1].completeness, "Error processing file! Skipped the file");
    EXPECT_TRUE(seen[1].exceptionShown);
    EXPECT_NE(seen[1].exception.find("7.QB$] is not a Quillbase formatted file"), std::string::npos)
        << seen[1].exception;
    for (const DialogRecord& d : seen) {
        EXPECT_EQ(d.alias, "pagebase");
        EXPECT_EQ(d.path, folder);
    }
    EXPECT_FALSE(std::filesystem::exists("12_1.QB$"));
    EXPECT_EQ(readAll("7.QB$"), "meeting notes\n");
    EXPECT_TRUE(form->contactsOpen());
    EXPECT_EQ(names(), std::vector<std::string>{"Alice"});
    EXPECT_EQ(readAll(table), before);
}

// Escape puts the recovery off: said once, with no second dialog, the journal and the table stay as
// they are and the contacts closed; the next start asks again.
TEST_F(JournalAtStart, RecoveryPutOffIsSaidOnceAndAskedAgainAtTheNextStart) {
    leaveJournal();
    cls::ScriptedDialogs dialogs;
    int asked = 0;
    QTimer escape;
    escape.setInterval(1);
    QObject::connect(&escape, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = dynamic_cast<TJournalForm*>(w); dialog && dialog->isVisible()) {
                ++asked;
                QTest::keyClick(dialog, Qt::Key_Escape);
            }
    });
    escape.start();
    showApp();
    escape.stop();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Recovery of the journal " + folder +
                                       "/12_1.QB$ was put off: the contacts stay closed until it is chosen. "
                                       "Start Pagewright again to choose Commit or Rollback."});
    EXPECT_FALSE(form->contactsOpen());
    EXPECT_TRUE(std::filesystem::exists("12_1.QB$"));
    EXPECT_EQ(readAll(table), before);

    restartApp();
    Answerer operatorAnswers(kJournalCommit);
    showApp();
    EXPECT_EQ(operatorAnswers.seen.size(), 1u);
    EXPECT_EQ(names(), (std::vector<std::string>{"Alice", "Bob"}));
    EXPECT_EQ(dialogs.Texts().size(), 1u);
}

// A journal whose table has gone cannot be replayed: the program says so and runs on, the journal
// and the contacts table as they were; the next start says it again.
TEST_F(JournalAtStart, AJournalOfATableThatHasGoneIsReportedAndTheProgramRunsOn) {
    leaveJournal();
    const std::string gone = folder + "/gone.QB2";
    writeAll("12_1.QB$", journaltest::journalBytes(1, journaltest::changeImages(gone, before, after)));
    for (int start = 0; start < 2; ++start) {
        cls::ScriptedDialogs dialogs;
        Answerer operatorAnswers(kJournalCommit);
        showApp();
        ASSERT_EQ(operatorAnswers.seen.size(), 1u) << start;
        EXPECT_EQ(operatorAnswers.seen[0].file, "12_1.QB$");
        EXPECT_NE(operatorAnswers.seen[0].exception.find("gone.QB2: No such file"), std::string::npos)
            << operatorAnswers.seen[0].exception;
        ASSERT_EQ(dialogs.Texts().size(), 1u) << start;
        EXPECT_EQ(dialogs.Texts()[0].rfind("The contacts in " + folder + " cannot be opened", 0), 0u)
            << dialogs.Texts()[0];
        EXPECT_FALSE(form->contactsOpen());
        EXPECT_TRUE(form->isVisible());
        EXPECT_TRUE(std::filesystem::exists("12_1.QB$"));
        EXPECT_FALSE(std::filesystem::exists(gone));
        EXPECT_EQ(readAll(table), before);
        restartApp();
    }
}

} // namespace
