// The in-process engine's client, session, alias and database operations, its transactions and
// its server information; with the client, session and extender-list objects.
#include "db/engine/qbsrengn.h"

#include "db/base/qbllbase.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <ctime>
#include <typeindex>

namespace {

// The data file extension of every table.
constexpr char kDataExt[] = "QB2";

// DOS date and time (local): year-1980, month, day, hour, minute, second / 2.
uint32_t dosDateTime(int64_t mtimeNs) {
    const time_t secs = time_t(mtimeNs / 1000000000);
    tm t{};
    localtime_r(&secs, &t);
    if (t.tm_year < 80) return (1u << 21) | (1u << 16); // 1980-01-01: the first date DOS can hold
    return uint32_t(t.tm_year - 80) << 25 | uint32_t(t.tm_mon + 1) << 21 | uint32_t(t.tm_mday) << 16 |
           uint32_t(t.tm_hour) << 11 | uint32_t(t.tm_min) << 5 | uint32_t(t.tm_sec / 2);
}

// A table name as the database queries take it: a plain name, its extension (if any) replaced by
// the data file's. Empty for a name that would reach outside the folder or is not a table name.
std::string plainTableName(std::string_view Name) {
    if (Name.find_first_of("/\\:") != std::string_view::npos) return {};
    std::string base = plat::ChangeFileExt(Name, "");
    return IsValidTableName(base) ? base : std::string();
}

// Text from a caller as a log line may show it: control characters as '?', at most 64 characters.
std::string printableText(std::string_view Text) {
    std::string out(Text.substr(0, 64));
    for (char& ch : out)
        if (uint8_t(ch) < 32 || ch == 127) ch = '?';
    return out;
}

} // namespace

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
    // A removed current session leaves none current, never a dangling one.
    if (current_.lock().get() == Session) current_.reset();
    if (first_.lock().get() == Session) first_.reset();
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

namespace {
// An owner whose close was asked for while something it owns was in use goes once that has gone.
bool closesNow(TqbServerObject& Owner) {
    return Owner.State() == sosClosing && Owner.ShouldClose();
}
} // namespace

void TqbServerEngine::ObjectClosed(TqbServerObject& Object) {
    auto keep = Object.shared_from_this();
    TqbSrDatabase* database = nullptr;
    TqbSrSession* session = nullptr;
    if (auto* c = dynamic_cast<TqbSrBaseCursor*>(&Object)) {
        closeCursor(*c);
        database = &c->Database();
    } else if (auto* d = dynamic_cast<TqbSrDatabase*>(&Object)) {
        session = dynamic_cast<TqbSrSession*>(d->Session);
        closeDatabase(*d);
    } else if (auto* s = dynamic_cast<TqbSrSession*>(&Object)) {
        closeSession(*s);
        if (closesNow(s->Client())) closeClient(s->Client());
        return;
    } else if (auto* cl = dynamic_cast<TqbSrClient*>(&Object)) {
        closeClient(*cl);
        return;
    }
    if (database) {
        auto keepDatabase = database->shared_from_this();
        if (!closesNow(*database)) return;
        session = dynamic_cast<TqbSrSession*>(database->Session);
        closeDatabase(*database);
    }
    if (!session) return;
    auto keepSession = session->shared_from_this();
    TqbSrClient& client = session->Client();
    auto keepClient = client.shared_from_this();
    if (closesNow(*session)) closeSession(*session);
    if (closesNow(client)) closeClient(client);
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
    TableList().RemoveUnused();
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
    if (Client.Added) Client.Extenders().Notify(Client, 72, eaNoUndo);
    // Its jobs' statuses go with it; a job still running finds its status gone and goes on.
    rebuildStatus_.RemoveClient(int32_t(Client.Handle()));
    clients_.Remove(&Client);
    TableList().RemoveUnused();
    folders_.RemoveUnused();
    std::lock_guard lk(shutdownMutex_);
    if (shutdownEvent_ && clients_.Count() == 0) shutdownEvent_->Signal();
}

void TqbServerEngine::closeRemainingClients() {
    auto remaining = clients_.Snapshot();
    if (remaining.empty()) return;
    for (auto& o : remaining)
        o->ForceClose();
    // Nothing is freed under an operation that is still running.
    {
        std::unique_lock lk(shutdownMutex_);
        flightWaiters_.fetch_add(1);
        shutdownCv_.wait(lk, [&] { return inFlight_.load() == 0; });
        flightWaiters_.fetch_sub(1);
    }
    for (auto& o : remaining)
        if (auto* c = dynamic_cast<TqbSrClient*>(o.get())) closeClient(*c);
}

void TqbServerEngine::addOfferedExtenders(TqbServerObject& Object, TqbServerObjectClass Class,
                                          TqbSrExtenderList& List) {
    for (TqbServerMonitor* m : GetInterestedMonitors(Class))
        if (auto* source = dynamic_cast<TqbSrObjectExtenderSource*>(m))
            if (auto e = source->MakeExtender(Object)) List.Add(std::move(e));
}

void TqbServerEngine::freeAll() {
    // Clients first (their databases roll back over tables that are still there), then tables
    // and folders; the configuration and the buffer manager go with the engine's members.
    closeRemainingClients();
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
            seLogError("Failed login of user \"%s\" (client \"%s\")",
                       {printableText(UserID), printableText(ClientName)}, GetIsReadOnly());
            return rc;
        }
        auto client = std::make_shared<TqbSrClient>(hasUser ? &user : nullptr, Timeout, ClientName);
        auto first = std::make_shared<TqbSrSession>(*client, Timeout, true);
        client->AddSession(first);
        addOfferedExtenders(*client, typeid(TqbSrClient), client->Extenders());
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
        addOfferedExtenders(*db, typeid(TqbSrDatabase), db->Extenders());
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

TqbResultCode TqbServerEngine::DatabaseSetTimeout(TqbHandle DatabaseID, uint32_t Timeout) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) {
        db.SetTimeout(Timeout);
        return 0;
    });
}

TqbResultCode TqbServerEngine::DatabaseGetFreeSpace(TqbHandle DatabaseID, int32_t& FreeSpace) {
    FreeSpace = -1;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) {
        FreeSpace = FolderFreeSpaceKB(db.Folder().GetPath());
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableExists(TqbHandle DatabaseID, const std::string& TableName, bool& Exists) {
    Exists = false;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = db.Extenders().Notify(db, 11, eaNoUndo)) return rc;
        // Only plain names: nothing outside the database's folder is looked at.
        const std::string name = plainTableName(TableName);
        if (name.empty()) return 10039;
        const std::string folder = db.Folder().GetPath();
        plat::FileStat st;
        Exists = plat::FileStatPath(plat::ResolveCaseInsensitive(folder, name + "." + kDataExt), st) == 0 &&
                 !st.isDir;
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableList(TqbHandle DatabaseID, const std::string& Mask,
                                         std::vector<TqbTableListRecord>& List) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = db.Extenders().Notify(db, 11, eaNoUndo)) return rc;
        const std::string mask = Mask.substr(0, 35);
        // A mask that names another folder lists nothing.
        if (mask.find_first_of("/\\:") != std::string::npos) return 0;
        const std::string pattern =
            plat::ChangeFileExt(mask.empty() ? "*" : mask, std::string(".") + kDataExt);
        plat::FileFind find;
        if (find.first(plat::JoinPath(db.Folder().GetPath(), pattern)) != 0) return 0;
        do {
            const plat::DirEntry& e = find.entry();
            plat::FileStat st;
            if (e.isDir || plat::FileStatPath(find.path(), st) != 0) continue;
            const plat::PathParts parts = plat::SplitPath(e.name);
            TqbTableListRecord r{};
            r.TableName.Set(std::string_view(parts.name).substr(0, 31));
            r.Extension.Set(std::string_view(parts.ext).substr(parts.ext.empty() ? 0 : 1, 3));
            r.SizeLow = uint32_t(st.size);
            r.SizeHigh = uint32_t(st.size >> 32);
            r.DateTime = dosDateTime(st.mtimeNs);
            List.push_back(r);
        } while (find.next());
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableIsLockedExclusive(TqbHandle DatabaseID, const std::string& TableName,
                                                      bool& IsLocked) {
    IsLocked = false;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = db.Extenders().Notify(db, 11, eaNoUndo)) return rc;
        const std::string name = plainTableName(TableName);
        if (name.empty()) return 10039;
        if (TqbSrTablePtr t = TableList().FindByFolderAndName(db.Folder(), name))
            IsLocked = t->LockManager().GetTableLockMode(t->TableID()) == lmExclusive;
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Sessions

TqbResultCode TqbServerEngine::SessionCloseUnusedTables(TqbHandle ClientID) {
    return ClientFrame(ClientID, [&](TqbSrClient&) {
        TableList().RemoveUnused();
        return 0;
    });
}

TqbResultCode TqbServerEngine::SessionCount(TqbHandle ClientID, int32_t& Count) {
    Count = 0;
    return ClientFrame(ClientID, [&](TqbSrClient& c) {
        Count = c.SessionCount();
        return 0;
    });
}

TqbResultCode TqbServerEngine::SessionGetCurrent(TqbHandle ClientID, TqbHandle& SessionID) {
    SessionID = 0;
    return ClientFrame(ClientID, [&](TqbSrClient& c) {
        if (auto s = c.CurrentSession()) SessionID = s->Handle();
        return 0;
    });
}

namespace {
// A session handle of the client's own; another client's session is as unknown as a stale handle.
std::shared_ptr<TqbSrSession> ownSession(const TqbServerObjectRegistry& Registry, TqbSrClient& Client,
                                         TqbHandle SessionID) {
    auto s = Registry.LeaseAs<TqbSrSession>(SessionID, TqbHandleKind::Session);
    return s && &s->Client() == &Client ? s : nullptr;
}
} // namespace

TqbResultCode TqbServerEngine::SessionRemove(TqbHandle ClientID, TqbHandle SessionID) {
    TqbInFlight flight(*this);
    auto session = registry_.LeaseAs<TqbSrSession>(SessionID, TqbHandleKind::Session);
    if (!session || session->Client().Handle() != ClientID) return UnknownHandleCode(TqbHandleKind::Session);
    try {
        TqbDeadlineScope deadline(session->Timeout());
        session->RequestClose();
        if (session->ShouldClose()) closeSession(*session);
        TableList().RemoveUnused();
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::SessionSetCurrent(TqbHandle ClientID, TqbHandle SessionID) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (SessionID == 0) {
            c.SetCurrentSession(nullptr);
            return 0;
        }
        auto s = ownSession(registry_, c, SessionID);
        if (!s) return UnknownHandleCode(TqbHandleKind::Session);
        c.SetCurrentSession(s);
        return 0;
    });
}

TqbResultCode TqbServerEngine::SessionSetTimeout(TqbHandle ClientID, TqbHandle SessionID, uint32_t Timeout) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        auto s = ownSession(registry_, c, SessionID);
        if (!s) return UnknownHandleCode(TqbHandleKind::Session);
        s->SetTimeout(Timeout);
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Aliases

TqbResultCode TqbServerEngine::AliasAdd(const std::string& Alias, const std::string& Path,
                                        TqbHandle ClientID) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 34, 35)) return rc;
        if (TqbResultCode rc = config_.AddAlias(Alias, Path)) {
            c.Extenders().Notify(c, 35, eaNoUndo);
            return rc;
        }
        saveAliases();
        return 0;
    });
}

TqbResultCode TqbServerEngine::AliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 29, eaNoUndo)) return rc;
        for (const TqbAliasRecord& r : config_.AliasRecords())
            List.push_back(r);
        return 0;
    });
}

TqbResultCode TqbServerEngine::RecoveryAliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) {
    // Before the engine has started: no state test and no activation.
    if (!registry_.LeaseAs<TqbSrClient>(ClientID, TqbHandleKind::Client))
        return UnknownHandleCode(TqbHandleKind::Client);
    try {
        for (const TqbAliasRecord& r : config_.AliasRecords())
            List.push_back(r);
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::AliasChangePath(const std::string& Alias, const std::string& NewPath,
                                               TqbHandle ClientID) {
    return ClientFrame(ClientID, [&](TqbSrClient&) -> TqbResultCode {
        if (TqbResultCode rc = config_.ChangeAliasPath(Alias, NewPath)) return rc;
        saveAliases();
        return 0;
    });
}

TqbResultCode TqbServerEngine::AliasDelete(const std::string& Alias, TqbHandle ClientID) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 32, 33)) return rc;
        if (TqbResultCode rc = config_.DeleteAlias(Alias)) {
            c.Extenders().Notify(c, 33, eaNoUndo);
            return rc;
        }
        saveAliases();
        return 0;
    });
}

TqbResultCode TqbServerEngine::AliasGetPath(const std::string& Alias, TqbHandle ClientID, std::string& Path) {
    Path.clear();
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 29, eaNoUndo)) return rc;
        Path = config_.AliasPath(Alias);
        return 0;
    });
}

TqbResultCode TqbServerEngine::AliasModify(TqbHandle ClientID, const std::string& Alias,
                                           const std::string& NewName, const std::string& NewPath) {
    return ClientFrame(ClientID, [&](TqbSrClient& c) -> TqbResultCode {
        if (TqbResultCode rc = c.Extenders().Notify(c, 32, 33)) return rc;
        if (TqbResultCode rc = c.Extenders().Notify(c, 34, 35)) {
            c.Extenders().Notify(c, 33, eaNoUndo);
            return rc;
        }
        // Every check before any change: a refused modification leaves the alias as it was.
        if (TqbResultCode rc = config_.ModifyAlias(Alias, NewName, NewPath)) {
            c.Extenders().Notify(c, 35, eaNoUndo);
            c.Extenders().Notify(c, 33, eaNoUndo);
            return rc;
        }
        saveAliases();
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Transactions

int32_t TqbServerEngine::seTransactionStart(TqbSrDatabase& Database, bool FailSafe, uint32_t& TransactionID) {
    TransactionID = 0;
    const bool outermost = !Database.InTransaction();
    const int32_t rc = Database.StartTransaction(FailSafe);
    if (rc != 0) return rc;
    if (outermost) Database.TransactionFailed.store(false);
    if (TqbSrTransaction* t = Database.Transaction()) TransactionID = t->TransactionID();
    return 0;
}

void TqbServerEngine::freeClosingCursors(TqbSrDatabase& Database) {
    for (auto& o : Database.Cursors().Snapshot())
        if (auto* c = dynamic_cast<TqbSrBaseCursor*>(o.get()); c && c->FreeIfClosing()) ObjectClosed(*c);
}

int32_t TqbServerEngine::seTransactionCommit(TqbSrDatabase& Database) {
    // The database's commit ends the tables' portal writes also when the commit raises, and the
    // transaction manager settles the BLOB segment managers with it.
    const int32_t rc = Database.Commit();
    if (rc == 0 && !Database.InTransaction()) freeClosingCursors(Database);
    return rc;
}

int32_t TqbServerEngine::seTransactionRollback(TqbSrDatabase& Database) {
    if (!Database.InTransaction()) return 0;
    Database.Rollback();
    if (!Database.InTransaction()) freeClosingCursors(Database);
    return 0;
}

TqbResultCode TqbServerEngine::TransactionStart(TqbHandle DatabaseID, bool FailSafe) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        uint32_t id = 0;
        if (TqbResultCode rc = seTransactionStart(db, FailSafe, id)) return rc;
        return db.Extenders().Notify(db, 38, eaNoUndo);
    });
}

TqbResultCode TqbServerEngine::TransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                                    const std::vector<TqbHandle>& CursorIDs) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        // Every cursor a live one of this database: handles from a remote caller are not trusted.
        std::vector<std::shared_ptr<TqbSrBaseCursor>> cursors;
        for (TqbHandle h : CursorIDs) {
            auto c = registry_.LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
            if (!c || &c->Database() != &db) return UnknownHandleCode(TqbHandleKind::Cursor);
            cursors.push_back(std::move(c));
        }
        uint32_t id = 0;
        if (TqbResultCode rc = seTransactionStart(db, FailSafe, id)) return rc;
        // Without a deadline the retries still end.
        const uint32_t remaining = ThreadTimeRemaining();
        const uint32_t limit = remaining == 0 ? kStartWithBoundMs : remaining;
        const uint32_t start = clock_->Tick();
        TqbEvent pause; // never signalled: a 10 ms wait on the engine clock
        int32_t rc = 0;
        for (;;) {
            size_t taken = 0;
            rc = 0;
            for (; taken < cursors.size(); ++taken)
                if ((rc = cursors[taken]->AcquireContentLockNoWait()) != 0) break;
            if (rc == 0) break;
            if (TqbSrTransaction* t = db.Transaction())
                for (size_t i = 0; i < taken; ++i)
                    cursors[i]->Table()->ReleaseContentLock(*t);
            if (clock_->Tick() - start + 10 >= limit) break;
            clock_->WaitFor(pause, 10);
        }
        if (rc != 0) {
            seTransactionRollback(db);
            return rc == 187 || rc == 188 ? 10241 : rc;
        }
        return db.Extenders().Notify(db, 38, eaNoUndo);
    });
}

TqbResultCode TqbServerEngine::TransactionCommit(TqbHandle DatabaseID) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (!db.InTransaction()) return 10257;
        if (db.TransactionFailed.load()) {
            if (TqbResultCode rc = db.Extenders().Notify(db, 42, eaNoUndo)) return rc;
            seTransactionRollback(db);
            db.Extenders().Notify(db, 43, eaNoUndo);
            return 15443;
        }
        if (TqbResultCode rc = db.Extenders().Notify(db, 39, 41)) return rc;
        const TqbResultCode rc = seTransactionCommit(db);
        if (rc == 0) db.Extenders().Notify(db, 40, eaNoUndo);
        return rc;
    });
}

TqbResultCode TqbServerEngine::TransactionRollback(TqbHandle DatabaseID) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (!db.InTransaction()) return 10257;
        if (TqbResultCode rc = db.Extenders().Notify(db, 42, eaNoUndo)) return rc;
        seTransactionRollback(db);
        return db.Extenders().Notify(db, 43, eaNoUndo);
    });
}

// ---------------------------------------------------------------------------------------------
// Server information

TqbResultCode TqbServerEngine::GetServerDateTime(cls::TDateTime& DateTime) {
    if (State() != qbsStarted) return kResultNotStarted;
    DateTime = ServerDateTime();
    return 0;
}

TqbResultCode TqbServerEngine::GetServerSystemTime(TqbSystemTime& SystemTime) {
    if (State() != qbsStarted) return kResultNotStarted;
    SystemTime = ServerSystemTime();
    return 0;
}

TqbResultCode TqbServerEngine::GetNewGUID(TqbGUID& GUID) {
    if (State() != qbsStarted) return kResultNotStarted;
    try {
        GUID = NewServerGUID();
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::GetServerID(TqbGUID& ServerID) {
    if (State() != qbsStarted) return kResultNotStarted;
    ServerID = serverID_;
    return 0;
}

TqbResultCode TqbServerEngine::GetServerStatistics(TqbServerStatistics& Stats) {
    if (State() != qbsStarted) return kResultNotStarted;
    try {
        FillServerStatistics(Stats, seGetServerName(), Counts(), bm_->GetRAMUsed(), bm_->MaxRAM(),
                             UpTimeSeconds(startTick_.load(), clock_->Tick()));
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) {
    TransportCount = 0;
    if (State() != qbsStarted) return kResultNotStarted;
    return HandlerTransportCount(Index, TransportCount);
}

TqbResultCode TqbServerEngine::GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                                      TqbTransportStatistics& Stats) {
    if (State() != qbsStarted) return kResultNotStarted;
    try {
        return HandlerTransportStatistics(HandlerIndex, TransportIndex,
                                          UpTimeSeconds(startTick_.load(), clock_->Tick()), Stats);
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}
