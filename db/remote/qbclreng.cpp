// The remote engine's frame: proxy handles and lists, the proxy objects with their request routine,
// the transport link and its notifications, and the operations answered without a request.
#include "db/remote/qbclreng.h"

#include "db/engine/qbsrcvex.h"

#include <algorithm>
#include <map>

// ---------------------------------------------------------------------------------------------
// Handles

TqbHandle TQBProxyRegistry::Add(TqbHandleKind Kind, std::shared_ptr<TqbObject> Object) {
    auto holder = std::make_unique<std::shared_ptr<TqbObject>>(std::move(Object));
    std::lock_guard lk(removeMutex_);
    TqbHandle h = ids_.Add(Kind, holder.get());
    holder.release();
    live_[h] = Kind;
    return h;
}

std::shared_ptr<TqbObject> TQBProxyRegistry::lease(TqbHandle Handle, TqbHandleKind Kind) const {
    std::shared_ptr<TqbObject> r;
    ids_.WithObject(Handle, Kind, [&](void* p) { r = *static_cast<std::shared_ptr<TqbObject>*>(p); });
    return r;
}

std::shared_ptr<TqbObject> TQBProxyRegistry::Remove(TqbHandle Handle, TqbHandleKind Kind) {
    std::unique_ptr<std::shared_ptr<TqbObject>> holder;
    {
        std::lock_guard lk(removeMutex_);
        auto* p = static_cast<std::shared_ptr<TqbObject>*>(ids_.Find(Handle, Kind));
        if (!p || !ids_.Remove(Handle, Kind)) return nullptr;
        holder.reset(p);
        live_.erase(Handle);
    }
    return std::move(*holder);
}

TQBProxyRegistry::~TQBProxyRegistry() {
    // Every proxy leaves through a list entry first; this only frees a leftover's holder.
    for (auto [h, k] : std::map<TqbHandle, TqbHandleKind>(live_))
        Remove(h, k);
}

TqbHandle TQBProxyObject::Register(const std::shared_ptr<TQBProxyObject>& Object) {
    Object->handle_ = Object->engine_.Registry().Add(Object->kind_, Object);
    return Object->handle_;
}

void TQBProxyObject::Unregister() {
    // The registry's share goes with this statement; the caller holds another.
    engine_.Registry().Remove(handle_, kind_);
}

// ---------------------------------------------------------------------------------------------
// Proxy lists

template <class T>
TQBProxyList<T>::Item::Item(std::shared_ptr<T> Object)
    : TqbIntListItem(intptr_t(Object->Handle())), Object(std::move(Object)) {}

template <class T> TQBProxyList<T>::Item::~Item() {
    if (!Object) return;
    Object->Unregister();
    try {
        Object->Release();
    } catch (...) {
        // What fails to close here is gone with the connection.
    }
}

template <class T> void TQBProxyList<T>::Add(const std::shared_ptr<T>& Object) {
    auto* item = new Item(Object);
    BeginWrite();
    const bool ok = Insert(item);
    EndWrite();
    if (!ok) delete item;
}

template <class T> std::shared_ptr<T> TQBProxyList<T>::Find(TqbHandle Handle) {
    BeginRead();
    auto* item = static_cast<Item*>(TqbList::Find(TqbListKey(int64_t(Handle))));
    std::shared_ptr<T> r = item ? item->Object : nullptr;
    EndRead();
    return r;
}

template <class T> std::shared_ptr<T> TQBProxyList<T>::First() {
    BeginRead();
    std::shared_ptr<T> r = Count() > 0 ? static_cast<Item*>(Items(0))->Object : nullptr;
    EndRead();
    return r;
}

template <class T> std::vector<std::shared_ptr<T>> TQBProxyList<T>::Snapshot() {
    std::vector<std::shared_ptr<T>> r;
    BeginRead();
    for (int i = 0; i < Count(); ++i)
        r.push_back(static_cast<Item*>(Items(i))->Object);
    EndRead();
    return r;
}

template <class T> int TQBProxyList<T>::CountGuarded() {
    BeginRead();
    int n = Count();
    EndRead();
    return n;
}

template <class T> bool TQBProxyList<T>::Delete(TqbHandle Handle) {
    BeginWrite();
    TqbListItem* item = Remove(TqbListKey(int64_t(Handle)));
    EndWrite();
    if (!item) return false;
    item->Free();
    return true;
}

template <class T> void TQBProxyList<T>::DeleteAll() {
    std::vector<TqbListItem*> items;
    BeginWrite();
    while (Count() > 0)
        items.push_back(RemoveAt(Count() - 1));
    EndWrite();
    for (TqbListItem* item : items)
        item->Free();
}

template class TQBProxyList<TQBProxyClient>;
template class TQBProxyList<TQBProxySession>;
template class TQBProxyList<TQBProxyDatabase>;
template class TQBProxyList<TQBProxyCursor>;
template class TQBProxyList<TqbProxySQLStmt>;

// ---------------------------------------------------------------------------------------------
// Proxy client

namespace {
// Requests that take something down: after a lost connection they have nothing left to do.
bool isClosingMessage(uint32_t MsgID) {
    using qbops::TqbOp;
    for (TqbOp op : {TqbOp::CursorClose, TqbOp::DatabaseClose, TqbOp::SessionRemove, TqbOp::SQLFree})
        if (qbops::Describe(op).MsgID == MsgID) return true;
    return false;
}
} // namespace

TQBProxyClient::TQBProxyClient(TQBRemoteServerEngine& Engine, TqbBaseTransport* Transport,
                               const std::string& UserName, uint32_t Timeout)
    : TQBProxyObject(Engine, TqbHandleKind::Client), userName_(UserName.substr(0, 31)), transport_(Transport),
      timeout_(Timeout) {}

TQBProxyClient::~TQBProxyClient() {
    Close();
}

TqbResultCode TQBProxyClient::Connect(uint32_t PasswordHash) {
    TqbBaseTransport* t = Transport();
    if (!t) return kResultNotApplicable;
    uint32_t id = 0;
    TqbResultCode rc = t->EstablishConnection(userName_, PasswordHash, Timeout(), id);
    if (rc == 0) clientID_.store(id);
    return rc;
}

void TQBProxyClient::Close() {
    std::call_once(closed_, [this] {
        try {
            sessions_.DeleteAll();
            databases_.DeleteAll();
        } catch (...) {
            // A close that fails on the server leaves nothing to keep here.
        }
        TqbBaseTransport* t = Transport();
        const uint32_t id = ClientID();
        if (t && id && !ForceClosed()) {
            try {
                t->TerminateConnection(id, Timeout());
            } catch (...) {
            }
        }
    });
}

TqbResultCode TQBProxyClient::ProcessRequest(uint32_t MsgID, uint32_t Timeout,
                                             std::span<const uint8_t> Request, std::vector<uint8_t>& Reply) {
    Reply.clear();
    if (ForceClosed()) return isClosingMessage(MsgID) ? 0 : kResultConnectionLost;
    std::lock_guard lk(requestMutex_);
    TqbBaseTransport* t = Transport();
    if (!t) return kResultConnectionLost;
    bool got = false;
    uint32_t replyID = 0;
    TqbResultCode error = 0;
    t->Request(0, ClientID(), MsgID, Timeout, Request.data(), uint32_t(Request.size()),
               [&](uint32_t ReplyMsgID, TqbResultCode ErrorCode, const uint8_t* Data, uint32_t Length) {
                   got = true;
                   replyID = ReplyMsgID;
                   error = ErrorCode;
                   if (Data && Length) Reply.assign(Data, Data + Length);
               });
    if (!got) {
        // The connection may have been reported lost while this request waited.
        if (ForceClosed()) return isClosingMessage(MsgID) ? 0 : kResultConnectionLost;
        return kResultNotApplicable;
    }
    if (replyID != MsgID) {
        Reply.clear();
        return kResultReplyMismatch;
    }
    return error;
}

TqbResultCode TQBProxyClient::Post(uint32_t MsgID, uint32_t Timeout, std::span<const uint8_t> Request) {
    if (ForceClosed()) return isClosingMessage(MsgID) ? 0 : kResultConnectionLost;
    TqbBaseTransport* t = Transport();
    if (!t) return kResultConnectionLost;
    t->Post(0, ClientID(), MsgID, Request.data(), uint32_t(Request.size()), Timeout, 2);
    return 0;
}

TqbResultCode TQBProxyClient::Send(qbops::TqbOp Op, uint32_t OwnerTimeout, qbops::TqbRequestWriter& Writer,
                                   std::vector<uint8_t>& Reply) {
    std::vector<uint8_t> bytes;
    if (TqbResultCode rc = Writer.Finish(bytes)) return rc;
    return SendBytes(Op, OwnerTimeout, bytes, Reply);
}

TqbResultCode TQBProxyClient::SendBytes(qbops::TqbOp Op, uint32_t OwnerTimeout,
                                        std::span<const uint8_t> Bytes, std::vector<uint8_t>& Reply) {
    return ProcessRequest(qbops::Describe(Op).MsgID, qbops::RequestTimeout(Op, OwnerTimeout, Bytes), Bytes,
                          Reply);
}

std::shared_ptr<TQBProxySession> TQBProxyClient::CurrentSession() {
    {
        std::lock_guard lk(currentMutex_);
        if (auto s = current_.lock()) return s;
    }
    return sessions_.First();
}

void TQBProxyClient::SetCurrentSession(const std::shared_ptr<TQBProxySession>& Session) {
    std::lock_guard lk(currentMutex_);
    current_ = Session;
}

// ---------------------------------------------------------------------------------------------
// Sessions, databases, cursors and statements

void TQBProxyChild::SendClose(qbops::TqbOp Op, uint32_t ServerID) noexcept {
    if (!ServerID) return;
    try {
        qbops::TqbRequestWriter w(Op);
        w.U32(ServerID);
        std::vector<uint8_t> reply;
        Send(Op, w, reply);
    } catch (...) {
        // The server frees what a closed connection leaves behind.
    }
}

TQBProxySession::~TQBProxySession() {
    SendClose(qbops::TqbOp::SessionRemove, SessionID);
}

TQBProxyDatabase::~TQBProxyDatabase() {
    Close();
    SendClose(qbops::TqbOp::DatabaseClose, DatabaseID);
}

void TQBProxyDatabase::Close() {
    cursors_.DeleteAll();
    statements_.DeleteAll();
}

TQBProxyCursor::TQBProxyCursor(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyDatabase> Database,
                               const std::string& TableName, TqbOpenMode OpenMode, TqbShareMode ShareMode,
                               uint32_t Timeout, uint32_t BlockSize, bool KeylessBookmarks)
    : TQBProxyChild(Engine, TqbHandleKind::Cursor, Database->ClientPtr(), Timeout), OpenMode(OpenMode),
      ShareMode(ShareMode), TableName(TableName.substr(0, 31)), Dictionary(BlockSize),
      KeylessBookmarks(KeylessBookmarks), database_(std::move(Database)) {}

TQBProxyCursor::~TQBProxyCursor() {
    SendClose(qbops::TqbOp::CursorClose, CursorID);
}

int32_t TQBProxyCursor::IndexID() {
    std::lock_guard lk(indexMutex_);
    return indexID_;
}

std::string TQBProxyCursor::IndexName() {
    std::lock_guard lk(indexMutex_);
    return indexName_;
}

void TQBProxyCursor::SetIndex(int32_t Number, const std::string& Name) {
    std::lock_guard lk(indexMutex_);
    if (Name.empty()) {
        indexID_ = Number;
        indexName_ = Number >= 0 && Number < Dictionary.IndexCount() ? Dictionary.IndexName(Number) : "";
        return;
    }
    indexName_ = Name;
    for (int32_t i = 0; i < Dictionary.IndexCount(); ++i)
        if (CompareShStrNoCase(Dictionary.IndexName(i), Name, 31) == 0) {
            indexID_ = i;
            return;
        }
    indexID_ = Number;
}

int32_t TQBProxyCursor::KeyLength() {
    const int32_t i = IndexID();
    return i >= 0 && i < Dictionary.IndexCount() ? Dictionary.IndexKeyLength(i) : 0;
}

uint32_t TQBProxyCursor::BookmarkSize() {
    return KeylessBookmarks ? 24u : uint32_t(KeyLength()) + 24u;
}

TqbProxySQLStmt::TqbProxySQLStmt(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyDatabase> Database,
                                 uint32_t Timeout)
    : TQBProxyChild(Engine, TqbHandleKind::Statement, Database->ClientPtr(), Timeout),
      database_(std::move(Database)) {}

TqbProxySQLStmt::~TqbProxySQLStmt() {
    SendClose(qbops::TqbOp::SQLFree, StmtID);
}

// ---------------------------------------------------------------------------------------------
// The engine

namespace {
std::mutex& enginesMutex() {
    static std::mutex m;
    return m;
}
std::vector<TQBRemoteServerEngine*>& engines() {
    static std::vector<TQBRemoteServerEngine*> v;
    return v;
}
} // namespace

std::vector<TQBRemoteServerEngine*> RemoteServerEngines() {
    std::lock_guard lk(enginesMutex());
    return engines();
}

TQBRemoteServerEngine::TQBRemoteServerEngine(cls::TComponent* AOwner) : TqbIntermediateServerEngine(AOwner) {
    std::lock_guard lk(enginesMutex());
    engines().push_back(this);
    listed_ = true;
}

TQBRemoteServerEngine::~TQBRemoteServerEngine() = default;

void TQBRemoteServerEngine::BeforeDestruction() {
    NotifyDependents(kOpGoingAway);
    ForceState(qbsInactive);
    {
        std::lock_guard lk(enginesMutex());
        auto& v = engines();
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        listed_ = false;
    }
    // Clients left open are logged off now; their objects go with them.
    for (auto& c : clients_.Snapshot())
        removeClient(c);
    SetTransport(nullptr);
    TqbIntermediateServerEngine::BeforeDestruction();
}

void TQBRemoteServerEngine::SetTransport(TqbBaseTransport* Value) {
    TqbBaseTransport* old = transport_.load();
    if (old == Value) return;
    NotifyDependents(kOpDestroying);
    if (old) old->RemoveDependent(this);
    transport_.store(Value);
    if (Value) Value->AddDependent(this);
}

void TQBRemoteServerEngine::ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) {
    TqbBaseTransport* t = transport_.load();
    if (!t || sender != t) return;
    switch (operation) {
    case kOpGoingAway:
    case 2:
        NotifyDependents(kOpDestroying);
        t->RemoveDependent(this);
        transport_.store(nullptr);
        // The clients' link goes too: the transport may be freed next.
        for (auto& c : clients_.Snapshot())
            c->DropTransport();
        break;
    case kOpDestroying:
        NotifyDependents(kOpDestroying);
        break;
    case 10: {
        std::shared_ptr<TQBProxyClient> lost;
        for (auto& c : clients_.Snapshot())
            if (c->ClientID() == uint32_t(data)) {
                lost = c;
                break;
            }
        if (!lost) return;
        lost->SetForceClosed();
        const TqbHandle h = lost->Handle();
        removeClient(lost);
        NotifyDependentsEx(10, intptr_t(h));
        break;
    }
    default:
        break;
    }
}

TqbResultCode TQBRemoteServerEngine::guardedCode() noexcept {
    return ConvertServerException(std::current_exception(), nullptr, true);
}

std::shared_ptr<TQBProxyClient> TQBRemoteServerEngine::client(TqbHandle Handle) const {
    return registry_.Lease<TQBProxyClient>(Handle, TqbHandleKind::Client);
}
std::shared_ptr<TQBProxySession> TQBRemoteServerEngine::session(TqbHandle Handle) const {
    return registry_.Lease<TQBProxySession>(Handle, TqbHandleKind::Session);
}
std::shared_ptr<TQBProxyDatabase> TQBRemoteServerEngine::database(TqbHandle Handle) const {
    return registry_.Lease<TQBProxyDatabase>(Handle, TqbHandleKind::Database);
}
std::shared_ptr<TQBProxyCursor> TQBRemoteServerEngine::cursor(TqbHandle Handle) const {
    return registry_.Lease<TQBProxyCursor>(Handle, TqbHandleKind::Cursor);
}
std::shared_ptr<TqbProxySQLStmt> TQBRemoteServerEngine::statement(TqbHandle Handle) const {
    return registry_.Lease<TqbProxySQLStmt>(Handle, TqbHandleKind::Statement);
}

TqbResultCode TQBRemoteServerEngine::removeClient(const std::shared_ptr<TQBProxyClient>& Client) {
    clients_.Delete(Client->Handle());
    Client->Close();
    return 0;
}
