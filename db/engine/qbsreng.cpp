// Server objects, their lists and lease registry, and the engine's rebuild threads.
#include "db/engine/qbsreng.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// Server object

namespace {
constexpr uint8_t stateOf(uint64_t w) {
    return uint8_t(w & 0xFF);
}
constexpr uint64_t depthOf(uint64_t w) {
    return w >> 8;
}
constexpr uint64_t wordOf(uint8_t state, uint64_t depth) {
    return depth << 8 | state;
}
constexpr bool closeAsked(uint8_t state) {
    return state == sosCloseRequested || state == sosClosing;
}

// Replaces the word by Next(old word) until that sticks; returns the word it replaced.
template <class F> uint64_t update(std::atomic<uint64_t>& word, F&& Next) {
    uint64_t w = word.load();
    while (!word.compare_exchange_weak(w, Next(w))) {
    }
    return w;
}
} // namespace

TqbServerObject::TqbServerObject(uint32_t Timeout, const TqbServerObject* Parent)
    : timeout_(Timeout), padlock_(Parent ? Parent->padlock_ : std::make_shared<TqbPadlock>()) {}

bool TqbServerObject::CanClose(bool Mark) {
    const uint64_t w = update(word_, [&](uint64_t v) {
        return stateOf(v) == sosIdle && Mark ? wordOf(sosClosing, depthOf(v)) : v;
    });
    return stateOf(w) == sosIdle || stateOf(w) == sosClosing;
}

void TqbServerObject::ForceClose() {
    // Forcing never frees an object under a running operation: it waits for its end too.
    TqbServerObject::RequestClose();
}

void TqbServerObject::RequestClose() {
    update(word_, [](uint64_t v) {
        if (stateOf(v) == sosInUse) return wordOf(sosCloseRequested, depthOf(v));
        if (stateOf(v) == sosIdle) return wordOf(sosClosing, depthOf(v));
        return v;
    });
}

bool TqbServerObject::ShouldClose() {
    return stateOf(word_.load()) == sosClosing;
}

uint8_t TqbServerObject::State() {
    return stateOf(word_.load());
}

bool TqbServerObject::Activate() {
    if (closeAsked(stateOf(word_.load()))) return false;
    BeforePadlockWait();
    // The object outlives this call (its caller holds it), so its padlock does too.
    padlock_->Lock();
    // A close may have come while this thread waited for the padlock.
    bool refused = false;
    update(word_, [&](uint64_t v) {
        refused = closeAsked(stateOf(v));
        return refused ? v : wordOf(sosInUse, depthOf(v) + 1);
    });
    if (refused) padlock_->Unlock();
    return !refused;
}

bool TqbServerObject::Deactivate() {
    uint64_t now = 0;
    update(word_, [&](uint64_t v) {
        uint8_t state = stateOf(v);
        uint64_t depth = depthOf(v);
        if (depth > 0 && --depth == 0) {
            if (state == sosInUse)
                state = sosIdle;
            else if (state == sosCloseRequested)
                state = sosClosing;
        }
        return now = wordOf(state, depth);
    });
    padlock_->Unlock();
    return depthOf(now) == 0 && stateOf(now) == sosClosing && CanClose(true);
}

// ---------------------------------------------------------------------------------------------
// Lists

bool TqbServerObjectList::Add(const TqbServerObjectPtr& Object) {
    PortalWriteGuard g(portal_);
    if (std::find(items_.begin(), items_.end(), Object) != items_.end()) return false;
    items_.push_back(Object);
    return true;
}

bool TqbServerObjectList::Remove(const TqbServerObject* Object) {
    TqbServerObjectPtr gone; // freed after the portal is left
    {
        PortalWriteGuard g(portal_);
        auto it = std::find_if(items_.begin(), items_.end(), [&](auto& p) { return p.get() == Object; });
        if (it == items_.end()) return false;
        gone = std::move(*it);
        items_.erase(it);
    }
    return true;
}

bool TqbServerObjectList::Contains(const TqbServerObject* Object) {
    PortalReadGuard g(portal_);
    return std::any_of(items_.begin(), items_.end(), [&](auto& p) { return p.get() == Object; });
}

int TqbServerObjectList::Count() {
    PortalReadGuard g(portal_);
    return int(items_.size());
}

TqbServerObjectPtr TqbServerObjectList::Items(int Index) {
    PortalReadGuard g(portal_);
    return Index >= 0 && size_t(Index) < items_.size() ? items_[size_t(Index)] : nullptr;
}

std::vector<TqbServerObjectPtr> TqbServerObjectList::Snapshot() {
    PortalReadGuard g(portal_);
    return items_;
}

bool TqbServerObjectList::CanClose(bool Mark) {
    bool all = true;
    for (auto& o : Snapshot())
        all = o->CanClose(Mark) && all;
    return all;
}

void TqbServerObjectList::ForceClose() {
    for (auto& o : Snapshot())
        o->ForceClose();
}

void TqbServerObjectList::RequestClose() {
    for (auto& o : Snapshot())
        o->RequestClose();
}

bool TqbServerObjectList::ShouldClose() {
    for (auto& o : Snapshot())
        if (!o->ShouldClose()) return false;
    return true;
}

void TqbServerObjectList::RemoveUnused() {
    std::vector<TqbServerObjectPtr> gone;
    {
        PortalWriteGuard g(portal_);
        for (size_t i = items_.size(); i-- > 0;)
            if (items_[i]->ShouldClose()) {
                gone.push_back(std::move(items_[i]));
                items_.erase(items_.begin() + ptrdiff_t(i));
            }
    }
}

bool TqbServerObjectList::AllIdleOrClosing(bool Mark) {
    auto all = Snapshot();
    for (auto& o : all) {
        uint8_t s = o->State();
        if (s == sosInUse || s == sosCloseRequested) return false;
    }
    if (Mark)
        for (auto& o : all)
            o->CanClose(true);
    return true;
}

TqbServerObjectPtr TqbSrCursorList::FindCursor(const TqbServerObject* Object, bool ByPosition, int Index) {
    if (ByPosition) return Items(Index);
    for (auto& o : Snapshot())
        if (o.get() == Object) return o;
    return nullptr;
}

TqbServerObjectPtr TqbSrCursorList::RemoveCursor(const TqbServerObject* Object) {
    TqbServerObjectPtr found = FindCursor(Object);
    if (found) Remove(Object);
    return found;
}

// ---------------------------------------------------------------------------------------------
// Registry

TqbServerObjectRegistry::~TqbServerObjectRegistry() {
    // Handles still registered hold their objects through these holders.
    for (TqbHandleKind k : {TqbHandleKind::Client, TqbHandleKind::Session, TqbHandleKind::Database,
                            TqbHandleKind::Cursor, TqbHandleKind::Statement, TqbHandleKind::Rebuild,
                            TqbHandleKind::TransportClient, TqbHandleKind::Request})
        for (TqbHandle h : std::set<TqbHandle>(live_[size_t(k)]))
            Remove(h, k);
}

TqbHandle TqbServerObjectRegistry::add(TqbHandleKind Kind, TqbServerObjectPtr Object, const void* Type) {
    auto holder = std::make_unique<Holder>(Holder{std::move(Object), Type});
    std::lock_guard lk(removeMutex_);
    TqbHandle h = ids_.Add(Kind, holder.get());
    holder.release();
    live_[size_t(Kind)].insert(h);
    return h;
}

TqbServerObjectPtr TqbServerObjectRegistry::leaseTyped(TqbHandle Handle, TqbHandleKind Kind,
                                                       const void*& Type) const {
    TqbServerObjectPtr lease;
    ids_.WithObject(Handle, Kind, [&](void* p) {
        const Holder& h = *static_cast<const Holder*>(p);
        lease = h.Object;
        Type = h.Type;
    });
    return lease;
}

TqbServerObjectPtr TqbServerObjectRegistry::Lease(TqbHandle Handle, TqbHandleKind Kind) const {
    const void* type = nullptr;
    return leaseTyped(Handle, Kind, type);
}

bool TqbServerObjectRegistry::Remove(TqbHandle Handle, TqbHandleKind Kind) {
    std::unique_ptr<Holder> holder; // the registry's share, dropped outside the lock
    {
        std::lock_guard lk(removeMutex_);
        auto* p = static_cast<Holder*>(ids_.Find(Handle, Kind));
        if (!p || !ids_.Remove(Handle, Kind)) return false;
        holder.reset(p);
        live_[size_t(Kind)].erase(Handle);
    }
    return true;
}

TqbActivation::TqbActivation(TqbServerObjectPtr Object, std::function<void(TqbServerObject&)> OnClosed)
    : object_(std::move(Object)), onClosed_(std::move(OnClosed)), active_(object_ && object_->Activate()) {}

TqbActivation::~TqbActivation() {
    if (!active_) return;
    if (object_->Deactivate() && onClosed_) onClosed_(*object_);
}

// ---------------------------------------------------------------------------------------------
// Rebuild threads

TqbSrRebuildBaseThread::TqbSrRebuildBaseThread(TqbSrRebuildWork& Engine, std::unique_ptr<TqbSrRebuildJob> Job)
    : engine_(Engine), job_(std::move(Job)) {}

TqbSrRebuildBaseThread::~TqbSrRebuildBaseThread() {
    WaitFor();
}

void TqbSrRebuildThreads::add(std::unique_ptr<TqbSrRebuildBaseThread> t) {
    std::lock_guard lk(m_); // started inside, so JoinAll never meets a thread about to start
    t->Start();
    threads_.push_back(std::move(t));
}

void TqbSrRebuildThreads::Reap() {
    std::vector<std::unique_ptr<TqbSrRebuildBaseThread>> done;
    {
        std::lock_guard lk(m_);
        for (size_t i = threads_.size(); i-- > 0;)
            if (threads_[i]->Finished()) {
                done.push_back(std::move(threads_[i]));
                threads_.erase(threads_.begin() + ptrdiff_t(i));
            }
    }
}

void TqbSrRebuildThreads::JoinAll() {
    std::vector<std::unique_ptr<TqbSrRebuildBaseThread>> all;
    {
        std::lock_guard lk(m_);
        all.swap(threads_);
    }
    for (auto& t : all)
        t->Terminate();
    for (auto& t : all)
        t->WaitFor();
}

size_t TqbSrRebuildThreads::Count() {
    std::lock_guard lk(m_);
    return threads_.size();
}
