// The database client's login dialog and server selection dialog, and the prompts that run them.
#include "classlib/ui/QBLoginDlg.h"

#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QBPrompt.h"
#include "classlib/ui/QtText.h"

#include <QApplication>

namespace {

constexpr int kMaxLoginText = 31;
constexpr int kMaxServerName = 63;

QLabel* label(QWidget* parent, const char* name, const char* text, int x, int y, QWidget* buddy) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setBuddy(buddy);
    l->adjustSize();
    l->move(x, y);
    return l;
}

} // namespace

TQBLoginDialog::TQBLoginDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("QBLoginDialog");
    setWindowTitle("Quillbase Server Log On");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(290, 118);

    edtUserName = new QLineEdit(this);
    edtUserName->setObjectName("edtUserName");
    edtUserName->setGeometry(104, 14, 170, 22);
    edtPassword = new QLineEdit(this);
    edtPassword->setObjectName("edtPassword");
    edtPassword->setGeometry(104, 44, 170, 22);
    edtPassword->setEchoMode(QLineEdit::Password);
    edtPassword->setStyleSheet("lineedit-password-character: 42"); // shown as '*'
    lblUserName = label(this, "lblUserName", "&User name: ", 14, 18, edtUserName);
    lblPassword = label(this, "lblPassword", "&Password: ", 14, 48, edtPassword);
    edtUserName->setMaxLength(kMaxLoginText);
    edtPassword->setMaxLength(kMaxLoginText);

    btnOK = new QPushButton("&OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setGeometry(112, 80, 76, 26);
    btnOK->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setGeometry(198, 80, 76, 26);
    QObject::connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    QObject::connect(btnCancel, &QPushButton::clicked, this, [this] { done(cls::mrCancel); });
}

void TQBLoginDialog::btnOKClick() {
    for (QLineEdit* e : {edtUserName, edtPassword})
        if (e->text().isEmpty()) {
            e->setFocus();
            cls::Beep();
            return;
        }
    done(cls::mrOk);
}

TQBPickServerDlg::TQBPickServerDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("QBPickServerDlg");
    setWindowTitle("Quillbase Server Selection");
    // No border icons.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    setFixedSize(260, 126);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 244, 72);
    CBNames = new QComboBox(Bevel1);
    CBNames->setObjectName("CBNames");
    CBNames->setEditable(false); // list only
    CBNames->setGeometry(12, 36, 220, 24);
    Label1 = label(Bevel1, "Label1", "Login to:", 12, 12, CBNames);
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setGeometry(92, 90, 76, 26);
    OKBtn->setDefault(true);
    QObject::connect(OKBtn, &QPushButton::clicked, this, [this] { done(cls::mrOk); });
}

namespace cls {

bool ExecuteLoginDialog(std::string& userName, std::string& password) {
    if (!QApplication::instance()) return false; // no GUI to ask in: as if cancelled
    TQBLoginDialog dlg;
    dlg.edtUserName->setText(toQString(userName.substr(0, kMaxLoginText)));
    dlg.edtPassword->setText(toQString(password.substr(0, kMaxLoginText)));
    if (dlg.exec() != mrOk) return false;
    userName = fromQString(dlg.edtUserName->text()).substr(0, kMaxLoginText);
    password = fromQString(dlg.edtPassword->text()).substr(0, kMaxLoginText);
    return true;
}

bool ExecutePickServerDialog(const std::vector<std::string>& names, std::string& chosen) {
    if (!QApplication::instance()) return false;
    TQBPickServerDlg dlg;
    for (const std::string& n : names)
        dlg.CBNames->addItem(toQString(n));
    dlg.CBNames->setCurrentIndex(names.empty() ? -1 : 0);
    if (dlg.exec() != mrOk) return false;
    chosen = fromQString(dlg.CBNames->currentText()).substr(0, kMaxServerName);
    return true;
}

} // namespace cls
