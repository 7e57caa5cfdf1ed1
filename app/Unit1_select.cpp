// TForm1's recipient selection (single, checked, group), the name search, the message length and
// quick messages, the contact view and the menus; and the wiring of the window's handlers.
#include "app/Unit1.h"

#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"
#include "platform/Text.h"

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace {

// Forwards the name search edit's key presses to typeNameeditKeyDown; a key it consumes goes no
// further.
class SearchKeyFilter : public QObject {
public:
    SearchKeyFilter(TForm1* form, QObject* parent) : QObject(parent), form_(form) {}
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::KeyPress) return false;
        auto* k = static_cast<QKeyEvent*>(e);
        int key = k->key();
        try {
            form_->typeNameeditKeyDown(o, key, k->modifiers());
        } catch (...) {
            cls::Application.HandleException(std::current_exception());
            return true;
        }
        return key == 0;
    }

private:
    TForm1* form_;
};

// A key that moves the groups list's selection is a click on the list, as a mouse click is; the
// program's own changes of the selection are not.
class GroupsKeyFilter : public QObject {
public:
    GroupsKeyFilter(TForm1* form, QListWidget* list) : QObject(list), form_(form), list_(list) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) {
            const int before = list_->currentRow();
            QTimer::singleShot(0, this, [this, before] {
                if (list_->currentRow() != before && list_->currentRow() >= 0)
                    cls::Guarded([this] { form_->groupsListBoxClick(list_); })();
            });
        }
        return false;
    }

private:
    TForm1* form_;
    QListWidget* list_;
};

} // namespace

int compareNames(const std::string& a, const std::string& b) {
    return ctl::LncCompareItems(a, b);
}

void TForm1::connectHandlers() {
    namesListbox->OnClick = [this](QObject* s) { namesListboxClick(s); };
    namesListbox->OnDblClick = [this](QObject* s) { namesListboxDblClick(s); };
    namesListbox->OnStateChange = [this](QObject* s, int i, TCheckBoxState o, TCheckBoxState n) {
        namesListboxStateChange(s, i, o, n);
    };
    auto clicked = [this](QPushButton* b, void (TForm1::*handler)(QObject*)) {
        QObject::connect(b, &QPushButton::clicked, this,
                         cls::Guarded([this, b, handler] { (this->*handler)(b); }));
    };
    clicked(sendButton, &TForm1::sendButtonClick);
    clicked(cancelSendButton, &TForm1::cancelSendButtonClick);
    clicked(checkAllButton, &TForm1::checkAllButtonClick);
    clicked(uncheckAllButton, &TForm1::uncheckAllButtonClick);
    clicked(instructionsButton, &TForm1::instructionsButtonClick);
    clicked(clearButton, &TForm1::clearButtonClick);
    for (int k = 1; k <= 8; ++k)
        QObject::connect(pickButtons[k], &QPushButton::clicked, this,
                         cls::Guarded([this, k] { pickButtonClick(k); }));

    QObject::connect(groupsListBox, &QListWidget::itemClicked, this,
                     cls::Guarded([this] { groupsListBoxClick(groupsListBox); }));
    groupsListBox->installEventFilter(new GroupsKeyFilter(this, groupsListBox));

    // The search and the length label follow every change of their texts, the program's too.
    QObject::connect(typeNameedit, &QLineEdit::textChanged, this,
                     cls::Guarded([this] { typeNameeditChange(typeNameedit); }));
    typeNameedit->installEventFilter(new SearchKeyFilter(this, typeNameedit));
    QObject::connect(messageMemo, &QPlainTextEdit::textChanged, this,
                     cls::Guarded([this] { messageMemoChange(messageMemo); }));

    auto menu = [this](QAction* a, void (TForm1::*handler)(QObject*)) {
        QObject::connect(a, &QAction::triggered, this,
                         cls::Guarded([this, a, handler] { (this->*handler)(a); }));
    };
    menu(Exit1, &TForm1::Exit1Click);
    menu(Configure1, &TForm1::Configure1Click);
    menu(ContactsDatabase1, &TForm1::ContactsDatabase1Click);
    menu(About1, &TForm1::About1Click);
    menu(SendFutureDelivery1, &TForm1::SendFutureDelivery1Click);
}

// ---- Recipient modes -----------------------------------------------------------------------------

void TForm1::clearGroupSelection() {
    groupsListBox->setCurrentRow(-1);
    groupsListBox->clearSelection();
}

void TForm1::namesListboxClick(QObject*) {
    if (namesListbox->StateCount(cbChecked) >= 1) return;
    const int i = namesListbox->ItemIndex();
    if (i < 0 || i >= namesListbox->Items.Count()) return;
    const std::string name = namesListbox->Items[i];
    bool found = false;
    if (!withContacts([&] { found = lookupContact(name); }) || !found) return;
    // A reconnect fills the list again: the name keeps its selection.
    namesListbox->SetItemIndex(namesListbox->Items.IndexOf(name));
    NamesSelectingPanel->hide();
    groupSelectingLabel->hide();
    clearGroupSelection();
    resultsClose();
    toNameLabel->setText(cls::toQString(name));
    toIDlabel->setText(cls::toQString(lookupId));
    arrowlabel->show();
    arrowTicks = 2;
}

void TForm1::namesListboxStateChange(QObject*, int, TCheckBoxState, TCheckBoxState NewState) {
    if (NewState != cbChecked) return;
    multipleMode();
    // A contact checked while the contacts server was away tries it again; once the list is done
    // with the change (the reconnect fills it again), and once for a whole check of all.
    if (contactsRetryQueued_ || contactsOpen() || waitingForServer() || contactsServer().empty()) return;
    contactsRetryQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        contactsRetryQueued_ = false;
        if (!contactsOpen()) contactsAvailable();
    });
}

void TForm1::multipleMode() {
    toNameLabel->setText("[selected names]");
    toIDlabel->clear();
    NamesSelectingPanel->show();
    groupSelectingLabel->hide();
    clearGroupSelection();
}

void TForm1::checkAllButtonClick(QObject*) {
    for (int i = 0; i < namesListbox->Items.Count(); ++i)
        namesListbox->SetItemState(i, cbChecked);
    multipleMode();
}

void TForm1::uncheckAllButtonClick(QObject*) {
    for (int i = 0; i < namesListbox->Items.Count(); ++i)
        namesListbox->SetItemState(i, cbUnchecked);
    if (!groupSelectingLabel->isHidden()) return;
    toNameLabel->clear();
    toIDlabel->clear();
    NamesSelectingPanel->hide();
    resultsClose();
}

void TForm1::groupsListBoxClick(QObject* Sender) {
    const int row = groupsListBox->currentRow();
    QListWidgetItem* item = row >= 0 ? groupsListBox->item(row) : nullptr;
    if (!item) return;
    const std::string t = cls::fromQString(item->text());
    int n = 0;
    if (t.size() >= 2 && t[1] >= '0' && t[1] <= '9') n = t[1] - '0';
    if (t.size() >= 3 && t[2] == '0') n = 10;
    if (n < 1 || n > 10) return;
    // The group's members are in the contacts: a server that was away is tried again.
    if (!contactsOpen() && !contactsServer().empty() && !contactsAvailable()) {
        clearGroupSelection(); // not the recipient: the status bar says why
        return;
    }
    uncheckAllButtonClick(Sender);
    groupSelectingLabel->show();
    NamesSelectingPanel->hide();
    namesListbox->SetItemIndex(-1);
    toNameLabel->setText(cls::toQString("[Group " + std::to_string(n) + "]"));
    toIDlabel->clear();
}

// ---- Name search ---------------------------------------------------------------------------------

void TForm1::typeNameeditChange(QObject*) {
    const int count = namesListbox->Items.Count();
    if (count == 0) return;
    if (namesListbox->ItemIndex() < 0) namesListbox->SetItemIndex(0);
    // The list is sorted by compareNames, so this finds the first name not less than the text.
    const std::string text = cls::fromQString(typeNameedit->text());
    int i = namesListbox->ItemIndex();
    const int c = compareNames(text, namesListbox->Items[i]);
    if (c < 0) {
        while (i > 0 && compareNames(namesListbox->Items[i - 1], text) >= 0)
            --i;
    } else if (c > 0) {
        while (i + 1 < count && compareNames(text, namesListbox->Items[i]) > 0)
            ++i;
    }
    namesListbox->SetItemIndex(i);
}

void TForm1::typeNameeditKeyDown(QObject*, int& Key, Qt::KeyboardModifiers) {
    switch (Key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        namesListboxClick(namesListbox);
        Key = 0;
        break;
    case Qt::Key_Up: {
        namesListbox->SetFocus();
        const int i = namesListbox->ItemIndex();
        if (i > 0) namesListbox->SetItemIndex(i - 1);
        namesListboxClick(namesListbox);
        Key = 0;
        break;
    }
    case Qt::Key_Down: {
        namesListbox->SetFocus();
        const int i = namesListbox->ItemIndex();
        if (i + 1 < namesListbox->Items.Count()) namesListbox->SetItemIndex(i + 1);
        namesListboxClick(namesListbox);
        Key = 0;
        break;
    }
    default:
        break;
    }
}

// ---- Message -------------------------------------------------------------------------------------

void TForm1::messageMemoChange(QObject*) {
    const std::string text = cls::fromQString(messageMemo->toPlainText());
    lengthLabel->setText(QStringLiteral("(%1 chars.)").arg(text.size()));
}

void TForm1::clearButtonClick(QObject*) {
    messageMemo->clear();
    messageMemoChange(messageMemo);
}

void TForm1::pickButtonClick(int N) {
    if (N < 1 || N > 8 || quickMessages[N].empty()) return;
    messageMemo->setPlainText(cls::toQString(quickMessages[N]));
}
