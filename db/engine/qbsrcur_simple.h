// The simple table and cursor: an index-less table reached in record order, with bookmarks that
// hold a record reference; and the merge sort's runs kept in such tables.
#pragma once
#include "db/engine/qbsrcur_cursor.h"
#include "db/engine/qbsrsort.h"

#include <memory>
#include <string>

inline constexpr size_t kSimpleBookmarkSize = 24;

// Records without keys. A table without a disk file (flag kFileNoDiskFile) lives in the buffer
// manager only: BuildFiles leaves its files open, as nothing could open them again.
class TqbSrSimpleTable : public TqbSrBaseTable {
public:
    using TqbSrBaseTable::TqbSrBaseTable;
    ~TqbSrSimpleTable() override = default;

    // A file of type index raises 192.
    void BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) override;
    void InsertRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode, uint64_t& Ref,
                      const void* Data, bool Explicit) override;
    void InsertRecordNoDefault(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode,
                               uint64_t& Ref, const void* Data, bool Explicit) override;
    void ModifyRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref, bool ReleaseLock,
                      const void* NewData, bool Explicit, uint64_t DatabaseID = 0) override;
    // AlreadyLocked: the caller holds the record's lock (or wants none taken).
    void DeleteRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                      bool AlreadyLocked, uint64_t DatabaseID = 0) override;

private:
    void insert(TqbSrTransaction& t, TqbLockOwnerID cursor, uint8_t mode, uint64_t& ref, const void* data,
                bool defaults);
    // Tables made without content locking (the sort's runs) take no transaction content lock.
    void lockContent(TqbSrTransaction& t);
};

// The cursor of a simple table: physical record order, no keys or ranges (192 and 194), and
// 24-byte bookmarks. Its key-valid flag is set whenever it is on a record.
class TqbSrSimpleCursor : public TqbSrBaseCursor {
public:
    TqbSrSimpleCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database);
    ~TqbSrSimpleCursor() override;

    // The table leaves the engine's table list when the cursor goes.
    void TakeTableOwnership() { ownsTable_ = true; }

    void Open(const std::string& TableName, const std::string& IndexName, int32_t IndexID, bool ReadWrite,
              uint8_t ShareMode, bool KeySelection, bool ExclContentLock, bool OpenFlag) override;
    void OpenTableFiles(const std::string& TableName, bool OpenFlag, bool KeySelection, uint8_t ShareMode,
                        bool ReadWrite) override;
    void ResolveIndex(TqbSrBaseTable& Table, const std::string& IndexName, bool ReadWrite,
                      int32_t& IndexID) override;
    TqbSrTablePtr NewTable(const std::string& TableName) override;

    int32_t TableAddIndex(const TqbIndexDesc& IndexDesc) override;
    int32_t IndexEmpty() override;
    int32_t TableDropIndex(const std::string& IndexName, int32_t IndexID) override;
    int32_t RecordExtractKey(const uint8_t* Record, uint8_t* Key) override;
    int32_t RecordGetForKey(bool DirectKey, int32_t FieldCount, int32_t PartialLen, const uint8_t* KeyData,
                            uint8_t* Record, bool FirstCall) override;
    int32_t SetToKey(int SearchAction, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                     const uint8_t* KeyData) override;
    int32_t SwitchToIndex(int32_t IndexID, bool PosnOnRec) override;
    int CompareKeyToRange(const uint8_t* Key) override;
    int32_t ResetRange() override;
    int32_t SetRange(bool DirectKey, int32_t StartFieldCount, int32_t StartPartialLen,
                     const uint8_t* StartKey, bool StartInclusive, int32_t EndFieldCount,
                     int32_t EndPartialLen, const uint8_t* EndKey, bool EndInclusive) override;

    int32_t CheckBookmark(const uint8_t* Bookmark, size_t Size) override;
    int32_t Clone(bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor) override;
    int32_t CompareBookmarks(const uint8_t* Bookmark1, size_t Size1, const uint8_t* Bookmark2, size_t Size2,
                             int32_t& Result) override;
    int32_t GetBookmark(uint8_t* Bookmark) override;
    size_t GetBookmarkSize() override { return kSimpleBookmarkSize; }
    // With a filter: the passing records, the position kept; a filter time-out or a failing step is
    // the result, not a partial count.
    int32_t TableGetRecordCount(uint32_t& Count) override;
    int32_t RecordGetNext(uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordGetPrior(uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordInsert(const uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordInsertNoDefault(const uint8_t* Record, uint8_t LockMode) override;
    int32_t RecordModify(const uint8_t* Record, bool RelLock) override;
    int32_t SetToBegin() override;
    // A record that went since the bookmark was taken leaves the cursor in its gap (8708 on read).
    int32_t SetToBookmark(const uint8_t* Bookmark, size_t Size) override;
    int32_t SetToCursor(TqbSrBaseCursor& SourceCursor) override;
    int32_t SetToEnd() override;

private:
    [[noreturn]] void noIndexes();
    [[noreturn]] void noRanges();
    int32_t step(uint8_t* record, uint8_t lockMode, bool forward);
    int32_t insert(const uint8_t* record, uint8_t lockMode, bool defaults);
    void setEnd(uint8_t state);
};

// The sort's runs as simple tables of one database: nameless, without a disk file and without
// content locking, each owned by its cursor, so a run's table goes with its run.
class TqbSrSimpleRunStore : public TqbSrSortRunStore {
public:
    TqbSrSimpleRunStore(TqbSrCursorHost& Host, TqbSrDatabase& Database, const TqbDataDictionary& Dictionary)
        : host_(Host), database_(Database), dict_(Dictionary) {}
    std::unique_ptr<TqbSrSortRun> CreateRun(int64_t StoreSize) override;

private:
    TqbSrCursorHost& host_;
    TqbSrDatabase& database_;
    const TqbDataDictionary& dict_;
};
