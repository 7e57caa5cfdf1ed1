// TForm1: the main window's controls and menu, the settings file, the service table, and the
// creation, first showing and destruction of the window.
#include "app/Unit1.h"

#include "app/Unit1_glue.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"
#include "controls/LncBase.h"
#include "controls/StSpawn.h"
#include "platform/Profile.h"
#include "tcpport/nwdIPPort.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <chrono>
#include <thread>

// ---- Unit-level state ----------------------------------------------------------------------------

std::array<serviceRecordType, kServiceCount + 1> services;

const char* const kSettingsFileName = ".\\snppqorn.ini";
std::array<std::string, 9> quickMessages;
int32_t timeoutSetting = 45;
bool loggingEnabled = false;
std::string loggingDir;
std::string helpWordDir, helpWordProgram, helpWordFile;
bool hideCheckAllButton = false;
std::array<std::string, 11> groupNames;

int32_t sendState = 1;
int32_t timeoutLeft = 0;
int32_t tickCount = 0;
std::array<std::deque<std::string>, kServiceCount + 1> recipientLists;
std::array<std::string, kServiceCount + 1> serviceMessage;
std::string chunk;
int32_t messageIndex = 1;
bool reverseSplit = false;
int32_t totalCount = 0, sentCount = 0;
bool multiSend = false;
int32_t currentService = 0;
std::string currentName, currentId, currentPin;
std::string lookupId;
int32_t lookupService = 0;
std::string lookupPin;
std::string holdTime;
bool usingBackup = false;
bool hasPasswordField = false;
int32_t arrowTicks = 0;
uint16_t backupPort = 444;

TForm1* Form1 = nullptr;

// ---- Service table -------------------------------------------------------------------------------

void setBuiltInServices() {
    for (auto& s : services)
        s = serviceRecordType{};
    serviceRecordType& s = services[1];
    s.name = "Tarvo";
    s.hostField = PW_SERVICE1_HOST;
    s.backupHostField = PW_SERVICE1_BACKUP_HOST;
    s.port = 444;
    s.maxChars = 1000;
    s.splitChars = 1000;
    s.splitFlag = false;
}

namespace {
// The first field of a host entry as it stands; the second and third without any blank; a fourth is ignored.
void splitHostField(const std::string& field, std::string& host, std::string& login, std::string& password) {
    host.clear();
    login.clear();
    password.clear();
    if (field.empty()) return;
    std::string parts[3];
    int part = 0;
    for (char c : field) {
        if (c == ',') {
            if (++part > 2) break;
            continue;
        }
        if (part > 0 && c == ' ') continue;
        parts[part] += c;
    }
    host = parts[0];
    login = parts[1];
    password = parts[2];
}
} // namespace

void splitIPintoParts() {
    for (int k = 1; k <= kServiceCount; ++k) {
        serviceRecordType& s = services[k];
        splitHostField(s.hostField, s.host, s.loginId, s.password);
        splitHostField(s.backupHostField, s.backupHost, s.backupLoginId, s.backupPassword);
    }
}

bool serviceUsable(int k) {
    if (k < 1 || k > kServiceCount) return false;
    const serviceRecordType& s = services[k];
    return !s.host.empty() && s.port > 0 && s.maxChars >= 1 && s.splitChars >= 1;
}

// ---- Settings ------------------------------------------------------------------------------------

void readSettings(const plat::ProfileFile& ini) {
    static const char* const defaults[9] = {"",          "Hi",         "Call home",    "Call the office",
                                            "Call me",   "I love you", "See you soon", "Break a leg",
                                            "Don't call"};
    for (int k = 1; k <= 8; ++k)
        quickMessages[k] = ini.ReadString("GENERAL", "message" + std::to_string(k), defaults[k]);
    timeoutSetting = ini.ReadInteger("General", "timeout", 45);
    loggingEnabled = ini.ReadBool("LOGGING", "loggingEnabled", false);
    loggingDir = ini.ReadString("LOGGING", "loggingDir", ".\\logs\\");
    helpWordDir = ini.ReadString("GENERAL", "helpWordDir", "C:\\Program Files\\Microsoft Office\\Office\\");
    helpWordProgram = ini.ReadString("GENERAL", "helpWordProgram", "winword.exe");
    helpWordFile =
        ini.ReadString("GENERAL", "helpWordFile", "C:\\Program Files\\Qorn SNPP\\Help\\snpphelp.doc");
    hideCheckAllButton = ini.ReadBool("GENERAL", "hidecheckAllButton", false);
    for (int k = 1; k <= 10; ++k) {
        std::string name = ini.ReadString("Groups", "group" + std::to_string(k) + "Name", "");
        if (name.size() > 32) name.resize(32);
        groupNames[k] = name;
    }
}

void writeSettings(plat::ProfileFile& ini) {
    ini.WriteInteger("General", "timeout", timeoutSetting);
    for (int k = 1; k <= 8; ++k)
        ini.WriteString("General", "message" + std::to_string(k), quickMessages[k]);
    ini.WriteBool("LOGGING", "loggingEnabled", loggingEnabled);
    ini.WriteString("LOGGING", "loggingDir", loggingDir);
    ini.WriteBool("General", "hideCheckAllButton", hideCheckAllButton);
    ini.WriteString("General", "helpWordDir", helpWordDir);
    ini.WriteString("General", "helpWordprogram", helpWordProgram);
    ini.WriteString("General", "helpWordFile", helpWordFile);
    for (int k = 1; k <= 10; ++k)
        ini.WriteString("Groups", "group" + std::to_string(k) + "Name", groupNames[k]);
}

int32_t effectiveTimeout() {
    return timeoutSetting < 1 ? 45 : timeoutSetting;
}

// ---- Window --------------------------------------------------------------------------------------

namespace {
QLabel* label(QWidget* parent, const char* text, int x, int y, int w = 0, int h = 16) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    if (w == 0) {
        l->adjustSize();
        l->move(x, y);
    } else {
        l->setGeometry(x, y, w, h);
    }
    return l;
}

// Where a control beside a caption starts.
int rightOf(const QLabel* caption) {
    return caption->x() + caption->width() + 4;
}

QPushButton* button(QWidget* parent, const char* text, int x, int y, int w, int h) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setGeometry(x, y, w, h);
    return b;
}

// The message memo: at most 999 characters on one logical line (Enter does not break it).
class MemoFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) {
            auto* k = static_cast<QKeyEvent*>(e);
            if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) return true;
        }
        return QObject::eventFilter(o, e);
    }
};
constexpr int kMemoMaxLength = 999;

// Keeps the memo at most max characters long: of a change that goes past it, the end of what went
// in is taken out again, so keys typed into a full memo leave its text as it was, wherever the
// cursor stands, and a longer text set by the program is cut at its end.
void limitLength(QPlainTextEdit* memo, int max) {
    auto changeEnd = std::make_shared<int>(0);
    QObject::connect(memo->document(), &QTextDocument::contentsChange, memo,
                     [changeEnd](int at, int, int added) { *changeEnd = at + added; });
    QObject::connect(memo, &QPlainTextEdit::textChanged, memo, [memo, max, changeEnd] {
        const int length = memo->toPlainText().size();
        const int excess = length - max;
        if (excess <= 0) return;
        const int end = std::min(*changeEnd, length);
        QTextCursor c(memo->document());
        c.setPosition(std::max(end - excess, 0));
        c.setPosition(std::max(end, excess), QTextCursor::KeepAnchor);
        c.removeSelectedText();
    });
}
} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Form1");
    if (!Form1) Form1 = this;
    sleepFn = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    buildWindow();
    createEngine();
    createSocket();
    handle_ = plat::CreateHiddenWindow([this](plat::HWND, plat::UINT msg, plat::WPARAM wp, plat::LPARAM lp) {
        return windowProc(msg, wp, lp);
    });
    plat::SetTimer(handle_, 1, kTimerInterval);
    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
    // After the database objects: the engine then has no client left to wait for.
    engine_.reset();
    qbServerEngine1 = nullptr;
    destroySocket();
    if (handle_) {
        plat::KillTimer(handle_, 1);
        plat::DestroyWindow(handle_);
    }
    if (Form1 == this) Form1 = nullptr;
}

plat::LRESULT TForm1::windowProc(plat::UINT msg, plat::WPARAM, plat::LPARAM) {
    switch (msg) {
    case kNextServiceMessage:
        NextServiceMessage();
        return 0;
    case kBackupHostMessage:
        BackupHostMessage();
        return 0;
    case plat::WM_TIMER:
        Timer1Timer(this);
        return 0;
    default:
        return 0;
    }
}

void TForm1::buildWindow() {
    // The check list needs the form's controller before it gets its first item.
    LncController1 = new TLncController(this);
    LncController1->SetName("LncController1");
    LncController1->SetEntryOptions({efoAutoSelect, efoBeepOnError, efoInsertPushes});
    LncController1->SetEpoch(2000);
    SpawnApp = new TStSpawnApplication(this);
    SpawnApp->setObjectName("SpawnApp");

    auto* client = new QWidget(this);
    client->setFixedSize(584, 294);
    setCentralWidget(client);

    // Banner across the top.
    messagePanel = new QFrame(client);
    messagePanel->setObjectName("messagePanel");
    messagePanel->setFrameShape(QFrame::Panel);
    messagePanel->setFrameShadow(QFrame::Sunken);
    messagePanel->setGeometry(0, 0, 584, 33);
    messageLabel = new QLabel(messagePanel);
    messageLabel->setObjectName("messageLabel");
    messageLabel->setGeometry(2, 8, 0, 16);

    // Left side: recipient, message, quick messages, send and status.
    label(client, "TO:", 8, 40);
    toNameLabel = label(client, "[ ]", 34, 40, 230, 16);
    toNameLabel->setObjectName("toNameLabel");
    toIDlabel = label(client, "[ ]", 34, 56, 230, 16);
    toIDlabel->setObjectName("toIDlabel");
    arrowlabel = label(client, " <-- ", 264, 40);
    arrowlabel->setObjectName("arrowlabel");
    arrowlabel->hide();

    QLabel* messageCaption = label(client, "Message:", 8, 78);
    lengthLabel = label(client, "(0)", rightOf(messageCaption), 78, 90, 16);
    lengthLabel->setObjectName("lengthLabel");
    clearButton = button(client, "Clear &Message", 178, 74, 110, 22);
    clearButton->setObjectName("clearButton");
    messageMemo = new QPlainTextEdit(client);
    messageMemo->setObjectName("messageMemo");
    messageMemo->setGeometry(8, 98, 280, 70);
    messageMemo->installEventFilter(new MemoFilter(messageMemo));
    limitLength(messageMemo, kMemoMaxLength);

    const int pickLeft = rightOf(label(client, "Quick-Messages:", 8, 176));
    for (int k = 1; k <= 8; ++k) {
        const std::string caption = std::to_string(k);
        pickButtons[k] = button(client, caption.c_str(), pickLeft + 22 * (k - 1), 172, 21, 21);
        pickButtons[k]->setObjectName(QString("pickButton%1").arg(k));
    }
    sendButton = button(client, "&Send", 8, 200, 90, 28);
    sendButton->setObjectName("sendButton");
    cancelSendButton = button(client, "&Cancel", 104, 200, 90, 28);
    cancelSendButton->setObjectName("cancelSendButton");
    QLabel* statusCaption = label(client, "Message Status:", 8, 240);
    messageStatusLabel = label(client, "NONE", rightOf(statusCaption), 240, 120, 16);
    messageStatusLabel->setObjectName("messageStatusLabel");
    brandLabel = label(client, "Tarvo Paging", 8, 266);

    // Right side: contacts, selection buttons, name search, groups.
    label(client, "Contacts List:  (click to select)", 300, 38);
    namesListbox = new TLncCheckList(client);
    namesListbox->setObjectName("namesListbox");
    namesListbox->setGeometry(300, 54, 170, 140);
    namesListbox->SetSorted(true);
    namesListbox->SetBoxClickOnly(true);
    namesListbox->SetWantDblClicks(true);
    namesListbox->SetItemHeight(16);
    namesListbox->SetThreeState(false);
    checkAllButton = button(client, "Select All", 478, 54, 100, 22);
    checkAllButton->setObjectName("checkAllButton");
    uncheckAllButton = button(client, "De-select All", 478, 80, 100, 22);
    uncheckAllButton->setObjectName("uncheckAllButton");
    instructionsButton = button(client, "Instructions", 478, 106, 100, 22);
    instructionsButton->setObjectName("instructionsButton");
    NamesSelectingPanel = new QFrame(client);
    NamesSelectingPanel->setObjectName("NamesSelectingPanel");
    NamesSelectingPanel->setGeometry(478, 132, 100, 62);
    label(NamesSelectingPanel, "SELECT", 4, 0);
    label(NamesSelectingPanel, "MULTIPLE", 4, 15);
    label(NamesSelectingPanel, "RECIPIENTS", 4, 30);
    label(NamesSelectingPanel, "by checking", 4, 45);
    NamesSelectingPanel->hide();
    const int searchLeft = rightOf(label(client, "name search:", 300, 200));
    typeNameedit = new QLineEdit(client);
    typeNameedit->setObjectName("typeNameedit");
    typeNameedit->setGeometry(searchLeft, 197, 470 - searchLeft, 20);
    label(client, "Groups List:  (click to select)", 300, 222);
    groupsListBox = new QListWidget(client);
    groupsListBox->setObjectName("groupsListBox");
    groupsListBox->setGeometry(300, 238, 170, 54);
    groupSelectingLabel = label(client, "GROUP SELECT", 478, 238, 100, 16);
    groupSelectingLabel->setObjectName("groupSelectingLabel");
    groupSelectingLabel->setStyleSheet("background-color: yellow");
    groupSelectingLabel->hide();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    QMainWindow::setStatusBar(StatusBar1);

    // Menu.
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu("File");
    Exit1 = file->addAction("Exit");
    Configure1 = bar->addAction("Configure");
    ContactsDatabase1 = bar->addAction("Contacts");
    QMenu* sendOptions = bar->addMenu("Send Options");
    SendOptions1 = sendOptions->menuAction();
    SendFutureDelivery1 = sendOptions->addAction("Send, Future Delivery");
    SendOptions1->setEnabled(false);
    About1 = bar->addAction("About");
    Help1 = bar->addAction("Help");
    Help1->setEnabled(false);

    connectHandlers();

    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    adjustSize();
    setFixedSize(sizeHint());
}

// ---- Creation, first showing, destruction --------------------------------------------------------

void TForm1::FormCreate() {
    setWindowTitle("Pagewright - Ostrevane");
    setApplicationTitle("Pagewright");

    {
        plat::ProfileFile ini(kSettingsFileName);
        setBuiltInServices();
        readSettings(ini);
    }
    contactsTable.reset();
    contactsSession.reset();
    contactsClient.reset();

    // A fresh send context (the program starts with one).
    sendState = 1;
    timeoutLeft = 0;
    tickCount = 0;
    for (auto& l : recipientLists)
        l.clear();
    for (auto& m : serviceMessage)
        m.clear();
    chunk.clear();
    messageIndex = 1;
    reverseSplit = false;
    totalCount = sentCount = 0;
    multiSend = false;
    currentService = 0;
    currentName.clear();
    currentId.clear();
    currentPin.clear();
    lookupId.clear();
    lookupService = 0;
    lookupPin.clear();
    holdTime.clear();
    usingBackup = false;
    hasPasswordField = false;
    arrowTicks = 0;

    if (loggingEnabled) {
        if (DailyLog::makeFolder(loggingDir) != 0) {
            showMessage("Unable to create logging directory:" + loggingDir);
            loggingEnabled = false;
        }
    }

    splitIPintoParts();

    Help1->setVisible(false);
    SendOptions1->setVisible(false);
}

void TForm1::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow() {
    checkAllButton->setVisible(!hideCheckAllButton);
    hideOtherWindowsControls();
    // Clearing an empty memo is no change: the length label keeps its first text.
    if (!messageMemo->toPlainText().isEmpty()) messageMemo->clear();
    messageLabel->clear();
    messageLabel->adjustSize();

    connectToDB();

    hasPasswordField = true;
    if (contactsOpen()) {
        try {
            contactsTable->First();
            (void)contactsTable->FieldByName("password")->AsString();
        } catch (...) {
            hasPasswordField = false;
            hidePasswordEditor();
        }
    } else {
        hasPasswordField = false;
        setStatusBarText("Error: Contacts database not available");
    }

    fillNamesListBox();
    fillGroupslistbox();

    sendState = 1;
    for (auto& l : recipientLists)
        l.clear();

    typeNameedit->setFocus();
}

void TForm1::fillNamesListBox() {
    namesListbox->Items.Clear();
    if (!contactsOpen()) return;
    try {
        contactsTable->First();
        while (!contactsTable->Eof()) {
            namesListbox->Items.Add(contactsTable->FieldByName("name")->AsString());
            contactsTable->Next();
        }
    } catch (const std::exception& e) {
        reportException(e.what());
    }
}

void TForm1::fillGroupslistbox() {
    groupsListBox->clear();
    for (int k = 1; k <= 10; ++k)
        if (!groupNames[k].empty())
            groupsListBox->addItem(QStringLiteral("G%1: ").arg(k) + cls::toQString(groupNames[k]));
}

// ---- Report places -------------------------------------------------------------------------------

std::string TForm1::statusLabelText() const {
    return cls::fromQString(messageStatusLabel->text());
}
std::string TForm1::statusBarText() const {
    return cls::fromQString(StatusBar1->currentMessage());
}
void TForm1::setStatusLabel(const std::string& text) {
    messageStatusLabel->setText(cls::toQString(text));
}

std::string shownText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') shown += c;
    return shown;
}

void TForm1::setStatusBarText(const std::string& text) {
    // Server replies are shown as received, without their line end or other control characters.
    StatusBar1->showMessage(cls::toQString(shownText(text)));
}
