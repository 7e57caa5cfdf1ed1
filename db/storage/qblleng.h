// The engine interface: the one abstract class through which everything above the storage layer
// reaches a database engine, with its monitors, their interests and the engine registration.
#pragma once
#include "db/base/qbllbase.h"
#include "db/base/qbllcomp.h"
#include "db/storage/qblleng_handles.h"
#include "db/storage/qblleng_types.h"

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <vector>

class TqbBaseServerEngine;

// The records a RecordGetBatch of RequestCount reads at most: a count of 0 still reads one.
constexpr int32_t BatchReadCount(int32_t RequestCount) {
    return RequestCount == 0 ? 1 : RequestCount;
}

// A class of server objects (client, database, cursor, ...), as monitors name their interests.
using TqbServerObjectClass = std::type_index;

// A component that follows an engine's state step by step and may take interest in classes of
// server objects. The engine sets and clears its link.
class TqbServerMonitor : public TqbStateComponent {
public:
    explicit TqbServerMonitor(cls::TComponent* AOwner = nullptr) : TqbStateComponent(AOwner) {}
    virtual void SetEngine(TqbBaseServerEngine* engine) { engine_.store(engine); }
    TqbBaseServerEngine* Engine() const { return engine_.load(); }

private:
    std::atomic<TqbBaseServerEngine*> engine_{nullptr};
};

// Which monitors are interested in which classes, in both directions, under one portal. A pair is
// recorded once; an entry whose list becomes empty is removed.
class TqbInterestStructure {
public:
    void Add(TqbServerMonitor* monitor, TqbServerObjectClass cls);
    void Remove(TqbServerMonitor* monitor, TqbServerObjectClass cls);
    void RemoveAll(TqbServerMonitor* monitor);
    // The monitors of a class in the order they took interest; empty when none.
    std::vector<TqbServerMonitor*> Monitors(TqbServerObjectClass cls);
    // The classes a monitor is interested in; empty when none.
    std::vector<TqbServerObjectClass> Classes(TqbServerMonitor* monitor);
    size_t ClassEntryCount();
    size_t MonitorEntryCount();

private:
    TqbReadWritePortal portal_;
    std::unordered_map<TqbServerObjectClass, std::vector<TqbServerMonitor*>> byClass_;
    std::unordered_map<TqbServerMonitor*, std::vector<TqbServerObjectClass>> byMonitor_;
};

// Every engine of the process, in the order they were made.
std::vector<TqbBaseServerEngine*> RegisteredServerEngines();

// The engine interface. Every operation from GetServerNames on returns a result code (0 success)
// and never lets an exception out; handles are TqbHandle values; a buffer given as a span must be
// large enough for what the operation writes there (an empty span: no buffer). Streams and lists
// are the caller's; the operation writes into them.
class TqbBaseServerEngine : public TqbStateComponent {
public:
    explicit TqbBaseServerEngine(cls::TComponent* AOwner = nullptr);

    void Notification(cls::TComponent* AComponent, cls::TOperation operation) override;
    // Each step goes to every monitor (last to first) before the engine takes it; entering Stopped
    // runs EnterInactive and entering Stopping EnterShuttingDown. A failing step puts the state back
    // to the one held on entry and raises again.
    void SetState(uint8_t target) override;

    // Monitors that are interested in a class, in the order of the class's list; empty when none.
    std::vector<TqbServerMonitor*> GetInterestedMonitors(TqbServerObjectClass ServerObjectClass);
    // For checks and diagnostics.
    std::vector<TqbServerMonitor*> Monitors();
    TqbInterestStructure* Interests() { return interests_.get(); }

    // ---- properties ----------------------------------------------------------------------------
    virtual bool GetNoAutoSaveCfg() = 0;
    virtual bool GetIsReadOnly() = 0;
    virtual void SetNoAutoSaveCfg(bool Value) = 0;
    virtual void SetIsReadOnly(bool Value) = 0;

    // ---- monitors and interests (implemented here) ----------------------------------------------
    virtual void AddInterest(TqbServerMonitor* Monitor, TqbServerObjectClass ServerObjectClass);
    virtual void AddMonitor(TqbServerMonitor* Monitor);
    // Sends any request message for a client and waits for its reply (0 here and in the in-process
    // engine; only the remote engine sends).
    virtual TqbResultCode ProcessRequest(TqbHandle ClientID, uint32_t MsgID, uint32_t Timeout,
                                         std::span<const uint8_t> RequestData, std::vector<uint8_t>& Reply);
    virtual TqbResultCode ProcessRequestNoReply(TqbHandle ClientID, uint32_t MsgID, uint32_t Timeout,
                                                std::span<const uint8_t> RequestData);
    virtual void RemoveAllInterest(TqbServerMonitor* Monitor);
    virtual void RemoveInterest(TqbServerMonitor* Monitor, TqbServerObjectClass ServerObjectClass);
    virtual void RemoveMonitor(TqbServerMonitor* Monitor);

    // ---- server names and logging -----------------------------------------------------------------
    virtual TqbResultCode GetServerNames(cls::TStringList& List, uint32_t Timeout) = 0;
    virtual void LogString(std::string_view S) = 0;
    virtual void LogStrings(const std::vector<std::string>& Strings) = 0;
    virtual void LogFormat(std::string_view Fmt, const QbFormatArgs& Args) = 0;

    // ---- transactions ---------------------------------------------------------------------------
    virtual TqbResultCode TransactionCommit(TqbHandle DatabaseID) = 0;
    virtual TqbResultCode TransactionRollback(TqbHandle DatabaseID) = 0;
    virtual TqbResultCode TransactionStart(TqbHandle DatabaseID, bool FailSafe) = 0;
    virtual TqbResultCode TransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                               const std::vector<TqbHandle>& CursorIDs) = 0;

    // ---- clients ----------------------------------------------------------------------------------
    // PasswordHash: in, the login's hash (remote); out, the user's hash (in-process).
    virtual TqbResultCode ClientAdd(TqbHandle& ClientID, const std::string& ClientName,
                                    const std::string& UserID, uint32_t Timeout, uint32_t& PasswordHash) = 0;
    virtual TqbResultCode ClientRemove(TqbHandle ClientID) = 0;
    virtual TqbResultCode ClientSetTimeout(TqbHandle ClientID, uint32_t Timeout) = 0;

    // ---- sessions ---------------------------------------------------------------------------------
    virtual TqbResultCode SessionAdd(TqbHandle ClientID, uint32_t Timeout, TqbHandle& SessionID) = 0;
    virtual TqbResultCode SessionCloseUnusedTables(TqbHandle ClientID) = 0;
    virtual TqbResultCode SessionCount(TqbHandle ClientID, int32_t& Count) = 0;
    virtual TqbResultCode SessionGetCurrent(TqbHandle ClientID, TqbHandle& SessionID) = 0;
    virtual TqbResultCode SessionRemove(TqbHandle ClientID, TqbHandle SessionID) = 0;
    virtual TqbResultCode SessionSetCurrent(TqbHandle ClientID, TqbHandle SessionID) = 0;
    virtual TqbResultCode SessionSetTimeout(TqbHandle ClientID, TqbHandle SessionID, uint32_t Timeout) = 0;

    // ---- aliases and databases (names up to 31, paths up to 219 characters) -------------------------
    virtual TqbResultCode AliasAdd(const std::string& Alias, const std::string& Path, TqbHandle ClientID) = 0;
    virtual TqbResultCode AliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) = 0;
    // Usable before the engine is started (start-up recovery check).
    virtual TqbResultCode RecoveryAliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) = 0;
    virtual TqbResultCode AliasChangePath(const std::string& Alias, const std::string& NewPath,
                                          TqbHandle ClientID) = 0;
    virtual TqbResultCode DatabaseClose(TqbHandle DatabaseID) = 0;
    virtual TqbResultCode AliasDelete(const std::string& Alias, TqbHandle ClientID) = 0;
    virtual TqbResultCode AliasGetPath(const std::string& Alias, TqbHandle ClientID, std::string& Path) = 0;
    // Free space of the database's volume in KB (-1 when unknown).
    virtual TqbResultCode DatabaseGetFreeSpace(TqbHandle DatabaseID, int32_t& FreeSpace) = 0;
    // An empty NewName keeps the name, an empty NewPath the path.
    virtual TqbResultCode AliasModify(TqbHandle ClientID, const std::string& Alias,
                                      const std::string& NewName, const std::string& NewPath) = 0;
    virtual TqbResultCode DatabaseOpen(TqbHandle ClientID, const std::string& Alias, TqbOpenMode OpenMode,
                                       TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& DatabaseID) = 0;
    virtual TqbResultCode DatabaseOpenPath(TqbHandle ClientID, const std::string& Path, TqbOpenMode OpenMode,
                                           TqbShareMode ShareMode, uint32_t Timeout,
                                           TqbHandle& DatabaseID) = 0;
    virtual TqbResultCode DatabaseSetTimeout(TqbHandle DatabaseID, uint32_t Timeout) = 0;
    virtual TqbResultCode TableExists(TqbHandle DatabaseID, const std::string& TableName, bool& Exists) = 0;
    // Mask: up to 35 characters; its extension is forced to the table-file extension.
    virtual TqbResultCode TableList(TqbHandle DatabaseID, const std::string& Mask,
                                    std::vector<TqbTableListRecord>& List) = 0;
    virtual TqbResultCode TableIsLockedExclusive(TqbHandle DatabaseID, const std::string& TableName,
                                                 bool& IsLocked) = 0;
    // A finished job's status is read once.
    virtual TqbResultCode RebuildGetStatus(TqbHandle RebuildID, TqbHandle ClientID, bool& IsPresent,
                                           TqbRebuildStatus& Status) = 0;

    // ---- table operations (CursorID 0: the table is opened by name for the operation) ---------------
    virtual TqbResultCode TableAddIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                        const std::string& TableName,
                                        const TqbIndexDescriptor& IndexDesc) = 0;
    virtual TqbResultCode TableBuild(TqbHandle DatabaseID, bool OverWrite, const std::string& TableName,
                                     bool ForServer, TqbDataDictionary& Dictionary) = 0;
    virtual TqbResultCode TableDelete(TqbHandle DatabaseID, const std::string& TableName) = 0;
    // By name, or by number when the name is empty.
    virtual TqbResultCode TableDropIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                         const std::string& TableName, const std::string& IndexName,
                                         int32_t IndexID) = 0;
    virtual TqbResultCode TableEmpty(TqbHandle DatabaseID, TqbHandle CursorID,
                                     const std::string& TableName) = 0;
    virtual TqbResultCode TableGetAutoInc(TqbHandle CursorID, uint32_t& Value) = 0;
    // The dictionary in the dictionary stream format.
    virtual TqbResultCode TableGetDictionary(TqbHandle DatabaseID, const std::string& TableName,
                                             cls::TStream& Stream) = 0;
    virtual TqbResultCode TableGetRecordCount(TqbHandle CursorID, int32_t& Count) = 0;
    virtual TqbResultCode TableGetRecordCountAsync(TqbHandle CursorID, TqbHandle& RebuildID) = 0;
    // Index by name, or by number when the name is empty. Stream (optional) receives the cursor
    // handle (4 bytes), the dictionary and the cursor's index number (4 bytes).
    virtual TqbResultCode TableOpen(TqbHandle DatabaseID, const std::string& TableName, bool ForServer,
                                    const std::string& IndexName, int32_t IndexID, TqbOpenMode OpenMode,
                                    TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& CursorID,
                                    cls::TStream* Stream) = 0;
    virtual TqbResultCode TablePack(TqbHandle DatabaseID, const std::string& TableName,
                                    TqbHandle& RebuildID) = 0;
    virtual TqbResultCode TableReindex(TqbHandle DatabaseID, const std::string& TableName,
                                       const std::string& IndexName, int32_t IndexID,
                                       TqbHandle& RebuildID) = 0;
    virtual TqbResultCode TableRename(TqbHandle DatabaseID, const std::string& OldName,
                                      const std::string& NewName) = 0;
    // FieldMap (optional): lines "NEW=OLD" or "NAME".
    virtual TqbResultCode TableRestructure(TqbHandle DatabaseID, const std::string& TableName,
                                           TqbDataDictionary& NewDictionary, const cls::TStringList* FieldMap,
                                           TqbHandle& RebuildID) = 0;
    virtual TqbResultCode TableSetAutoInc(TqbHandle CursorID, uint32_t Value) = 0;

    // ---- table locks ------------------------------------------------------------------------------
    virtual TqbResultCode TableIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) = 0;
    virtual TqbResultCode TableLockAcquire(TqbHandle CursorID, TqbLockType LockType) = 0;
    virtual TqbResultCode TableLockRelease(TqbHandle CursorID, TqbLockType LockType, bool AllLocks) = 0;

    // ---- cursors (bookmarks are CursorGetBookmarkSize bytes) ----------------------------------------
    virtual TqbResultCode CursorClone(TqbHandle CursorID, TqbOpenMode OpenMode, TqbHandle& NewCursorID) = 0;
    virtual TqbResultCode CursorClose(TqbHandle CursorID) = 0;
    virtual TqbResultCode CursorCompareBookmarks(TqbHandle CursorID, std::span<const uint8_t> Bookmark1,
                                                 std::span<const uint8_t> Bookmark2, int32_t& Result) = 0;
    virtual TqbResultCode CursorCopyRecords(TqbHandle SourceCursorID, TqbHandle DestCursorID,
                                            bool CopyBLOBs) = 0;
    virtual TqbResultCode CursorDeleteRecords(TqbHandle CursorID) = 0;
    virtual TqbResultCode CursorGetBookmark(TqbHandle CursorID, std::span<uint8_t> Bookmark) = 0;
    virtual TqbResultCode CursorGetBookmarkSize(TqbHandle CursorID, uint32_t& Size) = 0;
    // InMemory: also the in-memory chain and the pending transaction list.
    virtual TqbResultCode BLOBListFreeSpace(TqbHandle CursorID, bool InMemory, cls::TStream& Stream) = 0;
    // Expression: the compiled filter bytes (empty: no filter).
    virtual TqbResultCode CursorOverrideFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                               uint32_t Timeout) = 0;
    virtual TqbResultCode CursorResetRange(TqbHandle CursorID) = 0;
    virtual TqbResultCode CursorRestoreFilter(TqbHandle CursorID) = 0;
    // Keys are key bytes with DirectKey, else field values in record layout.
    virtual TqbResultCode CursorSetRange(TqbHandle CursorID, bool DirectKey, int32_t StartFieldCount,
                                         int32_t StartPartialLen, std::span<const uint8_t> StartKey,
                                         bool StartInclusive, int32_t EndFieldCount, int32_t EndPartialLen,
                                         std::span<const uint8_t> EndKey, bool EndInclusive) = 0;
    virtual TqbResultCode CursorSetTimeout(TqbHandle CursorID, uint32_t Timeout) = 0;
    virtual TqbResultCode CursorSetToBegin(TqbHandle CursorID) = 0;
    virtual TqbResultCode CursorSetToBookmark(TqbHandle CursorID, std::span<const uint8_t> Bookmark) = 0;
    virtual TqbResultCode CursorSetToCursor(TqbHandle DestCursorID, TqbHandle SourceCursorID) = 0;
    virtual TqbResultCode CursorSetToEnd(TqbHandle CursorID) = 0;
    virtual TqbResultCode CursorSetToKey(TqbHandle CursorID, TqbSearchAction SearchAction, bool DirectKey,
                                         int32_t FieldCount, int32_t PartialLen,
                                         std::span<const uint8_t> KeyData) = 0;
    // By name (up to 31 characters), or by number when the name is empty.
    virtual TqbResultCode CursorSwitchToIndex(TqbHandle CursorID, const std::string& IndexName,
                                              int32_t IndexID, bool PosnOnRec) = 0;
    virtual TqbResultCode CursorSetFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                          uint32_t Timeout) = 0;

    // ---- records (Data: a buffer of the cursor's record length, or empty) ----------------------------
    virtual TqbResultCode RecordDelete(TqbHandle CursorID, std::span<uint8_t> Data) = 0;
    // Errors receives one code per bookmark.
    virtual TqbResultCode RecordDeleteBatch(TqbHandle CursorID, int32_t BookmarkCount, int32_t BookmarkSize,
                                            std::span<const uint8_t> Bookmarks,
                                            std::vector<int32_t>& Errors) = 0;
    // The current index's key of Data, or of the current record when Data is empty.
    virtual TqbResultCode RecordExtractKey(TqbHandle CursorID, std::span<const uint8_t> Data,
                                           std::span<uint8_t> Key) = 0;
    virtual TqbResultCode RecordGet(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data) = 0;
    // Up to RequestCount records (BatchReadCount) into consecutive RecordLength slices of Data.
    virtual TqbResultCode RecordGetBatch(TqbHandle CursorID, int32_t RequestCount, int32_t RecordLength,
                                         std::span<uint8_t> Data, int32_t& ReturnCount, int32_t& Error) = 0;
    virtual TqbResultCode RecordGetForKey(TqbHandle CursorID, bool DirectKey, int32_t FieldCount,
                                          int32_t PartialLen, std::span<const uint8_t> KeyData,
                                          std::span<uint8_t> Data, bool FirstCall) = 0;
    virtual TqbResultCode RecordGetNext(TqbHandle CursorID, TqbLockType LockType,
                                        std::span<uint8_t> Data) = 0;
    virtual TqbResultCode RecordGetPrior(TqbHandle CursorID, TqbLockType LockType,
                                         std::span<uint8_t> Data) = 0;
    // RecordGetNext (Forward) or RecordGetPrior, then, on success, CursorGetBookmark into Bookmark.
    // An engine in the same process answers both in one operation; this one asks twice.
    virtual TqbResultCode RecordStepWithBookmark(TqbHandle CursorID, bool Forward, TqbLockType LockType,
                                                 std::span<uint8_t> Data, std::span<uint8_t> Bookmark);
    // RecordGet, then, on success, CursorGetBookmark into Bookmark; asked twice here as above.
    virtual TqbResultCode RecordGetWithBookmark(TqbHandle CursorID, TqbLockType LockType,
                                                std::span<uint8_t> Data, std::span<uint8_t> Bookmark);
    // RecordGetForKey, then, when it found the row, CursorGetBookmark into Bookmark; asked twice
    // here as above.
    virtual TqbResultCode RecordGetForKeyWithBookmark(TqbHandle CursorID, bool DirectKey, int32_t FieldCount,
                                                      int32_t PartialLen, std::span<const uint8_t> KeyData,
                                                      std::span<uint8_t> Data, bool FirstCall,
                                                      std::span<uint8_t> Bookmark);
    virtual TqbResultCode RecordInsert(TqbHandle CursorID, TqbLockType LockType,
                                       std::span<const uint8_t> Data) = 0;
    // A dataset's insert as one call: CursorSetToEnd first when ToEnd, then RecordInsert of Record,
    // then, when it succeeded and Data is not empty, RecordGetWithBookmark without a lock, whose
    // answer goes to ReadResult. Returns the first failure of the first two steps (EndFailed when it
    // was CursorSetToEnd's). An engine in the same process answers in one operation; this one asks
    // step by step.
    virtual TqbResultCode RecordInsertThenGet(TqbHandle CursorID, bool ToEnd, TqbLockType LockType,
                                              std::span<const uint8_t> Record, std::span<uint8_t> Data,
                                              std::span<uint8_t> Bookmark, bool& EndFailed,
                                              TqbResultCode& ReadResult);
    // Errors receives one code per record.
    virtual TqbResultCode RecordInsertBatch(TqbHandle CursorID, int32_t RecordCount, int32_t RecordLength,
                                            std::span<const uint8_t> Data, std::vector<int32_t>& Errors) = 0;
    virtual TqbResultCode RecordIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) = 0;
    virtual TqbResultCode RecordModify(TqbHandle CursorID, std::span<const uint8_t> Data, bool RelLock) = 0;
    virtual TqbResultCode RecordReleaseLock(TqbHandle CursorID, bool AllLocks) = 0;

    // ---- BLOBs (BLOB numbers are 64-bit) --------------------------------------------------------------
    virtual TqbResultCode BLOBCreate(TqbHandle CursorID, uint64_t& BLOBNr) = 0;
    virtual TqbResultCode BLOBDelete(TqbHandle CursorID, uint64_t BLOBNr) = 0;
    virtual TqbResultCode BLOBListSegments(TqbHandle CursorID, uint64_t BLOBNr, cls::TStream& Stream) = 0;
    // Up to Buffer.size() bytes from Offset.
    virtual TqbResultCode BLOBRead(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                   std::span<uint8_t> Buffer, uint32_t& BytesRead) = 0;
    // Nothing when ReadOnly; an empty BLOB is deleted and 13058 returned.
    virtual TqbResultCode BLOBFree(TqbHandle CursorID, uint64_t BLOBNr, bool ReadOnly) = 0;
    virtual TqbResultCode BLOBGetLength(TqbHandle CursorID, uint64_t BLOBNr, uint32_t& Length) = 0;
    virtual TqbResultCode BLOBTruncate(TqbHandle CursorID, uint64_t BLOBNr, uint32_t NewLength) = 0;
    virtual TqbResultCode BLOBWrite(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                    std::span<const uint8_t> Buffer) = 0;
    // FileName: up to 255 characters.
    virtual TqbResultCode BLOBCreateFile(TqbHandle CursorID, const std::string& FileName,
                                         uint64_t& BLOBNr) = 0;

    // ---- SQL statements --------------------------------------------------------------------------------
    virtual TqbResultCode SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) = 0;
    // Stream receives the result cursor's handle and dictionary (handle 0: no result set).
    virtual TqbResultCode SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                                  cls::TStream& Stream) = 0;
    virtual TqbResultCode SQLExecDirect(TqbHandle DatabaseID, const std::string& Query, uint32_t Timeout,
                                        TqbOpenMode OpenMode, TqbHandle& CursorID, cls::TStream& Stream) = 0;
    virtual TqbResultCode SQLFree(TqbHandle StmtID) = 0;
    virtual TqbResultCode SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) = 0;
    // ParamDescs: ParamCount descriptors of 40 bytes; ParamData: their values.
    virtual TqbResultCode SQLSetParams(TqbHandle StmtID, uint16_t ParamCount,
                                       std::span<const uint8_t> ParamDescs,
                                       std::span<const uint8_t> ParamData, cls::TStream& Stream) = 0;

    // ---- server information -------------------------------------------------------------------------
    virtual TqbResultCode GetServerDateTime(cls::TDateTime& DateTime) = 0;
    virtual TqbResultCode GetServerSystemTime(TqbSystemTime& SystemTime) = 0;
    virtual TqbResultCode GetNewGUID(TqbGUID& GUID) = 0;
    virtual TqbResultCode GetServerID(TqbGUID& ServerID) = 0;
    virtual TqbResultCode GetServerStatistics(TqbServerStatistics& Stats) = 0;
    // 8712 for an index outside the command handlers.
    virtual TqbResultCode GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) = 0;
    virtual TqbResultCode GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                                 TqbTransportStatistics& Stats) = 0;

protected:
    ~TqbBaseServerEngine() override;
    // Tells every monitor (last to first) that the engine goes, frees the monitor list and the
    // interests, leaves the registration, then stops as a state component does.
    void BeforeDestruction() override;
    // One step of SetState's walk: every monitor (last to first), then the engine's state and hook.
    void StepTo(uint8_t next);

private:
    void unregister();

    TqbReadWritePortal monitorsPortal_;
    std::unique_ptr<std::vector<TqbServerMonitor*>> monitors_;
    std::unique_ptr<TqbInterestStructure> interests_;
    bool registered_ = false;
};
