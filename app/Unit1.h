// TForm1: the main window of the paging client, its settings and service table, and the SNPP
// sending engine with its send context, cipher and daily log.
#pragma once
#include "app/ReplyLines.h"
#include "app/Unit1_crypt.h"
#include "app/Unit1_log.h"
#include "controls/LncCkLb.h"
#include "db/client/qbclient.h"
#include "db/client/qbdbbase.h"
#include "db/engine/qbsrengn.h"
#include "platform/Messages.h"

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QLineEdit;
class QMenu;
class QAction;
class QStatusBar;
class QFrame;
class QTimer;

namespace plat {
class ProfileFile;
}
namespace cls {
class TComponent;
}

// ---- Service table -------------------------------------------------------------------------------

struct serviceRecordType {
    std::string name;            // at most 20 characters
    std::string hostField;       // "host[,login[,password]]", at most 60 characters
    std::string backupHostField; // the backup host in the same form
    int32_t port = 0;
    int32_t maxChars = 0;
    int32_t splitChars = 0;
    std::string host, loginId, password;
    std::string backupHost, backupLoginId, backupPassword;
    bool splitFlag = false;
};

constexpr int kServiceCount = 12;
// services[1..12]; entry 0 is unused.
extern std::array<serviceRecordType, kServiceCount + 1> services;

// Re-derives host, login and password parts of all 12 services from their host fields.
void splitIPintoParts();
// Sets the built-in values of the service table (service 1 filled, 2..12 empty).
void setBuiltInServices();
// A service that can be connected and whose messages can be cut into blocks.
bool serviceUsable(int k);

// ---- Settings (".\snppqorn.ini") ---------------------------------------------------------------

extern const char* const kSettingsFileName;      // ".\snppqorn.ini"
extern std::array<std::string, 9> quickMessages; // 1..8
extern int32_t timeoutSetting;                   // seconds
extern bool loggingEnabled;
extern std::string loggingDir;
extern std::string helpWordDir, helpWordProgram, helpWordFile;
extern bool hideCheckAllButton;
extern std::array<std::string, 11> groupNames; // 1..10, at most 32 characters after reading

// Reads every setting (defaults for whatever is missing).
void readSettings(const plat::ProfileFile& ini);
// Writes every setting in the configuration window's order and key spellings.
void writeSettings(plat::ProfileFile& ini);
// The time-out of a multiple send: a setting below 1 second counts as 45.
int32_t effectiveTimeout();

// ---- Send context ------------------------------------------------------------------------------

extern int32_t sendState;   // 1 idle .. 9 QUIT sent
extern int32_t timeoutLeft; // seconds; 0 = no time-out running
extern int32_t tickCount;   // 0..2
extern std::array<std::deque<std::string>, kServiceCount + 1> recipientLists; // names per service
extern std::array<std::string, kServiceCount + 1> serviceMessage;
extern std::string chunk;
extern int32_t messageIndex; // 1-based
extern bool reverseSplit;
extern int32_t totalCount, sentCount;
extern bool multiSend;
extern int32_t currentService;
extern std::string currentName, currentId, currentPin;
extern std::string lookupId;
extern int32_t lookupService;
extern std::string lookupPin;
extern std::string holdTime; // empty, or "YYMMDDHHMMSS"
extern bool usingBackup;
extern bool hasPasswordField;
extern int32_t arrowTicks;

// Posted to the main window: go on with the next service; retry on the backup host.
constexpr plat::UINT kNextServiceMessage = plat::WM_USER + 1; // 1025
constexpr plat::UINT kBackupHostMessage = plat::WM_USER + 2;  // 1026
constexpr int32_t kSingleSendTimeout = 30;
constexpr uint32_t kBackupPause = 150;
constexpr uint32_t kTimerInterval = 333;
// Largest reply line taken whole; a longer line without its end is cut here.
constexpr size_t kMaxReplyLine = 2048;
// Lines without a command logged per connection; more are dropped unlogged.
constexpr int kMaxUnexpectedLogged = 10;
// Port of every backup host (tests point it at their own server).
extern uint16_t backupPort;

// ---- Main window -------------------------------------------------------------------------------

class ContactsLink;
class TnwdIPPort;
class TLncController;
class TStSpawnApplication;

// The database and table the contacts are kept in, and the alias the database is opened by.
extern const char* const kContactsDatabase; // "pageBASE"
extern const char* const kContactsTable;    // "contacts"
extern const char* const kContactsAlias;    // "pagebase"

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Creation, first showing and destruction handlers.
    void FormCreate();
    void FormShow();
    void FormDestroy();

    void connectToDB();
    // Starts the in-process engine when it holds the contacts; false (and said) when it cannot.
    bool ownEngineStarted();
    // The contacts table could not be opened: why, in the user's words; empty when no better words
    // than the engine's are known.
    std::string contactsTableFailure(const std::exception& e);
    void fillNamesListBox();
    void fillGroupslistbox();

    // Recipient selection, name search, message length and quick messages, menus.
    void namesListboxClick(QObject* Sender);
    void namesListboxStateChange(QObject* Sender, int Index, TCheckBoxState OldState,
                                 TCheckBoxState NewState);
    void namesListboxDblClick(QObject* Sender);
    void checkAllButtonClick(QObject* Sender);
    void uncheckAllButtonClick(QObject* Sender);
    void groupsListBoxClick(QObject* Sender);
    void typeNameeditChange(QObject* Sender);
    // Key is the Qt key code; set to 0 when the key is consumed.
    void typeNameeditKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    void messageMemoChange(QObject* Sender);
    void clearButtonClick(QObject* Sender);
    // Quick message N (1..8); pickButton1Click .. pickButton8Click.
    void pickButtonClick(int N);
    void pickButton1Click(QObject*) { pickButtonClick(1); }
    void pickButton2Click(QObject*) { pickButtonClick(2); }
    void pickButton3Click(QObject*) { pickButtonClick(3); }
    void pickButton4Click(QObject*) { pickButtonClick(4); }
    void pickButton5Click(QObject*) { pickButtonClick(5); }
    void pickButton6Click(QObject*) { pickButtonClick(6); }
    void pickButton7Click(QObject*) { pickButtonClick(7); }
    void pickButton8Click(QObject*) { pickButtonClick(8); }
    void instructionsButtonClick(QObject* Sender);
    void ContactsDatabase1Click(QObject* Sender);
    void Configure1Click(QObject* Sender);
    void About1Click(QObject* Sender);
    void Exit1Click(QObject* Sender);
    void sendLaterButtonClick(QObject* Sender);
    void SendFutureDelivery1Click(QObject* Sender) { sendLaterButtonClick(Sender); }

    // Sending engine.
    void sendButtonClick(QObject* Sender);
    bool lookupContact(const std::string& Name);
    bool ConnectToNextService(int First);
    void SetMessageIndex();
    void sendFirstPage();
    void LookForNextIDinList();
    bool sendPageString(); // false when the line could not be sent (the service is failed)
    void sendMessageChunk();
    void FailIt();
    void cancelSendButtonClick(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void clientSocketConnected(cls::TComponent* Sender, int StatusCode, const std::string& Description);
    void clientSocketDataIn(cls::TComponent* Sender, const std::string& Text, bool EOL);
    void clientSocketDisconnected(cls::TComponent* Sender, int StatusCode, const std::string& Description);
    void clientSocketError(cls::TComponent* Sender, int ErrorCode, const std::string& Description);
    void NextServiceMessage();
    void BackupHostMessage();

    // Cipher: one block as letters a..p.
    std::string Crypt(const std::string& Text, int Length);

    // Daily log.
    void writeLogFile(const std::string& Text);
    void writelogMessageSent();
    void writelogError(const std::string& Text, bool ThisRecipientOnly);
    void writeErrorLine(const std::string& Text, const std::string& names);

    // The hidden window that receives the posted messages and the 333 ms timer.
    plat::HWND Handle() const { return handle_; }
    // Pause before a backup retry; tests replace it.
    std::function<void(uint32_t ms)> sleepFn;
    DailyLog& dailyLog() { return log_; }
    TnwdIPPort* socket() { return clientSocket; }
    bool contactsOpen() const;
    // The contacts are open, or have just been opened again (a lost server is tried once more,
    // without freezing the windows while it is waited for). False when they cannot be had.
    bool contactsAvailable();
    // Runs an operation on the contacts. A lost server connection asks once whether to reconnect;
    // after a reconnect the operation runs once more. False when it did not complete.
    bool withContacts(const std::function<void()>& op);
    // The database server the contacts are kept on; "" when they are in the program's own engine.
    std::string contactsServer() const;
    // A contacts server is being waited for (the windows are painted meanwhile; input waits).
    bool waitingForServer() const;

    // Controls (names as the window's design gives them).
    QLabel* toNameLabel = nullptr;
    QLabel* toIDlabel = nullptr;
    QLabel* lengthLabel = nullptr;
    QPushButton* clearButton = nullptr;
    QPlainTextEdit* messageMemo = nullptr;
    std::array<QPushButton*, 9> pickButtons{}; // 1..8
    QPushButton* sendButton = nullptr;
    QPushButton* cancelSendButton = nullptr;
    QLabel* messageStatusLabel = nullptr;
    QLabel* brandLabel = nullptr;
    QFrame* messagePanel = nullptr;
    QLabel* messageLabel = nullptr;
    TLncCheckList* namesListbox = nullptr;
    QPushButton* checkAllButton = nullptr;
    QPushButton* uncheckAllButton = nullptr;
    QPushButton* instructionsButton = nullptr;
    QFrame* NamesSelectingPanel = nullptr;
    QLineEdit* typeNameedit = nullptr;
    QListWidget* groupsListBox = nullptr;
    QLabel* groupSelectingLabel = nullptr;
    QLabel* arrowlabel = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Configure1 = nullptr;
    QAction* ContactsDatabase1 = nullptr;
    QAction* SendOptions1 = nullptr;
    QAction* SendFutureDelivery1 = nullptr;
    QAction* About1 = nullptr;
    QAction* Help1 = nullptr;
    TnwdIPPort* clientSocket = nullptr;
    TLncController* LncController1 = nullptr;
    TStSpawnApplication* SpawnApp = nullptr;
    // The in-process engine the contacts are kept in; its configuration is in the current directory.
    TqbServerEngine* qbServerEngine1 = nullptr;
    // The database objects, nil until first connected; the table is open on "nameIndex" unless it
    // could not be opened.
    TqbOwned<TqbClient> contactsClient;
    TqbOwned<TqbSession> contactsSession;
    std::unique_ptr<TqbTable> contactsTable;

    // Texts of the status label, the status bar and the results memo, as the system holds them.
    std::string statusLabelText() const;
    std::string statusBarText() const;
    void setStatusLabel(const std::string& text);
    void setStatusBarText(const std::string& text);
    void resultsAdd(std::string line);
    void resultsClear();
    void resultsShow();
    void resultsClose();
    // Adds the lines still waiting to the results memo now.
    void resultsFlush();

protected:
    void showEvent(QShowEvent* e) override;

private:
    void buildWindow();
    void createEngine();
    // Contacts on a server: a lost connection, one question about it, and the way back.
    // failureOut: what went wrong, in a user's words.
    bool reconnectContacts(std::string* failureOut = nullptr);
    // The first connect to a contacts server, once the window is painted: waited for as a
    // reconnect is, and one message when the server does not answer.
    void openServerContacts();
    // Whether the contacts table has the "password" field; its editor goes when it has not.
    void checkPasswordField();
    void createContactsLink();
    bool askReconnect(const std::string& reason);
    void contactsConnectionLost(bool starting, bool& retry);
    // The contacts are gone: nothing shown may name one of them any more; say: the status bar says so.
    void contactsGone(bool say = true);
    // After the contacts list was filled again: the recipient shown must still be one of them.
    void keepRecipientLoaded();
    // Whether the contacts server answers a login now, asked from a worker thread; refused: its
    // host refused the connection. whenSlow: see runWhilePainting.
    bool serverAnswers(std::string& why, bool* refused = nullptr, const std::function<void()>& whenSlow = {});
    // Before a use of contacts open on a server: one that stopped answering is found while the
    // windows are painted, not in an engine call that holds them. False (and said) then.
    bool serverResponsive();
    // The contacts session's log-on prompt: a user name and password refused are said, then asked
    // again.
    void askServerLogin(std::string& user, std::string& password, bool& ok);
    // A log-on to the contacts server cancelled or refused: said once, naming the server.
    bool loginRefused(const std::exception& e);
    void connectHandlers();
    void multipleMode();
    void clearGroupSelection();
    plat::LRESULT windowProc(plat::UINT msg, plat::WPARAM wp, plat::LPARAM lp);

    // The SNPP dialogue.
    void handleReply(const std::string& reply);
    bool sendLine(const std::string& line);
    void greeting(const std::string& reply);
    void afterLogin();
    void recipientDone();
    void pageFailure(const std::string& reply);
    void endService(const std::string& reply, const std::string& logText);
    void closeConnection();
    // The send has ended (its last service too): what said it was running goes.
    void sendEnded();
    void postNextService();
    void finishMultipleSend();
    bool takeNextRecipient(bool showWindow);
    void pageNextWaiting(bool first);
    bool startConnect();
    bool pagerIdValid(const std::string& id, const std::string& pin) const;
    void logError(const std::string& text, bool thisRecipientOnly);
    // A page started, or recipients waiting, on the current service.
    bool recipientsPending() const;
    // Logs the service's failure for the page in progress and the recipients waiting, once.
    void failPending(const std::string& logText);
    // The next line read answers the command about to be sent; lines already here do not.
    void expectReply();
    void dropUnsolicited(const std::string& line);
    void reportLogFailure(const std::string& error);
    void reportException(const std::string& what);
    void bucketGroup();
    void bucketChecked();

    // The port.
    void createSocket();
    void destroySocket();
    void portSetHost(const std::string& host);
    void portSetPort(int32_t port);
    void portConnect();
    void portDisconnect();
    void portSend(const std::string& bytes);
    bool portConnected();

    plat::HWND handle_ = 0;
    bool shown_ = false;
    bool checkingServer_ = false;      // whether the contacts server still answers is being asked
    int loginsAsked_ = 0;              // log-on prompts of the connect under way
    bool loginCancelled_ = false;      // its last prompt was cancelled
    bool contactsRetryQueued_ = false; // a checked contact will try the contacts server again
    std::unique_ptr<ContactsLink> link_; // the contacts server connection's state
    // The recipient a use of the contacts was made with: it stays over a loss found by that use.
    struct Recipient {
        std::string name, id;
        bool arrow = false;
    };
    const Recipient* useRecipient_ = nullptr;
    std::string journalPutOff_;        // a journal whose recovery the operator put off at start
    TqbOwned<TqbServerEngine> engine_; // qbServerEngine1, stopped when the window goes
    DailyLog log_;
    Pc1Cipher cipher_;
    std::unique_ptr<TnwdIPPort> socketOwner_;
    std::vector<std::string> pendingResults_; // results lines not yet in the memo
    QTimer* resultsTimer_ = nullptr;
    uint64_t lastResultsFlush_ = 0; // on the message layer's clock
    static constexpr uint64_t kResultsFlushMs = 500;

    ReplyLines replies_{kMaxReplyLine}; // the server's bytes, framed into reply lines
    bool closing_ = false;              // a close was asked for: buffered replies are dropped
    bool socketOpen_ = false;           // a connection (or an attempt) is outstanding at the port
    bool holdAccepted_ = false;         // the server accepted HOLD on this connection
    bool nextServicePosted_ = false;    // 1025 was posted for the current service
    bool multiSendActive_ = false;      // a multiple send runs until its summary
    bool logFailureShown_ = false;      // a log write error was shown during this send
    bool pageInProgress_ = false;       // currentName's page has been started and not finished
    bool serviceAttempted_ = false;     // this multiple send reached at least one usable service
    bool awaitingReply_ = false;        // a command (or the greeting) waits for its reply
    int unexpectedLogged_ = 0;          // lines without a command logged on this connection
    std::string dialogueName_;          // the recipient whose dialogue the lines now arriving are in
    uint64_t repliesHandled_ = 0;

public:
    // Replies the dialogue has judged so far (tests wait on it).
    uint64_t repliesHandled() const { return repliesHandled_; }
};

extern TForm1* Form1;

// A server's text as it is shown or logged: without line ends or other control characters.
std::string shownText(const std::string& text);

// A failure of the connection to the database server, as the dataset layer reports it.
bool connectionFailure(const std::exception& e);

// The order of the contacts list and of the name search: bytes compared after ASCII upper-casing.
int compareNames(const std::string& a, const std::string& b);
