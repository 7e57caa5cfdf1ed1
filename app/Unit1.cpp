// TForm1: the main window's controls and menu, the settings file, the service table, and the
// creation, first showing and destruction of the window.
#include "app/Unit1.h"

#include "app/ContactsLink.h"
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
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
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

// The memo holds one line: Tab moves the focus, as in every other box of the window, and a tab or
// line break that comes by paste or drop becomes a blank rather than going out in the page.
class MessageMemo : public QPlainTextEdit {
public:
    explicit MessageMemo(QWidget* parent) : QPlainTextEdit(parent) { setTabChangesFocus(true); }

protected:
    void insertFromMimeData(const QMimeData* source) override {
        if (!source->hasText()) return;
        QString text = source->text();
        text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        for (QChar& c : text)
            if (c == u'\t' || c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator ||
                c == QChar::LineSeparator)
                c = u' ';
        insertPlainText(text);
    }
};
constexpr int kMemoMaxLength = 999;
constexpr int kDesignWidth = 584;

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
    createContactsLink();
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
    setCentralWidget(client);
    auto* clientLayout = new QVBoxLayout(client);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);

    // Banner across the top.
    messagePanel = new QFrame(client);
    messagePanel->setObjectName("messagePanel");
    messagePanel->setFrameShape(QFrame::Panel);
    messagePanel->setFrameShadow(QFrame::Sunken);
    messagePanel->setFixedHeight(33);
    clientLayout->addWidget(messagePanel);
    messageLabel = new QLabel(messagePanel);
    messageLabel->setObjectName("messageLabel");
    messageLabel->setGeometry(2, 8, 0, 16);
    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 6, 2);
    body->setSpacing(4);
    clientLayout->addLayout(body, 1);

    // Left side, of fixed size: recipient, message, quick messages, send and status.
    auto* left = new QWidget(client);
    left->setFixedSize(296, 261);
    body->addWidget(left, 0, Qt::AlignTop);
    label(left, "TO:", 8, 7);
    toNameLabel = label(left, "[ ]", 34, 7, 230, 16);
    toNameLabel->setObjectName("toNameLabel");
    toIDlabel = label(left, "[ ]", 34, 23, 230, 16);
    toIDlabel->setObjectName("toIDlabel");
    arrowlabel = label(left, " <-- ", 264, 7);
    arrowlabel->setObjectName("arrowlabel");
    arrowlabel->hide();

    QLabel* messageCaption = label(left, "Message:", 8, 45);
    lengthLabel = label(left, "(0)", rightOf(messageCaption), 45, 90, 16);
    lengthLabel->setObjectName("lengthLabel");
    clearButton = button(left, "Clear &Message", 178, 41, 110, 22);
    clearButton->setObjectName("clearButton");
    messageMemo = new MessageMemo(left);
    messageMemo->setObjectName("messageMemo");
    messageMemo->setGeometry(8, 65, 280, 70);
    messageMemo->installEventFilter(new MemoFilter(messageMemo));
    limitLength(messageMemo, kMemoMaxLength);

    const int pickLeft = rightOf(label(left, "Quick-Messages:", 8, 143));
    for (int k = 1; k <= 8; ++k) {
        const std::string caption = std::to_string(k);
        pickButtons[k] = button(left, caption.c_str(), pickLeft + 22 * (k - 1), 139, 21, 21);
        pickButtons[k]->setObjectName(QString("pickButton%1").arg(k));
    }
    sendButton = button(left, "&Send", 8, 167, 90, 28);
    sendButton->setObjectName("sendButton");
    cancelSendButton = button(left, "&Cancel", 104, 167, 90, 28);
    cancelSendButton->setObjectName("cancelSendButton");
    QLabel* statusCaption = label(left, "Message Status:", 8, 207);
    messageStatusLabel = label(left, "NONE", rightOf(statusCaption), 207, 120, 16);
    messageStatusLabel->setObjectName("messageStatusLabel");
    brandLabel = label(left, "Tarvo Paging", 8, 233);

    // Right side: contacts, selection buttons, name search, groups. The two lists take the room
    // the window gives them; the buttons beside them keep their size.
    auto* right = new QGridLayout;
    right->setContentsMargins(0, 5, 0, 0);
    right->setHorizontalSpacing(8);
    right->setVerticalSpacing(2);
    body->addLayout(right, 1);
    right->addWidget(new QLabel("Contacts List:  (click to select)", client), 0, 0, 1, 2);
    namesListbox = new TLncCheckList(client);
    namesListbox->setObjectName("namesListbox");
    namesListbox->setMinimumSize(170, 140);
    namesListbox->SetSorted(true);
    namesListbox->SetBoxClickOnly(true);
    namesListbox->SetWantDblClicks(true);
    namesListbox->SetItemHeight(16);
    namesListbox->SetThreeState(false);
    right->addWidget(namesListbox, 1, 0);
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(4);
    right->addLayout(buttons, 1, 1);
    checkAllButton = button(client, "Select All", 0, 0, 100, 22);
    checkAllButton->setObjectName("checkAllButton");
    // Hidden by a setting: the buttons under it stay where the user knows them.
    QSizePolicy keepRoom = checkAllButton->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    checkAllButton->setSizePolicy(keepRoom);
    uncheckAllButton = button(client, "De-select All", 0, 0, 100, 22);
    uncheckAllButton->setObjectName("uncheckAllButton");
    instructionsButton = button(client, "Instructions", 0, 0, 100, 22);
    instructionsButton->setObjectName("instructionsButton");
    NamesSelectingPanel = new QFrame(client);
    NamesSelectingPanel->setObjectName("NamesSelectingPanel");
    NamesSelectingPanel->setFixedSize(100, 62);
    label(NamesSelectingPanel, "SELECT", 4, 0);
    label(NamesSelectingPanel, "MULTIPLE", 4, 15);
    label(NamesSelectingPanel, "RECIPIENTS", 4, 30);
    label(NamesSelectingPanel, "by checking", 4, 45);
    NamesSelectingPanel->hide();
    for (QWidget* w : {static_cast<QWidget*>(checkAllButton), static_cast<QWidget*>(uncheckAllButton),
                       static_cast<QWidget*>(instructionsButton)}) {
        w->setFixedSize(100, 22);
        buttons->addWidget(w);
    }
    buttons->addWidget(NamesSelectingPanel);
    buttons->addStretch(1);

    auto* search = new QHBoxLayout;
    search->setContentsMargins(0, 2, 0, 2);
    search->setSpacing(4);
    search->addWidget(new QLabel("name search:", client));
    typeNameedit = new QLineEdit(client);
    typeNameedit->setObjectName("typeNameedit");
    typeNameedit->setFixedHeight(20);
    search->addWidget(typeNameedit, 1);
    right->addLayout(search, 2, 0);
    right->addWidget(new QLabel("Groups List:  (click to select)", client), 3, 0, 1, 2);
    groupsListBox = new QListWidget(client);
    groupsListBox->setObjectName("groupsListBox");
    // Room for three groups and, for a long name, the horizontal scroll bar under them.
    groupsListBox->addItem("G1: ");
    const int row = groupsListBox->sizeHintForRow(0);
    groupsListBox->clear();
    groupsListBox->setMinimumSize(170, 3 * row + 2 * groupsListBox->frameWidth() +
                                           groupsListBox->horizontalScrollBar()->sizeHint().height());
    right->addWidget(groupsListBox, 4, 0);
    groupSelectingLabel = new QLabel("GROUP SELECT", client);
    groupSelectingLabel->setObjectName("groupSelectingLabel");
    groupSelectingLabel->setFixedSize(100, 16);
    groupSelectingLabel->setStyleSheet("background-color: yellow");
    groupSelectingLabel->hide();
    right->addWidget(groupSelectingLabel, 4, 1, Qt::AlignTop);
    // Extra height goes to both lists, most of it to the contacts.
    right->setRowStretch(1, 3);
    right->setRowStretch(4, 1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    QMainWindow::setStatusBar(StatusBar1);
    // The bar is one window wide: a longer text is read whole in its tooltip.
    QObject::connect(StatusBar1, &QStatusBar::messageChanged, StatusBar1,
                     [bar = StatusBar1](const QString& text) { bar->setToolTip(text); });

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

    // At least the designed width; as high as the controls need.
    const QSize least = minimumSizeHint();
    setMinimumSize(least);
    resize(std::max(least.width(), kDesignWidth), least.height());
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

    // A contacts server is waited for once the window is on the screen: inside this first
    // showing it would be mapped but never painted.
    const bool onServer = !contactsServer().empty();
    if (onServer) {
        hasPasswordField = false;
        QMetaObject::invokeMethod(
            this, [this] { openServerContacts(); }, Qt::QueuedConnection);
    } else {
        connectToDB();
        checkPasswordField();
        if (!contactsOpen()) setStatusBarText("Error: Contacts database not available");
    }

    fillNamesListBox();
    fillGroupslistbox();

    sendState = 1;
    for (auto& l : recipientLists)
        l.clear();

    typeNameedit->setFocus();
}

void TForm1::checkPasswordField() {
    hasPasswordField = false;
    if (!contactsOpen()) return;
    try {
        contactsTable->First();
        (void)contactsTable->FieldByName("password")->AsString();
        hasPasswordField = true;
    } catch (...) {
        hidePasswordEditor();
    }
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
