// TForm1's ways to the other windows: the contact view, the instructions, the menus Contacts,
// Configure, About and Exit, and the future-delivery send.
#include "app/Unit1.h"

#include "app/about.h"
#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/instructions.h"
#include "app/sendLater.h"
#include "app/viewContact.h"
#include "classlib/ui/QtText.h"

#include <QLabel>
#include <QListWidget>
#include <QPoint>

namespace {
// Places a window dx, dy from the main window's corner and shows it modally.
template <class Form> void showModalAt(const QWidget* main, Form* form, int dx, int dy) {
    form->move(main->pos() + QPoint(dx, dy));
    form->ShowModal();
}
} // namespace

void TForm1::namesListboxDblClick(QObject*) {
    const int i = namesListbox->ItemIndex();
    if (i < 0 || i >= namesListbox->Items.Count() || !viewContactForm) return;
    const std::string name = namesListbox->Items[i];
    viewContactForm->nameLabel->setText(cls::toQString(name));
    // A name that cannot be looked up shows no ID or service rather than the previous contact's.
    viewContactForm->idLabel->clear();
    viewContactForm->serviceLabel->clear();
    bool found = false;
    if (withContacts([&] { found = lookupContact(name); }) && found) {
        viewContactForm->idLabel->setText(cls::toQString(lookupId));
        if (lookupService >= 1 && lookupService <= kServiceCount)
            viewContactForm->serviceLabel->setText(
                cls::toQString(std::to_string(lookupService) + "  [" + services[lookupService].name + "]"));
    }
    showModalAt(this, viewContactForm, 150, 50);
}

void TForm1::instructionsButtonClick(QObject*) {
    if (!InstructionsForm) return;
    InstructionsForm->show();
    InstructionsForm->raise();
}

void TForm1::ContactsDatabase1Click(QObject*) {
    if (!contactsGridForm) return;
    // A contacts server that does not answer has been waited for once: the status bar says so.
    if (!contactsAvailable() && !contactsServer().empty()) return;
    showModalAt(this, contactsGridForm, 20, 20);
    fillNamesListBox();
    toNameLabel->clear();
    toIDlabel->clear();
    NamesSelectingPanel->hide();
    groupSelectingLabel->hide();
    clearGroupSelection();
}

void TForm1::Configure1Click(QObject*) {
    if (!configForm) return;
    showModalAt(this, configForm, 20, 20);
    fillGroupslistbox();
}

void TForm1::About1Click(QObject*) {
    if (!AboutForm) return;
    AboutForm->versionLabel->setText("Version: 3.10");
    AboutForm->ShowModal();
}

void TForm1::Exit1Click(QObject*) {
    close();
}

void TForm1::sendLaterButtonClick(QObject*) {
    if (!SendLaterForm) return;
    showModalAt(this, SendLaterForm, 150, 50);
    if (holdTime.size() == 12) sendButtonClick(nullptr);
}
