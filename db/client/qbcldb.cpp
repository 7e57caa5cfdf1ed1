// The dataset layer's database and table proxy.
#include "db/client/qbcldb.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_dbNumber{0};

std::string defaultSessionName() {
    TqbSession* s = DefaultSession();
    return s ? s->SessionName() : std::string();
}

// The session of that name, or the default session for an empty name.
TqbSession* sessionNamed(const std::string& name) {
    return name.empty() ? DefaultSession() : FindSession(name);
}

} // namespace

std::string TableNameProper(std::string_view name) {
    const size_t slash = name.find_last_of("\\/:");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name.substr(0, 31));
}

// ---------------------------------------------------------------------------------------------
// Database

TqbBaseDatabase::TqbBaseDatabase(cls::TComponent* AOwner) : TqbDBListItem(AOwner) {
    SetLevel(3);
    SetNameLabel("DatabaseName");
    StoreOwnerName(defaultSessionName());
}

TqbBaseDatabase::~TqbBaseDatabase() {
    NotifyDependents(kOpGoingAway);
    try {
        Close();
    } catch (...) {
        DropHandles();
    }
}

void TqbBaseDatabase::checkClosed() {
    if (Active()) RaiseMustBeClosed();
}

void TqbBaseDatabase::SetDatabaseName(const std::string& value) {
    if (value == DatabaseName()) return;
    if (!IsLoading()) {
        if (TqbSession* s = Owner() ? Session() : sessionNamed(StoredOwnerName())) {
            // A declared database may not hide an alias of its session.
            if (cls::TComponent::Owner() && s->IsAlias(value))
                EqbDatabaseError::RaiseErrorFmt(this, kDsDatabaseNameIsAlias, {value});
            // Threads that share the session find its databases by name.
            SetUniqueItemName(
                value, [s] { return s->LockChildren(); },
                [&] {
                    for (TqbDBListItem* d : s->ChildItems())
                        if (d != this && cls::SameText(d->ItemName(), value))
                            EqbDatabaseError::RaiseErrorFmt(this, kDsDatabaseNameExists, {value});
                });
            return;
        }
    }
    SetItemName(value);
}

void TqbBaseDatabase::SetAutoDatabaseName(bool value) {
    if (value && !autoName_) {
        checkClosed();
        SetDatabaseName("QBDB_" + std::to_string(++g_dbNumber));
    }
    autoName_ = value;
}

TqbHandle TqbBaseDatabase::GetDatabaseID() {
    if (!Active()) Open();
    return databaseID_;
}

void TqbBaseDatabase::SetAliasName(const std::string& value) {
    checkClosed();
    aliasName_ = value;
}

template <class F> void TqbBaseDatabase::eachDataSet(F&& f) {
    for (TqbDBListItem* c : std::vector<TqbDBListItem*>(ChildItems()))
        if (auto* p = dynamic_cast<TqbTableProxy*>(c); p && p->DataSet()) f(*p->DataSet());
}

void TqbBaseDatabase::SetExclusive(bool value) {
    checkClosed();
    exclusive_ = value;
    if (value) eachDataSet([](TqbProxyDataSet& d) { d.ForceExclusive(); });
}

void TqbBaseDatabase::SetReadOnly(bool value) {
    checkClosed();
    readOnly_ = value;
    if (value) eachDataSet([](TqbProxyDataSet& d) { d.ForceReadOnly(); });
}

void TqbBaseDatabase::SetTimeout(int32_t value) {
    if (value == timeout_) return;
    timeout_ = value;
    if (Active() && databaseID_ && engine_)
        EqbDatabaseError::Check(engine_->DatabaseSetTimeout(databaseID_, GetTimeout()));
}

uint32_t TqbBaseDatabase::GetTimeout() {
    if (timeout_ != -1) return uint32_t(timeout_);
    TqbSession* s = Session();
    return s ? s->EffectiveTimeOut() : 10000u;
}

TqbSession* TqbBaseDatabase::Session() {
    return dynamic_cast<TqbSession*>(Owner());
}

void TqbBaseDatabase::GetTableDictionary(const std::string& tableName, cls::TStream& stream) {
    const TqbHandle id = GetDatabaseID();
    EqbDatabaseError::Check(engine_->TableGetDictionary(id, TableNameProper(tableName), stream));
}

cls::TDataSet* TqbBaseDatabase::DataSets(int index) {
    auto* p = dynamic_cast<TqbTableProxy*>(Children().Items(index));
    return p && p->DataSet() ? p->DataSet()->ProxyDataSet() : nullptr;
}

void TqbBaseDatabase::DoOpen() {
    TqbSession* s = Session();
    if (!s) EqbDatabaseError::RaiseErrorFmt(this, kDsDatabaseNoSession, {DatabaseName()});
    TqbBaseServerEngine* e = s->Engine();
    const TqbHandle client = s->Client()->ClientID();
    const std::string name = (aliasName_.empty() ? DatabaseName() : aliasName_).substr(0, 255);
    EqbDatabaseError::Check(e->SessionSetCurrent(client, s->SessionID()));
    const TqbOpenMode open = readOnly_ ? qbomReadOnly : qbomReadWrite;
    const TqbShareMode share = exclusive_ ? qbsmExclusive : qbsmShared;
    TqbHandle id = 0;
    if (IsPathName(name))
        EqbDatabaseError::Check(e->DatabaseOpenPath(client, name, open, share, GetTimeout(), id));
    else
        EqbDatabaseError::Check(e->DatabaseOpen(client, name, open, share, GetTimeout(), id));
    engine_ = e;
    databaseID_ = id;
}

void TqbBaseDatabase::DoClose() {
    TqbDBListItem::DoClose(); // the tables first
    TqbBaseServerEngine* e = engine_;
    engine_ = nullptr;
    if (databaseID_) {
        const TqbHandle id = databaseID_;
        databaseID_ = 0;
        if (e) EqbDatabaseError::Check(e->DatabaseClose(id));
    }
}

void TqbBaseDatabase::DropHandles() {
    databaseID_ = 0;
    engine_ = nullptr;
    TqbDBListItem::DropHandles();
}

TqbDBListItem* TqbBaseDatabase::FindOwnerByName() {
    return sessionNamed(StoredOwnerName());
}

void TqbBaseDatabase::RaiseMustBeClosed() {
    EqbDatabaseError::RaiseError(this, kDsDatabaseMustBeClosed);
}

void TqbBaseDatabase::RaiseMustBeOpen() {
    EqbDatabaseError::RaiseError(this, kDsDatabaseMustBeOpen);
}

// ---------------------------------------------------------------------------------------------
// Table proxy

TqbTableProxy::TqbTableProxy(cls::TComponent* AOwner, TqbProxyDataSet* dataSet)
    : TqbDBListItem(AOwner), dataSet_(dataSet) {
    SetLevel(4);
    SetNameLabel("TableName");
    sessionName_ = defaultSessionName();
}

TqbTableProxy::~TqbTableProxy() {
    dataSet_ = nullptr;
    NotifyDependents(kOpGoingAway);
    try {
        Close();
    } catch (...) {
        DropHandles();
    }
}

TqbSession* TqbTableProxy::Session() {
    return sessionNamed(sessionName_);
}

void TqbTableProxy::SetSessionName(const std::string& value) {
    Close();
    if (IsLoading()) {
        sessionName_ = value;
        queueDeferred();
        return;
    }
    TqbSession* s = sessionNamed(value);
    sessionName_ = s && !value.empty() ? s->SessionName() : value;
    if (auto* db = dynamic_cast<TqbBaseDatabase*>(LinkedOwner()); db && db->Session() != s) UnlinkOwner();
}

void TqbTableProxy::DoOpen() {
    TqbBaseDatabase* db = Database();
    TqbSession* s = db ? db->Session() : nullptr;
    engine_ = s ? s->Engine() : nullptr;
}

void TqbTableProxy::DoClose() {
    if (closing_) return;
    closing_ = true;
    try {
        TqbDBListItem::DoClose();
        if (dataSet_) dataSet_->ProxyClosing();
    } catch (...) {
        closing_ = false;
        engine_ = nullptr;
        throw;
    }
    engine_ = nullptr;
    closing_ = false;
}

void TqbTableProxy::DropHandles() {
    engine_ = nullptr;
    reopenDataSet_ = dataSet_ && dataSet_->ProxyDataSet() && dataSet_->ProxyDataSet()->Active();
    if (dataSet_) dataSet_->ConnectionDropped();
    TqbDBListItem::DropHandles();
}

void TqbTableProxy::OpenAgain() {
    const bool dataSet = reopenDataSet_ && dataSet_;
    reopenDataSet_ = false;
    if (dataSet)
        dataSet_->ProxyDataSet()->Open(); // opens this proxy on the way
    else
        Open();
}

TqbDBListItem* TqbTableProxy::FindOwnerByName() {
    const std::string name = StoredOwnerName();
    if (name.empty()) return nullptr;
    TqbSession* s = Session();
    if (s) {
        TqbDBListItem* found = nullptr;
        if (s->Children().FindByName(name, found)) return found;
        // A name no database declares: when it is an alias of the session, a database made for
        // it, which lives until the session goes.
        if (s->IsAlias(name)) {
            auto* db = new TqbDatabase();
            db->Temporary = true;
            db->SetSessionName(s->SessionName());
            db->SetDatabaseName(name);
            db->Owner();
            return db;
        }
    }
    // A database declared on the dataset's own window that has not linked yet.
    if (cls::TComponent* form = cls::TComponent::Owner() ? cls::TComponent::Owner()->Owner() : nullptr)
        for (int i = 0; i < form->ComponentCount(); ++i)
            if (auto* db = dynamic_cast<TqbBaseDatabase*>(form->Components(i));
                db && cls::SameText(db->DatabaseName(), name) &&
                (!s || cls::SameText(db->SessionName(), s->SessionName())))
                return db;
    return nullptr;
}

void TqbTableProxy::RaiseMustBeClosed() {
    EqbDatabaseError::RaiseError(this, kDsTableMustBeClosed);
}

void TqbTableProxy::RaiseMustBeOpen() {
    EqbDatabaseError::RaiseError(this, kDsTableMustBeOpen);
}
