// TconfigForm: the configuration window's pages, filling them from the settings, and Save, which
// stores the settings, writes the settings file and puts the settings into effect.
#include "app/config.h"

#include "app/FormControls.h"
#include "app/Unit1.h"
#include "classlib/SysUtils.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"
#include "platform/Profile.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>
#include <vector>

TconfigForm* configForm = nullptr;

namespace {

// The longest text the user may type into an edit; a longer value from the settings file is still
// shown (and saved) whole.
const char* const kTypingLimit = "typingLimit";

using appui::label;

QLineEdit* edit(QWidget* parent, const QString& name, int maxLength, int x, int y, int w, int h = 22) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setProperty(kTypingLimit, maxLength);
    e->setMaxLength(maxLength > 0 ? maxLength : 32767);
    e->setGeometry(x, y, w, h);
    return e;
}

QCheckBox* checkBox(QWidget* parent, const char* name, int x, int y) {
    auto* c = new QCheckBox(parent);
    c->setObjectName(name);
    c->setGeometry(x, y, 20, 20);
    return c;
}

QString num(int i) {
    return QString::number(i);
}

} // namespace

// ---- TTabSheet -----------------------------------------------------------------------------------

TTabSheet::TTabSheet(QTabWidget* pages, const QString& caption)
    : QWidget(nullptr), pages_(pages), holder_(new QWidget) {
    auto* layout = new QVBoxLayout(holder_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(this);
    pages_->addTab(holder_, caption);
}

void TTabSheet::setVisible(bool visible) {
    QWidget::setVisible(visible);
    const int index = pages_->indexOf(holder_);
    if (index >= 0) pages_->setTabVisible(index, visible);
}

bool TTabSheet::TabVisible() const {
    const int index = pages_->indexOf(holder_);
    return index >= 0 && pages_->isTabVisible(index);
}

// ---- TconfigForm ---------------------------------------------------------------------------------

TconfigForm::TconfigForm(QWidget* parent) : QDialog(parent) {
    setObjectName("configForm");
    buildWindow();
    if (!configForm) configForm = this;
}

TconfigForm::~TconfigForm() {
    if (configForm == this) configForm = nullptr;
}

void TconfigForm::buildWindow() {
    setWindowTitle("Configuration  -  Pagewright");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(468, 372);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(8, 8, 452, 320);
    buildGeneral();
    buildServices();
    buildGroups();
    buildMessages();
    buildHelp();
    HelpTabSheet->hide();

    SaveButton = new QPushButton("Save", this);
    SaveButton->setObjectName("SaveButton");
    SaveButton->setGeometry(300, 338, 76, 26);
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setGeometry(384, 338, 76, 26);
    QObject::connect(SaveButton, &QPushButton::clicked, this, cls::Guarded([this] { SaveButtonClick(); }));
    QObject::connect(CancelButton, &QPushButton::clicked, this,
                     cls::Guarded([this] { CancelButtonClick(); }));
}

void TconfigForm::buildGeneral() {
    GeneralTabSheet = new TTabSheet(PageControl1, "General");
    GeneralTabSheet->setObjectName("GeneralTabSheet");
    QWidget* p = GeneralTabSheet;
    label(p, "generalTitleLabel", "GENERAL SETTINGS", 12, 10);
    label(p, "timeoutLabel", "SNPP Timeout:", 12, 46);
    timeoutEdit = edit(p, "timeoutEdit", 3, 190, 42, 44);
    label(p, "secondsLabel", "(seconds)", 242, 46);
    label(p, "loggingDirLabel", "Log Directory:", 12, 80);
    loggingDirEdit = edit(p, "loggingDirEdit", 0, 190, 76, 160);
    label(p, "loggingDirNoteLabel", "(end in '\\')", 358, 80);
    label(p, "loggingEnabledLabel", "Logs enabled:", 12, 114);
    loggingEnabledCheckbox = checkBox(p, "loggingEnabledCheckbox", 190, 112);
    label(p, "hideCheckallLabel", "Hide 'Select All' button:", 12, 148);
    hideCheckallCheckbox = checkBox(p, "hideCheckallCheckbox", 190, 146);
    label(p, "hideCheckallNoteLabel", "(default: Disabled)", 216, 148);
}

void TconfigForm::buildServices() {
    servicesTabSheet = new TTabSheet(PageControl1, "Services");
    servicesTabSheet->setObjectName("servicesTabSheet");
    QWidget* p = servicesTabSheet;
    label(p, "servicesTitleLabel", "SNPP SERVICES", 12, 6);
    label(p, "serviceNameHeaderLabel", "Name", 30, 26);
    label(p, "serviceIpHeaderLabel", "IP / Hostname:", 124, 26);
    label(p, "servicePortHeaderLabel", "Port", 298, 26);
    label(p, "serviceMaxHeaderLabel", "Max.", 344, 26);
    label(p, "serviceSplitHeaderLabel", "Split", 390, 26);
    for (int i = 1; i <= kServiceCount; ++i) {
        const int y = 46 + (i - 1) * 19;
        const QString s = "service" + num(i);
        label(p, s + "NumberLabel", (std::to_string(i) + ":").c_str(), 4, y + 1);
        edit(p, s + "nameEdit", 20, 30, y, 90, 18);
        edit(p, s + "ipEdit", 60, 124, y, 170, 18);
        edit(p, s + "portEdit", 4, 298, y, 42, 18);
        edit(p, s + "maxCharsEdit", 4, 344, y, 42, 18);
        edit(p, s + "splitCharsEdit", 4, 390, y, 42, 18);
    }
}

void TconfigForm::buildGroups() {
    GroupsTabSheet = new TTabSheet(PageControl1, "Groups");
    GroupsTabSheet->setObjectName("GroupsTabSheet");
    QWidget* p = GroupsTabSheet;
    label(p, "groupsTitleLabel", "GROUP NAMES", 12, 6);
    label(p, "groupsNoteLabel", "(32 chars max)", 320, 6);
    for (int i = 1; i <= 10; ++i) {
        const int y = 30 + (i - 1) * 24;
        label(p, "group" + num(i) + "NameLabel", ("Group " + std::to_string(i) + ":").c_str(), 12, y + 3);
        edit(p, "group" + num(i) + "NameEdit", 32, 90, y, 240);
    }
}

void TconfigForm::buildMessages() {
    MessagesTabSheet = new TTabSheet(PageControl1, "Quick-messages");
    MessagesTabSheet->setObjectName("MessagesTabSheet");
    QWidget* p = MessagesTabSheet;
    label(p, "messagesTitleLabel", "QUICK-MESSAGES", 12, 6);
    label(p, "messagesNoteLabel", "(100 chars max)", 320, 6);
    for (int i = 1; i <= 8; ++i) {
        const int y = 30 + (i - 1) * 28;
        label(p, "message" + num(i) + "Label", (std::to_string(i) + ":").c_str(), 12, y + 3);
        edit(p, "message" + num(i) + "Edit", 100, 36, y, 396);
    }
}

void TconfigForm::buildHelp() {
    HelpTabSheet = new TTabSheet(PageControl1, "Help");
    HelpTabSheet->setObjectName("HelpTabSheet");
    QWidget* p = HelpTabSheet;
    label(p, "helpTitleLabel", "HELP SETTINGS", 12, 10);
    label(p, "helpWordDirLabel", "Directory for WORD:", 12, 46);
    helpWordDirEdit = edit(p, "helpWordDirEdit", 0, 160, 42, 190);
    label(p, "helpWordDirNoteLabel", "(end in '\\')", 358, 46);
    label(p, "helpWordProgramLabel", "WORD program name:", 12, 80);
    helpWordProgramEdit = edit(p, "helpWordProgramEdit", 0, 160, 76, 190);
    label(p, "helpWordFileLabel", "WORD Help file:", 12, 114);
    helpWordFileEdit = edit(p, "helpWordFileEdit", 0, 160, 110, 272);
}

int TconfigForm::ShowModal() {
    return exec();
}

QLineEdit* TconfigForm::findEdit(const std::string& name) const {
    for (QLineEdit* e : findChildren<QLineEdit*>())
        if (cls::SameText(e->objectName().toStdString(), name)) return e;
    return nullptr;
}

std::string TconfigForm::editText(const std::string& name) const {
    QLineEdit* e = findEdit(name);
    return e ? cls::fromQString(e->text()) : std::string();
}

void TconfigForm::setEditText(const std::string& name, const std::string& text) {
    QLineEdit* e = findEdit(name);
    if (!e) return;
    const QString t = cls::toQString(text);
    const int limit = e->property(kTypingLimit).toInt();
    e->setMaxLength(limit > 0 ? std::max<int>(limit, int(t.size())) : 32767);
    e->setText(t);
}

// ---- Showing -------------------------------------------------------------------------------------

void TconfigForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    try {
        FormShow();
    } catch (...) {
        cls::Application.HandleException(std::current_exception());
    }
}

void TconfigForm::FormShow() {
    PageControl1->setCurrentIndex(PageControl1->indexOf(GeneralTabSheet->parentWidget()));
    for (int i = 1; i <= kServiceCount; ++i) {
        const std::string s = "service" + std::to_string(i);
        const serviceRecordType& svc = services[i];
        setEditText(s + "nameEdit", svc.name);
        setEditText(s + "ipEdit", svc.hostField);
        setEditText(s + "portEdit", std::to_string(svc.port));
        setEditText(s + "maxCharsEdit", std::to_string(svc.maxChars));
        setEditText(s + "splitCharsEdit", std::to_string(svc.splitChars));
    }
    setEditText("timeoutEdit", std::to_string(timeoutSetting));
    for (int i = 1; i <= 8; ++i)
        setEditText("message" + std::to_string(i) + "Edit", quickMessages[i]);
    setEditText("helpWordDirEdit", helpWordDir);
    setEditText("helpWordProgramEdit", helpWordProgram);
    setEditText("helpWordFileEdit", helpWordFile);
    for (int i = 1; i <= 10; ++i)
        setEditText("group" + std::to_string(i) + "NameEdit", groupNames[i]);
    loggingEnabledCheckbox->setChecked(loggingEnabled);
    setEditText("loggingDirEdit", loggingDir);
    hideCheckallCheckbox->setChecked(hideCheckAllButton);
}

// ---- Save and Cancel -----------------------------------------------------------------------------

void TconfigForm::SaveButtonClick() {
    const std::string timeoutText = editText("timeoutEdit");
    int64_t timeout = 0;
    if (!cls::TryStrToInt(timeoutText, timeout) || timeout < INT32_MIN || timeout > INT32_MAX)
        throw cls::EConvertError("'" + timeoutText + "' is not a valid integer value");
    // A time-out of 0 or less would let a silent server hold a send for ever.
    if (timeout < 1) {
        cls::ShowMessage("The SNPP Timeout must be at least 1 second");
        timeoutEdit->setFocus();
        return;
    }

    if (refusedCharacter()) return;

    timeoutSetting = static_cast<int32_t>(timeout);
    for (int i = 1; i <= 8; ++i)
        quickMessages[i] = editText("message" + std::to_string(i) + "Edit");
    loggingEnabled = loggingEnabledCheckbox->isChecked();
    loggingDir = editText("loggingDirEdit");
    helpWordDir = editText("helpWordDirEdit");
    helpWordProgram = editText("helpWordProgramEdit");
    helpWordFile = editText("helpWordFileEdit");
    hideCheckAllButton = hideCheckallCheckbox->isChecked();
    for (int i = 1; i <= 10; ++i)
        groupNames[i] = editText("group" + std::to_string(i) + "NameEdit");

    {
        plat::ProfileFile ini(kSettingsFileName);
        writeSettings(ini);
    }
    splitIPintoParts();
    if (Form1 && Form1->checkAllButton) Form1->checkAllButton->setVisible(!hideCheckAllButton);

    // Logging switched on now writes into a folder that may not exist yet.
    if (loggingEnabled) {
        if (DailyLog::makeFolder(loggingDir) != 0) {
            cls::ShowMessage("Unable to create logging directory:" + loggingDir);
            loggingEnabled = false;
        }
    }
    close();
}

bool TconfigForm::refusedCharacter() {
    // Saved as typed or not at all: the settings file would keep "?" instead, and a quick message
    // would page it.
    struct Checked {
        std::string edit, what;
        TTabSheet* page;
        const char* why;
    };
    std::vector<Checked> checked;
    for (int i = 1; i <= 8; ++i)
        checked.push_back({"message" + std::to_string(i) + "Edit", "Quick-message " + std::to_string(i),
                           MessagesTabSheet, "a page cannot carry"});
    for (int i = 1; i <= 10; ++i)
        checked.push_back({"group" + std::to_string(i) + "NameEdit", "Group " + std::to_string(i),
                           GroupsTabSheet, "the settings file cannot keep"});
    checked.push_back(
        {"loggingDirEdit", "The log directory", GeneralTabSheet, "the settings file cannot keep"});
    for (const Checked& c : checked) {
        QLineEdit* e = findEdit(c.edit);
        const QString bad = e ? cls::FirstNonAnsiChar(e->text()) : QString();
        if (bad.isEmpty()) continue;
        PageControl1->setCurrentIndex(PageControl1->indexOf(c.page->parentWidget()));
        e->setFocus();
        e->setSelection(int(e->text().indexOf(bad)), int(bad.size()));
        cls::ShowMessage(c.what + " contains the character " + cls::fromQString(cls::CodePointName(bad)) +
                         " (selected), which " + c.why);
        return true;
    }
    return false;
}

void TconfigForm::CancelButtonClick() {
    close();
}
