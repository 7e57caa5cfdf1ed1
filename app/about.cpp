// TAboutForm: the about window's texts, its placement beside the main window and its OK button.
#include "app/about.h"

#include "app/FormControls.h"
#include "app/Unit1.h"
#include "classlib/ui/Application.h"

#include <QPoint>

TAboutForm* AboutForm = nullptr;

namespace {
using appui::label;
} // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutForm");
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(300, 236);

    QLabel* product = label(this, "productLabel", "Windows Pagewright", 20, 14);
    QFont big = product->font();
    big.setPointSize(big.pointSize() + 4);
    big.setBold(true);
    product->setFont(big);
    product->adjustSize();
    label(this, "softwareByLabel", "software by:", 20, 50);
    label(this, "makerLabel", "Wendmoor", 110, 50);
    label(this, "emailLabel", "support@wendmoor.example", 110, 70);
    label(this, "webLabel", "www.wendmoor.example", 110, 90);
    label(this, "supportLabel", "For Support, please contact:", 20, 120);
    label(this, "phoneLabel", "(555) 010-7734", 110, 140);
    versionLabel = label(this, "versionLabel", "Version:", 20, 168);
    versionLabel->resize(150, versionLabel->height());

    okButton = new QPushButton("OK", this);
    okButton->setObjectName("okButton");
    okButton->setGeometry(200, 196, 80, 28);
    okButton->setDefault(true);
    QObject::connect(okButton, &QPushButton::clicked, this, cls::Guarded([this] { okButtonClick(); }));

    if (!AboutForm) AboutForm = this;
}

TAboutForm::~TAboutForm() {
    if (AboutForm == this) AboutForm = nullptr;
}

int TAboutForm::ShowModal() {
    return exec();
}

void TAboutForm::showEvent(QShowEvent* e) {
    FormShow();
    QDialog::showEvent(e);
}

void TAboutForm::FormShow() {
    if (Form1) move(Form1->pos() + QPoint(50, 50));
}

void TAboutForm::okButtonClick() {
    close();
}
