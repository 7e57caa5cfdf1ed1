// Lock modes and their tables, each thread's deadline, lock errors, and the lock container with
// its queues, its pool and the hashes that hold containers by key.
#include "db/storage/qbsrlock.h"

#include "db/storage/qbfile.h"

#include "db/base/qbllexcp.h"
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

void SetThreadDeadline(uint32_t timeoutMs) {
    if (timeoutMs == 0)
        t_deadline = TqbThreadDeadline{};
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

void CheckRecordLockResult(TqbLockResult result, uint8_t mode, uint64_t recordRef,
                           std::string_view fileName) {
    if (result == lrGranted) return;
    RaiseResourceErrorFmt<EqbServerException>(
        ServerStrings(), result == lrTimedOut ? 187 : 188,
        {LockModeToText(mode), RecordLockResourceText(recordRef), fileName});
}

void CheckTableLockResult(TqbLockResult result, uint8_t mode, std::string_view resourceText) {
    if (result == lrGranted) return;
    if (result == lrTimedOut)
        RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 189, {LockModeToText(mode), resourceText});
    RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 188, {LockModeToText(mode), resourceText, ""});
}

void RaiseLockDeadlock(uint8_t mode, std::string_view resourceText, int32_t transactionID) {
    RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), 186,
                                              {LockModeToText(mode), resourceText, transactionID});
}

// ---------------------------------------------------------------------------------------------
// Container

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

uint8_t TqbLockContainer::request(const TqbLockAsk& ask, std::shared_ptr<TqbLockRequest>& queued) {
    TqbLockListItem item;
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
        TqbLockRequest r;
        r.Item = item;
        grant(r);
        return lsGranted;
    }
    if (ask.Conditional) {
        if (item.Conversion) findGranted(ask.OwnerID)->Conversion = false;
        return lsRefused;
    }
    queued = std::make_shared<TqbLockRequest>();
    queued->Item = item;
    if (item.Conversion) {
        queued->Item.Status = lsConverting;
        convQueue_.push_back(queued);
    } else {
        queued->Item.Status = lsWaiting;
        waitQueue_.push_back(queued);
    }
    return queued->Item.Status;
}

void TqbLockContainer::grant(TqbLockRequest& req) {
    TqbLockListItem& it = req.Item;
    if (TqbLockListItem* e = findGranted(it.OwnerID)) {
        // A conversion keeps the count; a second request of the same owner that waited adds to it.
        e->Mode = LockModeConversion(e->Mode, it.Mode);
        if (!it.Conversion) ++e->RefCount;
        e->Conversion = false;
        if (e->CursorID == 0) e->CursorID = it.CursorID;
    } else {
        TqbLockListItem g = it;
        g.Conversion = false;
        g.RefCount = 1;
        g.Status = lsGranted;
        granted_.push_back(g);
    }
    it.Status = lsGranted;
}

void TqbLockContainer::removeRequest(const std::shared_ptr<TqbLockRequest>& req) {
    TqbLockQueue& q = req->Item.Conversion ? convQueue_ : waitQueue_;
    auto it = std::find(q.begin(), q.end(), req);
    if (it != q.end()) q.erase(it);
    if (req->Item.Conversion) {
        bool more = std::any_of(convQueue_.begin(), convQueue_.end(),
                                [&](const auto& r) { return r->Item.OwnerID == req->Item.OwnerID; });
        if (TqbLockListItem* e = findGranted(req->Item.OwnerID); e && !more) e->Conversion = false;
    }
    req->Item.Status = lsRefused;
}

void TqbLockContainer::processQueues() {
    while (!convQueue_.empty()) {
        auto head = convQueue_.front();
        if (!compatibleExcept(head->Item.Mode, head->Item.OwnerID)) return;
        convQueue_.pop_front();
        grant(*head);
        head->Event.notify_all();
    }
    // Each head is checked against the grants made so far, so an Exclusive grant stops the Share
    // behind it.
    while (!waitQueue_.empty()) {
        auto head = waitQueue_.front();
        if (!compatibleExcept(head->Item.Mode, head->Item.OwnerID)) return;
        waitQueue_.pop_front();
        grant(*head);
        head->Event.notify_all();
    }
}

TqbLockResult TqbLockContainer::Acquire(const TqbLockAsk& ask) {
    std::shared_ptr<TqbLockRequest> req;
    std::unique_lock lk(m_);
    uint8_t st = request(ask, req);
    if (st == lsGranted) return lrGranted;
    if (st == lsRefused) return lrRejected;

    auto pending = [&] { return req->Item.Status == lsWaiting || req->Item.Status == lsConverting; };
    if (ask.Timeout == 0) {
        req->Event.wait(lk, [&] { return !pending(); });
    } else {
        const uint64_t deadline = plat::NowMs() + ask.Timeout;
        while (pending()) {
            uint64_t now = plat::NowMs();
            if (now >= deadline) break;
            uint64_t step = std::min<uint64_t>(deadline - now, kWaitSliceMs);
            req->Event.wait_for(lk, std::chrono::milliseconds(step));
        }
    }
    // Decided under the container's lock: a grant that came in as the time ran out is kept and
    // reported, so no lock is ever left that its owner believes it does not hold.
    if (req->Item.Status == lsGranted) return lrGranted;
    removeRequest(req);
    processQueues(); // the request may have held up compatible waiters behind it
    return lrTimedOut;
}

bool TqbLockContainer::Release(TqbLockOwnerID owner, bool all) {
    std::lock_guard lk(m_);
    auto it =
        std::find_if(granted_.begin(), granted_.end(), [&](const auto& e) { return e.OwnerID == owner; });
    if (it == granted_.end()) return false;
    if (!all && it->RefCount >= 2) {
        --it->RefCount;
        return false;
    }
    granted_.erase(it);
    processQueues();
    return true;
}

bool TqbLockContainer::Relax(TqbLockOwnerID owner) {
    std::lock_guard lk(m_);
    TqbLockListItem* e = findGranted(owner);
    if (!e) return false;
    e->CursorID = 0;
    return true;
}

bool TqbLockContainer::HasGranted() {
    std::lock_guard lk(m_);
    return !granted_.empty();
}

bool TqbLockContainer::HasOwner(TqbLockOwnerID owner) {
    std::lock_guard lk(m_);
    return findGranted(owner) != nullptr;
}

uint8_t TqbLockContainer::OwnerMode(TqbLockOwnerID owner) {
    std::lock_guard lk(m_);
    TqbLockListItem* e = findGranted(owner);
    return e ? e->Mode : uint8_t(lmNone);
}

uint8_t TqbLockContainer::SummaryMode() {
    std::lock_guard lk(m_);
    return summaryExcept(0);
}

bool TqbLockContainer::HasDeadlock() {
    std::lock_guard lk(m_);
    auto holder = [&](const TqbLockListItem& r) {
        if (r.Mode != lmExclusive || r.Transaction == nullptr) return false;
        return std::any_of(granted_.begin(), granted_.end(), [&](const TqbLockListItem& e) {
            return e.Transaction == r.Transaction || e.OwnerID == r.OwnerID;
        });
    };
    for (const auto& r : waitQueue_)
        if (holder(r->Item)) return true;
    for (const auto& r : convQueue_)
        if (holder(r->Item)) return true;
    return false;
}

bool TqbLockContainer::IsEmpty() {
    std::lock_guard lk(m_);
    return emptyLocked();
}

std::vector<TqbLockListItem> TqbLockContainer::GrantedEntries() {
    std::lock_guard lk(m_);
    return granted_;
}

size_t TqbLockContainer::WaitingCount() {
    std::lock_guard lk(m_);
    return waitQueue_.size();
}

size_t TqbLockContainer::ConvertingCount() {
    std::lock_guard lk(m_);
    return convQueue_.size();
}

// ---------------------------------------------------------------------------------------------
// Pool

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
            return c;
        }
    }
    return new TqbLockContainer;
}

void TqbLockContainerPool::Put(TqbLockContainer* container) {
    if (!container) return;
    if (!container->IsEmpty()) {
        delete container; // a container with requests in it is never handed out again
        return;
    }
    container->pins_ = 0;
    std::lock_guard lk(m_);
    ready_.push_back(container);
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

TqbLockHash::~TqbLockHash() {
    for (auto& [key, c] : map_)
        LockContainerPool().Put(c);
}

TqbLockContainer* TqbLockHash::Pin(uint64_t key, bool create) {
    std::lock_guard lk(m_);
    auto it = map_.find(key);
    if (it != map_.end()) {
        ++it->second->pins_;
        return it->second;
    }
    if (!create) return nullptr;
    TqbLockContainer* c = LockContainerPool().Get();
    c->pins_ = 1;
    map_.emplace(key, c);
    return c;
}

void TqbLockHash::Unpin(uint64_t key, TqbLockContainer* container) {
    {
        std::lock_guard lk(m_);
        if (--container->pins_ > 0) return;
        {
            std::lock_guard ck(container->m_);
            if (!container->emptyLocked()) return;
        }
        auto it = map_.find(key);
        if (it != map_.end() && it->second == container) map_.erase(it);
    }
    // Out of the hash and unpinned: nobody can reach it any more.
    LockContainerPool().Put(container);
}

size_t TqbLockHash::Count() {
    std::lock_guard lk(m_);
    return map_.size();
}

std::shared_ptr<TqbRecordLockHash> TqbFileRecordLocks::Hash(bool create) {
    std::lock_guard lk(m_);
    if (!hash_ && create) hash_ = std::make_shared<TqbRecordLockHash>();
    return hash_;
}

void TqbFileRecordLocks::Reset() {
    std::lock_guard lk(m_);
    hash_.reset();
}
