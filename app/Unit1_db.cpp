// The main window's contacts database: the in-process engine, and the client, session and contacts
// table it connects at its first showing; on a database server, a lost connection and the way back.
#include "app/ContactsLink.h"
#include "app/Unit1.h"
#include "app/Unit1_glue.h"
#include "app/Unit1_wait.h"
#include "app/uQBSRJrn.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"
#include "db/client/qbclcfg.h"
#include "db/remote/qbclreng.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <filesystem>
#include <system_error>

const char* const kContactsDatabase = "pageBASE";
const char* const kContactsTable = "contacts";
const char* const kContactsAlias = "pagebase";

namespace {

constexpr int32_t kFolderInUse = 160;         // the engine's folder is held by another process
constexpr int32_t kNoSuchAliasFolder = 10018; // the alias names a folder that does not exist
constexpr int32_t kNoSuchTable = 10024;

// Runs one step of the connection; a failure is shown and the next step goes on.
template <class Step> void guarded(Step&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        showException(e.what());
    } catch (...) {
        showException("Unknown error");
    }
}

int32_t errorCode(const std::exception& e) {
    if (const auto* d = dynamic_cast<const EqbDatabaseError*>(&e)) return d->ErrorCode;
    if (const auto* q = dynamic_cast<const EqbException*>(&e)) return q->ErrorCode;
    return 0;
}

std::string currentDirectory() {
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    if (ec) throw std::runtime_error("The current directory cannot be read: " + ec.message());
    return here.string();
}

// The folder the in-process engine keeps its configuration in (the program's current directory).
std::string configFolder(const TqbServerEngine& engine) {
    std::string dir = engine.ConfigDir();
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

// Whether folder holds a contacts table, asked of the engine as a table open would find it.
bool holdsContactsTable(TqbServerEngine& engine, TqbHandle client, const std::string& folder) {
    TqbHandle db = 0;
    if (engine.DatabaseOpenPath(client, folder, qbomReadOnly, qbsmShared, 10000, db) != 0) return false;
    bool exists = false;
    const TqbResultCode rc = engine.TableExists(db, kContactsTable, exists);
    engine.DatabaseClose(db);
    return rc == 0 && exists;
}

// The in-process engine's configuration, and the alias with it, travels with the folder it runs
// in: a copied or moved folder brings an alias naming the old one (or a folder that is gone). A
// folder with contacts of its own keeps them; an alias to elsewhere while it has none is the user's.
void keepAliasWithFolder(TqbServerEngine& engine, TqbHandle client) {
    std::string path;
    EqbDatabaseError::Check(engine.AliasGetPath(kContactsAlias, client, path));
    const std::string here = configFolder(engine);
    std::error_code ec;
    if (std::filesystem::equivalent(plat::ToNativePath(path), here, ec)) return;
    if (!holdsContactsTable(engine, client, here)) return;
    EqbDatabaseError::Check(engine.AliasChangePath(kContactsAlias, here, client));
}

template <class Item> void closeQuietly(Item* item) {
    if (!item) return;
    try {
        item->Close();
    } catch (...) {
        // What the lost connection held is gone anyway.
    }
}

} // namespace

void TForm1::createEngine() {
    engine_.reset(new TqbServerEngine(nullptr));
    engine_->SetName("qbServerEngine1");
    engine_->ScriptFile = "pagebase.scr";
    // Journals found at start-up are put to the operator; one left unanswered keeps the engine from
    // starting, and the start says so.
    engine_->OnJournalPrompt = [this](int Kind, const std::string& Alias, const std::string& Path,
                                      const std::string& FileName, const std::string& ErrorText) {
        const int answer = AskJournalForm(Kind, Alias, Path, FileName, ErrorText);
        if (Kind == jkComplete && answer != kJournalCommit && answer != kJournalRollback)
            journalPutOff_ = plat::JoinPath(Path, FileName);
        return answer;
    };
    qbServerEngine1 = engine_.get();
}

bool TForm1::ownEngineStarted() {
    if (!contactsClient || contactsClient->ServerEngine() != qbServerEngine1) return true;
    if (qbServerEngine1->State() != qbsInactive && qbServerEngine1->State() != qbsStopped) return true;
    journalPutOff_.clear();
    try {
        qbServerEngine1->SetState(qbsStarted);
        return true;
    } catch (const std::exception& e) {
        const std::string folder = configFolder(*qbServerEngine1);
        if (!journalPutOff_.empty())
            showException("Recovery of the journal " + journalPutOff_ +
                          " was put off: the contacts stay closed until it is chosen. Start Pagewright "
                          "again to choose Commit or Rollback.");
        else if (errorCode(e) == kFolderInUse)
            showException("The contacts folder " + folder +
                          " is in use by another program (another Pagewright, or a database server on "
                          "it). Pagewright runs without contacts: close the other program, then start "
                          "Pagewright again.");
        else
            showException("The contacts in " + folder + " cannot be opened: " + e.what());
        return false;
    }
}

std::string TForm1::contactsTableFailure(const std::exception& e) {
    const int32_t code = errorCode(e);
    std::string folder;
    TqbBaseServerEngine* engine = contactsSession ? contactsSession->Engine() : nullptr;
    if ((code != kNoSuchTable && code != kNoSuchAliasFolder) || !engine || !contactsClient ||
        engine->AliasGetPath(kContactsAlias, contactsClient->ClientID(), folder) != 0 || folder.empty())
        return {};
    const std::string server = contactsServer();
    const std::string table = "contacts table (\"" + std::string(kContactsTable) + "\")";
    const std::string alias = "(alias \"" + std::string(kContactsAlias) + "\")";
    if (!server.empty()) {
        if (code == kNoSuchAliasFolder)
            return "The contacts folder " + folder + " " + alias + " does not exist on the contacts server " +
                   server + ".";
        return "There is no " + table + " in " + folder + " on the contacts server " + server +
               ". Make one there with the tool mkcontacts while the server is stopped (mkcontacts " + folder +
               ").";
    }
    if (code == kNoSuchAliasFolder) {
        const std::string here = configFolder(*qbServerEngine1);
        return "The contacts folder " + folder + " " + alias +
               " does not exist. Bring it back, or quit Pagewright, make a " + table + " in " + here +
               " with the tool mkcontacts (mkcontacts " + here + "), then start Pagewright again.";
    }
    return "There is no " + table + " in " + folder +
           ". Quit Pagewright, make one with the tool mkcontacts (mkcontacts " + folder +
           "), then start Pagewright again.";
}

void TForm1::connectToDB() {
    loginsAsked_ = 0;
    loginCancelled_ = false;
    if (!contactsClient) {
        guarded([&] {
            contactsClient.reset(new TqbClient(nullptr));
            // A database server named in the client configuration holds the contacts; without
            // one the program's own engine does.
            std::string server;
            ReadServerName(server);
            if (server.empty()) contactsClient->SetServerEngine(qbServerEngine1);
            contactsClient->SetAutoClientName(true);
            contactsClient->OnConnectionLost = [this](TqbComponent*, bool starting, bool& retry) {
                contactsConnectionLost(starting, retry);
            };
        });
    }
    // The program's own engine starts first: what keeps it from starting is said once, and nothing
    // is opened on it (every open would start it again, and ask about a journal again).
    const bool engineStarted = ownEngineStarted();
    // A session or table closed since (a lost server) is opened again.
    if (!contactsSession || !contactsSession->Active()) {
        guarded([&] {
            if (!contactsSession) {
                contactsSession.reset(new TqbSession(nullptr));
                if (contactsClient) contactsSession->SetClientName(contactsClient->ClientName());
                contactsSession->SetAutoSessionName(true);
                contactsSession->OnLogin = [this](TqbComponent*, std::string& user, std::string& password,
                                                  bool& ok) { askServerLogin(user, password, ok); };
            }
            if (!engineStarted) return;
            try {
                contactsSession->Open();
            } catch (const std::exception& e) {
                if (loginRefused(e)) return;
                throw;
            }
            if (!contactsSession->IsAlias(kContactsAlias))
                contactsSession->AddAlias(kContactsAlias, currentDirectory());
            else if (contactsSession->Engine() == qbServerEngine1) // a server's alias is the server's
                keepAliasWithFolder(*qbServerEngine1, contactsClient->ClientID());
        });
    }
    if (!contactsTable || !contactsTable->Active()) {
        guarded([&] {
            if (!contactsTable) {
                contactsTable = std::make_unique<TqbTable>(nullptr);
                if (contactsSession) contactsTable->SetSessionName(contactsSession->SessionName());
                contactsTable->SetDatabaseName(kContactsDatabase);
                contactsTable->SetTableName(kContactsTable);
                contactsTable->SetIndexName("nameIndex");
            }
            // A session that did not open has said why: the table would only try (and ask) again.
            if (!engineStarted || !contactsSession || !contactsSession->Active()) return;
            try {
                contactsTable->Open();
            } catch (const std::exception& e) {
                const std::string why = contactsTableFailure(e);
                showException(why.empty() ? e.what() : why);
            }
        });
    }
}

void TForm1::FormDestroy() {
    contactsTable.reset();
    contactsSession.reset();
    contactsClient.reset();
}

bool connectionFailure(const std::exception& e) {
    const auto* d = dynamic_cast<const EqbDatabaseError*>(&e);
    return d && (d->ErrorCode == kResultConnectionLost || d->ErrorCode == kLoginTimedOut);
}

bool TForm1::contactsOpen() const {
    return !waitingForServer() && contactsTable && contactsTable->Active();
}

bool TForm1::waitingForServer() const {
    return link_ && link_->state() == ContactsLink::State::Reconnecting;
}

std::string TForm1::contactsServer() const {
    std::string server;
    // Before the first connect there is no client yet: the configuration says where it goes.
    if (!contactsClient || contactsClient->ServerEngine() != qbServerEngine1) {
        try {
            ReadServerName(server);
        } catch (const std::exception&) {
            server.clear();
        }
    }
    return server;
}

// ---- A lost database server ----------------------------------------------------------------------

void TForm1::createContactsLink() {
    ContactsLink::Window window;
    window.open = [this] { return contactsOpen(); };
    window.onServer = [this] { return !contactsServer().empty(); };
    window.answers = [this] { return serverResponsive(); };
    window.ask = [this](const std::string& reason) { return askReconnect(reason); };
    window.reconnect = [this](std::string* failure) { return reconnectContacts(failure); };
    window.gone = [this](bool say) { contactsGone(say); };
    window.keep = [] { contactsLosing(); };
    window.back = [](bool back) { contactsReconnected(back); };
    window.later = [this](std::function<void()> f) { QTimer::singleShot(0, this, std::move(f)); };
    link_ = std::make_unique<ContactsLink>(std::move(window));
}

bool TForm1::contactsAvailable() {
    return link_->available();
}

bool TForm1::withContacts(const std::function<void()>& op) {
    // The recipient this use was made with stays over a loss it finds, though the loss, reported
    // on its way too, clears what is shown.
    const Recipient recipient{cls::fromQString(toNameLabel->text()), cls::fromQString(toIDlabel->text()),
                              arrowlabel->isVisible()};
    const Recipient* outer = std::exchange(useRecipient_, &recipient);
    struct Restore {
        const Recipient*& at;
        const Recipient* was;
        ~Restore() { at = was; }
    } restore{useRecipient_, outer};
    return link_->run(op);
}

bool TForm1::askReconnect(const std::string& reason) {
    return cls::MessageDlg("The connection to the contacts server " + contactsServer() +
                               " has been lost: " + reason + "\nReconnect?",
                           cls::MsgDlgType::Error, cls::MsgButtons::YesNo) == cls::mrYes;
}

void TForm1::contactsConnectionLost(bool starting, bool& retry) {
    // The reconnect is this window's own, so that the windows stay painted while it waits.
    retry = false;
    link_->reported(starting);
}

bool TForm1::reconnectContacts(std::string* failureOut) {
    const std::string server = contactsServer();
    std::string failure = "Error: Contacts database not available";
    std::vector<std::string> checked;
    for (int i = 0; i < namesListbox->Items.Count(); ++i)
        if (namesListbox->ItemState(i) == cbChecked) checked.push_back(namesListbox->Items[i]);
    // No contact is named while it may not be at hand; it comes back if it still is.
    const Recipient shown{cls::fromQString(toNameLabel->text()), cls::fromQString(toIDlabel->text()),
                          arrowlabel->isVisible()};
    const Recipient& chosen = useRecipient_ ? *useRecipient_ : shown;
    const std::string& recipient = chosen.name;
    contactsGone();
    bool open = false;
    {
        ServerWait wait(this, server);
        std::string why;
        if (serverAnswers(why)) {
            // What is left of the lost connection goes, and with it a transport that may have
            // given up on connecting for good:
            // a new client, session and table, with a transport of their own.
            closeQuietly(contactsTable.get());
            closeQuietly(contactsSession.get());
            closeQuietly(contactsClient.get());
            contactsTable.reset();
            contactsSession.reset();
            contactsClient.reset();
            link_->opened();
            connectToDB();
            open = contactsOpen();
        } else {
            failure = "Error: The contacts server " + server + " does not answer: " + why;
            if (failureOut) *failureOut = failure.substr(std::string("Error: ").size());
        }
    }
    if (!open) {
        contactsGone();
        setStatusBarText(failure);
        // The recipient stays chosen: the next use tries the server again, and finds it.
        if (!recipient.empty() && groupSelectingLabel->isHidden() && NamesSelectingPanel->isHidden()) {
            toNameLabel->setText(cls::toQString(recipient));
            toIDlabel->setText(cls::toQString(chosen.id));
            arrowlabel->setVisible(chosen.arrow);
        }
        return false;
    }
    checkPasswordField();
    fillNamesListBox();
    for (const std::string& name : checked)
        if (const int i = namesListbox->Items.IndexOf(name); i >= 0) namesListbox->SetItemState(i, cbChecked);
    if (!recipient.empty() && groupSelectingLabel->isHidden() && NamesSelectingPanel->isHidden() &&
        namesListbox->Items.IndexOf(recipient) >= 0) {
        bool found = false;
        try {
            found = lookupContact(recipient);
        } catch (const std::exception&) {
            found = false;
        }
        if (found) {
            toNameLabel->setText(cls::toQString(recipient));
            toIDlabel->setText(cls::toQString(lookupId));
        }
    }
    keepRecipientLoaded();
    return true;
}

void TForm1::openServerContacts() {
    std::string failure;
    // A server that answers and still cannot be logged in to has said why on the way.
    if (link_->reconnect(&failure) || failure.empty()) return;
    cls::MessageDlg(failure +
                        "\nThe contacts are not available until it answers; their next use tries again.",
                    cls::MsgDlgType::Error, cls::MsgButtons::Ok);
}

void TForm1::contactsGone(bool say) {
    // The recipient shown would be a contact that is no longer at hand.
    if (groupSelectingLabel->isHidden() && NamesSelectingPanel->isHidden()) {
        toNameLabel->clear();
        toIDlabel->clear();
        arrowlabel->hide();
    }
    if (say) setStatusBarText("Error: Contacts database not available");
}

void TForm1::keepRecipientLoaded() {
    if (!groupSelectingLabel->isHidden()) return;
    if (!NamesSelectingPanel->isHidden()) {
        if (namesListbox->StateCount(cbChecked) >= 1) return;
        NamesSelectingPanel->hide();
    } else if (namesListbox->Items.IndexOf(cls::fromQString(toNameLabel->text())) >= 0) {
        return;
    }
    toNameLabel->clear();
    toIDlabel->clear();
    arrowlabel->hide();
}
