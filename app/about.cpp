// TAboutForm: the "About" window (a shell until the windows of the paging client are built).
#include "app/about.h"

TAboutForm* AboutForm = nullptr;

TAboutForm::TAboutForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("AboutForm");
    setWindowTitle("About");

    if (!AboutForm) AboutForm = this;
}

TAboutForm::~TAboutForm() {
    if (AboutForm == this) AboutForm = nullptr;
}
