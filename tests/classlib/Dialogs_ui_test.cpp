// Tests of the Qt dialog service driven through a real modal QMessageBox (the scripted one is used
// by the other tests).
#include "classlib/ui/Dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

using namespace cls;

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
}
