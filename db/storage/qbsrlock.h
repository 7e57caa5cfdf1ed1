// Lock manager of a data folder: locks in seven modes on table contents, records and tables, with
// FIFO wait and conversion queues, per-transaction bookkeeping, and each thread's deadline.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
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

struct TqbLockWaitNote;

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
    friend struct TqbLockWaitNote;
    TqbTransContainer* transContainer_ = nullptr; // both guarded by the manager's transaction lock
    TqbLockManager* manager_ = nullptr;

    // Requests of this transaction that sleep in a queue, so that releasing its locks from another
    // thread also takes them out. The counters move on every such release; a request that started
    // before one and queues after it takes itself out. Guarded by waitMutex_, taken before any
    // hash or container lock.
    std::mutex waitMutex_;
    std::vector<TqbLockWaitNote*> waits_;
    std::atomic<uint64_t> recordReleases_{0};
    std::atomic<uint64_t> contentReleases_{0};
};

// ---------------------------------------------------------------------------------------------
// Each thread's operation deadline, on the engine's clock (plat::NowMs(), injectable in tests).

struct TqbThreadDeadline {
    bool Active = false; // false: no deadline
    uint64_t AtMs = 0;
};

// now + timeoutMs; 0 = no deadline. From 1 s on, now is read on the coarse clock, plus its tick.
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

// A granted entry or a request of one owner on one resource. A cache line each, so that the entries
// of containers used by different threads never share one.
struct alignas(64) TqbLockListItem {
    bool Conversion = false;
    TqbLockOwnerID OwnerID = 0;
    TqbLockOwnerID CursorID = 0; // record locks only; 0 = not bound to a cursor
    uint8_t Mode = lmNone;
    int32_t RefCount = 0;
    uint8_t Status = lsRefused;
    TqbLockTransaction* Transaction = nullptr;
    // A transaction's entry that was its cursor's own: that cursor and the count it held.
    TqbLockOwnerID AdoptedFrom = 0;
    int32_t AdoptedCount = 0;
};

class TqbLockHash;
class TqbLockContainer;
struct TqbLockShard;

// A queued request. It lives on the waiting thread's stack and sits in one queue by its links.
// Its outcome is decided under the container's lock and published last through State, so a waiter
// that sees the outcome while spinning may return at once.
struct TqbLockRequest {
    TqbLockListItem Item;
    std::condition_variable Event;
    std::atomic<uint8_t> State{lsRefused};
    bool Sleeping = false; // on Event; guarded by the container's lock
    TqbLockRequest* Prev = nullptr;
    TqbLockRequest* Next = nullptr;
};

// First in, first out, linked through the requests: queuing never allocates.
class TqbLockQueue {
public:
    bool empty() const { return head_ == nullptr; }
    size_t size() const;
    TqbLockRequest* front() const { return head_; }
    void push_back(TqbLockRequest* r);
    void erase(TqbLockRequest* r);
    template <class F> bool any(F&& pred) const {
        for (TqbLockRequest* r = head_; r; r = r->Next)
            if (pred(*r)) return true;
        return false;
    }

private:
    TqbLockRequest* head_ = nullptr;
    TqbLockRequest* tail_ = nullptr;
};

// Where a waiting request of a transaction sits, so that the transaction's release can find it:
// a record's key in a record-lock hash, or a content-lock container.
struct TqbLockWaitNote {
    TqbLockTransaction* Transaction = nullptr;
    TqbLockOwnerID Owner = 0;
    TqbLockHash* Hash = nullptr;
    uint64_t Key = 0;
    TqbLockContainer* Content = nullptr;
    uint64_t Releases = 0; // the transaction's release counter when the acquire began

    void begin(TqbLockTransaction* t, TqbLockOwnerID owner, TqbLockHash* hash, uint64_t key,
               TqbLockContainer* content);
    // False when the transaction's locks were released since the acquire began.
    bool enlist();
    void leave();
};

// What one acquire asks for.
struct TqbLockAsk {
    TqbLockOwnerID OwnerID = 0;
    TqbLockOwnerID CursorID = 0;
    uint8_t Mode = lmNone;
    TqbLockTransaction* Transaction = nullptr;
    uint32_t Timeout = 0; // ms, 0 = without limit
    bool Conditional = false;
    bool BindCursor = false; // record locks: an entry is bound to the cursor that took it
    // A transaction's record lock: the lock its cursor holds here on its own passes to it.
    bool AdoptCursorLock = false;
    TqbLockWaitNote* Note = nullptr; // set for a transaction's requests
};

// The lock queue of one resource: the granted entries, then a conversion queue and a wait queue,
// both first in, first out. A container on its own (a table's content) has its own mutex; one in a
// hash is guarded by the mutex of the hash's shard that holds it. Waits release the lock.
class alignas(64) TqbLockContainer {
public:
    TqbLockContainer() = default;
    TqbLockContainer(const TqbLockContainer&) = delete;
    TqbLockContainer& operator=(const TqbLockContainer&) = delete;

    // Requests, and waits when the request is queued: granted (0), timed out (1; the request is
    // gone from its queue), or refused (2: conditional, a record held through another cursor, or
    // the owner's locks released by another thread while it waited).
    TqbLockResult Acquire(const TqbLockAsk& ask);
    // One release (all: whatever the count, and the owner's waiting and converting requests go
    // too). True when the owner's entry left the container.
    bool Release(TqbLockOwnerID owner, bool all);
    // Takes the owner's waiting and converting requests out; their waiters get "refused".
    void CancelOwner(TqbLockOwnerID owner);
    // Clears the cursor binding of the owner's entry; false when the owner holds nothing here.
    bool Relax(TqbLockOwnerID owner);
    // An entry the owner took over from a cursor goes back to that cursor as it was; false when
    // the owner holds no such entry here.
    bool GiveBackAdopted(TqbLockOwnerID owner);

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
    friend struct TqbLockShard;

    TqbLockListItem* findGranted(TqbLockOwnerID owner);
    uint8_t summaryExcept(TqbLockOwnerID owner) const;
    bool compatibleExcept(uint8_t mode, TqbLockOwnerID owner) const;
    // RequestLock: lsGranted, lsRefused, or lsWaiting / lsConverting for item to be queued.
    uint8_t request(const TqbLockAsk& ask, TqbLockListItem& item);
    void grant(TqbLockListItem& item);
    void grantNew(TqbLockListItem& item); // the owner holds nothing here yet
    void adoptCursorEntry(const TqbLockAsk& ask);
    void removeRequest(TqbLockRequest& req);
    void processQueues();
    // The rest of an acquire under lk (this container's lock); lk may be left unlocked.
    TqbLockResult acquireLocked(const TqbLockAsk& ask, std::unique_lock<std::mutex>& lk);
    TqbLockResult waitLocked(const TqbLockAsk& ask, TqbLockRequest& req, std::unique_lock<std::mutex>& lk);
    bool releaseLocked(TqbLockOwnerID owner, bool all);
    bool cancelOwnerLocked(TqbLockOwnerID owner);
    // A container of a hash that nobody holds, waits for or looks at leaves the hash.
    void recycleIfUnused();
    bool emptyLocked() const { return granted_.empty() && waitQueue_.empty() && convQueue_.empty(); }

    // What a lock in a hash touches comes first; the own mutex of a lone container last.
    std::mutex* m_ = &own_;
    std::vector<TqbLockListItem> granted_;
    TqbLockQueue convQueue_;
    TqbLockQueue waitQueue_;
    // In a hash: its shard and key; pins_ counts callers looking at it from outside.
    TqbLockShard* home_ = nullptr;
    uint64_t key_ = 0;
    int32_t pins_ = 0;
    std::mutex own_;
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
    // Takes back an empty container nobody else can reach (one still in use is not pooled).
    void Put(TqbLockContainer* container);
    // Put for each of them, in one lock.
    void PutAll(const std::vector<TqbLockContainer*>& containers);
    void Flush();
    int Count();
    int RetainCount() const { return retainCount_; }

private:
    static bool readyForReuse(TqbLockContainer* c);

    std::mutex m_;
    std::vector<TqbLockContainer*> ready_;
    int retainCount_;
};
TqbLockContainerPool& LockContainerPool();

// Containers keyed by table ID or record reference, spread over shards that each have their own
// mutex, so that locks on different keys rarely meet. A container stays in the hash while anyone
// holds, waits for or looks at it, and goes back to the pool only then, so it is never recycled
// under a request.
class TqbLockHash {
public:
    explicit TqbLockHash(unsigned shardBits = 6);
    ~TqbLockHash();
    TqbLockHash(const TqbLockHash&) = delete;
    TqbLockHash& operator=(const TqbLockHash&) = delete;

    // Acquire on the key's container, made when absent.
    TqbLockResult Acquire(uint64_t key, const TqbLockAsk& ask);
    // Release on the key's container; true when the owner's entry left it.
    bool Release(uint64_t key, TqbLockOwnerID owner, bool all);
    // Release-all of each (key, owner) pair, shard by shard: one lock of a shard serves a run of
    // its keys, whose slots and containers are fetched ahead.
    void ReleaseAll(const std::vector<std::pair<uint64_t, TqbLockOwnerID>>& pairs);
    void CancelOwner(uint64_t key, TqbLockOwnerID owner);
    // Calls fn with the key's container, kept from recycling, outside the hash lock (fn uses the
    // container's own calls); false when the key has none.
    template <class F> bool WithContainer(uint64_t key, F&& fn) {
        TqbLockContainer* c = pin(key);
        if (!c) return false;
        fn(*c);
        unpin(key);
        return true;
    }
    size_t Count();

private:
    TqbLockShard& shardOf(uint64_t key, uint64_t& mixed) const;
    TqbLockContainer* find(TqbLockShard& s, uint64_t key, uint64_t mixed) const;
    TqbLockContainer* pin(uint64_t key);
    void unpin(uint64_t key);

    unsigned shardBits_;
    std::unique_ptr<TqbLockShard[]> shards_;
};

// The record-lock containers of one file, keyed by record reference.
class TqbRecordLockHash : public TqbLockHash {};

// The part of an open file's information record that the lock manager uses: the file's
// record-lock hash, made on its first record lock. Reset (at file close) drops the file's link;
// transactions that still hold record locks keep the hash alive until they release them.
class TqbFileRecordLocks {
public:
    TqbFileRecordLocks() = default;
    TqbFileRecordLocks(const TqbFileRecordLocks&) = delete;
    TqbFileRecordLocks& operator=(const TqbFileRecordLocks&) = delete;

    std::shared_ptr<TqbRecordLockHash> Hash(bool create);
    // The hash without taking a reference (null when none and !create); valid while this lives.
    TqbRecordLockHash* HashPtr(bool create);
    void Reset();

private:
    std::mutex m_;
    std::shared_ptr<TqbRecordLockHash> hash_;
    std::atomic<TqbRecordLockHash*> current_{nullptr};
    // Hashes dropped by Reset stay until this goes: a call that read the pointer may still use one.
    std::vector<std::shared_ptr<TqbRecordLockHash>> retired_;
};

// ---------------------------------------------------------------------------------------------
// A transaction's locks, so that commit and rollback release them all.

// The record locks one transaction holds in one file: (record reference, owner) pairs, each once.
// The locks of new records come at rising references, nearly always of one owner: those are
// appended to a sorted run of that owner's references, where a release only marks its entry; any
// other pair goes to a set beside the run.
class TqbRecordLockSet {
public:
    using Entry = std::pair<uint64_t, TqbLockOwnerID>;

    void Insert(const Entry& e);
    void Erase(const Entry& e);
    size_t Size() const { return run_.size() - gone_ + others_.size(); }
    bool Empty() const { return Size() == 0; }
    template <class F> void ForEach(F&& fn) const {
        for (size_t i = 0; i < run_.size(); ++i)
            if (!released_[i]) fn(Entry{run_[i], runOwner_});
        for (const Entry& e : others_)
            fn(e);
    }

private:
    TqbLockOwnerID runOwner_ = 0;   // owner of every entry of run_
    std::vector<uint64_t> run_;     // strictly rising references
    std::vector<uint8_t> released_; // per entry of run_
    size_t gone_ = 0;               // entries of run_ marked released
    std::set<Entry> others_;        // never also in run_
};

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
        TqbRecordLockSet Refs;
    };

    std::mutex m_;
    TqbLockTransaction* transaction_;
    std::map<TqbLockContainer*, std::pair<TqbSrTable*, uint8_t>> content_;
    std::map<TqbRecordLockHash*, FileLocks> records_;
};

// ---------------------------------------------------------------------------------------------
// The lock manager of one data folder. Time-outs are in ms, 0 = wait without limit.
// Locks, in the order they may be taken: a transaction's wait mutex (its sleeping requests); a hash
// shard's mutex, which guards the shard's buckets and every container in it, or a lone container's
// own mutex; then, with no container locked, the transaction list lock and a transaction
// container's lock. Waits hold none of them.

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
    // recorded under that file in the transaction's container. A lock the cursor holds there on its
    // own passes to the transaction at once.
    TqbLockResult AcquireRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID CursorID,
                                    TqbLockOwnerID OwnerID, TqbLockTransaction* Transaction, uint32_t Timeout,
                                    bool Conditional, uint8_t Mode);
    // Owner = the cursor.
    TqbLockResult AcquireTableLock(uint32_t TableID, uint8_t Mode, TqbLockOwnerID CursorID, uint32_t Timeout,
                                   bool Conditional);

    bool IsRecordLocked(uint64_t RecordRef, TqbFileRecordLocks& FileInfo);
    // The owner holds a lock on the record.
    bool HoldsRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo, TqbLockOwnerID OwnerID);
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

    // Record locks the transaction took over from its cursors go back to them, never free in
    // between: a write that failed leaves the record locked as its cursor had it.
    void ReturnAdoptedRecordLocks(TqbLockTransaction& Transaction);

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
    void releaseRecord(uint64_t ref, TqbRecordLockHash* hash, TqbLockOwnerID owner, TqbLockTransaction* t,
                       bool all);
    // Takes the transaction's sleeping requests out of their queues (content ones too unless
    // recordsOnly).
    void cancelWaits(TqbLockTransaction& t, bool recordsOnly);

    TqbLockHash tables_{4};
    std::mutex transMutex_;
    std::unordered_map<TqbLockTransaction*, std::unique_ptr<TqbTransContainer>> trans_;
};
