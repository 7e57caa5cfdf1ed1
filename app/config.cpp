// TconfigForm: the "Configuration  -  Pagewright" window (a shell until the windows of the paging client are
// built).
#include "app/config.h"

TconfigForm* configForm = nullptr;

TconfigForm::TconfigForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("configForm");
    setWindowTitle("Configuration  -  Pagewright");
    servicesTabSheet = new QWidget(this);
    if (!configForm) configForm = this;
}

TconfigForm::~TconfigForm() {
    if (configForm == this) configForm = nullptr;
}
