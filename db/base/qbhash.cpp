// Chained hash tables and the ELF byte hash.
#include "db/base/qbhash.h"

#include <algorithm>
#include <cstring>

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

namespace {

// One step of the hash. Without a branch: with g zero both steps leave h as it is.
constexpr uint32_t hashStep(uint32_t h, unsigned char b) {
    h = (h << 4) + b;
    const uint32_t g = h & 0xF0000000u;
    h ^= g >> 24;
    h &= ~g;
    return h;
}

// Eight zero bytes in one go. A zero byte's step is linear in the 28 bits the hash keeps, so eight
// of them are too: the image of h is the exclusive or of the images of its four 7-bit parts.
struct ZeroRun {
    uint32_t Part[4][128]{};
    constexpr ZeroRun() {
        for (int k = 0; k < 4; ++k)
            for (uint32_t c = 0; c < 128; ++c) {
                uint32_t h = c << (7 * k);
                for (int i = 0; i < 8; ++i)
                    h = hashStep(h, 0);
                Part[k][c] = h;
            }
    }
    uint32_t operator()(uint32_t h) const {
        return Part[0][h & 127] ^ Part[1][(h >> 7) & 127] ^ Part[2][(h >> 14) & 127] ^
               Part[3][(h >> 21) & 127];
    }
};
constexpr ZeroRun kZeroRun;

} // namespace

uint32_t HashBytes(const void* buffer, size_t length) {
    auto* p = static_cast<const unsigned char*>(buffer);
    uint32_t h = 0;
    // Keys and records are mostly zero padding: eight zero bytes take one table step, any other
    // eight bytes eight steps in a row.
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w == 0) {
            h = kZeroRun(h);
            continue;
        }
        for (size_t k = 0; k < 8; ++k)
            h = hashStep(h, p[i + k]);
    }
    for (; i < length; ++i)
        h = hashStep(h, p[i]);
    return h;
}
