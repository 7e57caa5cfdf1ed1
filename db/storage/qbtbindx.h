// B-tree indexes: index blocks (the index header block and pages), insert and delete with sibling
// relief, rotation and merging, and key paths that position cursors and step through an index.
#pragma once
#include "db/storage/qbtbdata.h"

#include <cstdint>

inline constexpr uint32_t kSigIndex = 0x48494251; // 'Q','B','I','H'
// Index block prefix after the common one.
inline constexpr uint32_t kIdxIsPage = 16;
inline constexpr uint32_t kIdxLeaf = 17;
inline constexpr uint32_t kIdxLevel = 18;
inline constexpr uint32_t kIdxRefsOnly = 19;
inline constexpr uint32_t kIdxNumber = 20;    // u16
inline constexpr uint32_t kIdxKeyLength = 22; // u16
inline constexpr uint32_t kIdxCount = 24;
inline constexpr uint32_t kIdxMaxCount = 28;
inline constexpr uint32_t kIdxFirstChild = 32;
inline constexpr uint32_t kIdxBody = 36;
// Index header block arrays (256 entries each).
inline constexpr uint32_t kIxhKeyLength = 36;   // u16
inline constexpr uint32_t kIxhFlags = 548;      // u8
inline constexpr uint32_t kIxhKeyCount = 804;   // u32
inline constexpr uint32_t kIxhRoot = 1828;      // u32
inline constexpr uint32_t kIxhPageCount = 2852; // u32
inline constexpr uint8_t kIxFlagDups = 1;
inline constexpr uint8_t kIxFlagRefsOnly = 2;
inline constexpr int kMaxKeyPathLevels = 32;

// Key order of an index: -1, 0 or 1.
using TqbKeyCompare = int (*)(const uint8_t* Key1, const uint8_t* Key2, const void* CompareData);

// What the index operations work on.
struct TqbIndexData {
    TbtdFileInfo* FileInfo = nullptr;
    int32_t IndexNo = 0;
    TqbKeyCompare Compare = nullptr; // unused for references-only indexes
    const void* CompareData = nullptr;
    // The compare routine looks at only part of the key (a search): a found entry is moved back
    // to the first of the equal ones.
    bool PartialKey = false;
};

enum TqbKeyPathPosition : uint32_t {
    kpNone = 0,
    kpBOF = 1,
    kpGapBefore = 2,
    kpGapAfter = 3,
    kpOnKey = 4,
    kpEOF = 5,
};

struct TqbKeyPathLevel {
    uint32_t Page;
    int32_t Element;
};

// A position in an index: the pages and elements from the root down.
struct TqbKeyPath {
    TqbKeyPathLevel Levels[kMaxKeyPathLevels];
    uint32_t LevelCount;
    uint32_t Position;
    uint32_t Stamp; // of the index header block when last positioned
};
static_assert(sizeof(TqbKeyPath) == 268);

// The largest key count of a page (always odd).
uint32_t IndexMaxKeys(uint32_t BlockSize, uint32_t KeyLength, bool RefsOnly, bool Leaf);

void IndexHeaderCreate(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction);
void IndexHeaderAddIndex(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, int32_t IndexNo,
                         bool RefsOnly, bool AllowDups, uint32_t KeyLength);
// Moves every array entry of the later indexes down by one, the key counts with them.
void IndexHeaderDeleteIndex(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, int32_t IndexNo);

// False when the entry is already there (with duplicates: the same key and reference).
bool IndexInsertKey(const TqbIndexData& IndexData, TqbSrTransaction* Transaction, const uint8_t* Key,
                    uint64_t RefNr);
// False when the entry is not there. An emptied root is dropped whatever the answer.
bool IndexDeleteKey(const TqbIndexData& IndexData, TqbSrTransaction* Transaction, const uint8_t* Key,
                    uint64_t RefNr);
void IndexClear(const TqbIndexData& IndexData, TqbSrTransaction* Transaction);
// Mode 0 exact, 1 into the gap, 2 past the equal keys, 3 onto the next entry. RefNr 0 with
// duplicates: any reference (the path rests on the first equal entry). RefNr receives the
// reference of the entry found; FoundKey, when given, its key when an equal entry was met (always
// so for mode 0 answering true).
bool IndexFindKey(const TqbIndexData& IndexData, TqbSrTransaction* Transaction, const uint8_t* Key,
                  uint64_t& RefNr, int Mode, TqbKeyPath& KeyPath, uint8_t* FoundKey = nullptr);
// Key and RefNr hold the current entry on entry (a path whose stamp differs from the index
// header block's is positioned on them again first) and the next (prior) one on return.
bool IndexNextKey(const TqbIndexData& IndexData, TqbSrTransaction* Transaction, TqbKeyPath& KeyPath,
                  uint8_t* Key, uint64_t& RefNr);
bool IndexPriorKey(const TqbIndexData& IndexData, TqbSrTransaction* Transaction, TqbKeyPath& KeyPath,
                   uint8_t* Key, uint64_t& RefNr);
void KeyPathClear(TqbKeyPath& KeyPath);
void KeyPathToBegin(TqbKeyPath& KeyPath);
void KeyPathToEnd(TqbKeyPath& KeyPath);

// Header entries of one index.
struct TqbIndexHeaderEntry {
    uint32_t KeyLength = 0;
    uint8_t Flags = 0;
    uint32_t KeyCount = 0;
    uint32_t Root = kNoBlock;
    uint32_t PageCount = 0;
};
TqbIndexHeaderEntry IndexHeaderEntry(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, int32_t IndexNo);
