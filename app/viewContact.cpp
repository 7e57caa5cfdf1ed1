// TviewContactForm: the contact-view window's labels, its note and its OK button.
#include "app/viewContact.h"

#include "app/FormControls.h"

#include "classlib/ui/Application.h"

TviewContactForm* viewContactForm = nullptr;

namespace {
using appui::label;

QLabel* valueLabel(QWidget* parent, const char* name, int x, int y) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setGeometry(x, y, 236, 18);
    l->setFrameShape(QFrame::Panel);
    l->setFrameShadow(QFrame::Sunken);
    return l;
}
} // namespace

TviewContactForm::TviewContactForm(QWidget* parent) : QDialog(parent) {
    setObjectName("viewContactForm");
    setWindowTitle("Contact Information");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(340, 190);

    label(this, "nameCaptionLabel", " Name: ", 12, 14);
    nameLabel = valueLabel(this, "nameLabel", 92, 12);
    label(this, "idCaptionLabel", " ID/Alias: ", 12, 42);
    idLabel = valueLabel(this, "idLabel", 92, 40);
    label(this, "serviceCaptionLabel", " Service: ", 12, 70);
    serviceLabel = valueLabel(this, "serviceLabel", 92, 68);
    label(this, "noteLabel", "NOTE:  To edit contact information, use the", 12, 104);
    label(this, "note2Label", "Contacts Database in the Main menu.", 12, 122);

    okbutton = new QPushButton("OK", this);
    okbutton->setObjectName("okbutton");
    okbutton->setGeometry(130, 152, 80, 28);
    okbutton->setDefault(true);
    QObject::connect(okbutton, &QPushButton::clicked, this, cls::Guarded([this] { okbuttonClick(); }));

    if (!viewContactForm) viewContactForm = this;
}

TviewContactForm::~TviewContactForm() {
    if (viewContactForm == this) viewContactForm = nullptr;
}

int TviewContactForm::ShowModal() {
    return exec();
}

void TviewContactForm::okbuttonClick() {
    close();
}
