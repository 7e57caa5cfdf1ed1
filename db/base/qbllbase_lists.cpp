// Pooled memory and the list family: items with back links, sorted and unsorted lists, thread
// lists, queues, string lists and pointer lists.
#include "db/base/qbllbase.h"

#include "classlib/Classes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

// ---------------------------------------------------------------------------------------------
// Pooled memory. Blocks are taken from the heap at their class's full size, so that a block
// re-sized within its class stays where it is.

int PoolSizeClass(uint32_t size) {
    if (size > 16384) return -1;
    if (size == 0) return 0;
    return size <= 1024 ? int((size - 1) / 32) : int((size - 1) / 256 + 28);
}

uint32_t PoolClassBlockSize(int c) {
    if (c < 0 || c > 91) return 0;
    return c < 32 ? uint32_t(c + 1) * 32 : uint32_t(c - 31) * 256 + 1024;
}

namespace {
uint32_t blockSize(uint32_t size) {
    int c = PoolSizeClass(size);
    return c < 0 ? size : PoolClassBlockSize(c);
}
} // namespace

void PoolGetMem(void*& p, uint32_t size) {
    p = ::operator new(blockSize(size));
}

void PoolGetZeroMem(void*& p, uint32_t size) {
    PoolGetMem(p, size);
    std::memset(p, 0, size);
}

void PoolFreeMem(void*& p, uint32_t size) {
    if (!p) return;
    ::operator delete(p);
    p = nullptr;
}

void PoolReallocMem(void*& p, uint32_t oldSize, uint32_t newSize) {
    if (!p) {
        PoolGetMem(p, newSize);
        return;
    }
    if (newSize == 0) {
        PoolFreeMem(p, oldSize);
        return;
    }
    int oc = PoolSizeClass(oldSize), nc = PoolSizeClass(newSize);
    if (oc >= 0 && oc == nc) return;
    void* q;
    PoolGetMem(q, newSize);
    std::memcpy(q, p, std::min(oldSize, newSize));
    PoolFreeMem(p, oldSize);
    p = q;
}

void PoolReleaseUnused() {
    malloc_trim(0);
}

// ---------------------------------------------------------------------------------------------
// List items

void TqbListItem::AddOwner(TqbList* list) {
    std::lock_guard g(ownersMutex_);
    if (std::find(owners_.begin(), owners_.end(), list) == owners_.end()) owners_.push_back(list);
}

bool TqbListItem::ownedBy(const TqbList* list) const {
    std::lock_guard g(ownersMutex_);
    return std::find(owners_.begin(), owners_.end(), list) != owners_.end();
}

int TqbListItem::OwnerCount() const {
    std::lock_guard g(ownersMutex_);
    return int(owners_.size());
}

void TqbListItem::RemoveOwner(TqbList* list) {
    dropOwner(list);
}

bool TqbListItem::dropOwner(TqbList* list) {
    std::vector<TqbList*> others;
    {
        std::lock_guard g(ownersMutex_);
        if (destroying_) return false; // the thread that destroys it frees it
        owners_.erase(std::remove(owners_.begin(), owners_.end(), list), owners_.end());
        if (!removeFromAll_ || owners_.empty()) return owners_.empty();
        destroying_ = true;
        others = owners_;
    }
    // Leaving one list means leaving all: no list lock is held while this item's own lock is.
    TqbListKey key = Key();
    for (auto it = others.rbegin(); it != others.rend(); ++it)
        (*it)->DeleteGuarded(key);
    std::lock_guard g(ownersMutex_);
    owners_.clear();
    destroying_ = false;
    return true;
}

void TqbListItem::Free() {
    std::vector<TqbList*> lists;
    {
        std::lock_guard g(ownersMutex_);
        destroying_ = true;
        lists = owners_;
    }
    TqbListKey key = Key();
    for (auto it = lists.rbegin(); it != lists.rend(); ++it)
        (*it)->DeleteGuarded(key);
    {
        std::lock_guard g(ownersMutex_);
        owners_.clear();
    }
    delete this;
}

// ---------------------------------------------------------------------------------------------
// Lists

TqbList::~TqbList() {
    Empty();
}

int TqbList::findInsertPos(const TqbListKey& key) const {
    if (!sorted_) return Count();
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = items_[size_t(mid)]->Compare(key);
        if (c == 0) return -1;
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return lo;
}

int TqbList::InsertPrim(TqbListItem* item) {
    if (!item || emptying_ || item->ownedBy(this)) return -1;
    int pos = findInsertPos(item->Key());
    if (pos < 0) return -1;
    items_.insert(items_.begin() + pos, item);
    if (item->keepBackLinks_) item->AddOwner(this);
    return pos;
}

int TqbList::IndexOf(const TqbListKey& key) const {
    if (!sorted_) {
        for (int i = 0; i < Count(); ++i)
            if (items_[size_t(i)]->Compare(key) == 0) return i;
        return -1;
    }
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = items_[size_t(mid)]->Compare(key);
        if (c == 0) return mid;
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return -1;
}

TqbListItem* TqbList::Items(int index) const {
    return index >= 0 && index < Count() ? items_[size_t(index)] : nullptr;
}

void TqbList::release(TqbListItem* item) {
    bool free = item->keepBackLinks_ ? item->dropOwner(this) : true;
    if (free) delete item;
}

void TqbList::Delete(const TqbListKey& key) {
    DeleteAt(IndexOf(key));
}

void TqbList::DeleteAt(int index) {
    if (emptying_ || index < 0 || index >= Count()) return;
    TqbListItem* item = items_[size_t(index)];
    items_.erase(items_.begin() + index);
    release(item);
}

void TqbList::DeleteGuarded(const TqbListKey& key) {
    if (!portal_) {
        Delete(key);
        return;
    }
    PortalWriteGuard g(*portal_);
    Delete(key);
}

TqbListItem* TqbList::Remove(const TqbListKey& key) {
    return RemoveAt(IndexOf(key));
}

TqbListItem* TqbList::RemoveAt(int index) {
    if (emptying_ || index < 0 || index >= Count()) return nullptr;
    TqbListItem* item = items_[size_t(index)];
    items_.erase(items_.begin() + index);
    if (item->keepBackLinks_) item->dropOwner(this);
    return item;
}

void TqbList::Empty() {
    if (emptying_) return;
    emptying_ = true;
    std::vector<TqbListItem*> items;
    items.swap(items_);
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        release(*it);
    emptying_ = false;
}

bool TqbList::SetSorted(bool value) {
    if (value && !sorted_ && !items_.empty()) return false;
    sorted_ = value;
    return true;
}

void TqbList::SetCapacity(int n) {
    if (n >= Count() && n != Capacity()) {
        std::vector<TqbListItem*> v;
        v.reserve(size_t(n));
        v.assign(items_.begin(), items_.end());
        items_.swap(v);
    }
}

TqbThreadList::~TqbThreadList() {
    Empty();
} // while the portal still exists

TqbThreadQueue::~TqbThreadQueue() {
    list_.Empty();
}

// ---------------------------------------------------------------------------------------------
// String list

namespace {
class StringItem : public TqbListItem {
public:
    StringItem(std::string_view s, bool caseSensitive) : s_(s), caseSensitive_(caseSensitive) {}
    int Compare(const TqbListKey& key) const override {
        return caseSensitive_ ? CompareShStr(key.Str, s_, 255) : CompareShStrNoCase(key.Str, s_, 255);
    }
    TqbListKey Key() const override { return TqbListKey(std::string_view(s_)); }
    std::string s_;
    void* object_ = nullptr;
    bool caseSensitive_;
};
} // namespace

TqbStringList::~TqbStringList() {
    list_.Empty();
}

bool TqbStringList::Insert(std::string_view s) {
    auto* item = new StringItem(s, caseSensitive_);
    if (list_.Insert(item)) return true;
    item->Free(); // a duplicate: the list did not take it
    return false;
}

std::string TqbStringList::Strings(int index) const {
    auto* i = static_cast<StringItem*>(list_.Items(index));
    return i ? i->s_ : std::string();
}

void* TqbStringList::Objects(int index) const {
    auto* i = static_cast<StringItem*>(list_.Items(index));
    return i ? i->object_ : nullptr;
}

void TqbStringList::SetObject(int index, void* p) {
    if (auto* i = static_cast<StringItem*>(list_.Items(index))) i->object_ = p;
}

bool TqbStringList::SetCaseSensitive(bool value) {
    if (list_.Count() > 0) return false;
    caseSensitive_ = value;
    return true;
}

void TqbStringList::Assign(const TqbStringList& other) {
    if (&other == this) return;
    list_.Empty();
    caseSensitive_ = other.caseSensitive_;
    list_.SetSorted(other.Sorted());
    for (int i = 0; i < other.Count(); ++i) {
        Insert(other.Strings(i)); // same order and case rule: lands at index i
        SetObject(i, other.Objects(i));
    }
}

void TqbStringList::Assign(const cls::TStringList& other) {
    list_.Empty();
    list_.SetSorted(false);
    for (int i = 0; i < other.Count(); ++i) {
        Insert(other.Strings(i));
        SetObject(i, other.Objects(i));
    }
}

void TqbStringList::AssignTo(cls::TStringList& other) const {
    other.Clear();
    for (int i = 0; i < Count(); ++i)
        other.AddObject(Strings(i), Objects(i));
}

void* TqbPointerList::RemoveAt(int index) {
    if (index < 0 || index >= Count()) return nullptr;
    void* p = items_[size_t(index)];
    items_.erase(items_.begin() + index);
    return p;
}
