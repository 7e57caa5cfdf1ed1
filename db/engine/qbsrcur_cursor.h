// Server cursors: the base cursor (position block, content and record locks, extenders, BLOBs,
// bulk record work) and the index cursor; with the database and engine sides a cursor needs.
//
// Where the members are defined:
//   qbsrcur_cursor.cpp  - TqbSrDatabase, TqbSrCursorHost, base cursor core: open and init, content
//                         and record locks, extenders, RecordGet, RecordDelete, EnsureWritable,
//                         auto-increment, filters, NotifyRecordChanged, ClearKeyPath, destruction
//   qbsrcur_index.cpp   - TqbSrCursor: moves, key search, ranges, bookmarks, index switching,
//                         record counts, insert and modify
//   qbsrcur_blob.cpp    - every BLOB operation, GetLinkedCursor, GetLinkedBLOBLength
//   qbsrcur_copy.cpp    - CopyRecords, CopyRecordParts, DeleteRecords, SortRecords, TableCreate,
//                         TableEmpty
//   qbsrcur_simple.{h,cpp}, qbsrsort.{h,cpp} - the simple table and cursor, the merge sort
#pragma once
#include "db/engine/qbsrcur.h"
#include "db/engine/qbsrfltr.h"

#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqbSrBaseCursor;
class TqbSrDatabase;

// Position states of a cursor.
enum TqbCursorState : uint8_t {
    csUnknown = 0,
    csBOF = 1,
    csEOF = 2,
    csBetween = 3,
    csOnRecord = 4,
};

// Extender actions raised by cursors (before, after success, after failure); 74 undoes nothing.
enum TqbExtenderAction : int32_t {
    eaInsert = 2,
    eaInserted = 3,
    eaInsertFailed = 4,
    eaModify = 5,
    eaModified = 6,
    eaModifyFailed = 7,
    eaDelete = 8,
    eaDeleted = 9,
    eaDeleteFailed = 10,
    eaClose = 44,
    eaBLOBCreate = 45,
    eaBLOBRead = 48,
    eaBLOBWrite = 51,
    eaBLOBDelete = 54,
    eaBLOBTruncate = 57,
    eaBLOBGetLength = 60,
    eaBLOBFree = 63,
    eaBLOBCreateFile = 66,
    eaBLOBCreateLink = 69,
    eaNoUndo = 74,
};

// Watches a cursor's writes; may refuse them. Interest empty: hears every action below 80.
class TqbSrExtender {
public:
    virtual ~TqbSrExtender() = default;
    std::bitset<80> Interest;
    // 0 agrees; anything else refuses the operation with that result.
    virtual int32_t Notify(TqbSrBaseCursor& Cursor, int32_t Action) = 0;
};

// Watches the operations on a client or a database; may refuse them. Interest empty: hears every
// action below 80.
class TqbSrObjectExtender {
public:
    virtual ~TqbSrObjectExtender() = default;
    std::bitset<80> Interest;
    // 0 agrees; anything else refuses the operation with that result.
    virtual int32_t Notify(TqbServerObject& Object, int32_t Action) = 0;
};

// Extenders in the order they were added.
class TqbSrExtenderList {
public:
    void Add(std::unique_ptr<TqbSrObjectExtender> Extender);
    // 0 when every interested extender agrees; else the first refusal, after every earlier
    // extender heard UndoAction (nothing for 74).
    int32_t Notify(TqbServerObject& Object, int32_t Action, int32_t UndoAction);
    size_t Count();

private:
    std::mutex m_;
    std::vector<std::unique_ptr<TqbSrObjectExtender>> items_;
};

// An engine component asked for an extender when a cursor is initialised (null: none).
class TqbSrMonitor {
public:
    virtual ~TqbSrMonitor() = default;
    virtual std::string ClassName() const = 0;
    virtual std::unique_ptr<TqbSrExtender> MakeExtender(TqbSrBaseCursor& Cursor) = 0;
};

// What cursors need of the engine until the engine itself exists: its open tables, buffer
// manager, configuration and monitors. Tables opened by cursors use it as their host.
class TqbSrCursorHost : public TqbSrTableHost {
public:
    explicit TqbSrCursorHost(TqbBufferManager& BufferManager) : bm_(BufferManager), tables_(*this) {}
    TqbBufferManager& BufferManager() { return bm_; }
    TqbSrTableList& Tables() { return tables_; }
    TqbSrCursorList& Cursors() { return cursors_; }
    // The server configuration is read-only: every cursor opens read-only.
    virtual bool IsReadOnly() { return false; }
    // Set before cursors open; not changed while they run.
    std::vector<TqbSrMonitor*> Monitors;
    // A cursor of the engine's cursor class (linked BLOB cursors).
    virtual std::shared_ptr<TqbSrBaseCursor> NewCursor(TqbSrDatabase& Database, uint32_t Timeout);

private:
    TqbBufferManager& bm_;
    TqbSrTableList tables_;
    TqbSrCursorList cursors_;
};

// A database as its cursors see it: a folder, a 64-bit identity for the transaction manager and
// the tables, the client's transaction, and its cursors. A stand-in kept to what cursors use.
class TqbSrDatabase : public TqbServerObject {
public:
    TqbSrDatabase(TqbSrCursorHost& Host, TqbSrFolderPtr Folder, uint32_t Timeout,
                  const TqbServerObject* Parent = nullptr);
    ~TqbSrDatabase() override;

    TqbSrCursorHost& Host() { return host_; }
    TqbSrFolder& Folder() { return *folder_; }
    const TqbSrFolderPtr& FolderPtr() const { return folder_; }
    uint64_t DatabaseID() const { return id_; }
    TqbSrCursorList& Cursors() { return cursors_; }

    // The transaction running now (client's or implicit), null when none.
    TqbSrTransaction* Transaction();
    bool InTransaction() { return Transaction() != nullptr; }
    // A transaction the engine runs around one write (not the client's own).
    bool IsImplicit() const { return implicit_; }
    // The client's transaction (a new level when one runs).
    int32_t StartTransaction(bool FailSafe = false);
    // Commit ends with every other database's cursors on the folder's tables losing their key
    // paths (their pages may have changed); rollback moves every cursor of this database off its
    // key path. Both give 9990 without a transaction.
    int32_t Commit();
    int32_t Rollback();
    // An implicit transaction when none runs: Started tells whether one was started; EndImplicit
    // commits (Commit) or rolls back only a transaction that BeginImplicit started.
    int32_t BeginImplicit(bool& Started);
    int32_t EndImplicit(bool Started, bool Commit);
    // A failed write inside the client's transaction: its commit rolls back instead (15443).
    std::atomic<bool> TransactionFailed{false};

    // Close questions: the database's own answer with its cursors' and statements'. In a
    // transaction it should close only when every cursor and statement is closing; its
    // transaction is then rolled back.
    bool CanClose(bool Mark) override;
    void RequestClose() override;
    void ForceClose() override;
    bool ShouldClose() override;
    TqbSrExtenderList& Extenders() { return extenders_; }
    TqbSrStmtList& Statements() { return statements_; }

    // Set by the engine before the database's handle is given out; not changed after.
    std::string AliasName; // at most 31 characters
    TqbOpenMode OpenMode = qbomReadWrite;
    TqbShareMode ShareMode = qbsmShared;
    TqbServerObject* Session = nullptr; // the session that opened it (it outlives the database)
    TqbServerObject* Client = nullptr;  // the client of that session

private:
    void forEachTable(const std::function<void(const TqbSrTablePtr&)>& f);
    TqbSrCursorHost& host_;
    TqbSrFolderPtr folder_;
    uint64_t id_;
    bool implicit_ = false;
    TqbSrCursorList cursors_;
    TqbSrStmtList statements_;
    TqbSrExtenderList extenders_;
};

// Called for each source record of a copy: clearing Include skips it.
using TqbSrCopyCallback = std::function<void(TqbSrBaseCursor& Source, const uint8_t* Record, bool& Include,
                                             void* Arg1, void* Arg2)>;

// Copies BLOB Nr of Source into a new BLOB of Target (a file BLOB becomes a new reference to the same
// file), in pieces of at most 1 MB; Out receives its number and Bytes, when given, grows by the
// bytes copied. Buffer is kept between calls.
int32_t CopyBLOB(TqbSrBaseCursor& Target, TqbSrBaseCursor& Source, uint64_t Nr, uint64_t& Out,
                 std::vector<uint8_t>& Buffer, uint64_t* Bytes = nullptr);

// Position block: saved and restored as one piece.
struct TqbSrPosition {
    bool Deleted = false;
    TqbKeyPath KeyPath{};
    bool KeyValid = false;
    uint8_t State = csUnknown;
    uint64_t Ref = 0;
};

// A key range of an index cursor.
struct TqbSrRange {
    bool HasStart = false, HasEnd = false;
    std::vector<uint8_t> StartKey, EndKey;
    int32_t StartFieldCount = 0, EndFieldCount = 0;
    int32_t StartPartialLen = 0, EndPartialLen = 0;
    bool StartInclusive = false, EndInclusive = false;
};

// A read (1) or write (2) content lock for a scope: the table's read portal outside a
// transaction (the last one out ends it), else the transaction's content lock, kept until it ends.
class TqbSrContentLock {
public:
    TqbSrContentLock(TqbSrBaseCursor& Cursor, int Mode);
    // With the database's transaction (or none) already looked up by the caller's operation.
    TqbSrContentLock(TqbSrBaseCursor& Cursor, int Mode, TqbSrTransaction* Transaction);
    ~TqbSrContentLock();
    TqbSrContentLock(const TqbSrContentLock&) = delete;
    TqbSrContentLock& operator=(const TqbSrContentLock&) = delete;

private:
    void take(int Mode, TqbSrTransaction* Transaction);

    TqbSrBaseCursor& c_;
    bool portal_ = false;
};

// The abstract cursor. Used by one operation at a time (its activation); reads and moves hold the
// cursor padlock inside the content lock. ClearKeyPath may come from another thread's commit: it
// only raises a flag the cursor reads at its next step.
class TqbSrBaseCursor : public TqbSrTableCursor {
public:
    TqbSrBaseCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database);
    ~TqbSrBaseCursor() override;

    // TqbSrTableCursor.
    // Kept by the cursor: a table's list may still hold it once its database has gone.
    uint64_t DatabaseID() const override { return databaseID_; }
    TqbLockOwnerID CursorID() const override { return id_; }
    // From the table: another cursor of the database changed or deleted Ref. Checked at the next
    // step against the index itself.
    void NotifyRecordChanged(uint64_t Ref) override;
    void ClearKeyPath() override;

    // TqbServerObject.
    bool CanClose(bool Mark) override;
    bool ShouldClose() override;
    // Leaves the table's and database's lists and gives back its locks; the object goes with its
    // last holder. Once only.
    virtual void Close();

    TqbSrDatabase& Database() { return database_; }
    TqbSrCursorHost& Host() { return host_; }
    TqbSrBaseTable* Table() const { return table_.get(); }
    // The temporary storage of the table TableCreate made; null when it was given no size.
    const TqbTempStorageMM* TempStore() const { return tempStore_.get(); }
    const TqbSrTablePtr& TablePtr() const { return table_; }
    int32_t IndexNumber() const { return index_; }
    bool IsReadWrite() const { return readWrite_; }
    bool IsExclusive() const { return exclusive_; }
    const TqbSrPosition& Position() const { return pos_; }
    std::vector<uint8_t>& RecordBuffer() { return record_; }
    // Set while an insert, modify or delete runs, for extenders.
    const uint8_t* NewRecord() const { return newRecord_; }
    const uint8_t* OldRecord() const { return oldRecord_; }
    TqbSrFilter* ActiveFilter() const { return filter_.get(); }
    bool RangeActive() const { return rangeActive_; }

    // Extenders. Before the first call the list is empty (0).
    void AddExtender(std::unique_ptr<TqbSrExtender> Extender);
    int32_t NotifyExtenders(int32_t Action, int32_t UndoAction);
    bool HasExtenders() const { return !extenders_.empty(); }

    int64_t GetLinkedBLOBLength(const std::string& TableName, uint64_t BLOBNr, int32_t& Error);
    int32_t CheckExclusiveWrite();
    TqbSrBaseCursor* GetLinkedCursor(const std::string& TableName);
    uint8_t DataFileFlags();

    virtual void Init(bool ReadWrite, uint8_t ShareMode, bool ExclContentLock);
    // Raises 150 for an index that is not there, 163 for a read-write cursor on read-only files.
    virtual void ResolveIndex(TqbSrBaseTable& Table, const std::string& IndexName, bool ReadWrite,
                              int32_t& IndexID) = 0;
    // An existing table of the database's folder: 193 invalid name, 149 missing.
    virtual void OpenTableFiles(const std::string& TableName, bool OpenFlag, bool KeySelection,
                                uint8_t ShareMode, bool ReadWrite);
    // Kind 1 deleted, 2 key changed in IndexNumber.
    virtual void NotifyRecordChanged(int32_t Kind, uint64_t RecordRef, int32_t IndexNumber);
    virtual void RestorePosition();
    virtual void SavePosition();
    const TqbServerDataDict& Dictionary() const { return table_->GetDictionary(); }

    // Mode 0 the table's portal for writing (in a transaction), 1 read, 2 write.
    void AcquireContentLock(int Mode);
    void ReleaseContentLock(bool KeepInTransaction);
    int32_t AcquireContentLockNoWait();

    virtual int32_t TableAddIndex(const TqbIndexDesc& IndexDesc) = 0;
    virtual int32_t RecordInsertLocked(const uint8_t* Record);
    virtual int32_t BLOBCreate(uint64_t& BLOBNr);
    virtual int32_t BLOBCreateLink(const std::string& TableName, uint64_t LinkedBLOBNr, uint64_t& BLOBNr);
    // Options: 2 a table without a disk file (temporary), 4 no content locking.
    virtual int32_t TableCreate(const std::string& TableName, const TqbDataDictionary& Dictionary,
                                bool ReadWrite, uint8_t ShareMode, bool FileFlag, bool Overwrite,
                                uint8_t Options, uint32_t TempStoreSize);
    virtual int32_t BLOBCreateFile(const std::string& FileName, uint64_t& BLOBNr);
    virtual int32_t BLOBDelete(uint64_t BLOBNr);
    virtual int32_t BLOBFree(uint64_t BLOBNr);
    virtual int64_t BLOBGetLength(uint64_t BLOBNr, int32_t& Error);
    virtual int32_t BLOBListSegments(uint64_t BLOBNr, std::string& Stream);
    virtual int32_t BLOBRead(uint64_t BLOBNr, uint64_t Offset, uint32_t Length, void* Buffer,
                             uint32_t& BytesRead);
    virtual int32_t BLOBTruncate(uint64_t BLOBNr, uint64_t NewLength);
    virtual int32_t BLOBWrite(uint64_t BLOBNr, uint64_t Offset, uint32_t Length, const void* Buffer);
    // Size: the bytes the caller holds; a bookmark of another size, state, index or checksum: 10021.
    virtual int32_t CheckBookmark(const uint8_t* Bookmark, size_t Size) = 0;
    virtual int32_t IndexEmpty() = 0;
    virtual int32_t Clone(bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor) = 0;
    virtual int32_t CompareBookmarks(const uint8_t* Bookmark1, size_t Size1, const uint8_t* Bookmark2,
                                     size_t Size2, int32_t& Result) = 0;
    virtual int32_t CopyRecords(TqbSrBaseCursor& SourceCursor, uint8_t BLOBMode,
                                const TqbSrCopyCallback& Callback = {}, void* CallbackArg1 = nullptr,
                                void* CallbackArg2 = nullptr);
    virtual int32_t CopyRecordParts(TqbSrBaseCursor& SourceCursor, const int32_t* FieldNumbers,
                                    int32_t FieldCount, uint8_t BLOBMode,
                                    const TqbSrCopyCallback& Callback = {}, void* CallbackArg1 = nullptr,
                                    void* CallbackArg2 = nullptr);
    virtual int32_t RecordDelete(uint8_t* Record);
    virtual int32_t DeleteRecords();
    virtual int32_t TableDropIndex(const std::string& IndexName, int32_t IndexID) = 0;
    // Like every change of the table's indexes outside the record writes, ends with the table's
    // NoteIndexChange(-1), so that the database's cursors find their places again.
    virtual int32_t TableEmpty();
    virtual int32_t EnsureWritable(bool LockCurrent, bool ReleaseFlag);
    // Outside a transaction, before a write of the current record starts one: the record's lock
    // for this cursor, waited for while nothing else is held. Ref is the record locked here (0
    // when the cursor held it already); the result is EnsureWritable's for its LockCurrent part.
    int32_t LockCurrentAhead(uint64_t& Ref);
    // Gives back a lock LockCurrentAhead took, after the write that took it over failed.
    void ReleaseLockAhead(uint64_t Ref);
    virtual int32_t RecordExtractKey(const uint8_t* Record, uint8_t* Key) = 0;
    virtual int32_t GetBookmark(uint8_t* Bookmark) = 0;
    virtual size_t GetBookmarkSize() = 0;
    virtual int32_t RecordGet(uint8_t* Record, uint8_t LockMode);
    // 0, or 190 when the thread's deadline passes; errors of a step are returned.
    virtual int32_t TableGetRecordCount(uint32_t& Count) = 0;
    virtual int32_t RecordGetNext(uint8_t* Record, uint8_t LockMode) = 0;
    virtual int32_t RecordGetPrior(uint8_t* Record, uint8_t LockMode) = 0;
    int32_t GetRecordField(int32_t Field, const uint8_t* Record, void* Value, bool& IsNull);
    virtual int32_t RecordGetForKey(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                    const uint8_t* KeyData, uint8_t* Record, bool FirstCall) = 0;
    // RecordGetForKey and, on success, GetBookmark; for a cursor whose extenders need not hear of
    // the read in between.
    virtual int32_t RecordGetForKeyWithBookmark(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                                const uint8_t* KeyData, uint8_t* Record, bool FirstCall,
                                                uint8_t* Bookmark);
    virtual int32_t RecordInsert(const uint8_t* Record, uint8_t LockMode) = 0;
    virtual int32_t RecordInsertNoDefault(const uint8_t* Record, uint8_t LockMode) = 0;
    virtual int CompareKeyToRange(const uint8_t* Key) = 0;
    // Whether the current record is locked (8709 off a record).
    virtual int32_t RecordIsLocked(uint8_t LockMode, bool& IsLocked);
    // The active filter is kept aside while a temporary one runs; overriding again replaces only
    // the temporary one.
    virtual int32_t OverrideFilter(const void* Expression, size_t Length, uint32_t Timeout);
    virtual int32_t RecordModify(const uint8_t* Record, bool RelLock) = 0;
    virtual void Open(const std::string& TableName, const std::string& IndexName, int32_t IndexID,
                      bool ReadWrite, uint8_t ShareMode, bool KeySelection, bool ExclContentLock,
                      bool OpenFlag);
    virtual int32_t TableGetAutoInc(uint32_t& Value);
    virtual void RecordReleaseLock();
    virtual void TableLockRelease(bool AllLocks);
    // True when the cursor was closing and has left its lists.
    virtual bool FreeIfClosing();
    virtual int32_t ResetRange() = 0;
    // Without a kept filter nothing changes.
    virtual int32_t RestoreFilter();
    virtual int32_t TableSetAutoInc(uint32_t Value);
    virtual int32_t SetFilter(const void* Expression, size_t Length, uint32_t Timeout);
    virtual int32_t SetRange(bool DirectKey, int32_t StartFieldCount, int32_t StartPartialLen,
                             const uint8_t* StartKey, bool StartInclusive, int32_t EndFieldCount,
                             int32_t EndPartialLen, const uint8_t* EndKey, bool EndInclusive) = 0;
    virtual int32_t SetToBegin() = 0;
    virtual int32_t SetToBookmark(const uint8_t* Bookmark, size_t Size) = 0;
    virtual int32_t SetToCursor(TqbSrBaseCursor& SourceCursor) = 0;
    virtual int32_t SetToEnd() = 0;
    virtual int32_t SetToKey(int SearchAction, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                             const uint8_t* KeyData) = 0;
    // SortFields: FieldCount field numbers (at most 16); Descending: one flag per field.
    virtual int32_t SortRecords(const int32_t* SortFields, int32_t FieldCount, const bool* Descending);
    virtual int32_t SwitchToIndex(int32_t IndexID, bool PosnOnRec) = 0;

    // The table class: a new table object for TableCreate and OpenTableFiles.
    virtual TqbSrTablePtr NewTable(const std::string& TableName) = 0;

    // For tests: the cursor padlock's holder count.
    int32_t CursorPadlockCount() const { return padlock_.LockCount(); }
    // Set around a batch of writes of which the others are kept: a failed insert or modify then
    // undoes its own partial work in the table even inside an implicit transaction.
    void SetUndoOwnFailures(bool On) { undoOwnFailures_ = On; }

protected:
    friend class TqbSrContentLock;
    // The engine's write around a record (the table's Explicit argument).
    bool explicitTransaction() {
        return database_.InTransaction() && (undoOwnFailures_ || !database_.IsImplicit());
    }
    // An insert inside the transaction with the extenders told around it: Store writes Record
    // (InsertRecord, or InsertRecordNoDefault without Defaults) under the content lock and puts the
    // cursor on it. 10257 outside a transaction; a failure tells the extenders and raises.
    int32_t insertNotified(const uint8_t* Record, uint8_t LockMode, bool Defaults,
                           const std::function<void(uint64_t Ref, TqbSrTransaction& Transaction)>& Place);
    // Content locks are skipped for tables without content locking and for exclusive cursors
    // on tables without BLOBs.
    bool contentLocksSkipped();
    // The table-lock check of writes: 10245 when another cursor holds a client table lock.
    int32_t checkTableLock();
    // Fails Record against the active filter.
    bool passesFilter(const uint8_t* Record);
    // Applies a key path lost by another database's commit or a change of the index by another
    // cursor of this database; the index cursor finds its place again at its next step.
    virtual void syncPosition() {}
    void releaseLockedRecord();
    // Gives back the record lock taken for a read that failed.
    void giveBackRecord(TqbSrTransaction* t, uint64_t ref);

    TqbSrCursorHost& host_;
    TqbSrDatabase& database_;
    const uint64_t databaseID_;
    const TqbLockOwnerID id_;
    bool ownsTable_ = false;
    bool closeAfterTransaction_ = false;
    bool exclusive_ = false;
    std::vector<std::unique_ptr<TqbSrExtender>> extenders_;
    int32_t index_ = 0;
    uint64_t lockedRef_ = 0;
    std::atomic<int32_t> readLocks_{0};
    TqbSrTablePtr table_;
    // The one TableCreate made; the table's files share it.
    std::shared_ptr<TqbTempStorageMM> tempStore_;
    // Compare parameters: 0 and 0 compare whole keys.
    int32_t cmpFieldCount_ = 0, cmpPartialLen_ = 0;
    std::vector<uint8_t> key_;
    std::unique_ptr<TqbSrFilter> filter_, savedFilter_;
    bool overriding_ = false; // savedFilter_ holds the user's filter (maybe none)
    bool closed_ = false;
    bool undoOwnFailures_ = false;
    int32_t portalWrites_ = 0; // content lock mode 0 taken in a transaction
    bool rangeActive_ = false;
    TqbSrPosition pos_;
    TqbPadlock padlock_;
    bool readWrite_ = false;
    std::vector<uint8_t> record_;
    TqbSrRange range_;
    TqbSrPosition savedPos_;
    std::vector<uint8_t> savedKey_;
    const uint8_t* newRecord_ = nullptr;
    const uint8_t* oldRecord_ = nullptr;
    // Cursors on other tables that BLOB links lead to.
    std::vector<std::shared_ptr<TqbSrBaseCursor>> linked_;
    // Set by another database's commit (ClearKeyPath) or a note about the current record.
    std::atomic<bool> pathLost_{false};
    std::atomic<uint64_t> noted_{0};
};

// The cursor clients use: moves along one B-tree index of a TqbSrTable (index 0: record order).
// A gap is remembered by its neighbouring entry (key, reference): the cursor stands before the
// first entry at or after it, so a cursor that must find its place again neither skips nor
// repeats an entry.
class TqbSrCursor : public TqbSrBaseCursor {
public:
    TqbSrCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database);
    ~TqbSrCursor() override;

    int32_t KeyLength() const { return keyLength_; }
    // Tells the extenders the cursor closes.
    void Close() override;

    void Init(bool ReadWrite, uint8_t ShareMode, bool ExclContentLock) override;
    void ResolveIndex(TqbSrBaseTable& Table, const std::string& IndexName, bool ReadWrite,
                      int32_t& IndexID) override;
    int32_t TableAddIndex(const TqbIndexDesc& IndexDesc) override;
    int32_t CheckBookmark(const uint8_t* Bookmark, size_t Size) override;
    int32_t IndexEmpty() override;
    int32_t Clone(bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor) override;
    // A clone on another database of the same folder (a job's own), with range and filter.
    int32_t CloneOn(TqbSrDatabase& Database, bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor);
    int32_t CompareBookmarks(const uint8_t* Bookmark1, size_t Size1, const uint8_t* Bookmark2, size_t Size2,
                             int32_t& Result) override;
    int32_t TableDropIndex(const std::string& IndexName, int32_t IndexID) override;
    int32_t RecordExtractKey(const uint8_t* Record, uint8_t* Key) override;
    int32_t GetBookmark(uint8_t* Bookmark) override;
    size_t GetBookmarkSize() override { return size_t(keyLength_) + 24; }
    int32_t TableGetRecordCount(uint32_t& Count) override;
    int32_t RecordGetNext(uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordGetPrior(uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordGetForKey(bool DirectKey, int32_t FieldCount, int32_t PartialLen, const uint8_t* KeyData,
                            uint8_t* Record, bool FirstCall) override;
    // The bookmark is taken in the read's hold of the locks.
    int32_t RecordGetForKeyWithBookmark(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                        const uint8_t* KeyData, uint8_t* Record, bool FirstCall,
                                        uint8_t* Bookmark) override;
    int32_t RecordInsert(const uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordInsertNoDefault(const uint8_t* Record, uint8_t LockMode) override;
    int CompareKeyToRange(const uint8_t* Key) override;
    int32_t RecordModify(const uint8_t* Record, bool RelLock) override;
    int32_t ResetRange() override;
    int32_t SetRange(bool DirectKey, int32_t StartFieldCount, int32_t StartPartialLen,
                     const uint8_t* StartKey, bool StartInclusive, int32_t EndFieldCount,
                     int32_t EndPartialLen, const uint8_t* EndKey, bool EndInclusive) override;
    int32_t SetToBegin() override;
    int32_t SetToBookmark(const uint8_t* Bookmark, size_t Size) override;
    int32_t SetToCursor(TqbSrBaseCursor& SourceCursor) override;
    int32_t SetToEnd() override;
    int32_t SetToKey(int SearchAction, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                     const uint8_t* KeyData) override;
    int32_t SwitchToIndex(int32_t IndexID, bool PosnOnRec) override;
    TqbSrTablePtr NewTable(const std::string& TableName) override;

    // Finds the cursor's place again from its key and reference.
    void Reposition();
    // The current key from Record (null: the current record, read with LockMode).
    void SetKeyFromRecord(const uint8_t* Record, uint8_t LockMode);

protected:
    void syncPosition() override;

private:
    TqbSrTable& table();
    int32_t insert(const uint8_t* record, uint8_t lockMode, bool defaults);
    int32_t step(uint8_t* record, uint8_t lockMode, bool forward);
    // Steps until an entry inside the range passes the filters; 8706 / 8705 at the ends.
    int32_t advance(uint8_t* buf, bool forward);
    bool clampToRange(bool forward);
    // The key of KeyData (DirectKey) or built from a record image of field values.
    void makeKey(bool directKey, int32_t fieldCount, int32_t partialLen, const uint8_t* keyData,
                 std::vector<uint8_t>& key);
    // The same into key, room for the key length.
    void makeKey(bool directKey, int32_t fieldCount, int32_t partialLen, const uint8_t* keyData,
                 uint8_t* key);
    // Every key field of a composite index given in full: compares as the whole key does.
    bool wholeCompositeKey(int32_t fieldCount, int32_t partialLen);
    // RecordGetForKey; with Bookmark, also the bookmark of the record found, under the same locks.
    int32_t getForKey(bool directKey, int32_t fieldCount, int32_t partialLen, const uint8_t* keyData,
                      uint8_t* record, bool firstCall, uint8_t* bookmark);
    // The bookmark of the current place; under the content lock and the padlock, position synced.
    void fillBookmark(uint8_t* bookmark);
    int compareKeys(const uint8_t* a, const uint8_t* b, int32_t fieldCount, int32_t partialLen);
    // The entry a search's path points at, with the path in the gap before it; false at the end.
    bool settle(TqbKeyPath& path, uint8_t* foundKey, uint64_t& foundRef);
    // Searches Key (over fieldCount and partialLen) with the index's search mode, then settles.
    bool search(const uint8_t* key, int32_t fieldCount, int32_t partialLen, int mode, TqbKeyPath& path,
                uint8_t* foundKey, uint64_t& foundRef, TqbSrTransaction* t);
    // The same with the index data the comparison was settled in.
    bool searchIndex(const TqbIndexData& d, const uint8_t* key, int mode, TqbKeyPath& path, uint8_t* foundKey,
                     uint64_t& foundRef, TqbSrTransaction* t);
    // Places the path before the first entry at or after (key, ref); false at the end.
    bool seek(const uint8_t* key, uint64_t ref, TqbKeyPath& path, uint8_t* foundKey, uint64_t& foundRef);
    void ensurePath();
    void toBegin();
    void toEnd();
    // At an end: no key, no record.
    void leftRecords();
    // The gap before the entry (key, ref); the key path is set by the caller.
    void gapBefore(const uint8_t* key, uint64_t ref);
    void allocKeys();

    int32_t keyLength_ = 0;
    // The table's change count of the index when the key path was last set.
    uint64_t seenChanges_ = 0;
};
