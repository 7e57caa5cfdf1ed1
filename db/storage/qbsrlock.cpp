// Lock modes and their tables, each thread's deadline, lock errors, and the lock container with
// its queues, its pool and the hashes that hold containers by key.
#include "db/storage/qbsrlock.h"

#include "db/storage/qbfile.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbllthrd.h"
#include "db/base/qbsrmgr.h"
#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>

// ---------------------------------------------------------------------------------------------
// Modes

namespace {

// Row: requested mode; column: strongest granted mode.
constexpr uint8_t kCompatible[kLockModeCount][kLockModeCount] = {
    {1, 1, 1, 1, 1, 1, 1}, // none
    {1, 1, 1, 1, 1, 0, 0}, // intent shared
    {1, 1, 1, 0, 0, 0, 0}, // intent exclusive
    {1, 1, 0, 1, 0, 0, 0}, // share
    {1, 1, 0, 0, 0, 0, 0}, // shared intent exclusive
    {1, 0, 0, 1, 0, 0, 0}, // update
    {1, 0, 0, 0, 0, 0, 0}, // exclusive
};

// Row: mode held; column: mode requested; entry: mode after the conversion.
constexpr uint8_t kConversion[kLockModeCount][kLockModeCount] = {
    {0, 1, 2, 3, 4, 5, 6}, {1, 1, 2, 3, 4, 5, 6}, {2, 2, 2, 4, 4, 6, 6}, {3, 3, 4, 3, 4, 5, 6},
    {4, 4, 4, 4, 4, 4, 6}, {5, 5, 6, 5, 4, 5, 6}, {6, 6, 6, 6, 6, 6, 6},
};

constexpr const char* kModeNames[kLockModeCount] = {
    "None", "Intent Shared", "Intent Exclusive", "Share", "Shared Intent Exclusive", "Update", "Exclusive",
};

// A waiter with a time-out looks at the clock at least this often, so that an injected clock that
// jumps ahead ends the wait without a real wait of the whole time-out.
constexpr uint64_t kWaitSliceMs = 20;

} // namespace

bool LockModesCompatible(uint8_t requested, uint8_t summary) {
    return requested < kLockModeCount && summary < kLockModeCount && kCompatible[requested][summary] != 0;
}

uint8_t LockModeConversion(uint8_t held, uint8_t requested) {
    if (held >= kLockModeCount || requested >= kLockModeCount) return held;
    return kConversion[held][requested];
}

std::string LockModeToText(uint8_t mode) {
    return mode < kLockModeCount ? kModeNames[mode] : std::string();
}

TqbLockOwnerID NewLockOwnerID() {
    static std::atomic<TqbLockOwnerID> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Thread deadline

namespace {
thread_local TqbThreadDeadline t_deadline;
} // namespace

// Every engine call sets a deadline and every record lock asks for its time-out. Far from the
// deadline both read the coarse clock, which costs no time source read: a long deadline is pushed
// back by a tick of it, so it seldom falls before the fine clock's, and then by no more than the
// coarse clock lags. Short ones keep the fine clock.
constexpr uint64_t kCoarseEnoughMs = 1000;

bool coarseClockFineEnough() {
    return plat::CoarseGrainMs() < kCoarseEnoughMs / 10;
}

void SetThreadDeadline(uint32_t timeoutMs) {
    if (timeoutMs == 0)
        t_deadline = TqbThreadDeadline{};
    else if (timeoutMs >= kCoarseEnoughMs && coarseClockFineEnough())
        t_deadline = TqbThreadDeadline{true, plat::CoarseNowMs() + plat::CoarseGrainMs() + timeoutMs};
    else
        t_deadline = TqbThreadDeadline{true, plat::NowMs() + timeoutMs};
}

TqbThreadDeadline GetThreadDeadline() {
    return t_deadline;
}

void RestoreThreadDeadline(const TqbThreadDeadline& deadline) {
    t_deadline = deadline;
}

uint32_t ThreadTimeRemaining() {
    if (!t_deadline.Active) return 0;
    uint64_t now = plat::NowMs();
    if (now >= t_deadline.AtMs) return 1;
    uint64_t left = t_deadline.AtMs - now;
    return uint32_t(std::min<uint64_t>(left, std::numeric_limits<uint32_t>::max()));
}

uint32_t ThreadLockTimeout() {
    if (!t_deadline.Active) return 0;
    // The coarse clock never runs ahead of the fine one: a time-out taken from it reaches at least
    // the deadline.
    const uint64_t coarse = plat::CoarseNowMs();
    if (t_deadline.AtMs > coarse + kCoarseEnoughMs && coarseClockFineEnough())
        return uint32_t(std::min<uint64_t>(t_deadline.AtMs - coarse, std::numeric_limits<uint32_t>::max()));
    uint64_t now = plat::NowMs();
    if (now >= t_deadline.AtMs || t_deadline.AtMs - now < 5)
        RaiseResourceError<EqbServerException>(ServerStrings(), 190);
    return uint32_t(std::min<uint64_t>(t_deadline.AtMs - now, std::numeric_limits<uint32_t>::max()));
}

// ---------------------------------------------------------------------------------------------
// Lock errors

std::string TableLockResourceText(std::string_view tableName) {
    return qbFormat("table %s", {tableName});
}

std::string ContentLockResourceText(std::string_view tableName) {
    return qbFormat("content of table '%s'", {tableName});
}

std::string RecordLockResourceText(uint64_t recordRef) {
    return qbFormat("record %d:%d (high:low)", {uint32_t(recordRef >> 32), uint32_t(recordRef)});
}

namespace {
// A wait ended because the engine stops: the operation ends as on an engine that is not started.
constexpr int32_t kResultNotStarted = 15459;
[[noreturn]] void raiseStopped() {
    throw EqbServerException(CompatErrorStrings().GetText(kResultNotStarted), kResultNotStarted);
}
} // namespace

void CheckRecordLockResult(TqbLockResult result, uint8_t mode, uint64_t recordRef,
                           std::string_view fileName) {
    if (result == lrGranted) return;
    if (result == lrStopped) raiseStopped();
    RaiseResourceErrorFmt<EqbServerException>(
        ServerStrings(), result == lrTimedOut ? 187 : 188,
        {LockModeToText(mode), RecordLockResourceText(recordRef), fileName});
}

void CheckTableLockResult(TqbLockResult result, uint8_t mode, std::string_view resourceText) {
    if (result == lrGranted) return;
    if (result == lrStopped) raiseStopped();
    if (result == lrTimedOut)
        RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 189, {LockModeToText(mode), resourceText});
    RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 188, {LockModeToText(mode), resourceText, ""});
}

void RaiseLockDeadlock(uint8_t mode, std::string_view resourceText, int32_t transactionID) {
    RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 186,
                                              {LockModeToText(mode), resourceText, transactionID});
}

// ---------------------------------------------------------------------------------------------
// Stopping waits

namespace {
thread_local TqbLockWaitStop* tlsWaitStop = nullptr;
} // namespace

TqbLockWaitStop* ThreadLockWaitStop() {
    return tlsWaitStop;
}

TqbLockWaitStopScope::TqbLockWaitStopScope(TqbLockWaitStop* Stop) : saved_(tlsWaitStop) {
    tlsWaitStop = Stop;
}

TqbLockWaitStopScope::~TqbLockWaitStopScope() {
    tlsWaitStop = saved_;
}

void TqbLockWaitStop::Stop() {
    std::lock_guard lk(m_);
    stopped_.store(true);
    // Under the lock each waiter sleeps under, which it looks at the flag under before it sleeps:
    // none misses the wake-up.
    for (const Waiter& w : waiters_) {
        std::lock_guard g(*w.Lock);
        w.Request->Event.notify_all();
    }
}

void TqbLockWaitStop::Reset() {
    stopped_.store(false);
}

bool TqbLockWaitStop::enlist(TqbLockRequest& req, std::mutex& lock) {
    std::lock_guard lk(m_);
    if (stopped_.load()) return false;
    waiters_.push_back({&req, &lock});
    return true;
}

void TqbLockWaitStop::leave(TqbLockRequest& req) {
    std::lock_guard lk(m_);
    std::erase_if(waiters_, [&](const Waiter& w) { return w.Request == &req; });
}

// ---------------------------------------------------------------------------------------------
// Queues

size_t TqbLockQueue::size() const {
    size_t n = 0;
    for (TqbLockRequest* r = head_; r; r = r->Next)
        ++n;
    return n;
}

void TqbLockQueue::push_back(TqbLockRequest* r) {
    r->Next = nullptr;
    r->Prev = tail_;
    (tail_ ? tail_->Next : head_) = r;
    tail_ = r;
}

void TqbLockQueue::erase(TqbLockRequest* r) {
    (r->Prev ? r->Prev->Next : head_) = r->Next;
    (r->Next ? r->Next->Prev : tail_) = r->Prev;
    r->Prev = r->Next = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Waits of a transaction

void TqbLockWaitNote::begin(TqbLockTransaction* t, TqbLockOwnerID owner, TqbLockHash* hash, uint64_t key,
                            TqbLockContainer* content) {
    Transaction = t;
    Owner = owner;
    Hash = hash;
    Key = key;
    Content = content;
    Releases = (hash ? t->recordReleases_ : t->contentReleases_).load(std::memory_order_acquire);
}

bool TqbLockWaitNote::enlist() {
    std::lock_guard lk(Transaction->waitMutex_);
    if ((Hash ? Transaction->recordReleases_ : Transaction->contentReleases_).load() != Releases)
        return false;
    Transaction->waits_.push_back(this);
    return true;
}

void TqbLockWaitNote::leave() {
    std::lock_guard lk(Transaction->waitMutex_);
    auto& w = Transaction->waits_;
    w.erase(std::remove(w.begin(), w.end(), this), w.end());
}

// ---------------------------------------------------------------------------------------------
// Container

namespace {

// A queued request spins this long for its outcome before it sleeps: a hand-over between threads
// that hold a lock briefly then costs no sleep and wake-up.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(5);
// How many requests at the front of the queues a grant wakes ahead of their turn.
constexpr int kWakeAhead = 1;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

bool pendingState(uint8_t s) {
    return s == lsWaiting || s == lsConverting;
}

// True when the request's outcome came in within the spin time.
bool spinForOutcome(const TqbLockRequest& req) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
        if (!pendingState(req.State.load(std::memory_order_acquire))) return true;
        cpuRelax();
        if (i % 16 == 0 && std::chrono::steady_clock::now() - start >= kSpinBeforeSleep) return false;
    }
}

} // namespace

TqbLockListItem* TqbLockContainer::findGranted(TqbLockOwnerID owner) {
    for (auto& e : granted_)
        if (e.OwnerID == owner) return &e;
    return nullptr;
}

// The strongest mode granted to anyone but owner.
uint8_t TqbLockContainer::summaryExcept(TqbLockOwnerID owner) const {
    uint8_t s = lmNone;
    for (const auto& e : granted_)
        if (e.OwnerID != owner && e.Mode > s) s = e.Mode;
    return s;
}

// Whether mode fits next to every mode granted to another owner. Checked entry by entry, not
// against the strongest mode alone: Update fits next to Share but not next to Intent Shared, so
// with both of those granted the strongest one would let an Update in. An owner's own entry never
// blocks its requests.
bool TqbLockContainer::compatibleExcept(uint8_t mode, TqbLockOwnerID owner) const {
    for (const auto& e : granted_)
        if (e.OwnerID != owner && !LockModesCompatible(mode, e.Mode)) return false;
    return mode < kLockModeCount;
}

// A cursor that read a record with a lock outside any transaction and then writes it inside one
// would otherwise wait for itself. Its entry changes owner under the container's lock, so the
// record is never free in between and the transaction's end releases it with its other locks.
void TqbLockContainer::adoptCursorEntry(const TqbLockAsk& ask) {
    if (ask.CursorID == 0 || ask.CursorID == ask.OwnerID || !ask.Transaction) return;
    TqbLockListItem* mine = findGranted(ask.CursorID);
    if (!mine || mine->Transaction || mine->Conversion || findGranted(ask.OwnerID)) return;
    mine->AdoptedFrom = mine->OwnerID;
    mine->AdoptedCount = mine->RefCount;
    mine->OwnerID = ask.OwnerID;
    mine->Transaction = ask.Transaction;
}

uint8_t TqbLockContainer::request(const TqbLockAsk& ask, TqbLockListItem& item) {
    if (ask.AdoptCursorLock) adoptCursorEntry(ask);
    item.OwnerID = ask.OwnerID;
    item.CursorID = ask.BindCursor ? ask.CursorID : 0;
    item.Mode = ask.Mode;
    item.RefCount = 1;
    item.Transaction = ask.Transaction;

    bool grantNow;
    if (TqbLockListItem* held = findGranted(ask.OwnerID)) {
        if (ask.BindCursor) {
            if (held->CursorID != 0 && held->CursorID != ask.CursorID) return lsRefused;
            held->CursorID = ask.CursorID;
        }
        // Coverage follows the conversion table: Share does not cover Intent Exclusive.
        if (LockModeCovers(held->Mode, ask.Mode)) {
            ++held->RefCount;
            return lsGranted;
        }
        item.Mode = LockModeConversion(held->Mode, ask.Mode);
        item.Conversion = true;
        item.CursorID = held->CursorID;
        held->Conversion = true;
        // Checked against the other holders only, and ahead of the wait queue: waiters cannot get
        // in before this owner lets go anyway. Earlier conversions keep their turn.
        grantNow = granted_.size() == 1 || (convQueue_.empty() && compatibleExcept(item.Mode, ask.OwnerID));
    } else {
        // No overtaking: neither waiters nor pending conversions are passed.
        grantNow = granted_.empty() ||
                   (waitQueue_.empty() && convQueue_.empty() && compatibleExcept(item.Mode, ask.OwnerID));
    }

    if (grantNow) {
        if (item.Conversion)
            grant(item);
        else
            grantNew(item);
        return lsGranted;
    }
    if (ask.Conditional) {
        if (item.Conversion) findGranted(ask.OwnerID)->Conversion = false;
        return lsRefused;
    }
    return item.Conversion ? lsConverting : lsWaiting;
}

void TqbLockContainer::grant(TqbLockListItem& it) {
    if (TqbLockListItem* e = findGranted(it.OwnerID)) {
        // A conversion keeps the count; a second request of the same owner that waited adds to it.
        e->Mode = LockModeConversion(e->Mode, it.Mode);
        if (!it.Conversion) ++e->RefCount;
        e->Conversion = false;
        if (e->CursorID == 0) e->CursorID = it.CursorID;
    } else {
        grantNew(it);
    }
    it.Status = lsGranted;
}

void TqbLockContainer::grantNew(TqbLockListItem& it) {
    TqbLockListItem& g = granted_.emplace_back(it);
    g.Conversion = false;
    g.RefCount = 1;
    g.Status = lsGranted;
    it.Status = lsGranted;
}

void TqbLockContainer::removeRequest(TqbLockRequest& req) {
    const bool conversion = req.Item.Conversion;
    (conversion ? convQueue_ : waitQueue_).erase(&req);
    if (conversion) {
        const TqbLockOwnerID owner = req.Item.OwnerID;
        bool more = convQueue_.any([&](const TqbLockRequest& r) { return r.Item.OwnerID == owner; });
        if (TqbLockListItem* e = findGranted(owner); e && !more) e->Conversion = false;
    }
    req.Item.Status = lsRefused;
}

// Hands each grant straight to its waiter: the waiter is woken (if it sleeps) and its outcome is
// published last, after which the request, on the waiter's stack, is not touched again.
void TqbLockContainer::processQueues() {
    bool granted = false;
    auto serve = [&](TqbLockQueue& q) {
        // Each head is checked against the grants made so far, so an Exclusive grant stops the
        // Share behind it.
        while (TqbLockRequest* head = q.front()) {
            if (!compatibleExcept(head->Item.Mode, head->Item.OwnerID)) return false;
            q.erase(head);
            grant(head->Item);
            if (head->Sleeping) head->Event.notify_one();
            head->State.store(lsGranted, std::memory_order_release);
            granted = true;
        }
        return true;
    };
    // Conversions first; an incompatible one stops everything.
    if (serve(convQueue_)) serve(waitQueue_);
    if (!granted) return;
    // The next ones in line wake now and spin, so the coming hand-overs find them awake.
    int n = 0;
    for (TqbLockQueue* q : {&convQueue_, &waitQueue_})
        for (TqbLockRequest* r = q->front(); r && n < kWakeAhead; r = r->Next, ++n)
            if (r->Sleeping) r->Event.notify_one();
}

TqbLockResult TqbLockContainer::acquireLocked(const TqbLockAsk& ask, std::unique_lock<std::mutex>& lk) {
    TqbLockListItem item;
    uint8_t st = request(ask, item);
    if (st == lsGranted) return lrGranted;
    if (st == lsRefused) return lrRejected;
    // Queued: the request lives here, on the waiting thread's stack, until it leaves its queue.
    TqbLockRequest req;
    req.Item = item;
    req.Item.Status = st;
    req.State.store(st, std::memory_order_relaxed);
    (item.Conversion ? convQueue_ : waitQueue_).push_back(&req);
    return waitLocked(ask, req, lk);
}

TqbLockResult TqbLockContainer::waitLocked(const TqbLockAsk& ask, TqbLockRequest& req,
                                           std::unique_lock<std::mutex>& lk) {
    // Taken before the queue is seen: time that passes before this waiter sleeps is part of its wait.
    const uint64_t deadline = ask.Timeout ? plat::NowMs() + ask.Timeout : 0;
    std::mutex& lock = *lk.mutex();
    lk.unlock();
    // A pool thread that waits here lets its pool run the holder's next request on another thread.
    TqbBlockingWait blocking;
    bool enlisted = false, cancelled = false;
    if (ask.Note) {
        enlisted = ask.Note->enlist();
        cancelled = !enlisted;
    }
    TqbLockWaitStop* stop = ThreadLockWaitStop();
    bool stopEnlisted = false, stopped = false;
    if (stop && !cancelled) {
        stopEnlisted = stop->enlist(req, lock);
        stopped = !stopEnlisted;
    }
    auto pending = [&] { return pendingState(req.State.load(std::memory_order_relaxed)); };
    // Spins, then sleeps; a sleeper woken before its turn (it moved near the head of the queue, or
    // a time slice ended) spins again, so that the grant usually finds it awake.
    bool spun = false;
    while (!cancelled && !stopped) {
        if (spinForOutcome(req)) {
            spun = true;
            break;
        }
        lk.lock();
        if (!pending()) break;
        if (stop && stop->Stopped()) {
            stopped = true;
            break;
        }
        uint64_t step = 0;
        if (ask.Timeout) {
            const uint64_t now = plat::NowMs();
            if (now >= deadline) break;
            step = std::min<uint64_t>(deadline - now, kWaitSliceMs);
        }
        req.Sleeping = true;
        if (step)
            req.Event.wait_for(lk, std::chrono::milliseconds(step));
        else
            req.Event.wait(lk);
        req.Sleeping = false;
        if (!pending() || (ask.Timeout && plat::NowMs() >= deadline)) break;
        lk.unlock();
    }
    TqbLockResult result;
    if (spun) {
        result = req.State.load(std::memory_order_acquire) == lsGranted ? lrGranted : lrRejected;
    } else {
        if (!lk.owns_lock()) lk.lock();
        // Decided under the container's lock: a grant that came in as the time ran out is kept and
        // reported, so no lock is ever left that its owner believes it does not hold.
        const uint8_t st = req.State.load(std::memory_order_relaxed);
        if (st == lsGranted) {
            result = lrGranted;
        } else if (st == lsRefused) {
            result = lrRejected; // taken out by a release of the owner's locks
        } else {
            removeRequest(req);
            processQueues(); // the request may have held up compatible waiters behind it
            recycleIfUnused();
            result = cancelled ? lrRejected : (stopped ? lrStopped : lrTimedOut);
        }
        lk.unlock();
    }
    if (stopEnlisted) stop->leave(req);
    if (enlisted) ask.Note->leave();
    return result;
}

bool TqbLockContainer::cancelOwnerLocked(TqbLockOwnerID owner) {
    bool any = false;
    for (TqbLockQueue* q : {&convQueue_, &waitQueue_}) {
        for (TqbLockRequest* r = q->front(); r;) {
            TqbLockRequest* next = r->Next;
            if (r->Item.OwnerID == owner) {
                removeRequest(*r);
                if (r->Sleeping) r->Event.notify_one();
                r->State.store(lsRefused, std::memory_order_release);
                any = true;
            }
            r = next;
        }
    }
    return any;
}

bool TqbLockContainer::releaseLocked(TqbLockOwnerID owner, bool all) {
    auto it =
        std::find_if(granted_.begin(), granted_.end(), [&](const auto& e) { return e.OwnerID == owner; });
    bool removed = false;
    if (it != granted_.end()) {
        if (!all && it->RefCount >= 2) {
            --it->RefCount;
            return false;
        }
        if (it != granted_.end() - 1) *it = granted_.back(); // the granted entries are unordered
        granted_.pop_back();
        removed = true;
    }
    // Release-all also ends the owner's requests, so none is granted later to an owner that let go.
    bool cancelled = all && cancelOwnerLocked(owner);
    if (removed || cancelled) processQueues();
    return removed;
}

TqbLockResult TqbLockContainer::Acquire(const TqbLockAsk& ask) {
    std::unique_lock lk(*m_);
    TqbLockResult r = acquireLocked(ask, lk);
    if (lk.owns_lock()) recycleIfUnused();
    return r;
}

bool TqbLockContainer::Release(TqbLockOwnerID owner, bool all) {
    std::lock_guard lk(*m_);
    bool removed = releaseLocked(owner, all);
    recycleIfUnused();
    return removed;
}

void TqbLockContainer::CancelOwner(TqbLockOwnerID owner) {
    std::lock_guard lk(*m_);
    if (cancelOwnerLocked(owner)) processQueues();
    recycleIfUnused();
}

bool TqbLockContainer::Relax(TqbLockOwnerID owner) {
    std::lock_guard lk(*m_);
    TqbLockListItem* e = findGranted(owner);
    if (!e) return false;
    e->CursorID = 0;
    return true;
}

bool TqbLockContainer::GiveBackAdopted(TqbLockOwnerID owner) {
    std::lock_guard lk(*m_);
    TqbLockListItem* e = findGranted(owner);
    if (!e || e->AdoptedFrom == 0 || e->Conversion) return false;
    e->OwnerID = e->CursorID = e->AdoptedFrom;
    e->RefCount = e->AdoptedCount;
    e->Transaction = nullptr;
    e->AdoptedFrom = 0;
    return true;
}

bool TqbLockContainer::HasGranted() {
    std::lock_guard lk(*m_);
    return !granted_.empty();
}

bool TqbLockContainer::HasOwner(TqbLockOwnerID owner) {
    std::lock_guard lk(*m_);
    return findGranted(owner) != nullptr;
}

uint8_t TqbLockContainer::OwnerMode(TqbLockOwnerID owner) {
    std::lock_guard lk(*m_);
    TqbLockListItem* e = findGranted(owner);
    return e ? e->Mode : uint8_t(lmNone);
}

uint8_t TqbLockContainer::SummaryMode() {
    std::lock_guard lk(*m_);
    return summaryExcept(0);
}

bool TqbLockContainer::HasDeadlock() {
    std::lock_guard lk(*m_);
    auto holder = [&](const TqbLockRequest& req) {
        const TqbLockListItem& r = req.Item;
        if (r.Mode != lmExclusive || r.Transaction == nullptr) return false;
        return std::any_of(granted_.begin(), granted_.end(), [&](const TqbLockListItem& e) {
            return e.Transaction == r.Transaction || e.OwnerID == r.OwnerID;
        });
    };
    return waitQueue_.any(holder) || convQueue_.any(holder);
}

bool TqbLockContainer::IsEmpty() {
    std::lock_guard lk(*m_);
    return emptyLocked();
}

std::vector<TqbLockListItem> TqbLockContainer::GrantedEntries() {
    std::lock_guard lk(*m_);
    return granted_;
}

size_t TqbLockContainer::WaitingCount() {
    std::lock_guard lk(*m_);
    return waitQueue_.size();
}

size_t TqbLockContainer::ConvertingCount() {
    std::lock_guard lk(*m_);
    return convQueue_.size();
}

// ---------------------------------------------------------------------------------------------
// Pool

namespace {

// The container's lines that a lock or release touches.
void prefetchContainer(const TqbLockContainer* c) {
    __builtin_prefetch(c, 1);
    __builtin_prefetch(reinterpret_cast<const char*>(c) + 64, 1);
}

} // namespace

TqbLockContainerPool::TqbLockContainerPool(int initialCount, int retainCount) : retainCount_(retainCount) {
    ready_.reserve(size_t(std::max(initialCount, 0)));
    for (int i = 0; i < initialCount; ++i)
        ready_.push_back(new TqbLockContainer);
}

TqbLockContainerPool::~TqbLockContainerPool() {
    for (auto* c : ready_)
        delete c;
}

TqbLockContainer* TqbLockContainerPool::Get() {
    {
        std::lock_guard lk(m_);
        if (!ready_.empty()) {
            TqbLockContainer* c = ready_.back();
            ready_.pop_back();
            // A bulk of new keys takes the next ones soon: the one after next comes into the cache
            // now, and the entries of the next one, whose own lines came in at the last call.
            const size_t n = ready_.size();
            if (n >= 1 && ready_[n - 1]->granted_.capacity())
                __builtin_prefetch(ready_[n - 1]->granted_.data(), 1);
            if (n >= 2) prefetchContainer(ready_[n - 2]);
            return c;
        }
    }
    return new TqbLockContainer;
}

// A container back to its lone state; one that still has requests in it is never handed out
// again and is freed (false).
bool TqbLockContainerPool::readyForReuse(TqbLockContainer* c) {
    if (!c->emptyLocked()) {
        delete c;
        return false;
    }
    c->m_ = &c->own_;
    c->home_ = nullptr;
    c->pins_ = 0;
    return true;
}

void TqbLockContainerPool::Put(TqbLockContainer* container) {
    if (!container || !readyForReuse(container)) return;
    std::lock_guard lk(m_);
    ready_.push_back(container);
}

void TqbLockContainerPool::PutAll(const std::vector<TqbLockContainer*>& containers) {
    std::vector<TqbLockContainer*> keep;
    keep.reserve(containers.size());
    for (TqbLockContainer* c : containers)
        if (c && readyForReuse(c)) keep.push_back(c);
    std::lock_guard lk(m_);
    ready_.insert(ready_.end(), keep.begin(), keep.end());
}

void TqbLockContainerPool::Flush() {
    std::vector<TqbLockContainer*> extra;
    {
        std::lock_guard lk(m_);
        while (int(ready_.size()) > retainCount_) {
            extra.push_back(ready_.back());
            ready_.pop_back();
        }
    }
    for (auto* c : extra)
        delete c;
}

int TqbLockContainerPool::Count() {
    std::lock_guard lk(m_);
    return int(ready_.size());
}

TqbLockContainerPool& LockContainerPool() {
    // Never destroyed: hashes in objects that outlive static destruction still give containers back.
    static auto* pool = new TqbLockContainerPool(250, 1000);
    return *pool;
}

// ---------------------------------------------------------------------------------------------
// Hashes of containers

// One shard: its mutex guards its slots, its spare containers and every container in it. The slots
// hold the keys beside their containers, so a look-up reads no container but the one it finds.
struct alignas(64) TqbLockShard {
    struct Slot {
        uint64_t Key;
        TqbLockContainer* C; // null: free
    };
    std::mutex M;
    std::vector<Slot> Slots; // open addressing with linear probing, at most half full
    size_t Count = 0;
    // Emptied containers kept for the next keys, the last taken first.
    static constexpr int kSpares = 4;
    int SpareCount = 0;
    TqbLockContainer* Spares[kSpares];
    // Set while a release of many keys holds M: containers for the pool gather here, to go back
    // in one lock of the pool.
    std::vector<TqbLockContainer*>* Retired = nullptr;

    TqbLockContainer* find(uint64_t key, uint64_t mixed) const;
    // The key's container, made when absent, in one probe.
    TqbLockContainer* obtain(uint64_t key, uint64_t mixed);
    void unlink(TqbLockContainer* c, uint64_t mixed);
    // Fetches into the cache ahead of a look-up: the key's first slot.
    void prefetchSlot(uint64_t mixed) const;

private:
    // The first free slot on the probe path of a key (there is one: the slots are at most half full).
    static size_t freeSlot(const std::vector<Slot>& slots, uint64_t mixed);
    void grow();
    TqbLockContainer* takeSpare();
};

namespace {

constexpr size_t kFirstSlots = 64;
// Tables below this many slots grow fourfold, so that a bulk of new keys rehashes less often.
constexpr size_t kFourfoldBelow = 4096;
// A release of many keys holds a shard's lock for at most this many of them at a time.
constexpr size_t kReleaseBatch = 64;
// How many keys ahead a release of many keys fetches a slot, a container, a container's entries.
constexpr size_t kAheadSlot = 12, kAheadContainer = 8, kAheadEntries = 4;

uint64_t mixKey(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

// The low bits choose the shard.
size_t slotOf(uint64_t mixed, size_t slots) {
    return size_t(mixed >> 16) & (slots - 1);
}

} // namespace

TqbLockContainer* TqbLockShard::find(uint64_t key, uint64_t mixed) const {
    if (Slots.empty()) return nullptr;
    const size_t mask = Slots.size() - 1;
    for (size_t i = slotOf(mixed, Slots.size()); Slots[i].C; i = (i + 1) & mask)
        if (Slots[i].Key == key) return Slots[i].C;
    return nullptr;
}

size_t TqbLockShard::freeSlot(const std::vector<Slot>& slots, uint64_t mixed) {
    const size_t mask = slots.size() - 1;
    size_t i = slotOf(mixed, slots.size());
    while (slots[i].C)
        i = (i + 1) & mask;
    return i;
}

void TqbLockShard::prefetchSlot(uint64_t mixed) const {
    if (!Slots.empty()) __builtin_prefetch(&Slots[slotOf(mixed, Slots.size())]);
}

TqbLockContainer* TqbLockShard::obtain(uint64_t key, uint64_t mixed) {
    size_t i = 0;
    if (!Slots.empty()) {
        const size_t mask = Slots.size() - 1;
        for (i = slotOf(mixed, Slots.size()); Slots[i].C; i = (i + 1) & mask)
            if (Slots[i].Key == key) return Slots[i].C;
    }
    // The probe ended at the key's free slot, unless the table must grow first.
    if (2 * (Count + 1) > Slots.size()) {
        grow();
        i = freeSlot(Slots, mixed);
    }
    TqbLockContainer* c = takeSpare();
    c->m_ = &M;
    c->home_ = this;
    c->key_ = key;
    c->pins_ = 0;
    Slots[i] = Slot{key, c};
    ++Count;
    return c;
}

void TqbLockShard::grow() {
    const size_t n = Slots.empty() ? kFirstSlots : Slots.size() * (Slots.size() < kFourfoldBelow ? 4 : 2);
    std::vector<Slot> grown(n, Slot{0, nullptr});
    for (const Slot& e : Slots)
        if (e.C) grown[freeSlot(grown, mixKey(e.Key))] = e;
    Slots.swap(grown);
}

// Beyond the spares, one container at a time from the pool: a bulk of new keys then takes them in
// the order a bulk release gave them back, which is mostly their order in memory.
TqbLockContainer* TqbLockShard::takeSpare() {
    return SpareCount ? Spares[--SpareCount] : LockContainerPool().Get();
}

void TqbLockShard::unlink(TqbLockContainer* c, uint64_t mixed) {
    if (Slots.empty()) return;
    const size_t n = Slots.size(), mask = n - 1;
    size_t hole = slotOf(mixed, n);
    while (Slots[hole].C && Slots[hole].C != c)
        hole = (hole + 1) & mask;
    if (!Slots[hole].C) return;
    // Entries after the hole that may not stand before their home slot move back into it.
    for (size_t j = (hole + 1) & mask; Slots[j].C; j = (j + 1) & mask) {
        const size_t home = slotOf(mixKey(Slots[j].Key), n);
        const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        Slots[hole] = Slots[j];
        hole = j;
    }
    Slots[hole] = Slot{0, nullptr};
    --Count;
    if (SpareCount < kSpares) {
        Spares[SpareCount++] = c;
    } else if (Retired) {
        Retired->push_back(c);
    } else {
        LockContainerPool().Put(c);
    }
}

void TqbLockContainer::recycleIfUnused() {
    if (home_ && pins_ == 0 && emptyLocked()) home_->unlink(this, mixKey(key_));
}

TqbLockHash::TqbLockHash(unsigned shardBits)
    : shardBits_(std::min(shardBits, 10u)), shards_(new TqbLockShard[size_t(1) << shardBits_]) {}

TqbLockHash::~TqbLockHash() {
    for (size_t i = 0; i < (size_t(1) << shardBits_); ++i) {
        TqbLockShard& s = shards_[i];
        std::vector<TqbLockContainer*> all;
        for (const TqbLockShard::Slot& e : s.Slots)
            if (e.C) all.push_back(e.C);
        all.insert(all.end(), s.Spares, s.Spares + s.SpareCount);
        LockContainerPool().PutAll(all);
    }
}

TqbLockShard& TqbLockHash::shardOf(uint64_t key, uint64_t& mixed) const {
    mixed = mixKey(key);
    return shards_[size_t(mixed) & ((size_t(1) << shardBits_) - 1)];
}

TqbLockContainer* TqbLockHash::find(TqbLockShard& s, uint64_t key, uint64_t mixed) const {
    return s.find(key, mixed);
}

TqbLockResult TqbLockHash::Acquire(uint64_t key, const TqbLockAsk& ask) {
    uint64_t mixed;
    TqbLockShard& s = shardOf(key, mixed);
    std::unique_lock lk(s.M);
    TqbLockContainer* c = s.obtain(key, mixed);
    TqbLockResult r = c->acquireLocked(ask, lk);
    if (lk.owns_lock()) c->recycleIfUnused();
    return r;
}

bool TqbLockHash::Release(uint64_t key, TqbLockOwnerID owner, bool all) {
    uint64_t mixed;
    TqbLockShard& s = shardOf(key, mixed);
    std::lock_guard lk(s.M);
    TqbLockContainer* c = find(s, key, mixed);
    if (!c) return false;
    bool removed = c->releaseLocked(owner, all);
    c->recycleIfUnused();
    return removed;
}

void TqbLockHash::ReleaseAll(const std::vector<std::pair<uint64_t, TqbLockOwnerID>>& pairs) {
    // Positions of the pairs grouped by shard (a counting sort), in their order within a shard.
    const size_t shards = size_t(1) << shardBits_, shardMask = shards - 1;
    std::vector<size_t> start(shards + 1, 0);
    for (const auto& p : pairs)
        ++start[(mixKey(p.first) & shardMask) + 1];
    for (size_t i = 0; i < shards; ++i)
        start[i + 1] += start[i];
    std::vector<uint32_t> order(pairs.size());
    {
        std::vector<size_t> next(start.begin(), start.end() - 1);
        for (size_t i = 0; i < pairs.size(); ++i)
            order[next[mixKey(pairs[i].first) & shardMask]++] = uint32_t(i);
    }
    auto keyAt = [&](size_t i) { return pairs[order[i]].first; };
    // Emptied containers go back to the pool in the order of the pairs, the order in which a bulk
    // of new keys took them: the next bulk takes them in the same order, mostly their order in memory.
    std::vector<TqbLockContainer*> retired, back(pairs.size(), nullptr);
    for (size_t sh = 0; sh < shards; ++sh) {
        TqbLockShard& s = shards_[sh];
        const size_t end = start[sh + 1];
        for (size_t from = start[sh]; from < end; from += kReleaseBatch) {
            std::lock_guard lk(s.M);
            s.Retired = &retired;
            // Each key's slot, then its container, then the container's entries come into the cache
            // some keys ahead of its release, so that the misses of several keys overlap.
            const size_t to = std::min(from + kReleaseBatch, end);
            for (size_t i = from; i < to; ++i) {
                if (i + kAheadSlot < end) s.prefetchSlot(mixKey(keyAt(i + kAheadSlot)));
                if (i + kAheadContainer < end) {
                    const uint64_t k = keyAt(i + kAheadContainer);
                    if (const TqbLockContainer* c = s.find(k, mixKey(k))) prefetchContainer(c);
                }
                if (i + kAheadEntries < end) {
                    const uint64_t k = keyAt(i + kAheadEntries);
                    if (const TqbLockContainer* c = s.find(k, mixKey(k)); c && !c->granted_.empty())
                        __builtin_prefetch(c->granted_.data(), 1);
                }
                const auto& [key, owner] = pairs[order[i]];
                if (TqbLockContainer* c = s.find(key, mixKey(key))) {
                    c->releaseLocked(owner, true);
                    c->recycleIfUnused();
                    if (!retired.empty()) {
                        back[order[i]] = retired.back();
                        retired.pop_back();
                    }
                }
            }
            s.Retired = nullptr;
        }
    }
    std::erase(back, nullptr);
    LockContainerPool().PutAll(back);
}

void TqbLockHash::CancelOwner(uint64_t key, TqbLockOwnerID owner) {
    uint64_t mixed;
    TqbLockShard& s = shardOf(key, mixed);
    std::lock_guard lk(s.M);
    TqbLockContainer* c = find(s, key, mixed);
    if (!c) return;
    if (c->cancelOwnerLocked(owner)) c->processQueues();
    c->recycleIfUnused();
}

TqbLockContainer* TqbLockHash::pin(uint64_t key) {
    uint64_t mixed;
    TqbLockShard& s = shardOf(key, mixed);
    std::lock_guard lk(s.M);
    TqbLockContainer* c = find(s, key, mixed);
    if (c) ++c->pins_;
    return c;
}

void TqbLockHash::unpin(uint64_t key) {
    uint64_t mixed;
    TqbLockShard& s = shardOf(key, mixed);
    std::lock_guard lk(s.M);
    TqbLockContainer* c = find(s, key, mixed);
    if (!c) return;
    --c->pins_;
    c->recycleIfUnused();
}

size_t TqbLockHash::Count() {
    size_t n = 0;
    for (size_t i = 0; i < (size_t(1) << shardBits_); ++i) {
        std::lock_guard lk(shards_[i].M);
        n += shards_[i].Count;
    }
    return n;
}

std::shared_ptr<TqbRecordLockHash> TqbFileRecordLocks::Hash(bool create) {
    std::lock_guard lk(m_);
    if (!hash_ && create) {
        hash_ = std::make_shared<TqbRecordLockHash>();
        current_.store(hash_.get(), std::memory_order_release);
    }
    return hash_;
}

TqbRecordLockHash* TqbFileRecordLocks::HashPtr(bool create) {
    TqbRecordLockHash* h = current_.load(std::memory_order_acquire);
    if (h || !create) return h;
    return Hash(true).get();
}

void TqbFileRecordLocks::Reset() {
    std::lock_guard lk(m_);
    // An empty hash that no transaction refers to is as good as a new one: it stays.
    if (!hash_ || (hash_.use_count() == 1 && hash_->Count() == 0)) return;
    retired_.push_back(std::move(hash_));
    current_.store(nullptr, std::memory_order_release);
}
