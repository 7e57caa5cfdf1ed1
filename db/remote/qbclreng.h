// The remote engine: the engine interface answered by a server in another process through a
// transport, with the proxy objects that stand for the server's clients, sessions, databases,
// cursors and SQL statements.
#pragma once
#include "db/engine/qbsrcvex.h"
#include "db/engine/qbsrintm.h"
#include "db/remote/qbclops.h"
#include "db/remote/qbtransport.h"
#include "db/storage/qblldict.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

class TQBRemoteServerEngine;
class TQBProxyClient;
class TQBProxySession;
class TQBProxyDatabase;
class TQBProxyCursor;
class TqbProxySQLStmt;

// Codes of the remote engine.
inline constexpr TqbResultCode kResultRowFetchLimit = 9500;
inline constexpr TqbResultCode kResultNotApplicable = 10756;
inline constexpr TqbResultCode kResultReplyMismatch = 10760;
inline constexpr TqbResultCode kResultCapabilityNotSupported = 12289;
inline constexpr TqbResultCode kResultConnectionLost = 292;
// Largest payload of the batch operations.
inline constexpr int32_t kRemoteBatchBytes = 65500;

// Proxy handles: 32-bit registry values that hold their objects shared, so an object removed while
// another thread still uses it is freed when that use ends.
class TQBProxyRegistry {
public:
    TqbHandle Add(TqbHandleKind Kind, std::shared_ptr<TqbObject> Object);
    template <class T> std::shared_ptr<T> Lease(TqbHandle Handle, TqbHandleKind Kind) const {
        return std::dynamic_pointer_cast<T>(lease(Handle, Kind));
    }
    // The registry's share, handed to the caller (null when the handle names nothing of that kind).
    std::shared_ptr<TqbObject> Remove(TqbHandle Handle, TqbHandleKind Kind);
    size_t Count() const { return ids_.Count(); }
    ~TQBProxyRegistry();

private:
    std::shared_ptr<TqbObject> lease(TqbHandle Handle, TqbHandleKind Kind) const;
    TqbHandleRegistry ids_;
    std::mutex removeMutex_;
    std::map<TqbHandle, TqbHandleKind> live_; // guarded by removeMutex_
};

// A list of proxy objects of one kind keyed by their handles; deleting an entry drops the handle
// and the list's share of the object. Entries are freed outside the list's lock, since freeing a
// proxy may send its close request.
template <class T> class TQBProxyList : public TqbThreadList {
public:
    TQBProxyList() : TqbThreadList(true) {}
    ~TQBProxyList() override { DeleteAll(); }
    void Add(const std::shared_ptr<T>& Object);
    // The entry's object, or null.
    std::shared_ptr<T> Find(TqbHandle Handle);
    std::shared_ptr<T> First();
    // Every object, in handle order.
    std::vector<std::shared_ptr<T>> Snapshot();
    int CountGuarded();
    // False when the handle is not in the list.
    bool Delete(TqbHandle Handle);
    void DeleteAll();

private:
    class Item : public TqbIntListItem {
    public:
        explicit Item(std::shared_ptr<T> Object);
        ~Item() override;
        std::shared_ptr<T> Object;
    };
};

using TQBProxyClientList = TQBProxyList<TQBProxyClient>;
using TQBProxySessionList = TQBProxyList<TQBProxySession>;
using TQBProxyDatabaseList = TQBProxyList<TQBProxyDatabase>;
using TQBProxyCursorList = TQBProxyList<TQBProxyCursor>;
using TqbProxySQLStmtList = TQBProxyList<TqbProxySQLStmt>;

// What every proxy object has: its registry handle and kind, and the engine that registered it.
class TQBProxyObject : public TqbObject {
public:
    TQBProxyObject(TQBRemoteServerEngine& Engine, TqbHandleKind Kind) : engine_(Engine), kind_(Kind) {}
    TqbHandle Handle() const { return handle_; }
    TqbHandleKind Kind() const { return kind_; }
    TQBRemoteServerEngine& Engine() const { return engine_; }
    // Registers the object; its handle stays until a list entry or the engine drops it.
    static TqbHandle Register(const std::shared_ptr<TQBProxyObject>& Object);
    void Unregister();
    // A list lets the object go: it lets go of what it owns in turn, so no owner is kept alive by
    // what it owns.
    virtual void Release() {}

private:
    TQBRemoteServerEngine& engine_;
    TqbHandleKind kind_;
    TqbHandle handle_ = 0;
};

// One connection to the server. Requests of one client go one at a time; each takes its reply
// from the transport's answer to that very request.
class TQBProxyClient : public TQBProxyObject, public std::enable_shared_from_this<TQBProxyClient> {
public:
    TQBProxyClient(TQBRemoteServerEngine& Engine, TqbBaseTransport* Transport, const std::string& UserName,
                   uint32_t Timeout);
    ~TQBProxyClient() override;

    // Logs in; 0 with ClientID set, or the transport's code.
    TqbResultCode Connect(uint32_t PasswordHash);
    // Frees the sessions and databases (each closing itself on the server), then ends the connection
    // unless it was lost. Runs once.
    void Close();
    void Release() override { Close(); }

    // The one road of every request: sends, waits for the one reply and returns its error code with
    // its data in Reply. After the connection was lost, closing requests succeed without traffic and
    // every other gets 292.
    TqbResultCode ProcessRequest(uint32_t MsgID, uint32_t Timeout, std::span<const uint8_t> Request,
                                 std::vector<uint8_t>& Reply);
    TqbResultCode Post(uint32_t MsgID, uint32_t Timeout, std::span<const uint8_t> Request);
    // The request of Op built by Writer (or given as Bytes), waiting with the time-out the operation
    // takes from OwnerTimeout; a request the codec refuses is not sent.
    TqbResultCode Send(qbops::TqbOp Op, uint32_t OwnerTimeout, qbops::TqbRequestWriter& Writer,
                       std::vector<uint8_t>& Reply);
    TqbResultCode SendBytes(qbops::TqbOp Op, uint32_t OwnerTimeout, std::span<const uint8_t> Bytes,
                            std::vector<uint8_t>& Reply);

    uint32_t ClientID() const { return clientID_.load(); }
    bool ForceClosed() const { return forceClosed_.load(); }
    void SetForceClosed() { forceClosed_.store(true); }
    uint32_t Timeout() const { return timeout_.load(); }
    void SetTimeout(uint32_t Value) { timeout_.store(Value); }
    const std::string& UserName() const { return userName_; }
    TqbBaseTransport* Transport() const { return transport_.load(); }
    void DropTransport() { transport_.store(nullptr); }

    TQBProxySessionList& Sessions() { return sessions_; }
    TQBProxyDatabaseList& Databases() { return databases_; }
    std::shared_ptr<TQBProxySession> CurrentSession();
    void SetCurrentSession(const std::shared_ptr<TQBProxySession>& Session);

private:
    std::string userName_;
    std::atomic<TqbBaseTransport*> transport_;
    std::atomic<uint32_t> clientID_{0};
    std::atomic<bool> forceClosed_{false};
    std::atomic<uint32_t> timeout_;
    std::mutex requestMutex_; // one request of this client on the wire at a time
    std::mutex currentMutex_;
    std::weak_ptr<TQBProxySession> current_;
    TQBProxySessionList sessions_;
    TQBProxyDatabaseList databases_;
    std::once_flag closed_;
};

// Shared part of the objects a client owns: the client and a time-out of their own.
class TQBProxyChild : public TQBProxyObject {
public:
    TQBProxyChild(TQBRemoteServerEngine& Engine, TqbHandleKind Kind, std::shared_ptr<TQBProxyClient> Client,
                  uint32_t Timeout)
        : TQBProxyObject(Engine, Kind), client_(std::move(Client)), timeout_(Timeout) {}
    TQBProxyClient& Client() const { return *client_; }
    const std::shared_ptr<TQBProxyClient>& ClientPtr() const { return client_; }
    uint32_t Timeout() const { return timeout_.load(); }
    // False when the value is the one stored already.
    bool ChangeTimeout(uint32_t Value) { return timeout_.exchange(Value) != Value; }
    TqbResultCode Send(qbops::TqbOp Op, qbops::TqbRequestWriter& Writer, std::vector<uint8_t>& Reply) {
        return client_->Send(Op, Timeout(), Writer, Reply);
    }
    TqbResultCode SendBytes(qbops::TqbOp Op, std::span<const uint8_t> Bytes, std::vector<uint8_t>& Reply) {
        return client_->SendBytes(Op, Timeout(), Bytes, Reply);
    }

protected:
    // Sends the closing request of a server identifier (nothing for 0); never raises.
    void SendClose(qbops::TqbOp Op, uint32_t ServerID) noexcept;

private:
    std::shared_ptr<TQBProxyClient> client_;
    std::atomic<uint32_t> timeout_;
};

class TQBProxySession : public TQBProxyChild {
public:
    TQBProxySession(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyClient> Client, uint32_t Timeout)
        : TQBProxyChild(Engine, TqbHandleKind::Session, std::move(Client), Timeout) {}
    ~TQBProxySession() override;
    uint32_t SessionID = 0;
};

class TQBProxyDatabase : public TQBProxyChild, public std::enable_shared_from_this<TQBProxyDatabase> {
public:
    TQBProxyDatabase(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyClient> Client, uint32_t Timeout)
        : TQBProxyChild(Engine, TqbHandleKind::Database, std::move(Client), Timeout) {}
    ~TQBProxyDatabase() override;
    // Frees the cursors and statements.
    void Close();
    void Release() override { Close(); }
    uint32_t DatabaseID = 0;
    TQBProxyCursorList& Cursors() { return cursors_; }
    TqbProxySQLStmtList& Statements() { return statements_; }

private:
    TQBProxyCursorList cursors_;
    TqbProxySQLStmtList statements_;
};

class TQBProxyCursor : public TQBProxyChild {
public:
    TQBProxyCursor(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyDatabase> Database,
                   const std::string& TableName, TqbOpenMode OpenMode, TqbShareMode ShareMode,
                   uint32_t Timeout, uint32_t BlockSize, bool KeylessBookmarks);
    ~TQBProxyCursor() override;

    TQBProxyDatabase& Database() const { return *database_; }
    const std::shared_ptr<TQBProxyDatabase>& DatabasePtr() const { return database_; }
    uint32_t CursorID = 0;
    TqbOpenMode OpenMode;
    TqbShareMode ShareMode;
    std::string TableName;
    TqbDataDictionary Dictionary;
    const bool KeylessBookmarks;

    // Index state, read and changed under the cursor's own lock.
    int32_t IndexID();
    std::string IndexName();
    // Takes the index by number (its name from the dictionary) or by name (its number from there).
    void SetIndex(int32_t Number, const std::string& Name);
    int32_t RecordLength() const { return recordLength_.load(); }
    void TakeRecordLength() { recordLength_.store(Dictionary.RecordLength()); }
    // Key length of the current index (0 when the dictionary has no such index).
    int32_t KeyLength();
    uint32_t BookmarkSize();

private:
    std::shared_ptr<TQBProxyDatabase> database_;
    std::mutex indexMutex_;
    int32_t indexID_ = 0;
    std::string indexName_;
    std::atomic<int32_t> recordLength_{0};
};

class TqbProxySQLStmt : public TQBProxyChild {
public:
    TqbProxySQLStmt(TQBRemoteServerEngine& Engine, std::shared_ptr<TQBProxyDatabase> Database,
                    uint32_t Timeout);
    ~TqbProxySQLStmt() override;
    TQBProxyDatabase& Database() const { return *database_; }
    const std::shared_ptr<TQBProxyDatabase>& DatabasePtr() const { return database_; }
    uint32_t StmtID = 0;

private:
    std::shared_ptr<TQBProxyDatabase> database_;
};

// Every remote engine of the process, in the order they were made.
std::vector<TQBRemoteServerEngine*> RemoteServerEngines();

class TQBRemoteServerEngine : public TqbIntermediateServerEngine {
public:
    explicit TQBRemoteServerEngine(cls::TComponent* AOwner = nullptr);

    TqbBaseTransport* Transport() const { return transport_.load(); }
    void SetTransport(TqbBaseTransport* Value);
    // The dataset client's time-out; nothing here reads it.
    uint32_t TimeOut = 0;
    TQBProxyClientList& ClientList() { return clients_; }
    TQBProxyRegistry& Registry() { return registry_; }

    void ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) override;

    TqbResultCode ProcessRequest(TqbHandle ClientID, uint32_t MsgID, uint32_t Timeout,
                                 std::span<const uint8_t> RequestData, std::vector<uint8_t>& Reply) override;
    TqbResultCode ProcessRequestNoReply(TqbHandle ClientID, uint32_t MsgID, uint32_t Timeout,
                                        std::span<const uint8_t> RequestData) override;

    // ---- properties ------------------------------------------------------------------------------
    bool GetNoAutoSaveCfg() override;
    bool GetIsReadOnly() override;
    void SetNoAutoSaveCfg(bool Value) override;
    void SetIsReadOnly(bool Value) override;

    // ---- server names and logging
    TqbResultCode GetServerNames(cls::TStringList& List, uint32_t Timeout) override;
    void LogString(std::string_view S) override;
    void LogStrings(const std::vector<std::string>& Strings) override;
    void LogFormat(std::string_view Fmt, const QbFormatArgs& Args) override;

    // ---- transactions
    TqbResultCode TransactionCommit(TqbHandle DatabaseID) override;
    TqbResultCode TransactionRollback(TqbHandle DatabaseID) override;
    TqbResultCode TransactionStart(TqbHandle DatabaseID, bool FailSafe) override;
    TqbResultCode TransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                       const std::vector<TqbHandle>& CursorIDs) override;

    // ---- clients
    TqbResultCode ClientAdd(TqbHandle& ClientID, const std::string& ClientName, const std::string& UserID,
                            uint32_t Timeout, uint32_t& PasswordHash) override;
    TqbResultCode ClientRemove(TqbHandle ClientID) override;
    TqbResultCode ClientSetTimeout(TqbHandle ClientID, uint32_t Timeout) override;

    // ---- sessions
    TqbResultCode SessionAdd(TqbHandle ClientID, uint32_t Timeout, TqbHandle& SessionID) override;
    TqbResultCode SessionCloseUnusedTables(TqbHandle ClientID) override;
    TqbResultCode SessionCount(TqbHandle ClientID, int32_t& Count) override;
    TqbResultCode SessionGetCurrent(TqbHandle ClientID, TqbHandle& SessionID) override;
    TqbResultCode SessionRemove(TqbHandle ClientID, TqbHandle SessionID) override;
    TqbResultCode SessionSetCurrent(TqbHandle ClientID, TqbHandle SessionID) override;
    TqbResultCode SessionSetTimeout(TqbHandle ClientID, TqbHandle SessionID, uint32_t Timeout) override;

    // ---- aliases and databases (names up to 31, paths up to 219 characters)
    TqbResultCode AliasAdd(const std::string& Alias, const std::string& Path, TqbHandle ClientID) override;
    TqbResultCode AliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) override;
    TqbResultCode RecoveryAliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) override;
    TqbResultCode AliasChangePath(const std::string& Alias, const std::string& NewPath,
                                  TqbHandle ClientID) override;
    TqbResultCode DatabaseClose(TqbHandle DatabaseID) override;
    TqbResultCode AliasDelete(const std::string& Alias, TqbHandle ClientID) override;
    TqbResultCode AliasGetPath(const std::string& Alias, TqbHandle ClientID, std::string& Path) override;
    TqbResultCode DatabaseGetFreeSpace(TqbHandle DatabaseID, int32_t& FreeSpace) override;
    TqbResultCode AliasModify(TqbHandle ClientID, const std::string& Alias, const std::string& NewName,
                              const std::string& NewPath) override;
    TqbResultCode DatabaseOpen(TqbHandle ClientID, const std::string& Alias, TqbOpenMode OpenMode,
                               TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& DatabaseID) override;
    TqbResultCode DatabaseOpenPath(TqbHandle ClientID, const std::string& Path, TqbOpenMode OpenMode,
                                   TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& DatabaseID) override;
    TqbResultCode DatabaseSetTimeout(TqbHandle DatabaseID, uint32_t Timeout) override;
    TqbResultCode TableExists(TqbHandle DatabaseID, const std::string& TableName, bool& Exists) override;
    TqbResultCode TableList(TqbHandle DatabaseID, const std::string& Mask,
                            std::vector<TqbTableListRecord>& List) override;
    TqbResultCode TableIsLockedExclusive(TqbHandle DatabaseID, const std::string& TableName,
                                         bool& IsLocked) override;
    //
    TqbResultCode RebuildGetStatus(TqbHandle RebuildID, TqbHandle ClientID, bool& IsPresent,
                                   TqbRebuildStatus& Status) override;

    // ---- table operations (CursorID 0: the table is opened by name for the operation)
    TqbResultCode TableAddIndex(TqbHandle DatabaseID, TqbHandle CursorID, const std::string& TableName,
                                const TqbIndexDescriptor& IndexDesc) override;
    TqbResultCode TableBuild(TqbHandle DatabaseID, bool OverWrite, const std::string& TableName,
                             bool ForServer, TqbDataDictionary& Dictionary) override;
    TqbResultCode TableDelete(TqbHandle DatabaseID, const std::string& TableName) override;
    TqbResultCode TableDropIndex(TqbHandle DatabaseID, TqbHandle CursorID, const std::string& TableName,
                                 const std::string& IndexName, int32_t IndexID) override;
    TqbResultCode TableEmpty(TqbHandle DatabaseID, TqbHandle CursorID, const std::string& TableName) override;
    TqbResultCode TableGetAutoInc(TqbHandle CursorID, uint32_t& Value) override;
    TqbResultCode TableGetDictionary(TqbHandle DatabaseID, const std::string& TableName,
                                     cls::TStream& Stream) override;
    TqbResultCode TableGetRecordCount(TqbHandle CursorID, int32_t& Count) override;
    TqbResultCode TableGetRecordCountAsync(TqbHandle CursorID, TqbHandle& RebuildID) override;
    TqbResultCode TableOpen(TqbHandle DatabaseID, const std::string& TableName, bool ForServer,
                            const std::string& IndexName, int32_t IndexID, TqbOpenMode OpenMode,
                            TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& CursorID,
                            cls::TStream* Stream) override;
    TqbResultCode TablePack(TqbHandle DatabaseID, const std::string& TableName,
                            TqbHandle& RebuildID) override;
    TqbResultCode TableReindex(TqbHandle DatabaseID, const std::string& TableName,
                               const std::string& IndexName, int32_t IndexID, TqbHandle& RebuildID) override;
    TqbResultCode TableRename(TqbHandle DatabaseID, const std::string& OldName,
                              const std::string& NewName) override;
    TqbResultCode TableRestructure(TqbHandle DatabaseID, const std::string& TableName,
                                   TqbDataDictionary& NewDictionary, const cls::TStringList* FieldMap,
                                   TqbHandle& RebuildID) override;
    TqbResultCode TableSetAutoInc(TqbHandle CursorID, uint32_t Value) override;

    // ---- table locks
    TqbResultCode TableIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) override;
    TqbResultCode TableLockAcquire(TqbHandle CursorID, TqbLockType LockType) override;
    TqbResultCode TableLockRelease(TqbHandle CursorID, TqbLockType LockType, bool AllLocks) override;

    // ---- cursors (bookmarks are CursorGetBookmarkSize bytes)
    TqbResultCode CursorClone(TqbHandle CursorID, TqbOpenMode OpenMode, TqbHandle& NewCursorID) override;
    TqbResultCode CursorClose(TqbHandle CursorID) override;
    TqbResultCode CursorCompareBookmarks(TqbHandle CursorID, std::span<const uint8_t> Bookmark1,
                                         std::span<const uint8_t> Bookmark2, int32_t& Result) override;
    TqbResultCode CursorCopyRecords(TqbHandle SourceCursorID, TqbHandle DestCursorID,
                                    bool CopyBLOBs) override;
    TqbResultCode CursorDeleteRecords(TqbHandle CursorID) override;
    TqbResultCode CursorGetBookmark(TqbHandle CursorID, std::span<uint8_t> Bookmark) override;
    TqbResultCode CursorGetBookmarkSize(TqbHandle CursorID, uint32_t& Size) override;
    TqbResultCode BLOBListFreeSpace(TqbHandle CursorID, bool InMemory, cls::TStream& Stream) override;
    TqbResultCode CursorOverrideFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                       uint32_t Timeout) override;
    TqbResultCode CursorResetRange(TqbHandle CursorID) override;
    TqbResultCode CursorRestoreFilter(TqbHandle CursorID) override;
    TqbResultCode CursorSetRange(TqbHandle CursorID, bool DirectKey, int32_t StartFieldCount,
                                 int32_t StartPartialLen, std::span<const uint8_t> StartKey,
                                 bool StartInclusive, int32_t EndFieldCount, int32_t EndPartialLen,
                                 std::span<const uint8_t> EndKey, bool EndInclusive) override;
    TqbResultCode CursorSetTimeout(TqbHandle CursorID, uint32_t Timeout) override;
    TqbResultCode CursorSetToBegin(TqbHandle CursorID) override;
    TqbResultCode CursorSetToBookmark(TqbHandle CursorID, std::span<const uint8_t> Bookmark) override;
    TqbResultCode CursorSetToCursor(TqbHandle DestCursorID, TqbHandle SourceCursorID) override;
    TqbResultCode CursorSetToEnd(TqbHandle CursorID) override;
    TqbResultCode CursorSetToKey(TqbHandle CursorID, TqbSearchAction SearchAction, bool DirectKey,
                                 int32_t FieldCount, int32_t PartialLen,
                                 std::span<const uint8_t> KeyData) override;
    TqbResultCode CursorSwitchToIndex(TqbHandle CursorID, const std::string& IndexName, int32_t IndexID,
                                      bool PosnOnRec) override;
    TqbResultCode CursorSetFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                  uint32_t Timeout) override;

    // ---- records (Data: a buffer of the cursor's record length, or empty)
    TqbResultCode RecordDelete(TqbHandle CursorID, std::span<uint8_t> Data) override;
    TqbResultCode RecordDeleteBatch(TqbHandle CursorID, int32_t BookmarkCount, int32_t BookmarkSize,
                                    std::span<const uint8_t> Bookmarks,
                                    std::vector<int32_t>& Errors) override;
    TqbResultCode RecordExtractKey(TqbHandle CursorID, std::span<const uint8_t> Data,
                                   std::span<uint8_t> Key) override;
    TqbResultCode RecordGet(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data) override;
    TqbResultCode RecordGetBatch(TqbHandle CursorID, int32_t RequestCount, int32_t RecordLength,
                                 std::span<uint8_t> Data, int32_t& ReturnCount, int32_t& Error) override;
    TqbResultCode RecordGetForKey(TqbHandle CursorID, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                  std::span<const uint8_t> KeyData, std::span<uint8_t> Data,
                                  bool FirstCall) override;
    TqbResultCode RecordGetNext(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data) override;
    TqbResultCode RecordGetPrior(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data) override;
    TqbResultCode RecordStepWithBookmark(TqbHandle CursorID, bool Forward, TqbLockType LockType,
                                         std::span<uint8_t> Data, std::span<uint8_t> Bookmark) override;
    TqbResultCode RecordInsert(TqbHandle CursorID, TqbLockType LockType,
                               std::span<const uint8_t> Data) override;
    TqbResultCode RecordInsertBatch(TqbHandle CursorID, int32_t RecordCount, int32_t RecordLength,
                                    std::span<const uint8_t> Data, std::vector<int32_t>& Errors) override;
    TqbResultCode RecordIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) override;
    TqbResultCode RecordModify(TqbHandle CursorID, std::span<const uint8_t> Data, bool RelLock) override;
    TqbResultCode RecordReleaseLock(TqbHandle CursorID, bool AllLocks) override;

    // ---- BLOBs (BLOB numbers are 64-bit)
    TqbResultCode BLOBCreate(TqbHandle CursorID, uint64_t& BLOBNr) override;
    TqbResultCode BLOBDelete(TqbHandle CursorID, uint64_t BLOBNr) override;
    TqbResultCode BLOBListSegments(TqbHandle CursorID, uint64_t BLOBNr, cls::TStream& Stream) override;
    TqbResultCode BLOBRead(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset, std::span<uint8_t> Buffer,
                           uint32_t& BytesRead) override;
    TqbResultCode BLOBFree(TqbHandle CursorID, uint64_t BLOBNr, bool ReadOnly) override;
    TqbResultCode BLOBGetLength(TqbHandle CursorID, uint64_t BLOBNr, uint32_t& Length) override;
    TqbResultCode BLOBTruncate(TqbHandle CursorID, uint64_t BLOBNr, uint32_t NewLength) override;
    TqbResultCode BLOBWrite(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                            std::span<const uint8_t> Buffer) override;
    TqbResultCode BLOBCreateFile(TqbHandle CursorID, const std::string& FileName, uint64_t& BLOBNr) override;

    // ---- SQL statements
    TqbResultCode SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) override;
    TqbResultCode SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                          cls::TStream& Stream) override;
    TqbResultCode SQLExecDirect(TqbHandle DatabaseID, const std::string& Query, uint32_t Timeout,
                                TqbOpenMode OpenMode, TqbHandle& CursorID, cls::TStream& Stream) override;
    TqbResultCode SQLFree(TqbHandle StmtID) override;
    TqbResultCode SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) override;
    TqbResultCode SQLSetParams(TqbHandle StmtID, uint16_t ParamCount, std::span<const uint8_t> ParamDescs,
                               std::span<const uint8_t> ParamData, cls::TStream& Stream) override;

    // ---- server information
    TqbResultCode GetServerDateTime(cls::TDateTime& DateTime) override;
    TqbResultCode GetServerSystemTime(TqbSystemTime& SystemTime) override;
    TqbResultCode GetNewGUID(TqbGUID& GUID) override;
    TqbResultCode GetServerID(TqbGUID& ServerID) override;
    TqbResultCode GetServerStatistics(TqbServerStatistics& Stats) override;
    TqbResultCode GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) override;
    TqbResultCode GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                         TqbTransportStatistics& Stats) override;

protected:
    ~TQBRemoteServerEngine() override;
    void BeforeDestruction() override;
    void EnterInitializing() override {}
    void EnterShuttingDown() override {}
    void EnterInactive() override {}
    void EnterStarting() override {}

private:
    std::shared_ptr<TQBProxyClient> client(TqbHandle Handle) const;
    std::shared_ptr<TQBProxySession> session(TqbHandle Handle) const;
    std::shared_ptr<TQBProxyDatabase> database(TqbHandle Handle) const;
    std::shared_ptr<TQBProxyCursor> cursor(TqbHandle Handle) const;
    std::shared_ptr<TqbProxySQLStmt> statement(TqbHandle Handle) const;
    // Work() with every exception turned into its code.
    template <class F> TqbResultCode guarded(F&& Work) noexcept {
        try {
            return Work();
        } catch (const EqbServerComponentError& e) {
            return e.ErrorCode;
        } catch (...) {
            return guardedCode();
        }
    }
    static TqbResultCode guardedCode() noexcept;
    // Work(proxy) for a live handle of the kind, else 9990.
    template <class F> TqbResultCode onClient(TqbHandle ClientID, F&& Work);
    template <class F> TqbResultCode onDatabase(TqbHandle DatabaseID, F&& Work);
    template <class F> TqbResultCode onCursor(TqbHandle CursorID, F&& Work);
    template <class F> TqbResultCode onStatement(TqbHandle StmtID, F&& Work);
    // Work(first client) for requests that name no client; 10756 without one.
    template <class F> TqbResultCode onAnyClient(F&& Work);
    bool optionalCursor(TqbHandle CursorID, uint32_t& ServerID);
    TqbResultCode removeClient(const std::shared_ptr<TQBProxyClient>& Client);

    // Shapes several operations share.
    TqbResultCode openDatabase(TqbHandle ClientID, qbops::TqbOp Op, const std::string& Name,
                               TqbOpenMode OpenMode, TqbShareMode ShareMode, uint32_t Timeout,
                               TqbHandle& DatabaseID);
    TqbResultCode databaseFlag(TqbHandle DatabaseID, qbops::TqbOp Op, const std::string& Name, bool& Value);
    TqbResultCode cursorU32(TqbHandle CursorID, qbops::TqbOp Op, uint32_t& Value);
    TqbResultCode cursorFlag(TqbHandle CursorID, qbops::TqbOp Op, uint8_t Arg, bool& Value);
    TqbResultCode cursorOnly(TqbHandle CursorID, qbops::TqbOp Op);
    TqbResultCode rebuildOf(TqbHandle DatabaseID, qbops::TqbOp Op, const std::string& TableName,
                            const std::string* IndexName, int32_t IndexID, TqbHandle& RebuildID);
    TqbResultCode filter(TqbHandle CursorID, qbops::TqbOp Op, std::span<const uint8_t> Expression,
                         uint32_t Timeout);
    // The batches answered with one code per item.
    TqbResultCode codesBatch(TqbHandle CursorID, qbops::TqbOp Op, int32_t Count, int32_t Size,
                             std::span<const uint8_t> Items, std::vector<int32_t>& Errors);
    TqbResultCode recordRead(TqbHandle CursorID, qbops::TqbOp Op, TqbLockType LockType,
                             std::span<uint8_t> Data);
    TqbResultCode blobNumber(TqbHandle CursorID, qbops::TqbOp Op, const std::string* FileName,
                             uint64_t& BLOBNr);
    TqbResultCode serverRecord(qbops::TqbOp Op, std::span<uint8_t> Out,
                               const std::function<void(qbops::TqbRequestWriter&)>& Fill);
    void addCursor(TQBProxyDatabase& Database, const std::shared_ptr<TQBProxyCursor>& Cursor);
    // The cursor a statement's reply describes (none for cursor ID 0), and the reply for the caller.
    TqbResultCode resultCursor(TQBProxyDatabase& Database, std::span<const uint8_t> Reply,
                               TqbOpenMode OpenMode, uint32_t Timeout, TqbHandle& CursorID,
                               cls::TStream& Stream);

    std::atomic<TqbBaseTransport*> transport_{nullptr};
    TQBProxyRegistry registry_;
    TQBProxyClientList clients_;
    bool listed_ = false;
};
