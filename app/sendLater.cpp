// TSendLaterForm: the "Send, for future delivery" window (a shell until the windows of the paging client are
// built).
#include "app/sendLater.h"

TSendLaterForm* SendLaterForm = nullptr;

TSendLaterForm::TSendLaterForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("SendLaterForm");
    setWindowTitle("Send, for future delivery");

    if (!SendLaterForm) SendLaterForm = this;
}

TSendLaterForm::~TSendLaterForm() {
    if (SendLaterForm == this) SendLaterForm = nullptr;
}
