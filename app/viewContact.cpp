// TviewContactForm: the "Contact Information" window (a shell until the windows of the paging client are
// built).
#include "app/viewContact.h"

TviewContactForm* viewContactForm = nullptr;

TviewContactForm::TviewContactForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("viewContactForm");
    setWindowTitle("Contact Information");

    if (!viewContactForm) viewContactForm = this;
}

TviewContactForm::~TviewContactForm() {
    if (viewContactForm == this) viewContactForm = nullptr;
}
