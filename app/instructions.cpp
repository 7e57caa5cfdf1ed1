// TInstructionsForm: the fixed operating instructions in a read-only memo, and OK to close.
#include "app/instructions.h"

#include "classlib/ui/Application.h"

TInstructionsForm* InstructionsForm = nullptr;

namespace {
const char* const kInstructions =
    "--> To Send to ONE Recipient:\n"
    "    Click a name in the Contacts List. The name shows after TO: with the\n"
    "    pager ID under it. Type the message (or press a Quick-Message button)\n"
    "    and press SEND.\n"
    "\n"
    "--> To Send to MULTIPLE Recipients:\n"
    "    Check the box in front of each name that is to get the message\n"
    "    (\"Select All\" checks every name). TO: shows [selected names].\n"
    "    Type the message and press SEND. \"De-select All\" clears the checks.\n"
    "\n"
    "--> To Send to a GROUP:\n"
    "    Click a group in the Groups List; \"GROUP SELECT\" shows and TO: shows\n"
    "    the group. Only one group can be sent to at a time. Type the message\n"
    "    and press SEND. Groups are named under Configure and their members\n"
    "    are chosen in the Contacts Database.\n"
    "\n"
    "To find a name quickly, type its first letters into \"name search\";\n"
    "Enter selects it, the Up and Down keys move through the list.\n";
} // namespace

TInstructionsForm::TInstructionsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("InstructionsForm");
    setWindowTitle("Instructions  -  Pagewright");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(520, 380);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setPlainText(QString::fromLatin1(kInstructions));
    Memo1->setGeometry(8, 8, 504, 322);
    okButton = new QPushButton("OK", this);
    okButton->setObjectName("okButton");
    okButton->setGeometry(220, 342, 80, 28);
    QObject::connect(okButton, &QPushButton::clicked, this, cls::Guarded([this] { okButtonClick(); }));

    if (!InstructionsForm) InstructionsForm = this;
}

TInstructionsForm::~TInstructionsForm() {
    if (InstructionsForm == this) InstructionsForm = nullptr;
}

void TInstructionsForm::okButtonClick() {
    close();
}
