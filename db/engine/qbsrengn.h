// The in-process database engine: its lists of server objects, start and stop, garbage
// collection, configuration, and every operation of the engine interface inside one frame.
//
// Where the members are defined:
//   qbsrengn.cpp        - construction, state hooks, garbage collection, properties, configuration
//                         load, logging, the frame's helpers
//   qbsrengn_client.cpp - clients, sessions, aliases, databases, transactions, server information
//   qbsrengn_cursor.cpp - cursor, record, BLOB and SQL operations
//   qbsrengn_table.cpp  - table operations and table locks
//   qbsrengn_rebuild.cpp - the rebuild jobs: reindex, pack, restructure, background record count
#pragma once
#include "db/engine/qbsqlbas.h"
#include "db/engine/qbsrcfg.h"
#include "db/engine/qbsrclnt.h"
#include "db/engine/qbsrcur_cursor.h"
#include "db/engine/qbsrcvex.h"
#include "db/engine/qbsrfold.h"
#include "db/engine/qbsrintm.h"
#include "db/engine/qbsrstat.h"
#include "db/storage/qbsrlock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TqbServerEngine;

// Codes of the frame.
inline constexpr TqbResultCode kResultNotStarted = 15459;

// The clock the engine measures its waits with; tests put in their own.
class TqbEngineClock {
public:
    virtual ~TqbEngineClock() = default;
    virtual uint32_t Tick() { return TickCount(); }
    // Waits for Event up to TimeoutMs; true when it was set.
    virtual bool WaitFor(TqbEvent& Event, uint32_t TimeoutMs) { return Event.TryWait(TimeoutMs) == 0; }
};

// The cursor host of the engine: its open tables, buffer manager, cursors, read-only flag and the
// key procedures of its configuration.
class TqbEngineCursorHost : public TqbSrCursorHost {
public:
    TqbEngineCursorHost(TqbServerEngine& Engine, TqbBufferManager& BufferManager)
        : TqbSrCursorHost(BufferManager), engine_(Engine) {}
    bool IsReadOnly() override;
    bool UseEncrypt() override;
    bool FindKeyProc(const std::string& Key, TqbKeyProcEntry& Entry) override;
    std::string ConfigFolder() override;
    void LogError(const std::string& Text) override;

private:
    TqbServerEngine& engine_;
};

// Restores the calling thread's deadline when it goes.
class TqbDeadlineScope {
public:
    explicit TqbDeadlineScope(uint32_t TimeoutMs) : saved_(GetThreadDeadline()) {
        SetThreadDeadline(TimeoutMs);
    }
    ~TqbDeadlineScope() { RestoreThreadDeadline(saved_); }
    TqbDeadlineScope(const TqbDeadlineScope&) = delete;
    TqbDeadlineScope& operator=(const TqbDeadlineScope&) = delete;

private:
    TqbThreadDeadline saved_;
};

class TqbServerEngine : public TqbIntermediateServerEngine {
public:
    explicit TqbServerEngine(cls::TComponent* AOwner = nullptr);

    // ---- published properties --------------------------------------------------------------------
    bool CollectGarbage();
    void SetCollectGarbage(bool Value);
    int32_t CollectFrequency();
    void SetCollectFrequency(int32_t Value);
    // Empty: the current directory (the folder the program runs in), with a trailing separator.
    std::string ConfigDir() const;
    void SetConfigDir(const std::string& Value);
    uint32_t MaxRAM();
    void SetMaxRAM(uint32_t Value);
    std::function<void(TqbServerEngine&)> OnRecoveryCheck;
    // Folders opened by path (no alias) whose journals the start-up check recovers too, after the
    // aliases' (a server's served folder). A failure there is logged with its code and keeps only
    // that folder closed: each opening of it reports it again. Set before the engine starts.
    std::vector<std::string> RecoveryFolders;
    // Asks the operator about a journal found at start-up (a program with windows shows its dialog);
    // without it the first button answers. Set before the engine starts.
    TqbJournalPromptHook::Hook OnJournalPrompt;
    std::string ScriptFile;
    TqbBaseSQLEngine* SQLEngine() const { return sqlEngine_.load(); }
    void SetSQLEngine(TqbBaseSQLEngine* Engine);
    void SetEventLog(TqbBaseLog* log) override;
    void SetEventLogEnabled(bool value) override;

    // Where the configuration is kept; without one, the configuration tables in ConfigDir.
    void SetConfigStore(std::unique_ptr<TqbConfigStore> Store);
    void SetClock(std::shared_ptr<TqbEngineClock> Clock);
    TqbServerConfiguration& Configuration() { return config_; }
    TqbBufferManager& BufferManager() { return *bm_; }
    TqbEngineCursorHost& Host() { return *host_; }
    TqbSrFolderList& Folders() { return folders_; }

    // One garbage-collection pass (the timer's work); never raises.
    int32_t seCollectGarbage();
    // Writes the error to the event log whenever one is assigned, unless ReadOnly.
    void seLogError(std::string_view Fmt, const QbFormatArgs& Args, bool ReadOnly);
    static bool seIsSystemTable(std::string_view Name);
    std::string seGetServerName();

    // ---- properties ------------------------------------------------------------------------------
    bool GetNoAutoSaveCfg() override;
    bool GetIsReadOnly() override;
    void SetNoAutoSaveCfg(bool Value) override;
    void SetIsReadOnly(bool Value) override;

    // ---- server names and logging (qbsrengn.cpp)
    TqbResultCode GetServerNames(cls::TStringList& List, uint32_t Timeout) override;
    void LogString(std::string_view S) override;
    void LogStrings(const std::vector<std::string>& Strings) override;
    void LogFormat(std::string_view Fmt, const QbFormatArgs& Args) override;

    // ---- transactions (qbsrengn_client.cpp)
    TqbResultCode TransactionCommit(TqbHandle DatabaseID) override;
    TqbResultCode TransactionRollback(TqbHandle DatabaseID) override;
    TqbResultCode TransactionStart(TqbHandle DatabaseID, bool FailSafe) override;
    TqbResultCode TransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                       const std::vector<TqbHandle>& CursorIDs) override;

    // ---- clients (qbsrengn_client.cpp)
    TqbResultCode ClientAdd(TqbHandle& ClientID, const std::string& ClientName, const std::string& UserID,
                            uint32_t Timeout, uint32_t& PasswordHash) override;
    TqbResultCode ClientRemove(TqbHandle ClientID) override;
    TqbResultCode ClientSetTimeout(TqbHandle ClientID, uint32_t Timeout) override;

    // ---- sessions (qbsrengn_client.cpp)
    TqbResultCode SessionAdd(TqbHandle ClientID, uint32_t Timeout, TqbHandle& SessionID) override;
    TqbResultCode SessionCloseUnusedTables(TqbHandle ClientID) override;
    TqbResultCode SessionCount(TqbHandle ClientID, int32_t& Count) override;
    TqbResultCode SessionGetCurrent(TqbHandle ClientID, TqbHandle& SessionID) override;
    TqbResultCode SessionRemove(TqbHandle ClientID, TqbHandle SessionID) override;
    TqbResultCode SessionSetCurrent(TqbHandle ClientID, TqbHandle SessionID) override;
    TqbResultCode SessionSetTimeout(TqbHandle ClientID, TqbHandle SessionID, uint32_t Timeout) override;

    // ---- aliases and databases (names up to 31, paths up to 219 characters) (qbsrengn_client.cpp)
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
    // (qbsrengn_rebuild.cpp)
    TqbResultCode RebuildGetStatus(TqbHandle RebuildID, TqbHandle ClientID, bool& IsPresent,
                                   TqbRebuildStatus& Status) override;

    // ---- table operations (CursorID 0: the table is opened by name for the operation) (qbsrengn_table.cpp)
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

    // ---- table locks (qbsrengn_table.cpp)
    TqbResultCode TableIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) override;
    TqbResultCode TableLockAcquire(TqbHandle CursorID, TqbLockType LockType) override;
    TqbResultCode TableLockRelease(TqbHandle CursorID, TqbLockType LockType, bool AllLocks) override;

    // ---- cursors (bookmarks are CursorGetBookmarkSize bytes) (qbsrengn_cursor.cpp)
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

    // ---- records (Data: a buffer of the cursor's record length, or empty) (qbsrengn_cursor.cpp)
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
    TqbResultCode RecordInsert(TqbHandle CursorID, TqbLockType LockType,
                               std::span<const uint8_t> Data) override;
    TqbResultCode RecordInsertBatch(TqbHandle CursorID, int32_t RecordCount, int32_t RecordLength,
                                    std::span<const uint8_t> Data, std::vector<int32_t>& Errors) override;
    TqbResultCode RecordIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) override;
    TqbResultCode RecordModify(TqbHandle CursorID, std::span<const uint8_t> Data, bool RelLock) override;
    TqbResultCode RecordReleaseLock(TqbHandle CursorID, bool AllLocks) override;

    // ---- BLOBs (BLOB numbers are 64-bit) (qbsrengn_cursor.cpp)
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

    // ---- SQL statements (qbsrengn_cursor.cpp)
    TqbResultCode SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) override;
    TqbResultCode SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                          cls::TStream& Stream) override;
    TqbResultCode SQLExecDirect(TqbHandle DatabaseID, const std::string& Query, uint32_t Timeout,
                                TqbOpenMode OpenMode, TqbHandle& CursorID, cls::TStream& Stream) override;
    TqbResultCode SQLFree(TqbHandle StmtID) override;
    TqbResultCode SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) override;
    TqbResultCode SQLSetParams(TqbHandle StmtID, uint16_t ParamCount, std::span<const uint8_t> ParamDescs,
                               std::span<const uint8_t> ParamData, cls::TStream& Stream) override;

    // ---- server information (qbsrengn_client.cpp)
    TqbResultCode GetServerDateTime(cls::TDateTime& DateTime) override;
    TqbResultCode GetServerSystemTime(TqbSystemTime& SystemTime) override;
    TqbResultCode GetNewGUID(TqbGUID& GUID) override;
    TqbResultCode GetServerID(TqbGUID& ServerID) override;
    TqbResultCode GetServerStatistics(TqbServerStatistics& Stats) override;
    TqbResultCode GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) override;
    TqbResultCode GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                         TqbTransportStatistics& Stats) override;

    // ---- for the engine's own parts and its tests ------------------------------------------------
    // Live objects of each kind, for statistics and checks.
    TqbServerCounts Counts();

protected:
    ~TqbServerEngine() override;
    void BeforeDestruction() override;
    void Notification(cls::TComponent* AComponent, cls::TOperation operation) override;
    void EnterInitializing() override;
    void EnterStarting() override;
    void EnterShuttingDown() override;
    void EnterInactive() override;

public:
    // ---- the operation frame (used by every operation file) ---------------------------------------

    // Counts an operation from its first step to its last, so shut-down can wait for those in flight.
    class TqbInFlight {
    public:
        explicit TqbInFlight(TqbServerEngine& Engine);
        ~TqbInFlight();
        TqbInFlight(const TqbInFlight&) = delete;
        TqbInFlight& operator=(const TqbInFlight&) = delete;

    private:
        TqbServerEngine& engine_;
    };

    // Runs Work(T& Object) -> TqbResultCode in the frame: the engine started (15459), Handle a live
    // object of Kind (else the kind's unknown code), the object activated under its client's
    // padlock, the thread's deadline from its time-out, any exception converted, the object
    // deactivated (and let go when it was closed meanwhile).
    template <class T, class F> TqbResultCode Frame(TqbHandle Handle, TqbHandleKind Kind, F&& Work) {
        if (State() != qbsStarted) return kResultNotStarted;
        TqbInFlight flight(*this);
        std::shared_ptr<T> lease = registry_.LeaseAs<T>(Handle, Kind);
        if (!lease) return UnknownHandleCode(Kind);
        T& object = *lease;
        TqbActivation activation(std::move(lease), closedHook()); // holds the lease from here on
        if (!activation.Active()) return UnknownHandleCode(Kind);
        TqbLockWaitStopScope stopping(&lockWaitStop_);
        try {
            TqbDeadlineScope deadline(object.Timeout());
            return Work(object);
        } catch (...) {
            return ConvertException(std::current_exception());
        }
    }
    // The cursor frame.
    template <class F> TqbResultCode CursorFrame(TqbHandle CursorID, F&& Work) {
        return Frame<TqbSrBaseCursor>(CursorID, TqbHandleKind::Cursor, std::forward<F>(Work));
    }
    template <class F> TqbResultCode DatabaseFrame(TqbHandle DatabaseID, F&& Work) {
        return Frame<TqbSrDatabase>(DatabaseID, TqbHandleKind::Database, std::forward<F>(Work));
    }
    template <class F> TqbResultCode ClientFrame(TqbHandle ClientID, F&& Work) {
        return Frame<TqbSrClient>(ClientID, TqbHandleKind::Client, std::forward<F>(Work));
    }
    // Two cursors held at once (copying between them, positioning one on the other): Work(A, B) with
    // A's deadline. The two clients' padlocks are taken in one fixed order, so two such operations
    // in opposite directions never wait on each other.
    TqbResultCode
    TwoCursorFrame(TqbHandle CursorA, TqbHandle CursorB,
                   const std::function<TqbResultCode(TqbSrBaseCursor&, TqbSrBaseCursor&)>& Work);

    // Ends the lock waits of the operations under way with 15459, and every later one as it
    // begins, until the next start: a stop waits for no lock. Shut-down does it first.
    void EndLockWaits() { lockWaitStop_.Stop(); }

    // The exception in flight as a result code (logged unless the engine is read-only).
    TqbResultCode ConvertException(const std::exception_ptr& E);

    // A write through Cursor as the engine runs it: the cursor's write check (LockCurrent reads and
    // locks the current record), an implicit transaction when the database has none, committed after
    // success and rolled back after a failure or an exception. Inside the client's own transaction a
    // failed write marks that transaction failed when MarkFailed (its commit then rolls back, 15443).
    TqbResultCode seCursorWrite(TqbSrBaseCursor& Cursor, bool LockCurrent, bool ReleaseFlag, bool MarkFailed,
                                const std::function<TqbResultCode()>& Work);

    // Registers a new cursor: handle, the engine's cursor list. Returns the handle.
    TqbHandle RegisterCursor(const std::shared_ptr<TqbSrBaseCursor>& Cursor);
    // Drops a closed object's handle and list entries.
    void ObjectClosed(TqbServerObject& Object);
    TqbServerObjectRegistry& Registry() { return registry_; }
    TqbSrClientList& ClientList() { return clients_; }
    TqbSrSessionList& SessionList() { return sessions_; }
    TqbSrDatabaseList& DatabaseList() { return databases_; }
    TqbSrTableList& TableList() { return host_->Tables(); }
    TqbSrCursorList& CursorList() { return host_->Cursors(); }

private:
    std::function<void(TqbServerObject&)> closedHook() {
        return [this](TqbServerObject& o) { ObjectClosed(o); };
    }
    void loadConfiguration();
    // The configuration tables in ConfigDir, with the alias file and the script file applied.
    void makeDefaultStore();
    void recomputeLogging();
    // Frees every client (with its sessions, databases and cursors) once no operation is in flight.
    void freeAll();
    // Each takes the object out of its lists and the registry, and what it owns with it; once only.
    void closeClient(TqbSrClient& Client);
    void closeSession(TqbSrSession& Session);
    void closeDatabase(TqbSrDatabase& Database);
    void closeCursor(TqbSrBaseCursor& Cursor);
    TqbResultCode openDatabase(TqbSrClient& Client, const std::string& Path, const std::string& AliasName,
                               TqbOpenMode OpenMode, TqbShareMode ShareMode, uint32_t Timeout,
                               TqbHandle& DatabaseID);

    // Declared in the order they are made; freed in reverse. The registry goes last, so no object
    // outlives the lists that point at it.
    std::unique_ptr<TqbConfigStore> store_;
    std::shared_ptr<TqbEngineClock> clock_;
    TqbServerConfiguration config_;
    std::atomic<bool> configLoaded_{false};
    std::string configDir_;
    std::unique_ptr<TqbBufferManager> bm_;
    TqbSrFolderList folders_;
    // The built-in start-up recovery check of every alias folder.
    void recoveryCheck();
    void recoverFoldersByPath();
    TqbJournalPromptHook journalPrompt_;
    TqbServerObjectRegistry registry_;
    std::unique_ptr<TqbEngineCursorHost> host_;
    TqbSrClientList clients_;
    TqbSrSessionList sessions_;
    TqbSrDatabaseList databases_;
    TqbSrRebuildThreads rebuildThreads_;
    std::unique_ptr<TqbTimerThread> gcTimer_;
    std::atomic<TqbBaseSQLEngine*> sqlEngine_{nullptr};
    std::atomic<bool> logging_{false};
    std::atomic<uint32_t> startTick_{0};
    std::atomic<uint32_t> lastDeepCollection_{0};
    TqbGUID serverID_{};

    // Shut-down waits for the last client on shutdownEvent_, which is made, tested and signalled
    // under this mutex. Operations in flight are counted without it; a waiter for them counts
    // itself in flightWaiters_ before it tests the count, and the last operation to end takes the
    // mutex to wake it only when it sees one counted (both sides sequentially consistent: either
    // the waiter sees the count at zero or the operation sees the waiter).
    std::mutex shutdownMutex_;
    std::condition_variable shutdownCv_;
    std::shared_ptr<TqbEvent> shutdownEvent_;
    std::atomic<int32_t> inFlight_{0};
    std::atomic<int32_t> flightWaiters_{0};
    // Set in every operation's frame as the thread's lock-wait stop.
    TqbLockWaitStop lockWaitStop_;

    // ---- qbsrengn_table.cpp
public:
    // A background job of the table operations (reindex, pack, restructure, record count) as its
    // operation hands it over, after the operation's own checks.
    enum class TqbRebuildKind { Reindex, Pack, Restructure, RecordCount };
    struct TqbRebuildRequest {
        TqbRebuildKind Kind = TqbRebuildKind::Reindex;
        TqbSrDatabase* Database = nullptr; // reindex, pack, restructure
        TqbSrBaseCursor* Cursor = nullptr; // record count: the cursor whose view is counted
        std::string TableName, IndexName;
        int32_t IndexID = 0;
        TqbDataDictionary* NewDictionary = nullptr; // restructure
        const cls::TStringList* FieldMap = nullptr; // restructure
    };

private:
    // Starts the job on a rebuild thread and gives its rebuild id (qbsrengn_rebuild.cpp).
    TqbResultCode seStartRebuildJob(const TqbRebuildRequest& Request, TqbHandle& RebuildID);

    // ---- qbsrengn.cpp and qbsrengn_client.cpp (engine core)
public:
    // Waits of the garbage collection and the shut-down, for tests of their timing.
    static constexpr uint32_t kDeepCollectionMs = 300000;
    static constexpr uint32_t kShutdownWaitMs = 10000;
    // The longest TransactionStartWith retries when the thread has no deadline.
    static constexpr uint32_t kStartWithBoundMs = 30000;
    static constexpr uint32_t kMaxRAMLimit = 1048576; // MB
    // Tick of the engine clock at the last deep collection.
    uint32_t LastDeepCollection() const { return lastDeepCollection_.load(); }
    bool GarbageTimerRunning();
    // The transaction primitives behind the operations and the implicit transactions.
    int32_t seTransactionStart(TqbSrDatabase& Database, bool FailSafe, uint32_t& TransactionID);
    int32_t seTransactionCommit(TqbSrDatabase& Database);
    int32_t seTransactionRollback(TqbSrDatabase& Database);

private:
    // Every extender that the monitors interested in Class offer for Object.
    void addOfferedExtenders(TqbServerObject& Object, TqbServerObjectClass Class, TqbSrExtenderList& List);
    // After the transaction ended: the cursors that waited for its end to close.
    void freeClosingCursors(TqbSrDatabase& Database);
    // The alias table written back unless the engine is read-only.
    void saveAliases();
    void saveGeneralInfo();
    void startGarbageTimer();
    void stopGarbageTimer();
    // Force-closes the clients left, waits for the operations in flight and frees the clients.
    void closeRemainingClients();
    std::mutex gcTimerMutex_;

    // ---- rebuild jobs (qbsrengn_rebuild.cpp) -----------------------------------------------------
public:
    // Each prepares its job on the calling thread (inside the operation's frame) and starts its
    // rebuild thread; RebuildID names the job's status. A failure before the thread starts raises
    // and leaves nothing behind: no status, no target table, no copied key procedure.
    TqbResultCode seStartReindex(TqbSrDatabase& Database, const std::string& TableName,
                                 const std::string& IndexName, int32_t IndexID, TqbHandle& RebuildID);
    TqbResultCode seStartPack(TqbSrDatabase& Database, const std::string& TableName, TqbHandle& RebuildID);
    TqbResultCode seStartRestructure(TqbSrDatabase& Database, const std::string& TableName,
                                     const TqbDataDictionary& NewDictionary, const cls::TStringList* FieldMap,
                                     TqbHandle& RebuildID);
    TqbResultCode seStartRecordCount(TqbSrBaseCursor& Cursor, TqbHandle& RebuildID);
    // A job's commit that keeps going: the work so far is committed and the next transaction
    // started (actions 39 and 40 to the client's extenders); 15443 when the transaction was failed.
    TqbResultCode seCommitAndContinue(TqbSrDatabase& Database, TqbSrClient* Client);
    TqbSrRebuildStatusList& RebuildStatusList() { return rebuildStatus_; }
    // Waits up to TimeoutMs until no job runs; false when one still does.
    bool RebuildWaitIdle(uint32_t TimeoutMs);
    // Stops the running jobs (each ends with its failure status) and joins their threads.
    void RebuildStopAll();
    bool RebuildStopRequested() const { return rebuildStop_.load(); }
    // For tests: called on a job's thread at each status update, and at each step of a swap's
    // files ("closed", "claimed", then after "commit", "move", "clean"); a hook that raises fails
    // the job.
    std::function<void(TqbHandle RebuildID, int32_t RecordsRead)> OnRebuildProgress;
    std::function<void(const char* Step)> OnRebuildSwapStep;

private:
    struct TqbRebuildJobBlock;
    class TqbRebuildWorker : public TqbSrRebuildWork {
    public:
        explicit TqbRebuildWorker(TqbServerEngine& Engine) : engine_(Engine) {}
        void Reindex(TqbSrRebuildJob& Job) override;
        void PackRestructure(TqbSrRebuildJob& Job) override;
        void GetRecordCount(TqbSrRebuildJob& Job) override;

    private:
        TqbServerEngine& engine_;
    };
    std::unique_ptr<TqbRebuildJobBlock> newJob(TqbSrDatabase& Database, int Kind);
    std::shared_ptr<TqbSrBaseCursor> openJobTable(TqbRebuildJobBlock& Job, const std::string& TableName,
                                                  const std::string& IndexName, int32_t IndexID);
    void prepareTarget(TqbRebuildJobBlock& Job, const TqbDataDictionary& TargetDict);
    template <class T> TqbResultCode startJob(std::unique_ptr<TqbRebuildJobBlock> Job, TqbHandle& RebuildID);
    void releaseJob(TqbRebuildJobBlock& Job, bool DiscardTarget);
    void closeJobCursor(std::shared_ptr<TqbSrBaseCursor>& Cursor);
    void runJob(TqbSrRebuildJob& Job);
    void runReindex(TqbRebuildJobBlock& Job);
    void runCopy(TqbRebuildJobBlock& Job);
    void runCount(TqbRebuildJobBlock& Job);
    void swapFiles(TqbRebuildJobBlock& Job);
    void jobProgress(TqbRebuildJobBlock& Job, int32_t ErrorCode);
    void commitAndContinue(TqbRebuildJobBlock& Job);

    TqbSrRebuildStatusList rebuildStatus_;
    TqbRebuildWorker rebuildWorker_{*this};
    std::mutex rebuildMutex_;
    std::condition_variable rebuildCv_;
    int32_t rebuildRunning_ = 0; // jobs whose thread has not ended; guarded by rebuildMutex_
    std::atomic<bool> rebuildStop_{false};
    // Last, so first to go: the job threads end before anything they use is freed.
    struct TqbRebuildJoin {
        TqbServerEngine& Engine;
        ~TqbRebuildJoin() { Engine.RebuildStopAll(); }
    } rebuildJoin_{*this};

public:
    // ---- qbsrengn_cursor.cpp: a step or a read and its bookmark in one frame; an insert's steps in one
    TqbResultCode RecordStepWithBookmark(TqbHandle CursorID, bool Forward, TqbLockType LockType,
                                         std::span<uint8_t> Data, std::span<uint8_t> Bookmark) override;
    TqbResultCode RecordGetWithBookmark(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data,
                                        std::span<uint8_t> Bookmark) override;
    TqbResultCode RecordGetForKeyWithBookmark(TqbHandle CursorID, bool DirectKey, int32_t FieldCount,
                                              int32_t PartialLen, std::span<const uint8_t> KeyData,
                                              std::span<uint8_t> Data, bool FirstCall,
                                              std::span<uint8_t> Bookmark) override;
    TqbResultCode RecordInsertThenGet(TqbHandle CursorID, bool ToEnd, TqbLockType LockType,
                                      std::span<const uint8_t> Record, std::span<uint8_t> Data,
                                      std::span<uint8_t> Bookmark, bool& EndFailed,
                                      TqbResultCode& ReadResult) override;

private:
    // RecordInsert's work inside its frame.
    TqbResultCode seRecordInsert(TqbSrBaseCursor& Cursor, TqbLockType LockType,
                                 std::span<const uint8_t> Data);
};
