// Registry of 32-bit handles: each handle is a slot index and a generation, so a value that names
// no live object of the expected kind (stale, forged or of another kind) is recognised as such.
#pragma once
#include "db/storage/qblleng_types.h"

#include <cstdint>
#include <deque>
#include <shared_mutex>
#include <vector>

enum class TqbHandleKind : uint8_t {
    None = 0,
    Client,
    Session,
    Database,
    Cursor,
    Statement,
    Rebuild,
    TransportClient,
    Request,
};

// The code for an unknown handle of a kind: 15504 client, 15505 session, 15508 database, 15511
// cursor; 9990 for the others.
TqbResultCode UnknownHandleCode(TqbHandleKind kind);

// Thread-safe. The registry does not own the objects; whoever removes a handle frees its object.
class TqbHandleRegistry {
public:
    static constexpr uint32_t kIndexBits = 20;
    static constexpr uint32_t kMaxIndex = (1u << kIndexBits) - 2; // all-ones stays free for -1
    static constexpr uint32_t kGenerationMask = (1u << (32 - kIndexBits)) - 1;

    // capacity: most live handles at once (1 .. kMaxIndex).
    explicit TqbHandleRegistry(uint32_t capacity = kMaxIndex);
    TqbHandleRegistry(const TqbHandleRegistry&) = delete;
    TqbHandleRegistry& operator=(const TqbHandleRegistry&) = delete;

    // A new handle for object; std::bad_alloc when the registry is full, std::invalid_argument for
    // a null object or kind None.
    TqbHandle Add(TqbHandleKind kind, void* object);
    // The object, or nullptr when the handle names no live object of that kind.
    void* Find(TqbHandle handle, TqbHandleKind kind) const;
    template <class T> T* FindAs(TqbHandle handle, TqbHandleKind kind) const {
        return static_cast<T*>(Find(handle, kind));
    }
    // Calls fn(object) under the registry's read lock, so a concurrent Remove waits until fn has
    // taken what it needs (a lease); false when the handle names no live object of that kind.
    template <class F> bool WithObject(TqbHandle handle, TqbHandleKind kind, F&& fn) const {
        std::shared_lock lk(m_);
        const Slot* s = live(handle);
        if (!s || s->Kind != kind) return false;
        fn(s->Object);
        return true;
    }
    // 0 with the object, or the kind's unknown-handle code.
    TqbResultCode Check(TqbHandle handle, TqbHandleKind kind, void** object = nullptr) const;
    // False when the handle names no live object of that kind (nothing changes then).
    bool Remove(TqbHandle handle, TqbHandleKind kind);
    // Kind of a live handle, None otherwise.
    TqbHandleKind KindOf(TqbHandle handle) const;
    size_t Count() const;

private:
    struct Slot {
        void* Object = nullptr;
        uint32_t Generation = 0;
        TqbHandleKind Kind = TqbHandleKind::None;
    };
    const Slot* live(TqbHandle handle) const;

    mutable std::shared_mutex m_;
    std::vector<Slot> slots_; // slot 0 is never used, so no handle is 0
    std::deque<uint32_t> free_;
    size_t count_ = 0;
    uint32_t capacity_;
};
