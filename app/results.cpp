// TsendingMemoForm: the results window, one read-only memo with a vertical scroll bar.
#include "app/results.h"

#include "classlib/ui/QtText.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

TsendingMemoForm* sendingMemoForm = nullptr;

TsendingMemoForm::TsendingMemoForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("sendingMemoForm");
    setWindowTitle("SNPP Results");
    resize(320, 240);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    sendingMemo = new QPlainTextEdit(this);
    sendingMemo->setObjectName("sendingMemo");
    sendingMemo->setReadOnly(true);
    // Nobody edits the results, so keeping every appended line for undo only costs time and memory.
    sendingMemo->setUndoRedoEnabled(false);
    sendingMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(sendingMemo);
    if (!sendingMemoForm) sendingMemoForm = this;
}

std::string TsendingMemoForm::linesText() const {
    return cls::fromQString(sendingMemo->toPlainText());
}

TsendingMemoForm::~TsendingMemoForm() {
    if (sendingMemoForm == this) sendingMemoForm = nullptr;
}
