// TcontactsGridForm: the "Contacts Database  -  Pagewright" window (a shell until the windows of the paging
// client are built).
#include "app/contactsGrid.h"

TcontactsGridForm* contactsGridForm = nullptr;

TcontactsGridForm::TcontactsGridForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("contactsGridForm");
    setWindowTitle("Contacts Database  -  Pagewright");
    servicelistPanel = new QWidget(this);
    serviceLabel = new QWidget(this);
    ServicenumberEdit = new QWidget(this);
    passwordLabel = new QWidget(this);
    passwordEdit = new QWidget(this);
    if (!contactsGridForm) contactsGridForm = this;
}

TcontactsGridForm::~TcontactsGridForm() {
    if (contactsGridForm == this) contactsGridForm = nullptr;
}
