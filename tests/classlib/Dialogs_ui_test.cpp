// Tests of the dialog service: the scripted one that other tests rely on, and the Qt one
// driven through a real modal QMessageBox.
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

using namespace cls;

TEST(Dialogs, ScriptedDialogsRecordTextsAndAnswerInOrder) {
    Application.SetTitle("Pagewright");
    ScriptedDialogs outer;
    {
        ScriptedDialogs dlg;
        EXPECT_EQ(&dialogs(), &dlg);
        dlg.Answer(mrNo);
        dlg.Answer(mrCancel);
        EXPECT_EQ(MessageDlg("Delete this contact?", MsgDlgType::Confirmation, MsgButtons::YesNo), mrNo);
        EXPECT_EQ(MessageDlg("Save?", MsgDlgType::Warning, MsgButtons::YesNoCancel), mrCancel);
        // Unscripted boxes get their first button.
        EXPECT_EQ(MessageDlg("Delete this contact?", MsgDlgType::Confirmation, MsgButtons::YesNo), mrYes);
        ShowMessage("Unable to create logging directory:.\\logs\\");
        Beep();
        Beep();
        auto boxes = dlg.Boxes();
        ASSERT_EQ(boxes.size(), 4u);
        EXPECT_EQ(boxes[0].caption, "Confirm");
        EXPECT_EQ(boxes[0].type, MsgDlgType::Confirmation);
        EXPECT_EQ(boxes[1].caption, "Warning");
        EXPECT_EQ(boxes[3].text, "Unable to create logging directory:.\\logs\\");
        EXPECT_EQ(boxes[3].caption, "Pagewright");
        EXPECT_EQ(boxes[3].buttons, MsgButtons::Ok);
        EXPECT_EQ(dlg.Beeps(), 2);
        EXPECT_TRUE(outer.Texts().empty());
        dlg.Clear();
        EXPECT_TRUE(dlg.Texts().empty());
        EXPECT_EQ(dlg.Beeps(), 0);
    }
    // The inner one is gone: the outer one is in use again.
    EXPECT_EQ(&dialogs(), &outer);
    ShowMessage("x");
    EXPECT_EQ(outer.Texts(), (std::vector<std::string>{"x"}));
}

TEST(Dialogs, QtDialogsShowsTheTextAndReturnsTheButtonPressed) {
    QtDialogs qt;
    QString shownText, shownTitle;
    auto press = [&](QMessageBox::StandardButton which) {
        QTimer::singleShot(0, [&, which] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            shownText = box->text();
            shownTitle = box->windowTitle();
            box->button(which)->click();
        });
    };
    press(QMessageBox::No);
    EXPECT_EQ(qt.MessageBox("Delete this contact?", "Confirm", MsgButtons::YesNo, MsgDlgType::Confirmation),
              mrNo);
    EXPECT_EQ(shownText, "Delete this contact?");
    EXPECT_EQ(shownTitle, "Confirm");

    press(QMessageBox::Ok);
    // Windows-1252 text reaches the box as the same characters.
    EXPECT_EQ(qt.MessageBox("Caf\xE9 \x80 5", "Pagewright", MsgButtons::Ok, MsgDlgType::Error), mrOk);
    EXPECT_EQ(shownText, QString::fromUtf8("Caf\u00E9 \u20AC 5"));

    press(QMessageBox::Cancel);
    EXPECT_EQ(qt.MessageBox("?", "", MsgButtons::YesNoCancel, MsgDlgType::Custom), mrCancel);
}
