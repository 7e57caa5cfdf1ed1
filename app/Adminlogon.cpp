// TlogonForm: the administrator logon window, placed beside the main window with the focus in its
// masked password edit.
#include "app/Adminlogon.h"

#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"

#include <QLabel>
#include <QPoint>

TlogonForm* logonForm = nullptr;

TlogonForm::TlogonForm(QWidget* parent) : QDialog(parent) {
    setObjectName("logonForm");
    setWindowTitle("Administrator Logon");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(260, 100);

    auto* caption = new QLabel("Password:", this);
    caption->setObjectName("passwordLabel");
    caption->adjustSize();
    caption->move(16, 20);
    passwordEdit = new QLineEdit(this);
    passwordEdit->setObjectName("passwordEdit");
    passwordEdit->setGeometry(100, 16, 140, 22);
    passwordEdit->setMaxLength(10);
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setStyleSheet("lineedit-password-character: 42"); // shown as '*'

    okButton = new QPushButton("OK", this);
    okButton->setObjectName("okButton");
    okButton->setGeometry(50, 60, 76, 28);
    okButton->setDefault(true);
    cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setGeometry(136, 60, 76, 28);
    QObject::connect(okButton, &QPushButton::clicked, this, [this] { done(cls::mrOk); });
    QObject::connect(cancelButton, &QPushButton::clicked, this, [this] { done(cls::mrCancel); });

    if (!logonForm) logonForm = this;
}

TlogonForm::~TlogonForm() {
    if (logonForm == this) logonForm = nullptr;
}

int TlogonForm::ShowModal() {
    return exec();
}

void TlogonForm::showEvent(QShowEvent* e) {
    FormShow();
    QDialog::showEvent(e);
}

void TlogonForm::FormShow() {
    if (Form1) move(Form1->pos() + QPoint(100, 100));
    passwordEdit->setFocus();
}
