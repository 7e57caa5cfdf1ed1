// Server objects (the engine's handle-bearing objects with activation under their client's padlock
// and deferred close), their lists, the registry that leases them to operations, and rebuild threads.
#pragma once
#include "db/base/qbllbase.h"
#include "db/base/qbllthrd.h"
#include "db/storage/qblleng_handles.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <type_traits>
#include <vector>

enum TqbServerObjectState : uint8_t {
    sosIdle = 0,
    sosInUse = 1,
    sosCloseRequested = 2,
    sosClosing = 3,
};

// One object that a client reaches through a handle. Operations of one client are serialised by
// the root owner's padlock; a close asked for while an operation runs takes effect when it ends.
// The state and the activation depth are one atomic word, changed by compare-and-swap only; the
// padlock serialises the operations of the client. The padlock is shared, so an object of a client
// that goes keeps it alive for as long as the object lives.
class TqbServerObject : public std::enable_shared_from_this<TqbServerObject> {
public:
    // Without a parent the object has its own padlock; with one it uses the parent's.
    explicit TqbServerObject(uint32_t Timeout, const TqbServerObject* Parent = nullptr);
    virtual ~TqbServerObject() = default;
    TqbServerObject(const TqbServerObject&) = delete;
    TqbServerObject& operator=(const TqbServerObject&) = delete;

    // True when idle or closing; with Mark an idle object becomes closing.
    virtual bool CanClose(bool Mark);
    // An object in use is closed when its operation ends, never under it.
    virtual void ForceClose();
    virtual void RequestClose();
    virtual bool ShouldClose();

    // False when a close was requested or is under way, also when that happened while this thread
    // waited for the padlock. The same thread may activate an object again (nested operations).
    bool Activate();
    // Ends one activation. True when the object is now closing and may be freed: its padlock has
    // then already been left.
    bool Deactivate();

    uint8_t State();
    uint32_t Timeout() const { return timeout_.load(); }
    void SetTimeout(uint32_t ms) { timeout_.store(ms); }
    const std::shared_ptr<TqbPadlock>& Padlock() const { return padlock_; }
    // The handle the engine gave out for the object; 0 before that.
    TqbHandle Handle() const { return handle_.load(); }
    void SetHandle(TqbHandle H) { handle_.store(H); }
    // True for the first caller only: the one that takes the object out of the engine.
    bool TakeForFree() { return !freed_.exchange(true); }

protected:
    // Runs inside Activate after the state check passed, before the padlock is asked for: a close
    // may come from here on, so Activate checks the state again once it holds the padlock.
    virtual void BeforePadlockWait() {}

private:
    std::atomic<uint32_t> timeout_;
    std::atomic<TqbHandle> handle_{0};
    std::atomic<bool> freed_{false};
    const std::shared_ptr<TqbPadlock> padlock_;
    // The state in the low byte, the activations not yet ended above it.
    std::atomic<uint64_t> word_{sosIdle};
};

using TqbServerObjectPtr = std::shared_ptr<TqbServerObject>;

// Holds its objects by shared ownership; its portal guards the list itself. Calls to the objects
// (and their destruction) happen on a copy taken under the portal, outside it.
class TqbServerObjectList {
public:
    TqbServerObjectList() = default;
    virtual ~TqbServerObjectList() = default;
    TqbServerObjectList(const TqbServerObjectList&) = delete;
    TqbServerObjectList& operator=(const TqbServerObjectList&) = delete;

    void BeginRead() { portal_.BeginRead(); }
    void EndRead() { portal_.EndRead(); }
    void BeginWrite() { portal_.BeginWrite(); }
    void EndWrite() { portal_.EndWrite(); }

    // False when the object is already in the list.
    bool Add(const TqbServerObjectPtr& Object);
    // Takes the object out (freed when nothing else holds it); false when absent.
    bool Remove(const TqbServerObject* Object);
    bool Contains(const TqbServerObject* Object);
    int Count();
    TqbServerObjectPtr Items(int Index);
    std::vector<TqbServerObjectPtr> Snapshot();

    // Asks every object, also after one answered False.
    virtual bool CanClose(bool Mark);
    virtual void ForceClose();
    virtual void RemoveUnused();
    virtual void RequestClose();
    // True when every object should close (an empty list answers True).
    virtual bool ShouldClose();
    // True when no object is in use or close requested; then with Mark every idle one closes.
    bool AllIdleOrClosing(bool Mark);

private:
    TqbReadWritePortal portal_;
    std::vector<TqbServerObjectPtr> items_;
};

// Cursors of a database or table, found by identity or position.
class TqbSrCursorList : public TqbServerObjectList {
public:
    // By position when ByPosition (Index), else by identity (Object); null when absent.
    TqbServerObjectPtr FindCursor(const TqbServerObject* Object, bool ByPosition = false, int Index = 0);
    // Out of the list, handed to the caller.
    TqbServerObjectPtr RemoveCursor(const TqbServerObject* Object);
};
class TqbSrDatabaseList : public TqbServerObjectList {};
class TqbSrSessionList : public TqbServerObjectList {};
class TqbSrStmtList : public TqbServerObjectList {};
class TqbSrClientList : public TqbServerObjectList {};

// 32-bit handles of server objects with shared ownership. An operation takes a lease (a shared
// reference) for as long as it uses the object; removing the handle meanwhile frees the object
// when the last lease goes.
class TqbServerObjectRegistry {
public:
    explicit TqbServerObjectRegistry(uint32_t Capacity = TqbHandleRegistry::kMaxIndex) : ids_(Capacity) {}
    ~TqbServerObjectRegistry();
    TqbServerObjectRegistry(const TqbServerObjectRegistry&) = delete;
    TqbServerObjectRegistry& operator=(const TqbServerObjectRegistry&) = delete;

    // The handle remembers T, the type the object was registered as: a lease as that type needs no
    // run-time type check.
    template <class T> TqbHandle Add(TqbHandleKind Kind, std::shared_ptr<T> Object) {
        static_assert(std::is_base_of_v<TqbServerObject, T>);
        return add(Kind, std::move(Object), &kTypeTag<T>);
    }
    // The object, or null for a stale, forged or other-kind handle.
    TqbServerObjectPtr Lease(TqbHandle Handle, TqbHandleKind Kind) const;
    // As Lease, and null too when the object is no T.
    template <class T> std::shared_ptr<T> LeaseAs(TqbHandle Handle, TqbHandleKind Kind) const {
        const void* tag = nullptr;
        TqbServerObjectPtr object = leaseTyped(Handle, Kind, tag);
        if (tag == &kTypeTag<T>) return std::static_pointer_cast<T>(std::move(object));
        return std::dynamic_pointer_cast<T>(std::move(object));
    }
    bool Remove(TqbHandle Handle, TqbHandleKind Kind);
    size_t Count() const { return ids_.Count(); }

private:
    // One address per type, the same in every translation unit.
    template <class T> static constexpr char kTypeTag = 0;
    // What a handle's slot points at: the registry's share of the object and its registered type.
    struct Holder {
        TqbServerObjectPtr Object;
        const void* Type;
    };
    TqbHandle add(TqbHandleKind Kind, TqbServerObjectPtr Object, const void* Type);
    TqbServerObjectPtr leaseTyped(TqbHandle Handle, TqbHandleKind Kind, const void*& Type) const;

    TqbHandleRegistry ids_;
    std::mutex removeMutex_;                  // one removal at a time: the slot's holder is freed once
    std::array<std::set<TqbHandle>, 9> live_; // per kind; guarded by removeMutex_
};

// One operation's use of an object: the lease, activated for the operation's span. When the object
// closes at the end, OnClosed runs after the padlock was left (to drop its handle and list entries).
class TqbActivation {
public:
    TqbActivation(TqbServerObjectPtr Object, std::function<void(TqbServerObject&)> OnClosed = {});
    ~TqbActivation();
    TqbActivation(const TqbActivation&) = delete;
    TqbActivation& operator=(const TqbActivation&) = delete;
    bool Active() const { return active_; }
    TqbServerObject* Object() const { return object_.get(); }

private:
    TqbServerObjectPtr object_;
    std::function<void(TqbServerObject&)> onClosed_;
    bool active_;
};

// ---------------------------------------------------------------------------------------------
// Rebuild threads.

// The job of one rebuild thread: 21 words whose meaning belongs to the table operations, and an
// object the thread owns.
struct TqbSrRebuildJob {
    uint32_t Words[21] = {};
    std::unique_ptr<TqbObject> Owned;
};

// The engine's work for each kind of job.
class TqbSrRebuildWork {
public:
    virtual ~TqbSrRebuildWork() = default;
    virtual void Reindex(TqbSrRebuildJob& Job) = 0;
    virtual void PackRestructure(TqbSrRebuildJob& Job) = 0;
    virtual void GetRecordCount(TqbSrRebuildJob& Job) = 0;
};

// Runs from creation; the engine keeps it in its TqbSrRebuildThreads and joins it before it goes.
class TqbSrRebuildBaseThread : public TqbThread {
public:
    TqbSrRebuildBaseThread(TqbSrRebuildWork& Engine, std::unique_ptr<TqbSrRebuildJob> Job);
    ~TqbSrRebuildBaseThread() override;
    TqbSrRebuildJob& Job() { return *job_; }

protected:
    TqbSrRebuildWork& engine_;
    std::unique_ptr<TqbSrRebuildJob> job_;
};

class TqbSrReindexThread : public TqbSrRebuildBaseThread {
public:
    using TqbSrRebuildBaseThread::TqbSrRebuildBaseThread;

protected:
    void Execute() override { engine_.Reindex(*job_); }
    const char* ClassName() const override { return "TqbSrReindexThread"; }
};
class TqbSrPackThread : public TqbSrRebuildBaseThread {
public:
    using TqbSrRebuildBaseThread::TqbSrRebuildBaseThread;

protected:
    void Execute() override { engine_.PackRestructure(*job_); }
    const char* ClassName() const override { return "TqbSrPackThread"; }
};
class TqbSrRestructureThread : public TqbSrRebuildBaseThread {
public:
    using TqbSrRebuildBaseThread::TqbSrRebuildBaseThread;

protected:
    void Execute() override { engine_.PackRestructure(*job_); }
    const char* ClassName() const override { return "TqbSrRestructureThread"; }
};
class TqbSrGetRecordCountThread : public TqbSrRebuildBaseThread {
public:
    using TqbSrRebuildBaseThread::TqbSrRebuildBaseThread;

protected:
    void Execute() override { engine_.GetRecordCount(*job_); }
    const char* ClassName() const override { return "TqbSrGetRecordCountThread"; }
};

// The engine's live rebuild threads: started through Start, freed once finished (Reap), and all
// asked to stop and joined by JoinAll before the engine frees what they use. Its mutex guards the
// list only; joins happen outside it.
class TqbSrRebuildThreads {
public:
    ~TqbSrRebuildThreads() { JoinAll(); }
    template <class T> T* Start(TqbSrRebuildWork& Engine, std::unique_ptr<TqbSrRebuildJob> Job) {
        auto t = std::make_unique<T>(Engine, std::move(Job));
        T* raw = t.get();
        add(std::move(t));
        return raw;
    }
    // Frees the threads that have ended.
    void Reap();
    void JoinAll();
    size_t Count();

private:
    void add(std::unique_ptr<TqbSrRebuildBaseThread> t);
    std::mutex m_;
    std::vector<std::unique_ptr<TqbSrRebuildBaseThread>> threads_;
};
