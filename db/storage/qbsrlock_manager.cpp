// The lock manager of a data folder: content, record and table locks, and the bookkeeping that
// lets a transaction's commit or rollback release every lock it took.
#include "db/storage/qbsrlock.h"

#include <algorithm>
#include <utility>

// ---------------------------------------------------------------------------------------------
// Transactions and their containers

void TqbRecordLockSet::Insert(const Entry& e) {
    const auto& [ref, owner] = e;
    if (run_.empty() || (owner == runOwner_ && run_.back() < ref)) {
        if (others_.empty() || others_.count(e) == 0) {
            if (run_.empty()) {
                runOwner_ = owner;
                // A transaction that takes one lock in a file often takes many.
                run_.reserve(64);
                released_.reserve(64);
            }
            run_.push_back(ref);
            released_.push_back(0);
        }
        return;
    }
    const auto it = owner == runOwner_ ? std::lower_bound(run_.begin(), run_.end(), ref) : run_.end();
    if (it == run_.end() || *it != ref) {
        others_.insert(e);
        return;
    }
    uint8_t& r = released_[size_t(it - run_.begin())];
    if (r) {
        r = 0;
        --gone_;
    }
}

void TqbRecordLockSet::Erase(const Entry& e) {
    const auto& [ref, owner] = e;
    const auto it = owner == runOwner_ ? std::lower_bound(run_.begin(), run_.end(), ref) : run_.end();
    if (it == run_.end() || *it != ref) {
        others_.erase(e);
        return;
    }
    uint8_t& r = released_[size_t(it - run_.begin())];
    if (r) return;
    r = 1;
    ++gone_;
    // Once most of the run is released, the run keeps only what is still held.
    if (gone_ < 64 || 2 * gone_ < run_.size()) return;
    size_t kept = 0;
    for (size_t i = 0; i < run_.size(); ++i)
        if (!released_[i]) run_[kept++] = run_[i];
    run_.resize(kept);
    released_.assign(kept, 0);
    gone_ = 0;
}

TqbLockTransaction::~TqbLockTransaction() {
    if (manager_) manager_->ReleaseTransactionLocks(*this, false);
}

uint8_t TqbTransContainer::GetContentLockMode(TqbLockContainer* container) {
    std::lock_guard lk(m_);
    auto it = content_.find(container);
    return it == content_.end() ? uint8_t(lmNone) : it->second.second;
}

std::vector<TqbTransContainer::ContentLock> TqbTransContainer::ContentLocks() {
    std::lock_guard lk(m_);
    std::vector<ContentLock> out;
    out.reserve(content_.size());
    for (const auto& [c, tm] : content_)
        out.push_back(ContentLock{c, tm.first, tm.second});
    return out;
}

size_t TqbTransContainer::RecordLockCount() {
    std::lock_guard lk(m_);
    size_t n = 0;
    for (const auto& [h, f] : records_)
        n += f.Refs.Size();
    return n;
}

TqbTransContainer* TqbLockManager::transContainer(TqbLockTransaction& t, bool create) {
    std::lock_guard lk(transMutex_);
    if (t.transContainer_ || !create) return t.transContainer_;
    auto tc = std::make_unique<TqbTransContainer>(&t);
    t.transContainer_ = tc.get();
    t.manager_ = this;
    trans_.emplace(&t, std::move(tc));
    return t.transContainer_;
}

void TqbLockManager::dropTransContainerIfEmpty(TqbLockTransaction& t) {
    std::unique_ptr<TqbTransContainer> gone;
    std::lock_guard lk(transMutex_);
    TqbTransContainer* tc = t.transContainer_;
    if (!tc) return;
    {
        std::lock_guard ck(tc->m_);
        if (!tc->content_.empty() || !tc->records_.empty()) return;
    }
    auto it = trans_.find(&t);
    if (it == trans_.end()) return; // kept by another folder's manager
    gone = std::move(it->second);   // freed after the lock is left
    trans_.erase(it);
    t.transContainer_ = nullptr;
    t.manager_ = nullptr;
}

size_t TqbLockManager::TransContainerCount() {
    std::lock_guard lk(transMutex_);
    return trans_.size();
}

TqbLockManager::~TqbLockManager() {
    std::lock_guard lk(transMutex_);
    for (auto& [t, tc] : trans_) {
        t->transContainer_ = nullptr;
        t->manager_ = nullptr;
    }
    trans_.clear();
}

// ---------------------------------------------------------------------------------------------
// Acquire

TqbLockResult TqbLockManager::AcquireCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID,
                                                       uint8_t Mode, uint32_t Timeout) {
    TqbLockAsk a;
    a.OwnerID = CursorID;
    a.Mode = Mode;
    a.Timeout = Timeout;
    return Container.Acquire(a);
}

TqbLockResult TqbLockManager::AcquireContentLock(TqbLockContainer& Container, TqbSrTable* Table, uint8_t Mode,
                                                 uint32_t Timeout, bool Conditional,
                                                 TqbLockTransaction& Transaction) {
    TqbLockAsk a;
    a.OwnerID = Transaction.LockOwnerID;
    a.Mode = Mode;
    a.Transaction = &Transaction;
    a.Timeout = Timeout;
    a.Conditional = Conditional;
    TqbLockWaitNote note;
    if (!Conditional) {
        note.begin(&Transaction, Transaction.LockOwnerID, nullptr, 0, &Container);
        a.Note = &note;
    }
    TqbLockResult r = Container.Acquire(a);
    if (r == lrGranted) {
        // The mode recorded is the one now held, which may be stronger than the one asked for.
        uint8_t held = Container.OwnerMode(Transaction.LockOwnerID);
        TqbTransContainer* tc = transContainer(Transaction, true);
        std::lock_guard lk(tc->m_);
        tc->content_[&Container] = {Table, held};
    }
    return r;
}

TqbLockResult TqbLockManager::AcquireRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo,
                                                TqbLockOwnerID CursorID, TqbLockOwnerID OwnerID,
                                                TqbLockTransaction* Transaction, uint32_t Timeout,
                                                bool Conditional, uint8_t Mode) {
    TqbRecordLockHash* hash = FileInfo.HashPtr(true);
    TqbLockAsk a;
    a.OwnerID = OwnerID;
    a.CursorID = CursorID;
    a.Mode = Mode;
    a.Transaction = Transaction;
    a.Timeout = Timeout;
    a.Conditional = Conditional;
    a.BindCursor = true;
    a.AdoptCursorLock = Transaction != nullptr;
    TqbLockWaitNote note;
    if (Transaction && !Conditional) {
        note.begin(Transaction, OwnerID, hash, RecordRef, nullptr);
        a.Note = &note;
    }
    TqbLockResult r = hash->Acquire(RecordRef, a);
    if (r == lrGranted && Transaction) {
        TqbTransContainer* tc = transContainer(*Transaction, true);
        std::lock_guard lk(tc->m_);
        auto& f = tc->records_[hash];
        if (!f.Hash) {
            // The transaction keeps the file's hash alive until it has released its locks there.
            f.Hash = FileInfo.Hash(true);
            if (f.Hash.get() != hash) f.Hash.reset(); // the file was closed meanwhile
        }
        f.Refs.Insert({RecordRef, OwnerID});
    }
    return r;
}

TqbLockResult TqbLockManager::AcquireTableLock(uint32_t TableID, uint8_t Mode, TqbLockOwnerID CursorID,
                                               uint32_t Timeout, bool Conditional) {
    TqbLockAsk a;
    a.OwnerID = CursorID;
    a.Mode = Mode;
    a.Timeout = Timeout;
    a.Conditional = Conditional;
    return tables_.Acquire(TableID, a);
}

// ---------------------------------------------------------------------------------------------
// Queries

bool TqbLockManager::IsRecordLocked(uint64_t RecordRef, TqbFileRecordLocks& FileInfo) {
    TqbRecordLockHash* hash = FileInfo.HashPtr(false);
    bool locked = false;
    if (hash) hash->WithContainer(RecordRef, [&](TqbLockContainer& c) { locked = c.HasGranted(); });
    return locked;
}

bool TqbLockManager::HoldsRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo,
                                     TqbLockOwnerID OwnerID) {
    TqbRecordLockHash* hash = FileInfo.HashPtr(false);
    bool held = false;
    if (hash) hash->WithContainer(RecordRef, [&](TqbLockContainer& c) { held = c.HasOwner(OwnerID); });
    return held;
}

bool TqbLockManager::HasCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID) {
    return Container.HasOwner(CursorID);
}

bool TqbLockManager::HasContentLock(TqbLockContainer& Container, TqbLockTransaction& Transaction) {
    return Container.HasOwner(Transaction.LockOwnerID);
}

bool TqbLockManager::HasTableLock(uint32_t TableID, TqbLockOwnerID CursorID, uint8_t Mode) {
    bool has = false;
    tables_.WithContainer(TableID, [&](TqbLockContainer& c) {
        for (const auto& e : c.GrantedEntries())
            if (e.OwnerID == CursorID) has = e.Mode == Mode;
    });
    return has;
}

uint8_t TqbLockManager::GetTableLockMode(uint32_t TableID) {
    uint8_t mode = lmNone;
    tables_.WithContainer(TableID, [&](TqbLockContainer& c) { mode = c.SummaryMode(); });
    return mode;
}

// ---------------------------------------------------------------------------------------------
// Release

void TqbLockManager::ReleaseCursorContentLock(TqbLockContainer& Container, TqbLockOwnerID CursorID) {
    Container.Release(CursorID, false);
}

void TqbLockManager::ReleaseCursorContentLockAll(TqbLockContainer& Container, TqbLockOwnerID CursorID) {
    Container.Release(CursorID, true);
}

void TqbLockManager::releaseContent(TqbLockContainer& c, TqbLockTransaction& t, bool all) {
    if (!c.Release(t.LockOwnerID, all)) return;
    if (TqbTransContainer* tc = transContainer(t, false)) {
        std::lock_guard lk(tc->m_);
        tc->content_.erase(&c);
    }
}

void TqbLockManager::ReleaseContentLock(TqbLockContainer& Container, TqbLockTransaction& Transaction) {
    releaseContent(Container, Transaction, false);
}

void TqbLockManager::ReleaseContentLockAll(TqbLockContainer& Container, TqbLockTransaction& Transaction) {
    releaseContent(Container, Transaction, true);
}

void TqbLockManager::releaseRecord(uint64_t ref, TqbRecordLockHash* hash, TqbLockOwnerID owner,
                                   TqbLockTransaction* t, bool all) {
    if (!hash->Release(ref, owner, all) || !t) return;
    if (TqbTransContainer* tc = transContainer(*t, false)) {
        std::lock_guard lk(tc->m_);
        auto it = tc->records_.find(hash);
        if (it != tc->records_.end()) {
            it->second.Refs.Erase({ref, owner});
            if (it->second.Refs.Empty()) tc->records_.erase(it);
        }
    }
}

void TqbLockManager::ReleaseRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo,
                                       TqbLockOwnerID OwnerID, TqbLockTransaction* Transaction) {
    if (TqbRecordLockHash* hash = FileInfo.HashPtr(false))
        releaseRecord(RecordRef, hash, OwnerID, Transaction, false);
}

void TqbLockManager::ReleaseRecordLockAll(uint64_t RecordRef, TqbFileRecordLocks& FileInfo,
                                          TqbLockOwnerID OwnerID, TqbLockTransaction* Transaction) {
    if (TqbRecordLockHash* hash = FileInfo.HashPtr(false))
        releaseRecord(RecordRef, hash, OwnerID, Transaction, true);
}

void TqbLockManager::ReleaseTableLock(uint32_t TableID, TqbLockOwnerID CursorID) {
    tables_.Release(TableID, CursorID, false);
}

void TqbLockManager::ReleaseTableLockAll(uint32_t TableID, TqbLockOwnerID CursorID) {
    tables_.Release(TableID, CursorID, true);
}

void TqbLockManager::RelaxRecordLock(uint64_t RecordRef, TqbFileRecordLocks& FileInfo,
                                     TqbLockOwnerID OwnerID) {
    if (TqbRecordLockHash* hash = FileInfo.HashPtr(false))
        hash->WithContainer(RecordRef, [&](TqbLockContainer& c) { c.Relax(OwnerID); });
}

void TqbLockManager::ReturnAdoptedRecordLocks(TqbLockTransaction& Transaction) {
    TqbTransContainer* tc = transContainer(Transaction, false);
    if (!tc) return;
    const TqbLockOwnerID owner = Transaction.LockOwnerID;
    std::vector<std::pair<TqbRecordLockHash*, uint64_t>> refs;
    {
        std::lock_guard lk(tc->m_);
        for (const auto& entry : tc->records_) {
            TqbRecordLockHash* h = entry.first;
            entry.second.Refs.ForEach([&](const TqbRecordLockSet::Entry& e) {
                if (e.second == owner) refs.emplace_back(h, e.first);
            });
        }
    }
    for (const auto& [h, ref] : refs) {
        bool back = false;
        h->WithContainer(ref, [&](TqbLockContainer& c) { back = c.GiveBackAdopted(owner); });
        if (!back) continue;
        std::lock_guard lk(tc->m_);
        auto it = tc->records_.find(h);
        if (it == tc->records_.end()) continue;
        it->second.Refs.Erase({ref, owner});
        if (it->second.Refs.Empty()) tc->records_.erase(it);
    }
    dropTransContainerIfEmpty(Transaction);
}

void TqbLockManager::cancelWaits(TqbLockTransaction& t, bool recordsOnly) {
    std::lock_guard lk(t.waitMutex_);
    ++t.recordReleases_;
    if (!recordsOnly) ++t.contentReleases_;
    // A note stays enlisted, and so its container reachable, until its waiter has left the queue;
    // the waiter cannot leave while this holds the transaction's wait mutex.
    for (TqbLockWaitNote* n : t.waits_) {
        if (n->Hash)
            n->Hash->CancelOwner(n->Key, n->Owner);
        else if (!recordsOnly)
            n->Content->CancelOwner(n->Owner);
    }
}

void TqbLockManager::ReleaseTransactionLocks(TqbLockTransaction& Transaction, bool RecordLocksOnly) {
    cancelWaits(Transaction, RecordLocksOnly);
    TqbTransContainer* tc = transContainer(Transaction, false);
    if (!tc) return;
    std::map<TqbRecordLockHash*, TqbTransContainer::FileLocks> records;
    std::map<TqbLockContainer*, std::pair<TqbSrTable*, uint8_t>> content;
    {
        std::lock_guard lk(tc->m_);
        records.swap(tc->records_);
        if (!RecordLocksOnly) content.swap(tc->content_);
    }
    std::vector<TqbRecordLockSet::Entry> held;
    for (const auto& [h, f] : records) {
        held.clear();
        held.reserve(f.Refs.Size());
        f.Refs.ForEach([&](const TqbRecordLockSet::Entry& e) { held.push_back(e); });
        h->ReleaseAll(held);
    }
    for (const auto& [c, tm] : content)
        c->Release(Transaction.LockOwnerID, true);
    dropTransContainerIfEmpty(Transaction);
}
