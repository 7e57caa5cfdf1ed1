// The dataset layer's client and session: login with its prompt and retries, engine sessions,
// aliases, the default roles and the lost-connection handling.
#include "db/client/qbclient.h"

#include "db/client/qbclcfg.h"
#include "db/remote/qbclreng.h"
#include "db/remote/qblegacy.h"

#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QBPrompt.h"
#include "db/base/qbhash.h"

#include <algorithm>
#include <atomic>
#include <mutex>

int qbPasswordRetries = 3;
std::string qbDefaultUserName;
std::string qbDefaultPassword;

namespace {

constexpr size_t kMaxLoginText = 31;
constexpr size_t kMaxServerName = 63;

// Numbers of generated names: unique for the life of the process.
std::atomic<uint64_t> g_autoNumber{0};
std::string autoName(const char* prefix) {
    return prefix + std::to_string(++g_autoNumber);
}

// Every session, linked to a client or not (names are unique among all of them). Sessions are
// made, named and freed on any thread: the list and the sessions' names change only under its
// lock, so a name is checked and taken in one step.
struct SessionList {
    std::recursive_mutex lock;
    std::vector<TqbSession*> items;
};
SessionList& allSessions() {
    static auto* list = new SessionList();
    return *list;
}

// Read by every client that goes, on any thread.
std::atomic<TqbBaseClient*>& defaultClientRef() {
    static std::atomic<TqbBaseClient*> d{nullptr};
    return d;
}

// The "[automatic]" client and session, made on first use and kept for the life of the process.
// Other threads wait until both are made; the session's own constructor comes back here.
void ensureAutomatic() {
    static std::atomic<bool> ready{false};
    if (ready.load(std::memory_order_acquire)) return;
    static std::recursive_mutex making;
    std::lock_guard g(making);
    static bool made = false;
    if (made) return;
    made = true;
    auto* client = new TqbClient();
    client->SetClientName(kAutomaticName);
    client->SetIsDefault(true);
    auto* session = new TqbSession();
    session->SetSessionName(kAutomaticName);
    session->SetClientName(kAutomaticName);
    session->SetIsDefault(true);
    ready.store(true, std::memory_order_release);
}

// Every item below root that is active, level by level (sessions, databases, tables).
std::vector<TqbDBListItem*> activeBelow(TqbDBListItem* root) {
    std::vector<TqbDBListItem*> out, level{root};
    while (!level.empty()) {
        std::vector<TqbDBListItem*> next;
        for (TqbDBListItem* i : level)
            for (TqbDBListItem* c : i->ChildItems()) {
                if (c->Active()) out.push_back(c);
                next.push_back(c);
            }
        level = std::move(next);
    }
    return out;
}

} // namespace

TqbClientList& ClientList() {
    static TqbClientList* list = new TqbClientList();
    return *list;
}

TqbSession* FindSession(std::string_view name) {
    SessionList& all = allSessions();
    std::lock_guard g(all.lock);
    for (TqbSession* s : all.items)
        if (cls::SameText(s->SessionName(), name)) return s;
    return nullptr;
}

TqbBaseClient* DefaultClient() {
    ensureAutomatic();
    return defaultClientRef().load();
}

TqbSession* DefaultSession() {
    TqbBaseClient* c = DefaultClient();
    return c ? c->DefaultSessionOfClient() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Client

TqbBaseClient::TqbBaseClient(cls::TComponent* AOwner)
    : TqbDBListItem(AOwner), PasswordRetries(qbPasswordRetries) {
    SetLevel(1);
    SetOwnerless(true);
    SetNameLabel("ClientName");
    userName_ = qbDefaultUserName.substr(0, kMaxLoginText);
    OnConnectionLost = DefaultConnectionLost;
    ClientList().Add(this);
}

TqbBaseClient::~TqbBaseClient() {
    NotifyDependents(kOpGoingAway);
    try {
        Close();
    } catch (...) {
        dropAll();
    }
    freeOwnedEngine();
    if (IsDefault()) SetIsDefault(false);
    if (IsDefault()) defaultClientRef().store(nullptr);
    ClientList().Remove(this);
}

void TqbBaseClient::SetClientName(const std::string& value) {
    if (value == ClientName()) return;
    if (Active()) RaiseMustBeClosed();
    // Other threads' sessions read the clients' names as they open.
    SetUniqueItemName(
        value, [] { return PortalWriteGuard(ClientList()); },
        [&] {
            for (TqbDBListItem* other : ClientList().Snapshot())
                if (other != this && cls::SameText(other->ItemName(), value))
                    EqbDatabaseError::RaiseErrorFmt(this, kDsClientNameExists, {value});
        });
}

void TqbBaseClient::SetAutoClientName(bool value) {
    if (value && !autoName_) {
        if (Active()) RaiseMustBeClosed();
        SetClientName(autoName("QBClient_"));
    }
    autoName_ = value;
}

bool TqbBaseClient::IsDefault() const {
    return defaultClientRef().load() == this;
}

void TqbBaseClient::SetIsDefault(bool value) {
    if (value) {
        defaultClientRef().store(this);
        if (!defaultSession_) {
            std::vector<TqbSession*> s = Sessions();
            if (!s.empty()) defaultSession_ = s.front();
        }
        return;
    }
    if (!IsDefault()) return;
    TqbDBListItem* automatic = nullptr;
    ClientList().FindByName(kAutomaticName, automatic);
    defaultClientRef().store(automatic ? static_cast<TqbBaseClient*>(automatic) : nullptr);
}

void TqbBaseClient::SetServerEngine(TqbBaseServerEngine* engine) {
    if (engine == engine_) return;
    if (Active()) RaiseMustBeClosed();
    freeOwnedEngine();
    engine_ = engine;
    if (engine_) engine_->AddDependent(this);
}

void TqbBaseClient::SetTimeOut(int32_t value) {
    if (value == timeOut_) return;
    timeOut_ = value;
    if (clientID_ && engine_) EqbDatabaseError::Check(engine_->ClientSetTimeout(clientID_, uint32_t(value)));
}

void TqbBaseClient::SetUserName(const std::string& value) {
    if (Active()) RaiseMustBeClosed();
    userName_ = value.substr(0, kMaxLoginText);
}

std::vector<TqbSession*> TqbBaseClient::Sessions() const {
    std::vector<TqbSession*> out;
    for (TqbDBListItem* c : ChildItems())
        if (auto* s = dynamic_cast<TqbSession*>(c)) out.push_back(s);
    return out;
}

void TqbBaseClient::ChildRemoved(TqbDBListItem* child) {
    if (child == defaultSession_) defaultSession_ = nullptr;
}

void TqbBaseClient::ChildAdded(TqbDBListItem*) {}

void TqbBaseClient::RaiseMustBeClosed() {
    EqbDatabaseError::RaiseError(this, kDsClientMustBeInactive);
}

void TqbBaseClient::RaiseMustBeOpen() {
    EqbDatabaseError::RaiseError(this, kDsClientMustBeActive);
}

void TqbBaseClient::DoClose() {
    TqbDBListItem::DoClose(); // the sessions first
    if (clientID_) {
        const TqbHandle id = clientID_;
        clientID_ = 0;
        if (engine_) EqbDatabaseError::Check(engine_->ClientRemove(id));
    }
    if (ownsEngine_ && ownedTransport_) ownedTransport_->SetState(qbsInactive);
}

namespace {

TqbProtocolType protocolOf(TqbProtocolClass protocolClass) {
    switch (protocolClass) {
    case TqbProtocolClass::TCPIP:
        return ptTCPIP;
    case TqbProtocolClass::IPXSPX:
        return ptIPXSPX;
    default:
        return ptSingleUser;
    }
}

// A transport asked for the registry's protocol speaks the configured one.
const bool registryProtocolInstalled = [] {
    TqbLegacyTransport::SetRegistryProtocolResolver([] {
        TqbProtocolClass protocolClass = kDefaultProtocolClass;
        std::string name;
        ReadProtocol(protocolClass, name);
        return protocolOf(protocolClass);
    });
    return true;
}();

} // namespace

TQBRemoteServerEngine* TqbBaseClient::newOwnedEngine() {
    (void)registryProtocolInstalled;
    TqbProtocolClass protocolClass = kDefaultProtocolClass;
    std::string protocolName, serverName;
    ReadProtocol(protocolClass, protocolName);
    ReadServerName(serverName);
    TqbOwned<TqbLegacyTransport> transport(new TqbLegacyTransport());
    transport->SetMode(qbtmSend);
    transport->SetProtocol(protocolOf(protocolClass));
    // The single-user protocol names its partner "Local" unless the configuration names one.
    if (!serverName.empty() || protocolClass != TqbProtocolClass::SingleUser)
        transport->SetServerName(serverName);
    TqbOwned<TQBRemoteServerEngine> engine(new TQBRemoteServerEngine());
    engine->TimeOut = uint32_t(timeOut_);
    engine->SetTransport(transport.get());
    ownedTransport_ = transport.release();
    engine_ = engine.release();
    ownsEngine_ = true;
    engine_->AddDependent(this);
    return static_cast<TQBRemoteServerEngine*>(engine_);
}

void TqbBaseClient::freeOwnedEngine() {
    TqbBaseServerEngine* engine = engine_;
    engine_ = nullptr;
    if (engine) engine->RemoveDependent(this);
    if (ownsEngine_ && engine) engine->Free(); // before its transport, which it still knows
    ownsEngine_ = false;
    if (ownedTransport_) {
        ownedTransport_->Free();
        ownedTransport_ = nullptr;
    }
}

void TqbBaseClient::startTransport(TqbSession* asking) {
    auto* remote = dynamic_cast<TQBRemoteServerEngine*>(engine_);
    if (!remote) return;
    TqbBaseTransport* transport = remote->Transport();
    if (!transport) EqbDatabaseError::RaiseError(this, kDsNoRemoteTransport);
    if (transport->State() == qbsStarted) return;
    transport->SetEnabled(true);
    if (transport->GetServerName().empty()) {
        const std::string name = ChooseServer(asking);
        if (name.empty()) throw EqbDatabaseError::CreateViaCode(kLoginNoServer);
        transport->SetServerName(name);
    }
    try {
        transport->SetState(qbsStarted);
    } catch (const EqbDatabaseError&) {
        throw;
    } catch (const std::exception& e) {
        throw EqbDatabaseError::CreateWithComponent(
            this, DatasetCodeText(kDsCannotStartClientEngine) + " (" + e.what() + ")",
            kDsCannotStartClientEngine);
    }
}

TqbResultCode TqbBaseClient::addClient(const std::string& user, const std::string& password, TqbHandle& id) {
    const uint32_t sent = HashShStr(password);
    uint32_t hash = sent;
    id = 0;
    TqbResultCode rc = engine_->ClientAdd(id, user, user, uint32_t(timeOut_), hash);
    // An engine that answers with the user's stored hash leaves the comparison to us; 0 means it
    // checks no logins at all.
    if (rc == 0 && hash != sent && hash != 0) {
        engine_->ClientRemove(id);
        id = 0;
        rc = kLoginUnknownUser;
    }
    return rc;
}

bool TqbBaseClient::prompt(TqbSession* asking, std::string& user, std::string& password) {
    bool ok = false;
    if (asking && asking->OnLogin)
        asking->OnLogin(asking, user, password, ok);
    else
        ok = cls::ExecuteLoginDialog(user, password);
    user = user.substr(0, kMaxLoginText);
    password = password.substr(0, kMaxLoginText);
    return ok;
}

void TqbBaseClient::Connect(TqbSession* asking) {
    if (clientID_) return;
    if (!engine_) newOwnedEngine();
    startTransport(asking);
    if (engine_->State() == qbsInactive || engine_->State() == qbsStopped) {
        try {
            engine_->SetState(qbsStarted);
        } catch (const std::exception& e) {
            throw EqbDatabaseError::CreateWithComponent(
                this, DatasetCodeText(kDsCannotStartClientEngine) + " (" + e.what() + ")",
                kDsCannotStartClientEngine);
        }
    }
    std::string user = (userName_.empty() ? qbDefaultUserName : userName_).substr(0, kMaxLoginText);
    std::string password = qbDefaultPassword.substr(0, kMaxLoginText);
    TqbHandle id = 0;
    TqbResultCode rc = addClient(user, password, id);
    for (int retries = 0; retries < PasswordRetries && (rc == kLoginUnknownUser || rc == kLoginTimedOut);) {
        if (BeepOnLoginError) cls::Beep();
        if (!prompt(asking, user, password)) break;
        ++retries;
        rc = addClient(user, password, id);
    }
    if (rc != 0) throw EqbDatabaseError::CreateViaCode(rc);
    userName_ = user;
    clientID_ = id;
}

void TqbBaseClient::GetServerNames(cls::TStringList& list) {
    if (!Active()) RaiseMustBeOpen();
    if (engine_) {
        EqbDatabaseError::Check(engine_->GetServerNames(list, uint32_t(timeOut_)));
        return;
    }
    // Asked before any connection: a remote engine of the configuration for the question only.
    newOwnedEngine();
    TqbResultCode rc = 0;
    try {
        rc = engine_->GetServerNames(list, uint32_t(timeOut_));
    } catch (...) {
        freeOwnedEngine();
        throw;
    }
    freeOwnedEngine();
    EqbDatabaseError::Check(rc);
}

std::string TqbBaseClient::ChooseServer(TqbSession* asking) {
    cls::TStringList list;
    if (asking && asking->OnFindServers) asking->OnFindServers(asking, true);
    GetServerNames(list);
    if (asking && asking->OnFindServers) asking->OnFindServers(asking, false);
    if (list.Count() == 0) return {};
    if (list.Count() == 1) return list[0].substr(0, kMaxServerName);
    std::string name;
    if (asking && asking->OnChooseServer) {
        asking->OnChooseServer(asking, list, name);
    } else {
        std::vector<std::string> names;
        for (int i = 0; i < list.Count(); ++i)
            names.push_back(list[i]);
        cls::ExecutePickServerDialog(names, name);
    }
    if (name.empty()) name = list[0];
    return name.substr(0, kMaxServerName);
}

TqbResultCode TqbBaseClient::ProcessRequest(uint32_t msgID, uint32_t timeout,
                                            std::span<const uint8_t> request, std::vector<uint8_t>& reply) {
    if (!engine_) return kDsCannotStartClientEngine;
    return engine_->ProcessRequest(clientID_, msgID, timeout, request, reply);
}

TqbResultCode TqbBaseClient::ProcessRequestNoReply(uint32_t msgID, uint32_t timeout,
                                                   std::span<const uint8_t> request) {
    if (!engine_) return kDsCannotStartClientEngine;
    return engine_->ProcessRequestNoReply(clientID_, msgID, timeout, request);
}

void TqbBaseClient::ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) {
    if (!sender || sender != engine_) {
        TqbDBListItem::ReceiveNotification(operation, sender, data);
        return;
    }
    switch (operation) {
    case kOpRemoved:
    case kOpGoingAway:
        forgetEngine();
        break;
    case kOpClosing:
        try {
            Close();
        } catch (...) {
            dropAll(); // the engine is stopping: what it no longer answers is gone anyway
        }
        break;
    case kOpConnectionLost:
        if (Active() && TqbHandle(data) == clientID_) connectionLost();
        break;
    default:
        break;
    }
}

void TqbBaseClient::dropAll() {
    clientID_ = 0;
    DropHandles();
}

void TqbBaseClient::forgetEngine() {
    // The engine is on its way out: nothing below may call it again.
    dropAll();
    engine_ = nullptr;
    ownsEngine_ = false;
}

void TqbBaseClient::connectionLost() {
    bool retry = false;
    if (OnConnectionLost) OnConnectionLost(this, true, retry);
    const bool wasActive = Active();
    const std::vector<TqbDBListItem*> reopen = activeBelow(this);
    // The dead handles go before a new login, or Connect would take the old one for a live one.
    clientID_ = 0;
    for (TqbDBListItem* c : std::vector<TqbDBListItem*>(ChildItems()))
        c->DropHandles();
    bool reconnected = false;
    if (retry && wasActive) {
        try {
            std::vector<TqbSession*> s = Sessions();
            Connect(s.empty() ? nullptr : s.front());
            reconnected = clientID_ != 0;
        } catch (const std::exception&) {
            reconnected = false;
        }
    }
    if (!reconnected) {
        SetActiveFlag(false);
        clientID_ = 0;
    } else {
        for (TqbDBListItem* i : reopen) {
            try {
                i->OpenAgain();
            } catch (const std::exception&) {
                // stays closed; the owner of the item sees it inactive
            }
        }
    }
    if (OnConnectionLost) OnConnectionLost(this, false, retry);
}

void TqbBaseClient::DefaultConnectionLost(TqbComponent* sender, bool starting, bool& retry) {
    if (starting) {
        retry = cls::MessageDlg("The connection to the server has been lost. Reconnect?",
                                cls::MsgDlgType::Error, cls::MsgButtons::YesNo) == cls::mrYes;
        return;
    }
    auto* client = dynamic_cast<TqbBaseClient*>(sender);
    if (retry && client && client->ClientID() == 0)
        cls::MessageDlg("Reconnect was unsuccessful", cls::MsgDlgType::Information, cls::MsgButtons::Ok);
}

// ---------------------------------------------------------------------------------------------
// Session

TqbSession::TqbSession(cls::TComponent* AOwner) : TqbDBListItem(AOwner) {
    SetLevel(2);
    SetNameLabel("SessionName");
    if (TqbBaseClient* c = DefaultClient()) StoreOwnerName(c->ClientName());
    SessionList& all = allSessions();
    std::lock_guard g(all.lock);
    all.items.push_back(this);
}

TqbSession::~TqbSession() {
    FreeTemporaryChildren();
    NotifyDependents(kOpGoingAway);
    try {
        Close();
    } catch (...) {
        DropHandles();
    }
    if (TqbBaseClient* c = dynamic_cast<TqbBaseClient*>(LinkedOwner()); c && c->defaultSession_ == this) {
        c->defaultSession_ = nullptr;
        for (TqbSession* s : c->Sessions())
            if (s != this && !c->defaultSession_) c->defaultSession_ = s;
        if (!c->defaultSession_ && c->IsDefault()) c->SetIsDefault(false);
    }
    SessionList& all = allSessions();
    std::lock_guard g(all.lock);
    all.items.erase(std::remove(all.items.begin(), all.items.end(), this), all.items.end());
}

void TqbSession::BeforeDestruction() {
    // Temporary databases are the session's own: freed before the others are let go.
    FreeTemporaryChildren();
    TqbDBListItem::BeforeDestruction();
}

void TqbSession::SetSessionName(const std::string& value) {
    ensureAutomatic(); // first, so that it never waits for the list's lock held here
    if (value == SessionName()) return;
    SetUniqueItemName(
        value, [] { return std::unique_lock(allSessions().lock); },
        [&] {
            if (TqbSession* other = FindSession(value); other && other != this)
                EqbDatabaseError::RaiseErrorFmt(this, kDsSessionNameExists, {value});
        });
}

void TqbSession::SetAutoSessionName(bool value) {
    if (value && !autoName_) {
        if (Active()) RaiseMustBeClosed();
        SetSessionName(autoName("QBSession_"));
    }
    autoName_ = value;
}

TqbBaseClient* TqbSession::Client() {
    return dynamic_cast<TqbBaseClient*>(Owner());
}

TqbBaseServerEngine* TqbSession::Engine() {
    if (Active() && engine_) return engine_;
    TqbBaseClient* c = Client();
    return c ? c->ServerEngine() : nullptr;
}

uint32_t TqbSession::EffectiveTimeOut() {
    if (timeOut_ != -1) return uint32_t(timeOut_);
    TqbBaseClient* c = Client();
    return uint32_t(c ? c->TimeOut() : 10000);
}

void TqbSession::SetTimeOut(int32_t value) {
    if (value == timeOut_) return;
    timeOut_ = value;
    if (Active() && sessionID_ && engine_)
        EqbDatabaseError::Check(
            engine_->SessionSetTimeout(Client()->ClientID(), sessionID_, EffectiveTimeOut()));
}

bool TqbSession::IsDefault() {
    TqbBaseClient* c = dynamic_cast<TqbBaseClient*>(LinkedOwner());
    return c && c->defaultSession_ == this;
}

void TqbSession::SetIsDefault(bool value) {
    TqbBaseClient* c = Client();
    if (!c) return;
    if (value)
        c->defaultSession_ = this;
    else if (c->defaultSession_ == this)
        c->defaultSession_ = nullptr;
}

void TqbSession::DoOpen() {
    TqbBaseClient* c = Client();
    engine_ = c->ServerEngine();
    try {
        if (OnStartup) OnStartup(this);
        c->Connect(this);
        engine_ = c->ServerEngine();
        TqbHandle id = 0;
        EqbDatabaseError::Check(engine_->SessionAdd(c->ClientID(), EffectiveTimeOut(), id));
        sessionID_ = id;
    } catch (...) {
        engine_ = nullptr;
        throw;
    }
}

void TqbSession::DoClose() {
    TqbDBListItem::DoClose(); // the databases first
    TqbBaseServerEngine* e = engine_;
    engine_ = nullptr;
    if (sessionID_) {
        const TqbHandle id = sessionID_;
        sessionID_ = 0;
        TqbBaseClient* c = dynamic_cast<TqbBaseClient*>(LinkedOwner());
        if (e && c && c->ClientID()) EqbDatabaseError::Check(e->SessionRemove(c->ClientID(), id));
    }
}

void TqbSession::DropHandles() {
    sessionID_ = 0;
    engine_ = nullptr;
    TqbDBListItem::DropHandles();
}

TqbDBListItem* TqbSession::FindOwnerByName() {
    const std::string& name = StoredOwnerName();
    if (name.empty()) return DefaultClient();
    TqbDBListItem* c = nullptr;
    ClientList().FindByName(name, c);
    return c;
}

void TqbSession::RaiseMustBeClosed() {
    EqbDatabaseError::RaiseError(this, kDsSessionMustBeClosed);
}

void TqbSession::RaiseMustBeOpen() {
    EqbDatabaseError::RaiseError(this, kDsSessionMustBeOpen);
}

template <class F> auto TqbSession::withOpen(F&& work) {
    TqbBaseClient* c = Client();
    const bool clientWasActive = c && c->Active();
    const bool wasActive = Active();
    auto restore = [&] {
        if (!wasActive) Close();
        if (c && !clientWasActive) c->Close();
    };
    if (!wasActive) Open();
    try {
        auto r = work();
        restore();
        return r;
    } catch (...) {
        try {
            restore();
        } catch (...) {
        }
        throw;
    }
}

void TqbSession::AddAlias(const std::string& alias, const std::string& path) {
    if (!Active()) RaiseMustBeOpen();
    EqbDatabaseError::Check(
        Engine()->AliasAdd(alias.substr(0, 255), path.substr(0, 255), Client()->ClientID()));
}

bool TqbSession::IsAlias(const std::string& name) {
    if (name.empty()) return false;
    return withOpen([&] {
        std::vector<TqbAliasRecord> aliases;
        EqbDatabaseError::Check(Engine()->AliasList(aliases, Client()->ClientID()));
        for (const TqbAliasRecord& a : aliases)
            if (cls::SameText(a.Alias.View(), name)) return true;
        return false;
    });
}

void TqbSession::GetAliasNames(cls::TStringList& list) {
    withOpen([&] {
        std::vector<TqbAliasRecord> aliases;
        EqbDatabaseError::Check(Engine()->AliasList(aliases, Client()->ClientID()));
        for (const TqbAliasRecord& a : aliases)
            list.Add(a.Alias.Str());
        return true;
    });
}

TqbResultCode TqbSession::ProcessRequest(uint32_t msgID, uint32_t timeout, std::span<const uint8_t> request,
                                         std::vector<uint8_t>& reply) {
    TqbBaseClient* c = Client();
    return c ? c->ProcessRequest(msgID, timeout, request, reply) : kDsNoDefaultClient;
}

TqbResultCode TqbSession::ProcessRequestNoReply(uint32_t msgID, uint32_t timeout,
                                                std::span<const uint8_t> request) {
    TqbBaseClient* c = Client();
    return c ? c->ProcessRequestNoReply(msgID, timeout, request) : kDsNoDefaultClient;
}
