// Base layer of the database: timers, comparisons, the fixed collation and key comparers, 64-bit
// values, length-prefixed strings, paths, bits, pooled memory, padlocks, events, portals and lists.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace cls {
class TStringList;
}

// ---------------------------------------------------------------------------------------------
// Millisecond timers over the 32-bit tick count (which wraps about every 49.7 days).

struct TimerRecord {
    uint32_t Start = 0;
    uint32_t Expiry = 0;
    bool StartBeforeExpiry = false;
    bool NeverExpires = false;
};

uint32_t TickCount();
// 0 gives a timer that never expires; other time-outs are clamped to 1 .. 3,600,000 ms.
void TimerStart(TimerRecord& timer, uint32_t timeoutMs);
bool TimerExpired(const TimerRecord& timer);

// ---------------------------------------------------------------------------------------------
// Three-way comparisons (-1, 0, 1) and small integer helpers.

int CompareByte(uint8_t a, uint8_t b);
int CompareWord(uint16_t a, uint16_t b);
int CompareDWord(uint32_t a, uint32_t b);
int CompareShortInt(int8_t a, int8_t b);
int CompareSmallInt(int16_t a, int16_t b);
int CompareLongInt(int32_t a, int32_t b);
int CompareBuffers(const void* a, const void* b, size_t len);
// The first min(len a, len b, maxLen) characters byte-wise, then the lengths capped at maxLen.
int CompareShStr(std::string_view a, std::string_view b, int maxLen);
// As CompareShStr with a-z taken as A-Z (ASCII only).
int CompareShStrNoCase(std::string_view a, std::string_view b, int maxLen);
// The fixed collation, ignoring case.
int TextCompareNoCase(std::string_view a, std::string_view b);
int PCharCompareNoCase(const char* a, const char* b);
int PCharCompareNoCaseLen(const char* a, const char* b, size_t maxLen);

inline uint32_t DWordMin(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}
inline uint32_t DWordMax(uint32_t a, uint32_t b) {
    return a > b ? a : b;
}
inline int IntMin(int a, int b) {
    return a < b ? a : b;
}
inline int32_t LongMin(int32_t a, int32_t b) {
    return a < b ? a : b;
}
inline int32_t LongMax(int32_t a, int32_t b) {
    return a > b ? a : b;
}
inline int ApplyDirection(bool ascending, int value) {
    return ascending ? value : -value;
}
inline int ClampInt(int value, int low, int high) {
    return value <= low ? low : (value < high ? value : high);
}
inline int NonZeroOr(int value, int defaultValue) {
    return value != 0 ? value : defaultValue;
}

// ---------------------------------------------------------------------------------------------
// The system's one collation (platform/Collation.h), under the names the key comparers use.

int collateAnsi(std::string_view a, std::string_view b, bool noCase);
// UTF-16 text: characters of Windows-1252 as above; any other character after all of them, by
// its code unit.
int collateWide(std::u16string_view a, std::u16string_view b, bool noCase);

// Key comparers over raw key bytes of one field type. The effective length is the partial
// length when it is not 0, else the field length; the result is negated when not ascending.
struct KeyCompareDesc {
    int32_t FieldLength = 0;
    int32_t PartialLength = 0;
    bool Ascending = true;
    bool NoCase = false;
};

int KeyCompareU64(const void* a, const void* b, const KeyCompareDesc& d);
int KeyCompareBytes(const void* a, const void* b, const KeyCompareDesc& d);
int KeyCompareShStr(const void* a, const void* b, const KeyCompareDesc& d);
int KeyComparePChar(const void* a, const void* b, const KeyCompareDesc& d);
int KeyCompareShStrLocale(const void* a, const void* b, const KeyCompareDesc& d);
int KeyComparePCharLocale(const void* a, const void* b, const KeyCompareDesc& d);
int KeyCompareWideChar(const void* a, const void* b, const KeyCompareDesc& d);
int KeyCompareWideStrLocale(const void* a, const void* b, const KeyCompareDesc& d);

// ---------------------------------------------------------------------------------------------
// 64-bit values as stored: two 32-bit words, low word first, unsigned.

struct U64 {
    uint32_t Lo = 0;
    uint32_t Hi = 0;
    constexpr uint64_t Value() const { return uint64_t(Hi) << 32 | Lo; }
    static constexpr U64 From(uint64_t v) { return U64{uint32_t(v), uint32_t(v >> 32)}; }
    friend constexpr bool operator==(const U64&, const U64&) = default;
};

inline void U64Clear(U64& v) {
    v = U64{};
}
int U64Compare(const U64& a, const U64& b);
U64 U64ShiftLeft(const U64& v, unsigned n);
U64 U64ShiftRight(const U64& v, unsigned n);
U64 U64Sub(const U64& a, const U64& b);
U64 U64SubDWord(const U64& a, uint32_t d);
U64 U64AddDWord(const U64& a, uint32_t d);
U64 U64MulDWord(const U64& a, uint32_t d);
U64 U64DivDWord(const U64& a, uint32_t d);      // d = 0 raises std::domain_error
uint32_t U64ModDWord(const U64& a, uint32_t d); // d = 0 raises std::domain_error
inline uint32_t U64LowDWord(const U64& v) {
    return v.Lo;
}
inline U64 DWordToU64(uint32_t d) {
    return U64{d, 0};
}
inline bool U64IsZero(const U64& v) {
    return v.Lo == 0 && v.Hi == 0;
}

// ---------------------------------------------------------------------------------------------
// Length-prefixed strings: names and keys of at most 255 Windows-1252 characters, held in
// std::string. Results that would pass 255 characters raise error 338 instead of wrapping.

constexpr size_t kShStrMax = 255;

std::string ShStrConcat(std::string_view a, std::string_view b);
std::string ShStrAddChar(std::string_view s, char c);
// Splits at the first character of s that occurs in delimiters; none: head = s, tail empty.
void ShStrSplit(std::string_view s, std::string_view delimiters, std::string& head, std::string& tail);
std::string ShStrUpper(std::string_view s);
// At most 255 characters of a NUL-terminated text; nullptr gives an empty string.
std::string PCharToShStr(const char* p);
void PCharToShStrMax(const char* p, size_t maxLen, std::string& s);
// Copies s with a NUL behind it into dest of destSize bytes; raises 338 when it does not fit.
// A null dest gives nullptr.
char* ShStrToPChar(char* dest, size_t destSize, std::string_view s);

// Stored form: a length byte, the characters and a NUL (length + 2 bytes, pooled); the empty
// string gives one shared constant that ShStrDispose leaves alone. ShStrDispose sets p to nullptr.
uint8_t* ShStrNew(std::string_view s);
void ShStrDispose(uint8_t*& p);
// The text held by a stored length-prefixed string.
inline std::string_view ShStrView(const uint8_t* p) {
    return p ? std::string_view(reinterpret_cast<const char*>(p + 1), p[0]) : std::string_view();
}

// Character sets: the system's 8-bit text is Windows-1252.
inline char16_t CharToWideChar(char c) {
    return char16_t(static_cast<unsigned char>(c));
}
inline char WideCharToChar(char16_t w) {
    return w > 255 ? char(0) : char(w);
}
// Convert into a NUL-terminated UTF-16 buffer of capacity units (terminator included); raise
// 338 when the text does not fit. They return the number of units written before the NUL.
size_t ShStrToWideChars(std::string_view s, char16_t* dest, size_t capacity);
size_t PCharToWideChars(const char* p, char16_t* dest, size_t capacity);
// UTF-16 (len units) to 8-bit text; at most 255 characters fit a length-prefixed string.
void WideCharsToShStr(const char16_t* w, size_t len, std::string& s);
// Into a NUL-terminated 8-bit buffer of destSize bytes; raises 338 when it does not fit.
char* WideCharsToPChar(const char16_t* w, size_t len, char* dest, size_t destSize);
// Copies bytes bytes of UTF-16 text and ends it at unit bytes / 2; destUnits is the capacity of
// dest in units, which must hold that terminator too (else 338, nothing written).
void WideCharsCopyZ(const char16_t* src, char16_t* dest, size_t bytes, size_t destUnits);

// ---------------------------------------------------------------------------------------------
// Paths: '\' and '/' both separate folders; joins write '/'. Results longer than their limit
// (expanded path 255, folder 219, table name 31, name 35, extension 3) raise error 417 "Invalid
// name or path" instead of being cut to another name.

std::string PathExpand(std::string_view path);
std::string PathExeName();
std::string PathExtractExt(std::string_view path);
std::string PathExtractFileRoot(std::string_view path);
std::string PathExtractTableName(std::string_view path);
std::string PathExtractDir(std::string_view path);
bool PathHasExt(std::string_view path);
// Positions of the last dot and the last separator (npos when absent).
void PathFindDotAndSlash(std::string_view path, size_t& dot, size_t& slash);
void PathForceExt(std::string_view path, std::string_view ext, std::string& result);
std::string PathMakeName(std::string_view name, std::string_view ext);
std::string PathMakeFull(std::string_view dir, std::string_view name);
// False for a path with '*' or '?'. The file name is matched without regard to case.
bool PathDirectoryExists(std::string_view path);
bool PathFileExists(std::string_view path);

// Directory search. Kinds bits: 1 plain file, 2 directory, 4 volume label. Attribute flags:
// 1 none of the others, 2 read-only, 4 hidden (name starts with '.'), 8 system, 16 archive
// (every plain file). An entry passes when its kind is asked for and it has an asked attribute.
struct TqbFindRec {
    std::string Name;  // at most 35 characters; longer names are skipped
    uint16_t Date = 0; // DOS date and time of the last write, local time
    uint16_t Time = 0;
    uint32_t SizeLow = 0;
    uint32_t SizeHigh = 0;
    uint8_t Kind = 0; // 0 file, 1 directory, 2 volume label
    uint8_t Attr = 0;
    std::shared_ptr<struct TqbFindState> Handle; // null = closed
};
// 0, or the error code: 2 nothing matches, 3 the folder does not exist, 18 no more entries.
int PathFindFirst(std::string_view path, int kinds, int attrFlags, TqbFindRec& rec);
int PathFindNext(TqbFindRec& rec);
void PathFindClose(TqbFindRec& rec);

// ---------------------------------------------------------------------------------------------
// Bits and validity checks.

inline void BitSet(uint8_t* bits, uint32_t n) {
    bits[n / 8] |= uint8_t(1u << (n % 8));
}
inline void BitClear(uint8_t* bits, uint32_t n) {
    bits[n / 8] &= uint8_t(~(1u << (n % 8)));
}
inline bool BitIsSet(const uint8_t* bits, uint32_t n) {
    return bits[n / 8] & (1u << (n % 8));
}
void BitSetAll(uint8_t* bits, uint32_t n);

bool IsValidBlockSize(uint32_t size);
int BlockSizeCode(uint32_t size);
bool IsValidName(std::string_view s, size_t maxLen);
bool IsValidTableName(std::string_view s);
bool IsValidExtension(std::string_view s);
bool IsValidKeyLength(int32_t len);
inline int ErrorCodeCategory(int32_t code) {
    return (code >> 8) & 0xFF;
}

// ---------------------------------------------------------------------------------------------
// Pooled memory: blocks of 92 size classes (32 .. 1024 bytes in steps of 32, then up to 16384 in
// steps of 256); larger requests go to the heap. The caller passes the size it allocated.

int PoolSizeClass(uint32_t size); // -1 above 16384
uint32_t PoolClassBlockSize(int sizeClass);
void PoolGetMem(void*& p, uint32_t size);
void PoolGetZeroMem(void*& p, uint32_t size);
void PoolFreeMem(void*& p, uint32_t size);
// Same size class: p unchanged. newSize 0 frees; a null p allocates.
void PoolReallocMem(void*& p, uint32_t oldSize, uint32_t newSize);
// Gives memory that no block uses back to the system.
void PoolReleaseUnused();

// ---------------------------------------------------------------------------------------------
// Synchronisation. Every lock always locks, whatever the number of threads.

// Re-entrant mutual exclusion. Unlock by a thread that does not hold it does nothing.
class TqbPadlock {
public:
    // Inline: taken several times in every record operation.
    void Lock() {
        const std::thread::id me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++count_;
            return;
        }
        m_.lock();
        owner_.store(me, std::memory_order_relaxed);
        count_ = 1;
    }
    void Unlock() {
        if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id() || count_ <= 0) return;
        if (--count_ > 0) return;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        m_.unlock();
    }
    int32_t LockCount() const { return count_; }
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    // Re-entry is counted here: the plain mutex is taken once per holder, on its fast path.
    std::mutex m_;
    std::atomic<std::thread::id> owner_{};
    int32_t count_ = 0;
};

// Auto-reset event; time-outs in ms, 0 = without limit.
class TqbEvent {
public:
    static constexpr uint32_t WaitTimeout = 258;
    // Raises EqbException 288 "Timed out waiting for reply" on a time-out.
    void WaitFor(uint32_t timeoutMs);
    // 0 signalled, 258 timed out.
    uint32_t TryWait(uint32_t timeoutMs);
    void Signal();

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// Many readers or one writer. The writer may write and read again inside its write lock; a
// waiting writer keeps new readers out (but a thread that already reads may read again); when a
// writer ends, every waiting reader gets in at once before the next writer; the last reader hands
// over to one waiting writer. A thread that reads and asks to write would wait for itself: that is
// refused with EqbException 294.
class TqbReadWritePortal {
public:
    TqbReadWritePortal();
    ~TqbReadWritePortal();
    TqbReadWritePortal(const TqbReadWritePortal&) = delete;
    TqbReadWritePortal& operator=(const TqbReadWritePortal&) = delete;

    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

    // For tests and diagnostics.
    int32_t ActiveReaders();
    uint32_t WaitingReaders();
    uint32_t WaitingWriters();
    bool WriterActive();

private:
    int* findReader(std::thread::id id);
    std::mutex m_;
    std::condition_variable readersCv_;
    std::condition_variable writersCv_;
    int32_t activeReaders_ = 0;
    bool writerActive_ = false;
    std::thread::id writer_{};
    uint32_t waitingReaders_ = 0;
    uint32_t waitingWriters_ = 0;
    int32_t readNesting_ = 0;
    int32_t writeNesting_ = 0;
    uint64_t readerRelease_ = 0;                           // bumped when waiting readers are let in
    uint32_t writerHandoffs_ = 0;                          // writer slots handed over, not yet taken
    std::vector<std::pair<std::thread::id, int>> readers_; // reads held per thread
    char checkerName_ = 0; // only its address is used: the portal as ThreadSanitizer knows it
};

// Scoped read or write lock on anything with BeginRead/EndRead or BeginWrite/EndWrite.
template <class T> class PortalReadGuard {
public:
    explicit PortalReadGuard(T& t) : t_(t) { t_.BeginRead(); }
    ~PortalReadGuard() { t_.EndRead(); }
    PortalReadGuard(const PortalReadGuard&) = delete;
    PortalReadGuard& operator=(const PortalReadGuard&) = delete;

private:
    T& t_;
};
template <class T> class PortalWriteGuard {
public:
    explicit PortalWriteGuard(T& t) : t_(t) { t_.BeginWrite(); }
    ~PortalWriteGuard() { t_.EndWrite(); }
    PortalWriteGuard(const PortalWriteGuard&) = delete;
    PortalWriteGuard& operator=(const PortalWriteGuard&) = delete;

private:
    T& t_;
};

// ---------------------------------------------------------------------------------------------
// Base objects and lists. An item knows the lists that hold it: it is freed when the last list
// deletes it, and freeing it takes it out of every list. Never free an item (or delete one with
// the remove-from-all flag) while holding a read lock of a list that holds it.

class TqbObject {
public:
    virtual ~TqbObject() = default;
};

class TqbList;

// Key of a list look-up: an integer (or object reference) or a text, as the item kind expects.
struct TqbListKey {
    int64_t Int = 0;
    std::string_view Str;
    constexpr TqbListKey(int64_t v) : Int(v) {}
    constexpr TqbListKey(int v) : Int(v) {}
    constexpr TqbListKey(uint32_t v) : Int(v) {}
    TqbListKey(const void* p) : Int(static_cast<int64_t>(reinterpret_cast<intptr_t>(p))) {}
    constexpr TqbListKey(std::string_view s) : Str(s) {}
    constexpr TqbListKey(const char* s) : Str(s) {}
    TqbListKey(const std::string& s) : Str(s) {}
};

class TqbListItem {
public:
    TqbListItem(const TqbListItem&) = delete;
    TqbListItem& operator=(const TqbListItem&) = delete;

    // Negative when key sorts before this item's own key, 0 when equal, positive after.
    virtual int Compare(const TqbListKey& key) const = 0;
    virtual TqbListKey Key() const = 0;

    // Takes the item out of every list that holds it, then frees it.
    void Free();

    void AddOwner(TqbList* list);
    // Drops a back link; with the remove-from-all flag the item also leaves every other list.
    void RemoveOwner(TqbList* list);
    int OwnerCount() const;

    bool RemoveFromAll() const { return removeFromAll_; }
    void SetRemoveFromAll(bool v) { removeFromAll_ = v; }
    // Without back links an item is freed whenever a list deletes it.
    bool KeepBackLinks() const { return keepBackLinks_; }
    void SetKeepBackLinks(bool v) { keepBackLinks_ = v; }

protected:
    TqbListItem() = default;
    virtual ~TqbListItem() = default;

private:
    friend class TqbList;
    // Drops list; true when the caller must free the item (no list holds it any more).
    bool dropOwner(TqbList* list);
    bool ownedBy(const TqbList* list) const;

    mutable std::mutex ownersMutex_;
    std::vector<TqbList*> owners_;
    bool destroying_ = false;
    bool removeFromAll_ = false;
    bool keepBackLinks_ = true;
};

class TqbStrListItem : public TqbListItem {
public:
    explicit TqbStrListItem(std::string_view key) : key_(key) {}
    int Compare(const TqbListKey& key) const override { return CompareShStr(key.Str, key_, 255); }
    TqbListKey Key() const override { return TqbListKey(std::string_view(key_)); }
    const std::string& KeyStr() const { return key_; }

private:
    std::string key_;
};

class TqbUCStrListItem : public TqbStrListItem {
public:
    using TqbStrListItem::TqbStrListItem;
    int Compare(const TqbListKey& key) const override { return CompareShStrNoCase(key.Str, KeyStr(), 255); }
};

// Integer keys hold object references too, so they are pointer-sized.
class TqbIntListItem : public TqbListItem {
public:
    explicit TqbIntListItem(intptr_t key) : key_(key) {}
    int Compare(const TqbListKey& key) const override {
        return key.Int < key_ ? -1 : (key.Int > key_ ? 1 : 0);
    }
    TqbListKey Key() const override { return TqbListKey(int64_t(key_)); }
    intptr_t IntKey() const { return key_; }

protected:
    void setIntKey(intptr_t k) { key_ = k; }

private:
    intptr_t key_;
};

// Keyed by its own address.
class TqbSelfListItem : public TqbIntListItem {
public:
    TqbSelfListItem() : TqbIntListItem(0) { setIntKey(reinterpret_cast<intptr_t>(this)); }
};

class TqbWord32ListItem : public TqbListItem {
public:
    explicit TqbWord32ListItem(uint32_t key) : key_(key) {}
    int Compare(const TqbListKey& key) const override { return CompareDWord(uint32_t(key.Int), key_); }
    TqbListKey Key() const override { return TqbListKey(key_); }
    uint32_t DWordKey() const { return key_; }

private:
    uint32_t key_;
};

// Sorted (unique keys, halving search) or unsorted list that owns its items.
class TqbList {
public:
    explicit TqbList(bool sorted = true) : sorted_(sorted) { items_.reserve(64); }
    virtual ~TqbList();
    TqbList(const TqbList&) = delete;
    TqbList& operator=(const TqbList&) = delete;

    // False (item neither linked nor freed) when an equal key, or the item itself, is present.
    bool Insert(TqbListItem* item) { return InsertPrim(item) >= 0; }
    int InsertPrim(TqbListItem* item);
    int IndexOf(const TqbListKey& key) const;
    bool Exists(const TqbListKey& key) const { return IndexOf(key) >= 0; }
    TqbListItem* Items(int index) const;
    TqbListItem* Find(const TqbListKey& key) const { return Items(IndexOf(key)); }
    int Count() const { return int(items_.size()); }
    bool IsEmpty() const { return items_.empty(); }

    // Take the item out and free it unless another list still holds it.
    void Delete(const TqbListKey& key);
    void DeleteAt(int index);
    // Delete under the write lock of the list's portal, when it has one.
    void DeleteGuarded(const TqbListKey& key);
    // Take the item out without freeing it.
    TqbListItem* Remove(const TqbListKey& key);
    TqbListItem* RemoveAt(int index);
    // Releases every item, last to first.
    void Empty();

    bool Sorted() const { return sorted_; }
    // Switching on succeeds only while the list is empty.
    bool SetSorted(bool value);
    int Capacity() const { return int(items_.capacity()); }
    void SetCapacity(int n);
    void SetPortal(TqbReadWritePortal* portal) { portal_ = portal; }
    TqbReadWritePortal* Portal() const { return portal_; }

private:
    int findInsertPos(const TqbListKey& key) const;
    void release(TqbListItem* item);

    std::vector<TqbListItem*> items_;
    bool sorted_;
    TqbReadWritePortal* portal_ = nullptr;
    bool emptying_ = false;
};

// A container guarded by a read/write portal of its own: Begin* take it and return the container.
template <class Self, class Base> class TqbPortalGuarded : public Base {
public:
    using Base::Base;
    Self* BeginRead() {
        guard_.BeginRead();
        return static_cast<Self*>(this);
    }
    Self* BeginWrite() {
        guard_.BeginWrite();
        return static_cast<Self*>(this);
    }
    void EndRead() { guard_.EndRead(); }
    void EndWrite() { guard_.EndWrite(); }

protected:
    TqbReadWritePortal guard_;
};

class TqbThreadList : public TqbPortalGuarded<TqbThreadList, TqbList> {
public:
    explicit TqbThreadList(bool sorted = true) : TqbPortalGuarded(sorted) { SetPortal(&guard_); }
    ~TqbThreadList() override;
};

// First in, first out; Dequeue hands the item over without freeing it.
class TqbQueue {
public:
    TqbQueue() : list_(false) {}
    virtual ~TqbQueue() = default;
    bool Enqueue(TqbListItem* item) { return list_.Insert(item); }
    TqbListItem* Dequeue() { return list_.RemoveAt(0); }
    void Delete(const TqbListKey& key) { list_.Delete(key); }
    int Count() const { return list_.Count(); }
    TqbListItem* Items(int index) const { return list_.Items(index); }

protected:
    TqbList list_;
};

class TqbThreadQueue : public TqbQueue {
public:
    TqbThreadQueue() { list_.SetPortal(&portal_); }
    ~TqbThreadQueue() override;
    TqbThreadQueue* BeginWrite() {
        portal_.BeginWrite();
        return this;
    }
    void EndWrite() { portal_.EndWrite(); }

private:
    TqbReadWritePortal portal_;
};

// Sorted strings (case-sensitive by default), each with an associated pointer.
class TqbStringList : public TqbObject {
public:
    TqbStringList() = default;
    ~TqbStringList() override;
    bool Insert(std::string_view s);
    std::string Strings(int index) const;
    void* Objects(int index) const;
    void SetObject(int index, void* p);
    int Count() const { return list_.Count(); }
    void Empty() { list_.Empty(); }
    bool Sorted() const { return list_.Sorted(); }
    bool SetSorted(bool value) { return list_.SetSorted(value); }
    bool CaseSensitive() const { return caseSensitive_; }
    // Only while empty.
    bool SetCaseSensitive(bool value);
    // Copies case sensitivity, sorting, strings and pointers.
    void Assign(const TqbStringList& other);
    void AssignTo(TqbStringList& other) const { other.Assign(*this); }
    // From the class library's list: sorting off, strings with their objects in order.
    void Assign(const cls::TStringList& other);
    // To it: cleared, then filled in this list's order.
    void AssignTo(cls::TStringList& other) const;

private:
    TqbList list_;
    bool caseSensitive_ = true;
};

// Plain growable array of pointers.
class TqbPointerList : public TqbObject {
public:
    void Append(void* p) { items_.push_back(p); }
    void* Items(int index) const { return index >= 0 && index < Count() ? items_[size_t(index)] : nullptr; }
    void SetItem(int index, void* p) {
        if (index >= 0 && index < Count()) items_[size_t(index)] = p;
    }
    // New entries are nil.
    void SetCount(int n) { items_.resize(size_t(n < 0 ? 0 : n), nullptr); }
    void* RemoveAt(int index);
    void Empty() { items_.clear(); }
    int Count() const { return int(items_.size()); }
    void Assign(const TqbPointerList& other) { items_ = other.items_; }

private:
    std::vector<void*> items_;
};
