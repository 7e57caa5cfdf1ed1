// The in-process engine's client, session, alias and database operations, its transactions and
// its server information; with the client, session and extender-list objects.
#include "db/engine/qbsrengn.h"

#include "platform/Files.h"

// ---------------------------------------------------------------------------------------------
// Extender lists

void TqbSrExtenderList::Add(std::unique_ptr<TqbSrObjectExtender> Extender) {
    std::lock_guard lk(m_);
    items_.push_back(std::move(Extender));
}

int32_t TqbSrExtenderList::Notify(TqbServerObject& Object, int32_t Action, int32_t UndoAction) {
    std::lock_guard lk(m_);
    for (size_t i = 0; i < items_.size(); ++i) {
        TqbSrObjectExtender& e = *items_[i];
        if (e.Interest.any() && (Action < 0 || Action >= 80 || !e.Interest.test(size_t(Action)))) continue;
        if (int32_t rc = e.Notify(Object, Action)) {
            if (UndoAction != eaNoUndo)
                for (size_t j = 0; j < i; ++j)
                    items_[j]->Notify(Object, UndoAction);
            return rc;
        }
    }
    return 0;
}

size_t TqbSrExtenderList::Count() {
    std::lock_guard lk(m_);
    return items_.size();
}

// ---------------------------------------------------------------------------------------------
// Sessions and clients

TqbSrSession::TqbSrSession(TqbSrClient& Client, uint32_t Timeout, bool IsFirst)
    : TqbServerObject(Timeout, &Client), client_(Client), isFirst_(IsFirst) {}

bool TqbSrSession::CanClose(bool Mark) {
    const bool own = TqbServerObject::CanClose(Mark);
    return databases_.CanClose(Mark) && own;
}

void TqbSrSession::ForceClose() {
    TqbServerObject::ForceClose();
    databases_.ForceClose();
}

void TqbSrSession::RequestClose() {
    TqbServerObject::RequestClose();
    databases_.RequestClose();
}

bool TqbSrSession::ShouldClose() {
    return TqbServerObject::ShouldClose() && databases_.ShouldClose();
}

TqbSrClient::TqbSrClient(const TqbLoginUser* User, uint32_t Timeout, std::string ClientName)
    : TqbServerObject(Timeout), name_(std::move(ClientName)) {
    if (User) {
        userID_ = User->UserID;
        lastName_ = User->LastName;
        firstName_ = User->FirstName;
        rights_ = User->Rights;
    }
}

TqbSrClient::~TqbSrClient() = default;

bool TqbSrClient::CanClose(bool Mark) {
    const bool own = TqbServerObject::CanClose(Mark);
    bool all = true;
    for (auto& s : Sessions())
        all = s->CanClose(Mark) && all;
    return own && all;
}

void TqbSrClient::ForceClose() {
    TqbServerObject::ForceClose();
    for (auto& s : Sessions())
        s->ForceClose();
}

void TqbSrClient::RequestClose() {
    TqbServerObject::RequestClose();
    for (auto& s : Sessions())
        s->RequestClose();
}

bool TqbSrClient::ShouldClose() {
    if (!TqbServerObject::ShouldClose()) return false;
    for (auto& s : Sessions())
        if (!s->ShouldClose()) return false;
    return true;
}

std::vector<std::shared_ptr<TqbSrSession>> TqbSrClient::Sessions() {
    std::lock_guard lk(sessionsMutex_);
    return sessions_;
}

int32_t TqbSrClient::SessionCount() {
    std::lock_guard lk(sessionsMutex_);
    return int32_t(sessions_.size());
}

void TqbSrClient::AddSession(const std::shared_ptr<TqbSrSession>& Session) {
    std::lock_guard lk(sessionsMutex_);
    sessions_.push_back(Session);
    if (Session->IsFirst()) {
        first_ = Session;
        untaken_ = Session;
        if (current_.expired()) current_ = Session;
    }
}

bool TqbSrClient::RemoveSession(const TqbSrSession* Session) {
    std::lock_guard lk(sessionsMutex_);
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](auto& s) { return s.get() == Session; });
    if (it == sessions_.end()) return false;
    if (untaken_.get() == Session) untaken_.reset();
    sessions_.erase(it);
    return true;
}

std::shared_ptr<TqbSrSession> TqbSrClient::CurrentSession() {
    std::lock_guard lk(sessionsMutex_);
    return current_.lock();
}

void TqbSrClient::SetCurrentSession(const std::shared_ptr<TqbSrSession>& Session) {
    std::lock_guard lk(sessionsMutex_);
    current_ = Session ? std::weak_ptr<TqbSrSession>(Session) : first_;
}

std::shared_ptr<TqbSrSession> TqbSrClient::TakeFirstSession() {
    std::lock_guard lk(sessionsMutex_);
    return std::move(untaken_);
}

// ---------------------------------------------------------------------------------------------
// Closing objects

void TqbServerEngine::ObjectClosed(TqbServerObject& Object) {
    if (auto* c = dynamic_cast<TqbSrBaseCursor*>(&Object))
        closeCursor(*c);
    else if (auto* d = dynamic_cast<TqbSrDatabase*>(&Object))
        closeDatabase(*d);
    else if (auto* s = dynamic_cast<TqbSrSession*>(&Object))
        closeSession(*s);
    else if (auto* cl = dynamic_cast<TqbSrClient*>(&Object))
        closeClient(*cl);
}

void TqbServerEngine::closeCursor(TqbSrBaseCursor& Cursor) {
    if (!Cursor.TakeForFree()) return;
    auto keep = Cursor.shared_from_this();
    registry_.Remove(Cursor.Handle(), TqbHandleKind::Cursor);
    CursorList().Remove(&Cursor);
    Cursor.Close();
}

void TqbServerEngine::closeDatabase(TqbSrDatabase& Database) {
    if (!Database.TakeForFree()) return;
    auto keep = Database.shared_from_this();
    registry_.Remove(Database.Handle(), TqbHandleKind::Database);
    // Its transaction goes back before its cursors let go of the tables.
    if (Database.InTransaction()) {
        try {
            while (Database.InTransaction())
                Database.Rollback();
        } catch (...) {
        }
    }
    for (auto& o : Database.Cursors().Snapshot())
        if (auto* c = dynamic_cast<TqbSrBaseCursor*>(o.get())) closeCursor(*c);
    databases_.Remove(&Database);
    if (auto* s = dynamic_cast<TqbSrSession*>(Database.Session)) s->Databases().Remove(&Database);
    TqbSrFolderPtr folder = Database.FolderPtr();
    folders_.ReleaseFolder(folder);
}

void TqbServerEngine::closeSession(TqbSrSession& Session) {
    if (!Session.TakeForFree()) return;
    auto keep = Session.shared_from_this();
    registry_.Remove(Session.Handle(), TqbHandleKind::Session);
    for (auto& o : Session.Databases().Snapshot())
        if (auto* d = dynamic_cast<TqbSrDatabase*>(o.get())) closeDatabase(*d);
    sessions_.Remove(&Session);
    Session.Client().RemoveSession(&Session);
}

void TqbServerEngine::closeClient(TqbSrClient& Client) {
    if (!Client.TakeForFree()) return;
    auto keep = Client.shared_from_this();
    registry_.Remove(Client.Handle(), TqbHandleKind::Client);
    for (auto& s : Client.Sessions())
        closeSession(*s);
    clients_.Remove(&Client);
    TableList().RemoveUnused();
    folders_.RemoveUnused();
    std::lock_guard lk(shutdownMutex_);
    if (shutdownWaiting_ && clients_.Count() == 0) shutdownCv_.notify_all();
}

void TqbServerEngine::freeAll() {
    {
        std::unique_lock lk(shutdownMutex_);
        shutdownCv_.wait(lk, [&] { return inFlight_ == 0; });
    }
    for (auto& o : clients_.Snapshot())
        if (auto* c = dynamic_cast<TqbSrClient*>(o.get())) closeClient(*c);
    TableList().RemoveUnused();
    folders_.RemoveUnused();
}

// ---------------------------------------------------------------------------------------------
// Clients

TqbResultCode TqbServerEngine::ClientAdd(TqbHandle& ClientID, const std::string& ClientName,
                                         const std::string& UserID, uint32_t Timeout,
                                         uint32_t& PasswordHash) {
    ClientID = 0;
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    try {
        TqbLoginUser user;
        bool hasUser = false;
        if (TqbResultCode rc = config_.Login(UserID, PasswordHash, user, hasUser)) {
            seLogError("Failed login of user \"%s\"", {UserID}, GetIsReadOnly());
            return rc;
        }
        auto client = std::make_shared<TqbSrClient>(hasUser ? &user : nullptr, Timeout, ClientName);
        auto first = std::make_shared<TqbSrSession>(*client, Timeout, true);
        client->AddSession(first);
        if (TqbResultCode rc = client->Extenders().Notify(*client, 73, eaNoUndo)) return rc;
        client->Added = true;
        clients_.BeginWrite();
        try {
            client->SetHandle(registry_.Add(TqbHandleKind::Client, client));
            first->SetHandle(registry_.Add(TqbHandleKind::Session, first));
            clients_.Add(client);
            sessions_.Add(first);
        } catch (...) {
            clients_.EndWrite();
            throw;
        }
        clients_.EndWrite();
        ClientID = client->Handle();
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::ClientRemove(TqbHandle ClientID) {
    TqbInFlight flight(*this);
    auto client = registry_.LeaseAs<TqbSrClient>(ClientID, TqbHandleKind::Client);
    if (!client) return UnknownHandleCode(TqbHandleKind::Client);
    // The handle goes at once: a second remove of it is refused.
    if (!registry_.Remove(ClientID, TqbHandleKind::Client)) return UnknownHandleCode(TqbHandleKind::Client);
    try {
        TqbDeadlineScope deadline(client->Timeout());
        client->RequestClose();
        // Idle: closing now. In use: its last deactivation frees it.
        if (client->ShouldClose() || client->CanClose(false)) closeClient(*client);
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::ClientSetTimeout(TqbHandle ClientID, uint32_t Timeout) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) {
        c.SetTimeout(Timeout);
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Sessions

TqbResultCode TqbServerEngine::SessionAdd(TqbHandle ClientID, uint32_t Timeout, TqbHandle& SessionID) {
    SessionID = 0;
    return ClientFrame(ClientID, [&](TqbSrClient& c) {
        if (auto first = c.TakeFirstSession()) {
            SessionID = first->Handle();
            return 0;
        }
        auto s = std::make_shared<TqbSrSession>(c, Timeout, false);
        sessions_.BeginWrite();
        try {
            s->SetHandle(registry_.Add(TqbHandleKind::Session, s));
            sessions_.Add(s);
            c.AddSession(s);
        } catch (...) {
            sessions_.EndWrite();
            throw;
        }
        sessions_.EndWrite();
        SessionID = s->Handle();
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Databases

TqbResultCode TqbServerEngine::openDatabase(TqbSrClient& Client, const std::string& Path,
                                            const std::string& AliasName, TqbOpenMode OpenMode,
                                            TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& DatabaseID) {
    std::shared_ptr<TqbSrSession> session = Client.CurrentSession();
    if (!session) return UnknownHandleCode(TqbHandleKind::Session);
    if (Path.empty() || !plat::DirectoryExists(Path)) return 10018;
    TqbSrFolderPtr folder = folders_.AddFolder(Path, GetIsReadOnly(), bm_.get());
    std::shared_ptr<TqbSrDatabase> db;
    std::string alias = AliasName;
    databases_.BeginWrite();
    try {
        // Every database of the folder is asked: one that is not shared, or a request that is not,
        // keeps other clients and sessions out.
        for (auto& o : databases_.Snapshot()) {
            auto* other = static_cast<TqbSrDatabase*>(o.get());
            if (other->FolderPtr() != folder) continue;
            // Opened by path: the name of an alias that already reaches the folder.
            if (AliasName.empty() && alias.empty()) alias = other->AliasName;
            if ((other->ShareMode != qbsmShared || ShareMode != qbsmShared) &&
                (other->Client != &Client || other->Session != session.get())) {
                databases_.EndWrite();
                folders_.ReleaseFolder(folder);
                return 10253;
            }
        }
        db = std::make_shared<TqbSrDatabase>(*host_, folder, Timeout, &Client);
        db->AliasName = alias.substr(0, 31);
        db->OpenMode = OpenMode;
        db->ShareMode = ShareMode;
        db->Session = session.get();
        db->Client = &Client;
        db->SetHandle(registry_.Add(TqbHandleKind::Database, db));
        databases_.Add(db);
        session->Databases().Add(db);
    } catch (...) {
        databases_.EndWrite();
        if (db && db->Handle()) registry_.Remove(db->Handle(), TqbHandleKind::Database);
        folders_.ReleaseFolder(folder);
        throw;
    }
    databases_.EndWrite();
    DatabaseID = db->Handle();
    return 0;
}

TqbResultCode TqbServerEngine::DatabaseOpen(TqbHandle ClientID, const std::string& Alias,
                                            TqbOpenMode OpenMode, TqbShareMode ShareMode, uint32_t Timeout,
                                            TqbHandle& DatabaseID) {
    DatabaseID = 0;
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 29, eaNoUndo)) return rc;
        if (!config_.AliasExists(Alias)) return 10014;
        return openDatabase(c, config_.AliasPath(Alias), Alias, OpenMode, ShareMode, Timeout, DatabaseID);
    });
}

TqbResultCode TqbServerEngine::DatabaseOpenPath(TqbHandle ClientID, const std::string& Path,
                                                TqbOpenMode OpenMode, TqbShareMode ShareMode,
                                                uint32_t Timeout, TqbHandle& DatabaseID) {
    DatabaseID = 0;
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 29, eaNoUndo)) return rc;
        return openDatabase(c, Path, {}, OpenMode, ShareMode, Timeout, DatabaseID);
    });
}

TqbResultCode TqbServerEngine::DatabaseClose(TqbHandle DatabaseID) {
    TqbInFlight flight(*this);
    auto db = registry_.LeaseAs<TqbSrDatabase>(DatabaseID, TqbHandleKind::Database);
    if (!db) return UnknownHandleCode(TqbHandleKind::Database);
    try {
        TqbDeadlineScope deadline(db->Timeout());
        db->RequestClose();
        if (db->ShouldClose()) closeDatabase(*db);
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

// ---- not built yet

TqbResultCode TqbServerEngine::TransactionCommit(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TransactionRollback(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TransactionStart(TqbHandle, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TransactionStartWith(TqbHandle, bool, const std::vector<TqbHandle>&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionCloseUnusedTables(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionCount(TqbHandle, int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionGetCurrent(TqbHandle, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionRemove(TqbHandle, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionSetCurrent(TqbHandle, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SessionSetTimeout(TqbHandle, TqbHandle, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasAdd(const std::string&, const std::string&, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasList(std::vector<TqbAliasRecord>&, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecoveryAliasList(std::vector<TqbAliasRecord>&, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasChangePath(const std::string&, const std::string&, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasDelete(const std::string&, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasGetPath(const std::string&, TqbHandle, std::string&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::DatabaseGetFreeSpace(TqbHandle, int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::AliasModify(TqbHandle, const std::string&, const std::string&,
                                           const std::string&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::DatabaseSetTimeout(TqbHandle, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableExists(TqbHandle, const std::string&, bool&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableList(TqbHandle, const std::string&, std::vector<TqbTableListRecord>&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableIsLockedExclusive(TqbHandle, const std::string&, bool&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetServerDateTime(cls::TDateTime&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetServerSystemTime(TqbSystemTime&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetNewGUID(TqbGUID&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetServerID(TqbGUID&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetServerStatistics(TqbServerStatistics&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetCommandHandlerStatistics(int32_t, int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::GetTransportStatistics(int32_t, int32_t, TqbTransportStatistics&) {
    return kResultUnknownServerError;
}
