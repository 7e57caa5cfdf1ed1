// Server tables: one open table of a folder (its files, dictionary, lock containers and cursors),
// record insert, modify and delete with the keys of every index, and the engine's table list.
//
// Lock order of the engine. A thread takes these only in this order (an outer one before an inner
// one, never an outer one while it holds an inner one):
//   1. its own client's padlock (activation of the operation's object; one operation of a client at a
//      time). A thread never takes another client's padlock.
//   2. the engine's table list portal (opening, creating and destroying a cursor; else short steps).
//   3. the table's content lock: first the transaction's content lock in the lock manager, then the
//      table's portal (read for record work, write for file changes and at commit, around the
//      transaction manager's commit up to EndCommit). Record and table locks of the lock manager
//      are asked for under these, each wait bounded by the thread's deadline.
//      Apart from a commit, which takes the folder's tables' portals in the order of their
//      identities, a thread holds one table's portal at a time: a cursor follows a BLOB link to
//      another table only after it has left its own table's content lock.
//   4. a cursor's padlock (its position, range and keys while a move, read or write uses them),
//      inside the content lock: outside a transaction that is the table's portal for reading, so
//      no table's portal is asked for while the padlock is held; a write leaves it around the
//      table's record routines, which take the portal themselves.
//   5. a cursor list's portal (short steps: a copy of the list is taken and the portal left).
//   6. a cursor's key-path lock: innermost. Held only while a key path is read, copied or changed;
//      nothing is taken and nothing is waited for while it is held.
// The lock manager's, buffer manager's and transaction manager's own mutexes lie below 1 to 5 and
// are never held across a wait. So a commit, which holds the table's portal for writing, reaches
// other clients' cursors through their key-path locks alone, while those clients may hold their
// padlocks and wait for the portal.
#pragma once
#include "db/engine/qbsreng.h"
#include "db/engine/qbsrfold.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbindx.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The routines of a user-defined index, from a library: the build routine answers non-zero when it
// made a key for the record; the compare routine answers below, at or above zero.
using TqbUserBuildKey = int32_t (*)(const void* Record, int32_t RecordLength, void* Key, int32_t KeyLength);
using TqbUserCompareKey = int32_t (*)(const void* Key1, const void* Key2, int32_t KeyLength);

// One configured key procedure: the library file and the names of its two routines.
struct TqbKeyProcEntry {
    std::string Library;
    std::string BuildKey;
    std::string CompareKey;
};

struct TqbFileSwap;

// What a table asks of its engine.
class TqbSrTableHost {
public:
    virtual ~TqbSrTableHost() = default;
    virtual bool UseEncrypt() { return false; }
    // The key procedure configured under Key ("<folder>\<table><ext>|<index>"); false when none.
    virtual bool FindKeyProc(const std::string& Key, TqbKeyProcEntry& Entry) {
        (void)Key;
        (void)Entry;
        return false;
    }
    // The only folder key-routine libraries are loaded from.
    virtual std::string ConfigFolder() { return {}; }
    virtual void LogError(const std::string& Text) { (void)Text; }
};

// What a table needs of a cursor open on it; the cursors implement it. The two notifications are
// called with the table's portal held (read by a writer, write by a commit), outside the cursor
// list's portal, and with this cursor's KeyPathLock held by the calling thread. They change the
// cursor's key path and position only: they take no lock (in particular never the cursor's client
// padlock, which another thread may hold while it waits for the table) and wait for nothing.
class TqbSrTableCursor : public TqbServerObject {
public:
    using TqbServerObject::TqbServerObject;
    virtual uint64_t DatabaseID() const = 0;
    virtual TqbLockOwnerID CursorID() const = 0;
    // A record of the table changed or went (another cursor of the same database did it).
    virtual void NotifyRecordChanged(uint64_t Ref) = 0;
    // Another database committed: the cursor's key path no longer holds.
    virtual void ClearKeyPath() = 0;
    // Guards the key path and position against the table's notifications. The cursor holds it only
    // to read, copy or store them, never while it asks for another lock or waits.
    TqbPadlock& KeyPathLock() { return keyPathLock_; }

private:
    TqbPadlock keyPathLock_;
};

// 32-bit identities of open tables for the lock manager; 0 is never handed out.
class TqbSrTableIDs {
public:
    uint32_t Acquire();
    void Release(uint32_t ID);

private:
    std::mutex m_;
    std::unordered_set<uint32_t> live_;
    uint32_t next_ = 1;
};
TqbSrTableIDs& TableIDs();

// The name a table has on disk in the folder: the existing "<name>.QB2" whose name equals Name
// without regard to ASCII case, else Name as given.
std::string ResolveTableName(const std::string& Folder, std::string_view Name);

// One open table.
// Locks: the table's portal is taken for writing around changes of its files and dictionary
// (open, close, empty, index add and drop, commit's cursor reset) and for reading by the record
// operations, which also hold the transaction's content lock (exclusive for writes); the lock
// manager guards the lock containers; the cursor list has its own portal; the use count is atomic.
class TqbSrBaseTable {
public:
    TqbSrBaseTable(TqbSrTableHost& Host, TqbBufferManager& BufferManager, TqbSrFolderPtr Folder,
                   std::string_view TableName);
    virtual ~TqbSrBaseTable();
    TqbSrBaseTable(const TqbSrBaseTable&) = delete;
    TqbSrBaseTable& operator=(const TqbSrBaseTable&) = delete;

    // At most 31 characters.
    std::string GetName() const { return name_.substr(0, 31); }
    uint32_t TableID() const { return id_; }
    TqbSrCursorList& GetCursorList() { return cursors_; }
    const TqbServerDataDict& GetDictionary() const { return dict_; }
    TqbServerDataDict& Dictionary() { return dict_; }
    TbtdFileInfo* GetFile(int32_t File) const;
    int32_t GetFileCount() const { return int32_t(files_.size()); }
    TqbSrFolder& GetFolder() const { return *folder_; }
    const TqbSrFolderPtr& FolderPtr() const { return folder_; }
    bool GetKeySelection() const { return keySelection_; }
    TqbLockManager& LockManager() const { return folder_->LockManager(); }
    // For checks and diagnostics.
    TqbLockContainer& ContentLockContainer() { return transContent_; }
    // Client table locks (TableLockAcquire) live here.
    TqbLockContainer& CursorContentLockContainer() { return cursorContent_; }

    int32_t GetUseCount() const { return useCount_.load(); }
    void IncUseCount() { useCount_.fetch_add(1); }
    void DecUseCount();

    void BeginRead() { portal_.BeginRead(); }
    void EndRead() { portal_.EndRead(); }
    void BeginWrite() { portal_.BeginWrite(); }
    void EndWrite() { portal_.EndWrite(); }
    // For tests and diagnostics: the threads waiting to write through the portal.
    uint32_t WaitingWriters() { return portal_.WaitingWriters(); }
    // Resets the key paths of the other databases' cursors, then ends the portal write. The caller
    // holds the portal for writing and may hold its own client's padlock.
    void EndCommit(uint64_t DatabaseID);

    // Files. OpenFiles undoes every step done when one fails; nothing stays open.
    void OpenFiles(bool KeySelection);
    void CloseFiles(bool Commit, TqbSrTransaction* Transaction);
    void CommitChanges(TqbSrTransaction& Transaction);
    // Creates the table's files from Dictionary (refused when they exist: 175) and leaves them
    // open, each with the flag byte FileFlags; with kFileNoDiskFile they live in the buffer
    // manager only.
    virtual void BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) = 0;
    // Empties the table: new files built under a temporary name, then swapped in through a marker
    // file (TqbFileSwap), so a failure or a crash leaves all the records or none. Refused inside a
    // client transaction (Explicit).
    void EmptyFiles(TqbSrTransaction* Transaction, bool Explicit);
    void SetFileFlags(uint8_t Flags);
    // The data file's flag byte (kFileNoDiskFile, kFileNoContentLocking).
    uint8_t DataFileFlags() const { return fileFlags_.load(); }
    // For each file with BLOB storage: its name, a separator line, then its free-segment list (the
    // in-memory deleted chain, or the transaction's pending list); "\r\n" between files.
    void BLOBListFreeSpace(bool InMemory, std::string& Stream);
    // Sets bit Bit (0..7) of every file's flag byte (pack and restructure).
    void SetFileFlagBit(int Bit);
    void SetOwnerCursor(TqbLockOwnerID Cursor);

    // Locks, each bounded by the calling thread's deadline: fewer than 5 ms left gives 190 before
    // the lock manager is asked; then 189 timed out, 188 refused, 186 deadlock.
    void AcquireCursorContentLock(TqbLockOwnerID CursorID, uint8_t Mode);
    void AcquireContentLock(TqbSrTransaction& Transaction, uint8_t Mode, bool Conditional);
    // 0 granted, 187 timed out, 188 refused, 15520 otherwise.
    int32_t AcquireContentLockNoWait(TqbSrTransaction& Transaction);
    void AcquireTableLock(TqbLockOwnerID CursorID, uint8_t Mode);
    bool HasCursorContentLock(TqbLockOwnerID CursorID);
    bool HasContentLock(TqbSrTransaction& Transaction);
    bool HasTableLock(TqbLockOwnerID CursorID, uint8_t Mode);
    void ReleaseCursorContentLock(TqbLockOwnerID CursorID, bool All);
    void ReleaseContentLock(TqbSrTransaction& Transaction);
    void ReleaseTableLock(TqbLockOwnerID CursorID, bool All);

    // Records.
    void GetRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, uint64_t Ref, bool NoLock,
                   bool Conditional, uint8_t LockMode, void* Data);
    // Without any lock (background record count).
    void ReadRecordUnlocked(TqbSrTransaction* Transaction, uint64_t Ref, void* Data);
    void LockRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, uint64_t Ref, bool Conditional,
                    uint8_t LockMode);
    bool IsRecordLocked(uint64_t Ref);
    // The cursor holds the record's lock on its own (not through a transaction).
    bool CursorHoldsRecordLock(TqbLockOwnerID CursorID, uint64_t Ref);
    void RelaxRecordLock(TqbLockOwnerID CursorID, uint64_t Ref, TqbSrTransaction* Transaction);
    void UnlockRecord(TqbSrTransaction* Transaction, uint64_t Ref, TqbLockOwnerID CursorID);
    void UnlockCursorRecord(TqbLockOwnerID CursorID, uint64_t Ref, TqbSrTransaction* Transaction);
    // NextRef 0 at the end.
    void GetNextRecord(TqbSrTransaction* Transaction, uint64_t Ref, void* Data, uint64_t& NextRef);
    void GetPriorRecord(TqbSrTransaction* Transaction, uint64_t Ref, void* Data, uint64_t& PriorRef);
    void AssignAutoInc(TqbSrTransaction* Transaction, uint8_t* Record);
    void DeleteRecordBLOBs(TqbSrTransaction* Transaction, const uint8_t* Record);

    // Explicit: the caller runs a transaction of the client's own, so a failure undoes its partial
    // work here; otherwise the implicit transaction's rollback does.
    virtual void InsertRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode,
                              uint64_t& Ref, const void* Data, bool Explicit) = 0;
    virtual void InsertRecordNoDefault(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID,
                                       uint8_t LockMode, uint64_t& Ref, const void* Data, bool Explicit) = 0;
    virtual void ModifyRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                              bool ReleaseLock, const void* NewData, bool Explicit,
                              uint64_t DatabaseID = 0) = 0;
    virtual void DeleteRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                              bool AlreadyLocked, uint64_t DatabaseID = 0) = 0;

    // Tells the cursors of the same database, other than the one that made the change, that the
    // record changed. Each cursor is reached under its key-path lock only.
    void NotifyCursorsOfChange(uint64_t DatabaseID, uint64_t Ref, TqbLockOwnerID ChangedBy);
    // Clears the key paths of the other databases' cursors, each under its key-path lock only.
    void ResetOtherCursors(uint64_t DatabaseID);

    // Changes of each index's entries. Page stamps move only at a transaction's first change, so
    // the cursors of the changing database compare these counts to know their key paths hold.
    uint64_t IndexChangeCount(int32_t Index) const {
        return Index >= 0 && Index < kIndexSlots
                   ? indexChanges_[size_t(Index)].load() + allIndexChanges_.load()
                   : 0;
    }
    // Below 0: every index (one count shared by all, so an insert costs one atomic step, not one per slot).
    void NoteIndexChange(int32_t Index) {
        if (Index < 0)
            allIndexChanges_.fetch_add(1);
        else if (Index < kIndexSlots)
            indexChanges_[size_t(Index)].fetch_add(1);
    }

protected:
    // Creates one file of the table (Name.Extension in the folder, or in the buffer manager only
    // for kFileNoDiskFile), adds it to the buffer manager and to the file list.
    void addFile(TqbSrTransaction* Transaction, const std::string& Extension,
                 const TqbDataDictionary& Dictionary, uint8_t Flags, const std::string& Name);
    virtual void bindIndexes() {}
    // The exclusive content lock of a write: none for files flagged kFileNoContentLocking (their
    // one user holds the table exclusively); otherwise found held when the caller's cursor took
    // it, else taken here.
    void acquireWriteContentLock(TqbSrTransaction& Transaction);
    // OpenFiles and BuildFiles with the portal already held; buildFiles makes the files under Name
    // (the table's own name, or the name a swap builds them under) and leaves them open.
    void openFiles(bool KeySelection);
    void buildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags, const std::string& Name);
    // buildFiles for a new table on disk: made under another name and moved in once committed,
    // so that a crash leaves no table or the whole one.
    void makeFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags);
    // Builds the files under Swap.New between the swap's Prepare and Commit (its names reserved);
    // a failure discards the swap and raises, the table's files closed.
    void buildBeside(TqbFileSwap& Swap, const TqbDataDictionary& Dictionary, uint8_t FileFlags);
    // Opens the table's files again with the flag byte given.
    void reopenFiles(uint8_t FileFlags);
    void closeFilesQuietly();
    void requireFiles() const;
    TqbSrTableHost& host_;
    TqbBufferManager& bm_;
    TqbSrFolderPtr folder_;
    std::string name_;
    uint32_t id_;
    TqbServerDataDict dict_;
    std::vector<std::unique_ptr<TbtdFileInfo>> files_;
    bool keySelection_ = false;
    TqbSrCursorList cursors_;
    TqbLockContainer transContent_;
    TqbLockContainer cursorContent_;
    std::atomic<int32_t> useCount_{0};
    std::atomic<uint8_t> fileFlags_{0}; // file 0's flag byte, read without the portal
    TqbReadWritePortal portal_;
    static constexpr int32_t kIndexSlots = 257;
    std::array<std::atomic<uint64_t>, kIndexSlots> indexChanges_{};
    std::atomic<uint64_t> allIndexChanges_{0};
};

// A table with indexes.
class TqbSrTable : public TqbSrBaseTable {
public:
    using TqbSrBaseTable::TqbSrBaseTable;
    ~TqbSrTable() override;

    void BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) override;
    void InsertRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode, uint64_t& Ref,
                      const void* Data, bool Explicit) override;
    void InsertRecordNoDefault(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode,
                               uint64_t& Ref, const void* Data, bool Explicit) override;
    void ModifyRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref, bool ReleaseLock,
                      const void* NewData, bool Explicit, uint64_t DatabaseID = 0) override;
    void DeleteRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                      bool AlreadyLocked, uint64_t DatabaseID = 0) override;

    // The key of a record in an index. False when a user-defined index makes no key for it.
    bool BuildKey(int32_t Index, const uint8_t* Record, uint8_t* Key);
    // A search key from a record image: FieldCount whole key fields and PartialLen characters of
    // the next, both clamped to what the index and the field hold. 10000 for a partial key on a
    // field that is not a string.
    void BuildCompositeKey(int32_t Index, const uint8_t* Record, int32_t PartialLen, int32_t FieldCount,
                           uint8_t* Key);
    // A key given by a client as bytes must be exactly the index's key length (9729 otherwise).
    void CheckDirectKey(int32_t Index, size_t Length);
    int CompareKeys(int32_t Index, const uint8_t* Key1, const uint8_t* Key2);
    // What the storage layer's index routines work on.
    TqbIndexData IndexData(int32_t Index);

    // Key navigation in an index for cursors. Mode as the B-tree's search; PartialKey when the key
    // holds only the first fields. Stepping past the last key gives 8706, before the first 8705.
    bool FindKey(TqbSrTransaction* Transaction, int32_t Index, const uint8_t* Key, uint64_t& Ref, int Mode,
                 TqbKeyPath& Path, bool PartialKey = false);
    void NextKey(TqbSrTransaction* Transaction, int32_t Index, TqbKeyPath& Path, uint8_t* Key, uint64_t& Ref);
    void PriorKey(TqbSrTransaction* Transaction, int32_t Index, TqbKeyPath& Path, uint8_t* Key,
                  uint64_t& Ref);
    // The next (prior) key's record, locked as asked, then read into Data.
    void ReadNextRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, int32_t Index,
                        TqbKeyPath& Path, uint8_t* Key, uint64_t& Ref, bool NoLock, uint8_t LockMode,
                        void* Data);
    void ReadPriorRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, int32_t Index,
                         TqbKeyPath& Path, uint8_t* Key, uint64_t& Ref, bool NoLock, uint8_t LockMode,
                         void* Data);

    // While a sink is set, the keys of the indexes from 1 up go to it in place of their indexes: a
    // rebuild that holds the table alone adds them later in key order, through InsertKey (9729 when
    // the entry is there already).
    using KeySink = std::function<void(int32_t Index, const uint8_t* Key, uint64_t Ref)>;
    void SetKeySink(KeySink Sink) { keySink_ = std::move(Sink); }
    void InsertKey(TqbSrTransaction& Transaction, int32_t Index, const uint8_t* Key, uint64_t Ref);

    // For the table's transaction (Transaction must hold the exclusive content lock).
    int32_t AddIndex(TqbSrTransaction& Transaction, const TqbIndexDesc& Desc);
    void DropIndex(TqbSrTransaction& Transaction, int32_t Index);

    // Loads the user-defined key routines named in the host's configuration; 171 when one is
    // missing or lies outside the configuration folder.
    void ResolveUserKeyRoutines();

protected:
    void bindIndexes() override;

private:
    struct UserKey {
        TqbUserBuildKey Build = nullptr;
        TqbUserCompareKey Compare = nullptr;
        int32_t KeyLength = 0;
    };
    void insertRecord(TqbSrTransaction& t, TqbLockOwnerID cursor, uint8_t mode, uint64_t& ref,
                      const void* data, bool explicitTx, bool defaults);
    // Inserts the keys of every index; on failure with explicitTx the keys already in go again.
    void insertKeys(TqbSrTransaction& t, uint64_t ref, const uint8_t* record, bool explicitTx);
    void deleteKeys(TqbSrTransaction& t, uint64_t ref, const uint8_t* record);
    // The dictionary as it was before a change that failed.
    void restoreDictionary(const TqbDataDictionary& before, const std::vector<UserKey>& keys);
    // Gives every record its key in the index.
    void fillIndex(TqbSrTransaction& t, int32_t index);
    void unloadUserKeys();
    [[noreturn]] void keyViolation();

    std::vector<TqbCompositeCompareData> compare_;
    std::vector<UserKey> userKeys_;
    std::vector<void*> libraries_;
    KeySink keySink_;
};

using TqbSrTablePtr = std::shared_ptr<TqbSrBaseTable>;

// The engine's open tables. The portal guards the list; tables leave it (and are freed outside it)
// when no cursor and no use holds them.
class TqbSrTableList {
public:
    explicit TqbSrTableList(TqbSrTableHost& Host) : host_(Host) {}
    void BeginRead() { portal_.BeginRead(); }
    void EndRead() { portal_.EndRead(); }
    void BeginWrite() { portal_.BeginWrite(); }
    void EndWrite() { portal_.EndWrite(); }

    void Add(const TqbSrTablePtr& Table);
    bool Remove(const TqbSrBaseTable* Table);
    int Count();
    TqbSrTablePtr Items(int Index);
    TqbSrTablePtr FindByID(uint32_t TableID);
    // ASCII case ignored.
    TqbSrTablePtr FindByName(std::string_view Name);
    TqbSrTablePtr FindByFolderAndName(const TqbSrFolder& Folder, std::string_view Name);
    // Frees the table when no cursor uses it and its use count is 0.
    bool RemoveTable(const TqbSrBaseTable* Table);
    // Every table without cursors and uses; a failure while freeing one is logged and the pass
    // goes on.
    void RemoveUnused();

private:
    // An opening cursor counts a use (under this list's portal), joins the table's cursors and only
    // then gives the use back. So the use count is read first: at 0, every cursor that opened has
    // joined the cursors read next. The other way round, one joining between the reads is missed.
    static bool unused(TqbSrBaseTable& t) { return t.GetUseCount() == 0 && t.GetCursorList().Count() == 0; }
    void freeTables(std::vector<TqbSrTablePtr>& gone);
    TqbSrTableHost& host_;
    TqbReadWritePortal portal_;
    std::vector<TqbSrTablePtr> tables_;
};
