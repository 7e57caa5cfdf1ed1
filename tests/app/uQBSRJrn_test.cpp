// TJournalForm: texts, colour and buttons per kind of journal, and the answers its keys and buttons
// give; Escape never answers Rollback.
#include "app/uQBSRJrn.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

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

} // namespace
