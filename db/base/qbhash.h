// Chained hash tables keyed by integers (object references included) or 64-bit values, growing
// along a fixed table of primes, their thread-guarded variants, and the byte hash.
#pragma once
#include "db/base/qbllbase.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class TqbBaseHashTable : public TqbObject {
public:
    static constexpr int kMaxSizeIndex = 15;
    static const uint32_t kBucketCounts[16];

    struct Node {
        uint64_t Key;
        Node* Next;
        void* Value;
    };

    explicit TqbBaseHashTable(int initialSizeIndex = 0);
    ~TqbBaseHashTable() override;
    TqbBaseHashTable(const TqbBaseHashTable&) = delete;
    TqbBaseHashTable& operator=(const TqbBaseHashTable&) = delete;

    // Removes every node (OnDisposeValue for each value).
    void Clear();

    int32_t Count() const { return count_; }
    uint32_t BucketCount() const { return uint32_t(buckets_.size()); }
    int SizeIndex() const { return sizeIndex_; }
    int InitialSizeIndex() const { return initialSizeIndex_; }
    bool AtInitialSize() const { return atInitialSize_; }
    bool ShrinkEnabled() const { return shrinkEnabled_; }
    void SetShrinkEnabled(bool v) { shrinkEnabled_ = v; }

    // Called with the value of every node that is removed or cleared.
    std::function<void(TqbBaseHashTable* table, void* value)> OnDisposeValue;

protected:
    bool addKey(uint64_t key, void* value);
    void* getKey(uint64_t key) const;
    bool removeKey(uint64_t key);
    // Every node, bucket by bucket from 0, each chain from its head.
    void iterate(const std::function<void(uint64_t key, void* value)>& fn) const;

private:
    uint32_t bucketOf(uint64_t key) const { return uint32_t(key % buckets_.size()); }
    void resize(bool grow);

    std::vector<Node*> buckets_;
    int32_t count_ = 0;
    int sizeIndex_;
    int initialSizeIndex_;
    bool atInitialSize_ = false;
    bool shrinkEnabled_ = false;
};

// Keys are pointer-sized and taken without sign, so every key lands in a valid bucket.
class TqbHash : public TqbBaseHashTable {
public:
    using TqbBaseHashTable::TqbBaseHashTable;
    // False when the key exists.
    bool Add(uintptr_t key, void* value) { return addKey(key, value); }
    bool Add(const void* key, void* value) { return addKey(reinterpret_cast<uintptr_t>(key), value); }
    void* Get(uintptr_t key) const { return getKey(key); }
    void* Get(const void* key) const { return getKey(reinterpret_cast<uintptr_t>(key)); }
    bool Remove(uintptr_t key) { return removeKey(key); }
    bool Remove(const void* key) { return removeKey(reinterpret_cast<uintptr_t>(key)); }
};

class TqbHash64 : public TqbBaseHashTable {
public:
    using TqbBaseHashTable::TqbBaseHashTable;
    bool Add(const U64& key, void* value) { return addKey(key.Value(), value); }
    void* Get(const U64& key) const { return getKey(key.Value()); }
    bool Remove(const U64& key) { return removeKey(key.Value()); }
    // Calls fn for every node: bucket by bucket from 0, each chain from its head.
    void Iterate(const std::function<void(const U64& key, void* value)>& fn) const {
        iterate([&](uint64_t k, void* v) { fn(U64::From(k), v); });
    }
};

// Used inside BeginRead/EndRead or BeginWrite/EndWrite by their owners.
class TqbThreadHash : public TqbPortalGuarded<TqbThreadHash, TqbHash> {
public:
    using TqbPortalGuarded::TqbPortalGuarded;
};

class TqbThreadHash64 : public TqbPortalGuarded<TqbThreadHash64, TqbHash64> {
public:
    using TqbPortalGuarded::TqbPortalGuarded;
};

// The ELF hash: at most 28 bits; an empty buffer gives 0. Stored and sent in places, so fixed.
uint32_t HashBytes(const void* buffer, size_t length);
inline uint32_t HashShStr(std::string_view s) {
    return HashBytes(s.data(), s.size());
}
