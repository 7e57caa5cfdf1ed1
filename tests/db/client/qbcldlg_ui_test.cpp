// Tests of the login and server selection dialogs offscreen: their captions, labels and limits, a
// picture of each with a layout check, the OK rule of the login dialog, and both prompts run
// modally (the login one from a session against an engine that asks for logins).
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QBLoginDlg.h"
#include "classlib/ui/QBPrompt.h"
#include "tests/db/client/ClientTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>

namespace {

// Saves the window as a picture under the build folder and returns its layout faults: a control
// outside the window or its container, two controls overlapping, a caption cut off.
std::string picture(QWidget* window, const std::string& name) {
    window->show();
    QApplication::processEvents();
    const auto dir = std::filesystem::path(PW_BINARY_DIR) / "test-artifacts" / "windows";
    std::filesystem::create_directories(dir);
    std::string faults;
    if (!window->grab().save(QString::fromStdString((dir / (name + ".png")).string())))
        faults += "not saved\n";
    std::vector<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (w->isVisibleTo(window) && !w->objectName().isEmpty()) controls.push_back(w);
    for (QWidget* w : controls) {
        const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!window->rect().contains(r)) faults += "outside: " + w->objectName().toStdString() + "\n";
        if (w->parentWidget() != window && !w->parentWidget()->rect().contains(w->geometry()))
            faults += "outside its frame: " + w->objectName().toStdString() + "\n";
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w)) text = l->text().remove('&');
        if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text().remove('&');
        if (!text.isEmpty() && w->fontMetrics().horizontalAdvance(text) > w->width())
            faults += "cut off: " + w->objectName().toStdString() + "\n";
    }
    for (size_t i = 0; i < controls.size(); ++i)
        for (size_t j = i + 1; j < controls.size(); ++j) {
            QWidget *a = controls[i], *b = controls[j];
            if (a->isAncestorOf(b) || b->isAncestorOf(a)) continue;
            if (QRect(a->mapTo(window, QPoint(0, 0)), a->size())
                    .intersects(QRect(b->mapTo(window, QPoint(0, 0)), b->size())))
                faults +=
                    "overlap: " + a->objectName().toStdString() + " " + b->objectName().toStdString() + "\n";
        }
    return faults;
}

// Runs work on the modal dialog as soon as it shows.
template <class D> void whenShown(std::function<void(D*)> work) {
    QTimer::singleShot(0, [work] {
        auto* d = dynamic_cast<D*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        work(d);
    });
}

} // namespace

TEST(ClientDialogs, CaptionsLabelsAndLimits) {
    TQBLoginDialog login;
    EXPECT_EQ(login.windowTitle(), "Quillbase Server Log On");
    EXPECT_EQ(login.lblUserName->text(), "&User name: ");
    EXPECT_EQ(login.lblUserName->buddy(), login.edtUserName);
    EXPECT_EQ(login.lblPassword->text(), "&Password: ");
    EXPECT_EQ(login.lblPassword->buddy(), login.edtPassword);
    EXPECT_EQ(login.edtUserName->maxLength(), 31);
    EXPECT_EQ(login.edtPassword->maxLength(), 31);
    EXPECT_EQ(login.edtPassword->echoMode(), QLineEdit::Password);
    EXPECT_EQ(login.btnOK->text(), "&OK");
    EXPECT_TRUE(login.btnOK->isDefault());
    EXPECT_EQ(login.btnCancel->text(), "Cancel");
    EXPECT_EQ(login.minimumSize(), login.maximumSize()); // a fixed dialog border

    TQBPickServerDlg pick;
    EXPECT_EQ(pick.windowTitle(), "Quillbase Server Selection");
    EXPECT_EQ(pick.Label1->text(), "Login to:");
    EXPECT_FALSE(pick.CBNames->isEditable());
    EXPECT_EQ(pick.OKBtn->text(), "OK");
    EXPECT_FALSE(pick.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(pick.minimumSize(), pick.maximumSize());

    login.edtUserName->setText("someone with a long name");
    login.edtPassword->setText("secret");
    EXPECT_EQ(picture(&login, "QBLoginDialog"), "");
    pick.CBNames->addItem("Quillbase server on a long host name");
    EXPECT_EQ(picture(&pick, "QBPickServerDlg"), "");
}

TEST(ClientDialogs, LoginOkNeedsBothFields) {
    cls::ScriptedDialogs dialogs;
    TQBLoginDialog login;
    login.show();
    login.edtPassword->setText("pw");
    login.btnOK->click();
    EXPECT_TRUE(login.isVisible());
    EXPECT_EQ(login.focusWidget(), login.edtUserName);
    EXPECT_EQ(dialogs.Beeps(), 1);
    login.edtUserName->setText("pat");
    login.edtPassword->clear();
    login.btnOK->click();
    EXPECT_TRUE(login.isVisible());
    EXPECT_EQ(login.focusWidget(), login.edtPassword);
    EXPECT_EQ(dialogs.Beeps(), 2);
    login.edtPassword->setText("pw");
    login.btnOK->click();
    EXPECT_FALSE(login.isVisible());
    EXPECT_EQ(login.result(), cls::mrOk);
}

TEST(ClientDialogs, PromptsRunModally) {
    std::string user = std::string(40, 'u'), password = "old";
    whenShown<TQBLoginDialog>([](TQBLoginDialog* d) {
        EXPECT_EQ(d->edtUserName->text().size(), 31); // filled within the limit
        EXPECT_EQ(d->edtPassword->text(), "old");
        d->edtUserName->setText("pat");
        d->edtPassword->setText("new");
        d->btnOK->click();
    });
    EXPECT_TRUE(cls::ExecuteLoginDialog(user, password));
    EXPECT_EQ(user, "pat");
    EXPECT_EQ(password, "new");
    whenShown<TQBLoginDialog>([](TQBLoginDialog* d) { d->btnCancel->click(); });
    EXPECT_FALSE(cls::ExecuteLoginDialog(user, password));
    EXPECT_EQ(user, "pat");

    std::string chosen;
    whenShown<TQBPickServerDlg>([](TQBPickServerDlg* d) {
        EXPECT_EQ(d->CBNames->currentText(), "alpha");
        d->CBNames->setCurrentIndex(1);
        d->OKBtn->click();
    });
    EXPECT_TRUE(cls::ExecutePickServerDialog({"alpha", "beta"}, chosen));
    EXPECT_EQ(chosen, "beta");
}

TEST(ClientDialogs, ASessionWithoutOnLoginAsksThroughTheDialog) {
    clienttest::Env env;
    env.secure("pat", "secret");
    cls::ScriptedDialogs dialogs;
    int shown = 0;
    std::function<void(TQBLoginDialog*)> answer = [&](TQBLoginDialog* d) {
        ++shown;
        d->edtUserName->setText("pat");
        d->edtPassword->setText(shown == 1 ? "wrong" : "secret");
        if (shown == 1) whenShown<TQBLoginDialog>(answer);
        d->btnOK->click();
    };
    whenShown<TQBLoginDialog>(answer);
    env.session->Open();
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(dialogs.Beeps(), 2);
    EXPECT_EQ(env.client->UserName(), "pat");
}
