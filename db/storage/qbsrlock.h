// Lock manager of a data folder: locks in seven modes on table contents, records and tables, with
// FIFO wait and conversion queues, per-transaction bookkeeping, and each thread's deadline.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class TqbSrTable; // the server table that owns a content-lock container; only passed through here
class TqbTransContainer;
class TqbLockManager;

// ---------------------------------------------------------------------------------------------
// Modes, their compatibility and conversion.

// Numeric order is strength order.
enum TqbLockMode : uint8_t {
    lmNone = 0,
    lmIntentShared = 1,
    lmIntentExclusive = 2,
    lmShare = 3,
    lmSharedIntentExclusive = 4,
    lmUpdate = 5,
    lmExclusive = 6,
};
inline constexpr int kLockModeCount = 7;

// Outcome of an acquire.
enum TqbLockResult : int32_t {
    lrGranted = 0,
    lrTimedOut = 1,
    lrRejected = 2,
};

// Whether requested may be granted next to a resource whose strongest granted mode is summary.
// Values outside 0..6 are never compatible.
bool LockModesCompatible(uint8_t requested, uint8_t summary);
// Mode held after an owner holding held asks for requested (held for values outside 0..6).
uint8_t LockModeConversion(uint8_t held, uint8_t requested);
// Whether holding held already gives everything requested asks for.
inline bool LockModeCovers(uint8_t held, uint8_t requested) {
    return LockModeConversion(held, requested) == held;
}
// Display name ("None", "Intent Shared", ... "Exclusive"); empty for other values.
std::string LockModeToText(uint8_t mode);

// ---------------------------------------------------------------------------------------------
// Owners. Cursors and transactions take their owner identifiers from this one counter, so a
// cursor's locks and a transaction's locks on the same container can never be mistaken for each
// other. 0 is never handed out ("no cursor").

using TqbLockOwnerID = uint64_t;
TqbLockOwnerID NewLockOwnerID();

// What the lock manager needs of a transaction: its owner identifier and the link to the record of
// its locks, which the manager makes on its first granted lock and drops once it holds nothing.
class TqbLockTransaction {
public:
    TqbLockTransaction() : LockOwnerID(NewLockOwnerID()) {}
    // A transaction that goes away while still holding locks gives them back.
    virtual ~TqbLockTransaction();
    TqbLockTransaction(const TqbLockTransaction&) = delete;
    TqbLockTransaction& operator=(const TqbLockTransaction&) = delete;

    const TqbLockOwnerID LockOwnerID;
    // Null until the transaction's first granted content or record lock.
    TqbTransContainer* TransContainer() const { return transContainer_; }

private:
    friend class TqbLockManager;
    TqbTransContainer* transContainer_ = nullptr; // both guarded by the manager's transaction lock
    TqbLockManager* manager_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Each thread's operation deadline, on the engine's clock (plat::NowMs(), injectable in tests).

struct TqbThreadDeadline {
    bool Active = false; // false: no deadline
    uint64_t AtMs = 0;
};

// now + timeoutMs; 0 = no deadline.
void SetThreadDeadline(uint32_t timeoutMs);
TqbThreadDeadline GetThreadDeadline();
// Puts back a deadline saved with GetThreadDeadline.
void RestoreThreadDeadline(const TqbThreadDeadline& deadline);
// 0 without a deadline, 1 when it has passed, else the milliseconds left.
uint32_t ThreadTimeRemaining();
// Time-out for a lock request made now: 0 (no limit) without a deadline; fewer than 5 ms left
// raises server error 190 before anything is asked.
uint32_t ThreadLockTimeout();

// ---------------------------------------------------------------------------------------------
// Lock errors as the callers raise them ("QB_SERVER_STRINGS", EqbServerException).

// "table %s", "content of table '%s'", "record %d:%d (high:low)".
std::string TableLockResourceText(std::string_view tableName);
std::string ContentLockResourceText(std::string_view tableName);
std::string RecordLockResourceText(uint64_t recordRef);

// Record locks: 1 raises 187, 2 raises 188 (mode text, resource text, file name); 0 returns.
void CheckRecordLockResult(TqbLockResult result, uint8_t mode, uint64_t recordRef, std::string_view fileName);
// Table and content locks: 1 raises 189, 2 raises 188 with an empty file name; 0 returns.
void CheckTableLockResult(TqbLockResult result, uint8_t mode, std::string_view resourceText);
// 186: the asking transaction is the victim of a deadlock.
[[noreturn]] void RaiseLockDeadlock(uint8_t mode, std::string_view resourceText, int32_t transactionID);

// ---------------------------------------------------------------------------------------------
// Containers.

// Status of a request or entry.
enum TqbLockStatus : uint8_t {
    lsRefused = 0,
    lsGranted = 1,
    lsWaiting = 2,
    lsConverting = 3,
};

// A granted entry or a request of one owner on one resource.
struct TqbLockListItem {
    bool Conversion = false;
    TqbLockOwnerID OwnerID = 0;
    TqbLockOwnerID CursorID = 0; // record locks only; 0 = not bound to a cursor
    uint8_t Mode = lmNone;
    int32_t RefCount = 0;
    uint8_t Status = lsRefused;
    TqbLockTransaction* Transaction = nullptr;
};

// A queued request; its waiter sleeps on Event under the container's mutex.
struct TqbLockRequest {
    TqbLockListItem Item;
    std::condition_variable Event;
};
using TqbLockQueue = std::deque<std::shared_ptr<TqbLockRequest>>;

// What one acquire asks for.
struct TqbLockAsk {
    TqbLockOwnerID OwnerID = 0;
    TqbLockOwnerID CursorID = 0;
    uint8_t Mode = lmNone;
    TqbLockTransaction* Transaction = nullptr;
    uint32_t Timeout = 0; // ms, 0 = without limit
    bool Conditional = false;
    bool BindCursor = false; // record locks: an entry is bound to the cursor that took it
};

// The lock queue of one resource: the granted entries, then a conversion queue and a wait queue,
// both first in, first out. Every operation takes the container's own mutex; waits release it.
class TqbLockContainer {
public:
    TqbLockContainer() = default;
    TqbLockContainer(const TqbLockContainer&) = delete;
    TqbLockContainer& operator=(const TqbLockContainer&) = delete;

    // Requests, and waits when the request is queued: granted (0), timed out (1; the request is
    // gone from its queue), or refused (2: conditional, or a record held through another cursor).
    TqbLockResult Acquire(const TqbLockAsk& ask);
    // One release (all: whatever the count). True when the owner's entry left the container.
    bool Release(TqbLockOwnerID owner, bool all);
    // Clears the cursor binding of the owner's entry; false when the owner holds nothing here.
    bool Relax(TqbLockOwnerID owner);

    bool HasGranted();
    bool HasOwner(TqbLockOwnerID owner);
    // Mode the owner holds here, lmNone when none.
    uint8_t OwnerMode(TqbLockOwnerID owner);
    // Strongest granted mode, lmNone when none.
    uint8_t SummaryMode();
    // True when a request for Exclusive in the wait queue, or else in the conversion queue, comes
    // from a transaction that also holds a granted entry here.
    bool HasDeadlock();
    // No granted entry, no waiting and no converting request.
    bool IsEmpty();

    // For checks and diagnostics.
    std::vector<TqbLockListItem> GrantedEntries();
    size_t WaitingCount();
    size_t ConvertingCount();

private:
    friend class TqbLockHash;
    friend class TqbLockContainerPool;

    TqbLockListItem* findGranted(TqbLockOwnerID owner);
    uint8_t summaryExcept(TqbLockOwnerID owner) const;
    bool compatibleExcept(uint8_t mode, TqbLockOwnerID owner) const;
    // RequestLock: lsGranted, lsRefused, or the queued request (lsWaiting / lsConverting).
    uint8_t request(const TqbLockAsk& ask, std::shared_ptr<TqbLockRequest>& queued);
    void grant(TqbLockRequest& req);
    void removeRequest(const std::shared_ptr<TqbLockRequest>& req);
    void processQueues();
    bool emptyLocked() const { return granted_.empty() && waitQueue_.empty() && convQueue_.empty(); }

    std::mutex m_;
    std::vector<TqbLockListItem> granted_;
    TqbLockQueue convQueue_;
    TqbLockQueue waitQueue_;
    int32_t pins_ = 0; // guarded by the lock hash that holds the container
};

// Ready containers for the table and record hashes. One global pool: 250 containers made at
// start-up; Flush frees those above RetainCount.
class TqbLockContainerPool {
public:
    explicit TqbLockContainerPool(int initialCount = 0, int retainCount = 1000);
    ~TqbLockContainerPool();
    TqbLockContainerPool(const TqbLockContainerPool&) = delete;
    TqbLockContainerPool& operator=(const TqbLockContainerPool&) = delete;

    // The last pooled container, or a new one.
    TqbLockContainer* Get();
    // Takes back an empty container (one still in use is an error and is not pooled).
    void Put(TqbLockContainer* container);
    void Flush();
    int Count();
    int RetainCount() const { return retainCount_; }

private:
    std::mutex m_;
    std::vector<TqbLockContainer*> ready_;
    int retainCount_;
};
TqbLockContainerPool& LockContainerPool();

// Containers keyed by table ID or record reference. A container is pinned by every request on its
// way to it or waiting in it, and goes back to the pool only when it is empty and unpinned, so it
// is never recycled under a request.
class TqbLockHash {
public:
    TqbLockHash() = default;
    ~TqbLockHash();
    TqbLockHash(const TqbLockHash&) = delete;
    TqbLockHash& operator=(const TqbLockHash&) = delete;

    // The key's container, pinned; made from the pool when absent and create is set.
    TqbLockContainer* Pin(uint64_t key, bool create);
    void Unpin(uint64_t key, TqbLockContainer* container);
    // Calls fn with the key's container under the hash lock (the container is locked by fn's own
    // calls); false when the key has none.
    template <class F> bool WithContainer(uint64_t key, F&& fn) {
        std::lock_guard lk(m_);
        auto it = map_.find(key);
        if (it == map_.end()) return false;
        fn(*it->second);
        return true;
    }
    size_t Count();

private:
    std::mutex m_;
    std::unordered_map<uint64_t, TqbLockContainer*> map_;
};

// The record-lock containers of one file, keyed by record reference.
class TqbRecordLockHash : public TqbLockHash {};

// The part of an open file's information record that the lock manager uses: the file's
// record-lock hash, made on its first record lock. Reset (at file close) drops the file's link;
// transactions that still hold record locks keep the hash alive until they release them.
class TqbFileRecordLocks {
public:
    std::shared_ptr<TqbRecordLockHash> Hash(bool create);
    void Reset();

private:
    std::mutex m_;
    std::shared_ptr<TqbRecordLockHash> hash_;
};

// ---------------------------------------------------------------------------------------------
// A transaction's locks, so that commit and rollback release them all.

class TqbTransContainer {
public:
    struct ContentLock {
        TqbLockContainer* Container;
        TqbSrTable* Table;
        uint8_t Mode;
    };

    explicit TqbTransContainer(TqbLockTransaction* transaction) : transaction_(transaction) {}
    TqbLockTransaction* Transaction() const { return transaction_; }
    // Mode the transaction holds on the container, lmNone when none.
    uint8_t GetContentLockMode(TqbLockContainer* container);
    std::vector<ContentLock> ContentLocks();
    size_t RecordLockCount();

private:
    friend class TqbLockManager;
    struct FileLocks {
        std::shared_ptr<TqbRecordLockHash> Hash;
        std::set<std::pair<uint64_t, TqbLockOwnerID>> Refs; // record reference, owner
    };

    std::mutex m_;
    TqbLockTransaction* transaction_;
    std::map<TqbLockContainer*, std::pair<TqbSrTable*, uint8_t>> content_;
    std::map<TqbRecordLockHash*, FileLocks> records_;
};

// ---------------------------------------------------------------------------------------------
// The lock manager of one data folder. Time-outs are in ms, 0 = wait without limit.

class TqbLockManager {
public:
    TqbLockManager() = default;
    ~TqbLockManager();
    TqbLockManager(const TqbLockManager&) = delete;
    TqbLockManager& operator=(const TqbLockManager&) = delete;

    // Content-lock containers belong to the server table; owner = the cursor, never conditional.
    TqbLockResult AcquireCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID, uint8_t Mode,
                                           uint32_t Timeout);
    // Owner = the transaction; a grant is recorded in the transaction's container.
    TqbLockResult AcquireContentLock(TqbLockContainer& Container, TqbSrTable* Table, uint8_t Mode,
                                     uint32_t Timeout, bool Conditional, TqbLockTransaction& Transaction);
    // The record's container lives in the file's record-lock hash; a grant for a transaction is
    // recorded under that file in the transaction's container.
    TqbLockResult AcquireRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID CursorID,
                                    TqbLockOwnerID OwnerID, TqbLockTransaction* Transaction, uint32_t Timeout,
                                    bool Conditional, uint8_t Mode);
    // Owner = the cursor.
    TqbLockResult AcquireTableLock(uint32_t TableID, uint8_t Mode, TqbLockOwnerID CursorID, uint32_t Timeout,
                                   bool Conditional);

    bool IsRecordLocked(uint64_t RecordRef, TqbFileRecordLocks& FileInfo);
    bool HasCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID);
    bool HasContentLock(TqbLockContainer& Container, TqbLockTransaction& Transaction);
    // The cursor holds the table lock in exactly Mode.
    bool HasTableLock(uint32_t TableID, TqbLockOwnerID CursorID, uint8_t Mode);
    uint8_t GetTableLockMode(uint32_t TableID);

    void ReleaseCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID);
    void ReleaseCursorContentLockAll(TqbLockContainer& Container, TqbLockOwnerID CursorID);
    void ReleaseContentLock(TqbLockContainer& Container, TqbLockTransaction& Transaction);
    void ReleaseContentLockAll(TqbLockContainer& Container, TqbLockTransaction& Transaction);
    void ReleaseRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID OwnerID,
                           TqbLockTransaction* Transaction);
    void ReleaseRecordLockAll(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID OwnerID,
                              TqbLockTransaction* Transaction);
    void ReleaseTableLock(uint32_t TableID, TqbLockOwnerID CursorID);
    void ReleaseTableLockAll(uint32_t TableID, TqbLockOwnerID CursorID);
    // The owner keeps the record lock; its cursor binding is cleared.
    void RelaxRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID OwnerID);

    // Every record lock of the transaction, file by file; then, unless RecordLocksOnly, every
    // content lock. A transaction left holding nothing loses its container.
    void ReleaseTransactionLocks(TqbLockTransaction& Transaction, bool RecordLocksOnly);

    // For checks and diagnostics.
    size_t TableContainerCount() { return tables_.Count(); }
    TqbLockHash& TableLocks() { return tables_; }
    size_t TransContainerCount();

private:
    TqbTransContainer* transContainer(TqbLockTransaction& t, bool create);
    void dropTransContainerIfEmpty(TqbLockTransaction& t);
    void releaseContent(TqbLockContainer& c, TqbLockTransaction& t, bool all);
    void releaseRecord(uint64_t ref, const std::shared_ptr<TqbRecordLockHash>& hash, TqbLockOwnerID owner,
                       TqbLockTransaction* t, bool all);

    TqbLockHash tables_;
    std::mutex transMutex_;
    std::unordered_map<TqbLockTransaction*, std::unique_ptr<TqbTransContainer>> trans_;
};
