// TInstructionsForm: the "Instructions  -  Pagewright" window (a shell until the windows of the paging client
// are built).
#include "app/instructions.h"

TInstructionsForm* InstructionsForm = nullptr;

TInstructionsForm::TInstructionsForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("InstructionsForm");
    setWindowTitle("Instructions  -  Pagewright");

    if (!InstructionsForm) InstructionsForm = this;
}

TInstructionsForm::~TInstructionsForm() {
    if (InstructionsForm == this) InstructionsForm = nullptr;
}
