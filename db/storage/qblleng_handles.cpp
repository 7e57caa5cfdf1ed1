// Handle registry: slot index in the low bits, generation in the high bits.
#include "db/storage/qblleng_handles.h"

#include <mutex>
#include <new>
#include <stdexcept>

namespace {
// A freed slot is reused only when this many are waiting, so one slot's generation grows slowly
// and an old handle stays recognisably stale for a long time.
constexpr size_t kReuseAfter = 1024;
} // namespace

TqbResultCode UnknownHandleCode(TqbHandleKind kind) {
    switch (kind) {
    case TqbHandleKind::Client:
        return kResultUnknownClient;
    case TqbHandleKind::Session:
        return kResultUnknownSession;
    case TqbHandleKind::Database:
        return kResultUnknownDatabase;
    case TqbHandleKind::Cursor:
        return kResultUnknownCursor;
    default:
        return kResultInvalidHandle;
    }
}

TqbHandleRegistry::TqbHandleRegistry(uint32_t capacity)
    : capacity_(capacity < 1 ? 1 : (capacity > kMaxIndex ? kMaxIndex : capacity)) {
    slots_.resize(1);
}

TqbHandle TqbHandleRegistry::Add(TqbHandleKind kind, void* object) {
    if (!object || kind == TqbHandleKind::None) throw std::invalid_argument("no object or kind for a handle");
    std::unique_lock lk(m_);
    uint32_t index;
    if (!free_.empty() && (free_.size() >= kReuseAfter || slots_.size() - 1 >= capacity_)) {
        index = free_.front();
        free_.pop_front();
    } else if (slots_.size() - 1 < capacity_) {
        index = uint32_t(slots_.size());
        slots_.emplace_back();
    } else {
        throw std::bad_alloc();
    }
    Slot& s = slots_[index];
    s.Generation = (s.Generation + 1) & kGenerationMask;
    if (s.Generation == 0) s.Generation = 1;
    s.Object = object;
    s.Kind = kind;
    ++count_;
    return s.Generation << kIndexBits | index;
}

const TqbHandleRegistry::Slot* TqbHandleRegistry::live(TqbHandle handle) const {
    uint32_t index = handle & ((1u << kIndexBits) - 1);
    uint32_t gen = handle >> kIndexBits;
    if (index == 0 || index >= slots_.size()) return nullptr;
    const Slot& s = slots_[index];
    if (s.Object == nullptr || s.Generation != gen) return nullptr;
    return &s;
}

void* TqbHandleRegistry::Find(TqbHandle handle, TqbHandleKind kind) const {
    std::shared_lock lk(m_);
    const Slot* s = live(handle);
    return s && s->Kind == kind ? s->Object : nullptr;
}

TqbResultCode TqbHandleRegistry::Check(TqbHandle handle, TqbHandleKind kind, void** object) const {
    void* o = Find(handle, kind);
    if (object) *object = o;
    return o ? 0 : UnknownHandleCode(kind);
}

bool TqbHandleRegistry::Remove(TqbHandle handle, TqbHandleKind kind) {
    std::unique_lock lk(m_);
    const Slot* s = live(handle);
    if (!s || s->Kind != kind) return false;
    uint32_t index = handle & ((1u << kIndexBits) - 1);
    Slot& slot = slots_[index];
    slot.Object = nullptr;
    slot.Kind = TqbHandleKind::None;
    free_.push_back(index);
    --count_;
    return true;
}

TqbHandleKind TqbHandleRegistry::KindOf(TqbHandle handle) const {
    std::shared_lock lk(m_);
    const Slot* s = live(handle);
    return s ? s->Kind : TqbHandleKind::None;
}

size_t TqbHandleRegistry::Count() const {
    std::shared_lock lk(m_);
    return count_;
}
