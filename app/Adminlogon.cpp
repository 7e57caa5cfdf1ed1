// TlogonForm: the "Administrator Logon" window (a shell until the windows of the paging client are built).
#include "app/Adminlogon.h"

TlogonForm* logonForm = nullptr;

TlogonForm::TlogonForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("logonForm");
    setWindowTitle("Administrator Logon");

    if (!logonForm) logonForm = this;
}

TlogonForm::~TlogonForm() {
    if (logonForm == this) logonForm = nullptr;
}
