// Chained hash tables and the ELF byte hash.
#include "db/base/qbhash.h"

#include <algorithm>

const uint32_t TqbBaseHashTable::kBucketCounts[16] = {
    59, 127, 257, 521, 1049, 2099, 4201, 8419, 16843, 33703, 67409, 134837, 269683, 539389, 1078787, 2157587};

TqbBaseHashTable::TqbBaseHashTable(int initialSizeIndex)
    : sizeIndex_(std::clamp(initialSizeIndex, 0, kMaxSizeIndex)), initialSizeIndex_(sizeIndex_) {
    buckets_.assign(kBucketCounts[sizeIndex_], nullptr);
}

TqbBaseHashTable::~TqbBaseHashTable() {
    Clear();
}

void TqbBaseHashTable::Clear() {
    for (Node*& head : buckets_) {
        while (Node* n = head) {
            head = n->Next;
            --count_;
            void* value = n->Value;
            delete n;
            if (OnDisposeValue) OnDisposeValue(this, value);
        }
    }
}

void* TqbBaseHashTable::getKey(uint64_t key) const {
    for (Node* n = buckets_[bucketOf(key)]; n; n = n->Next)
        if (n->Key == key) return n->Value;
    return nullptr;
}

bool TqbBaseHashTable::addKey(uint64_t key, void* value) {
    Node*& head = buckets_[bucketOf(key)];
    for (Node* n = head; n; n = n->Next)
        if (n->Key == key) return false;
    head = new Node{key, head, value};
    ++count_;
    if (uint64_t(count_) > 4 * uint64_t(buckets_.size())) resize(true);
    return true;
}

bool TqbBaseHashTable::removeKey(uint64_t key) {
    Node** link = &buckets_[bucketOf(key)];
    while (*link && (*link)->Key != key)
        link = &(*link)->Next;
    Node* n = *link;
    if (!n) return false;
    *link = n->Next;
    --count_;
    void* value = n->Value;
    delete n;
    if (OnDisposeValue) OnDisposeValue(this, value);
    if (shrinkEnabled_ && !atInitialSize_ && count_ >= 11 && uint64_t(buckets_.size()) > 6 * uint64_t(count_))
        resize(false);
    return true;
}

void TqbBaseHashTable::iterate(const std::function<void(uint64_t, void*)>& fn) const {
    for (Node* head : buckets_)
        for (Node* n = head; n; n = n->Next)
            fn(n->Key, n->Value);
}

void TqbBaseHashTable::resize(bool grow) {
    atInitialSize_ = false;
    size_t newCount;
    if (!grow) {
        if (sizeIndex_ == initialSizeIndex_) {
            atInitialSize_ = true;
            return;
        }
        newCount = kBucketCounts[--sizeIndex_];
    } else if (sizeIndex_ == kMaxSizeIndex) {
        newCount = 2 * buckets_.size() + 1;
        if (newCount % 3 == 0) newCount += 2;
    } else {
        newCount = kBucketCounts[++sizeIndex_];
    }
    std::vector<Node*> fresh(newCount, nullptr);
    for (Node* head : buckets_) {
        while (Node* n = head) {
            head = n->Next;
            Node*& to = fresh[n->Key % newCount];
            n->Next = to;
            to = n;
        }
    }
    buckets_.swap(fresh);
}

uint32_t HashBytes(const void* buffer, size_t length) {
    auto* p = static_cast<const unsigned char*>(buffer);
    uint32_t h = 0;
    // Without a branch: with g zero both steps leave h as it is.
    for (size_t i = 0; i < length; ++i) {
        h = (h << 4) + p[i];
        const uint32_t g = h & 0xF0000000u;
        h ^= g >> 24;
        h &= ~g;
    }
    return h;
}
