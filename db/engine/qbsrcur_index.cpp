// The index cursor: moves along a B-tree index with ranges, key searches, bookmarks, index
// switching, record counts, and record insert and modify that keep the cursor's place.
#include "db/engine/qbsrcur_cursor.h"

#include "db/base/qbhash.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbtbdata.h"

#include <algorithm>
#include <cstring>

namespace {

int signedRefCompare(uint64_t a, uint64_t b) {
    return int64_t(a) < int64_t(b) ? -1 : (int64_t(a) > int64_t(b) ? 1 : 0);
}

// Room for one key: on the stack for every key length an index can have.
class KeyRoom {
public:
    explicit KeyRoom(int32_t length) : n_(size_t(std::max(length, 0))) {
        if (n_ > sizeof local_) heap_.resize(n_);
        std::memset(data(), 0, n_);
    }
    KeyRoom(const KeyRoom&) = delete;
    KeyRoom& operator=(const KeyRoom&) = delete;
    uint8_t* data() { return n_ > sizeof local_ ? heap_.data() : local_; }
    size_t size() const { return n_; }

private:
    size_t n_;
    uint8_t local_[kMaxKeyLength];
    std::vector<uint8_t> heap_;
};

// Bookmark layout.
constexpr size_t kBmIndex = 4, kBmState = 8, kBmKeyValid = 9, kBmRef = 12, kBmKeyLength = 20, kBmKey = 24;

// Bumps the table's change counts when a write ends, however it ends.
struct IndexChangeNote {
    TqbSrBaseTable& table;
    ~IndexChangeNote() { table.NoteIndexChange(-1); }
};

} // namespace

TqbSrCursor::TqbSrCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database)
    : TqbSrBaseCursor(Host, Timeout, Database) {}

TqbSrCursor::~TqbSrCursor() {
    try {
        Close();
    } catch (...) {
    }
}

void TqbSrCursor::Close() {
    if (closed_) return;
    if (table_) NotifyExtenders(eaClose, eaNoUndo);
    TqbSrBaseCursor::Close();
}

TqbSrTablePtr TqbSrCursor::NewTable(const std::string& TableName) {
    return std::make_shared<TqbSrTable>(host_, host_.BufferManager(), database_.FolderPtr(), TableName);
}

std::shared_ptr<TqbSrBaseCursor> TqbSrCursorHost::NewCursor(TqbSrDatabase& Database, uint32_t Timeout) {
    return std::make_shared<TqbSrCursor>(*this, Timeout, Database);
}

TqbSrTable& TqbSrCursor::table() {
    return static_cast<TqbSrTable&>(*table_);
}

void TqbSrCursor::allocKeys() {
    keyLength_ = Dictionary().IndexKeyLength(index_);
    key_.assign(size_t(keyLength_), 0);
    range_ = TqbSrRange{};
    range_.StartKey.assign(size_t(keyLength_), 0);
    range_.EndKey.assign(size_t(keyLength_), 0);
    rangeActive_ = false;
}

void TqbSrCursor::Init(bool ReadWrite, uint8_t ShareMode, bool ExclContentLock) {
    TqbSrBaseCursor::Init(ReadWrite, ShareMode, ExclContentLock);
    allocKeys();
    SetToBegin();
}

void TqbSrCursor::ResolveIndex(TqbSrBaseTable& Table, const std::string& IndexName, bool ReadWrite,
                               int32_t& IndexID) {
    const TqbServerDataDict& d = Table.GetDictionary();
    int32_t index = IndexName.empty() ? IndexID : d.GetIndexFromName(IndexName);
    if (index < 0 || index >= d.IndexCount()) RaiseServerError(150, {Table.GetName(), IndexName, IndexID});
    if (ReadWrite && Table.GetFolder().ReadOnly()) RaiseServerError(163, {Table.GetName()});
    IndexID = index;
}

// ---------------------------------------------------------------------------------------------
// Keys and places in the index

bool TqbSrCursor::wholeCompositeKey(int32_t fieldCount, int32_t partialLen) {
    return partialLen == 0 && index_ > 0 && !Dictionary().IsIndexDescUserDefined(index_) &&
           (fieldCount == 0 || fieldCount >= Dictionary().IndexDesc(index_).KeyFieldCount);
}

int TqbSrCursor::compareKeys(const uint8_t* a, const uint8_t* b, int32_t fieldCount, int32_t partialLen) {
    if (index_ == 0 || (fieldCount == 0 && partialLen == 0) || Dictionary().IsIndexDescUserDefined(index_) ||
        wholeCompositeKey(fieldCount, partialLen))
        return table().CompareKeys(index_, a, b);
    return CompareCompositeKeys(a, b, MakeIndexCompareInfo(Dictionary(), index_, fieldCount, partialLen));
}

void TqbSrCursor::makeKey(bool directKey, int32_t fieldCount, int32_t partialLen, const uint8_t* keyData,
                          std::vector<uint8_t>& key) {
    key.assign(size_t(keyLength_), 0);
    makeKey(directKey, fieldCount, partialLen, keyData, key.data());
}

void TqbSrCursor::makeKey(bool directKey, int32_t fieldCount, int32_t partialLen, const uint8_t* keyData,
                          uint8_t* key) {
    if (!keyData) return;
    if (directKey) {
        std::memcpy(key, keyData, size_t(keyLength_));
        return;
    }
    // Index 0's key is the record reference: it has no field values.
    if (index_ == 0) throw EqbServerException(CompatErrorStrings().GetText(10048), 10048);
    table().BuildCompositeKey(index_, keyData, partialLen, fieldCount, key);
}

bool TqbSrCursor::settle(TqbKeyPath& path, uint8_t* foundKey, uint64_t& foundRef) {
    switch (path.Position) {
    case kpNone:
    case kpEOF:
        KeyPathToEnd(path);
        return false;
    case kpOnKey:
        path.Position = kpGapBefore;
        break;
    default:
        break;
    }
    foundRef = 0;
    if (!IndexNextKey(table().IndexData(index_), database_.Transaction(), path, foundKey, foundRef)) {
        KeyPathToEnd(path);
        return false;
    }
    path.Position = kpGapBefore;
    return true;
}

bool TqbSrCursor::search(const uint8_t* key, int32_t fieldCount, int32_t partialLen, int mode,
                         TqbKeyPath& path, uint8_t* foundKey, uint64_t& foundRef, TqbSrTransaction* t) {
    TqbIndexData d = table().IndexData(index_);
    const bool whole = (fieldCount == 0 && partialLen == 0) || wholeCompositeKey(fieldCount, partialLen);
    if (index_ > 0 && !whole && !Dictionary().IsIndexDescUserDefined(index_)) {
        // Made only for a partial comparison: the whole key's comes with the index data.
        const TqbCompositeCompareData cd = MakeIndexCompareInfo(Dictionary(), index_, fieldCount, partialLen);
        d.Compare = CompositeKeyComparer(cd);
        d.CompareData = &cd;
        d.PartialKey = true;
        return searchIndex(d, key, mode, path, foundKey, foundRef, t);
    }
    return searchIndex(d, key, mode, path, foundKey, foundRef, t);
}

bool TqbSrCursor::searchIndex(const TqbIndexData& d, const uint8_t* key, int mode, TqbKeyPath& path,
                              uint8_t* foundKey, uint64_t& foundRef, TqbSrTransaction* t) {
    uint64_t ref = 0;
    const bool found = IndexFindKey(d, t, key, ref, mode, path, foundKey);
    if (mode == 0 && !found) {
        KeyPathToEnd(path);
        return false;
    }
    if (mode == 0) {
        // An exact search stands on the entry it met: the gap before it is where settling would go.
        path.Position = kpGapBefore;
        foundRef = ref;
        return true;
    }
    std::memcpy(foundKey, key, size_t(keyLength_));
    return settle(path, foundKey, foundRef);
}

bool TqbSrCursor::seek(const uint8_t* key, uint64_t ref, TqbKeyPath& path, uint8_t* foundKey,
                       uint64_t& foundRef) {
    // No record slot starts one byte before another: (key, ref - 1) is never an entry, so the
    // search stops in the gap before the first entry at or after (key, ref).
    uint64_t probe = ref > 1 ? ref - 1 : 0;
    IndexFindKey(table().IndexData(index_), database_.Transaction(), key, probe, 1, path);
    std::memcpy(foundKey, key, size_t(keyLength_));
    if (!settle(path, foundKey, foundRef)) return false;
    // A unique index orders by key alone: an equal key of a smaller reference lies before.
    while (table().CompareKeys(index_, foundKey, key) == 0 && signedRefCompare(foundRef, ref) < 0) {
        path.Position = kpOnKey;
        if (!IndexNextKey(table().IndexData(index_), database_.Transaction(), path, foundKey, foundRef)) {
            KeyPathToEnd(path);
            return false;
        }
    }
    path.Position = kpGapBefore;
    return true;
}

void TqbSrCursor::Reposition() {
    seenChanges_ = table_->IndexChangeCount(index_);
    if (pos_.State == csEOF) {
        KeyPathToEnd(pos_.KeyPath);
        return;
    }
    if (pos_.State != csBetween && pos_.State != csOnRecord) {
        KeyPathToBegin(pos_.KeyPath);
        return;
    }
    if (!pos_.KeyValid) {
        toBegin();
        return;
    }
    std::vector<uint8_t> fk(static_cast<size_t>(keyLength_));
    uint64_t fr = 0;
    const bool found = seek(key_.data(), pos_.Ref, pos_.KeyPath, fk.data(), fr);
    const bool exact = found && fr == pos_.Ref && table().CompareKeys(index_, fk.data(), key_.data()) == 0;
    if (pos_.State == csOnRecord) {
        if (exact) {
            pos_.KeyPath.Position = kpOnKey;
        } else {
            // The entry has gone: the gap where it was.
            pos_.State = csBetween;
            pos_.Deleted = true;
        }
    }
}

void TqbSrCursor::syncPosition() {
    bool lost = pathLost_.exchange(false);
    const uint64_t noted = noted_.exchange(0);
    if (table_->IndexChangeCount(index_) != seenChanges_) lost = true;
    if (noted != 0 && noted == pos_.Ref && pos_.State == csOnRecord) lost = true;
    if (!lost) return;
    if (pos_.State == csBetween || pos_.State == csOnRecord)
        Reposition();
    else
        seenChanges_ = table_->IndexChangeCount(index_);
}

void TqbSrCursor::ensurePath() {
    if (pos_.KeyPath.Position == kpNone) Reposition();
}

void TqbSrCursor::toBegin() {
    pos_.State = csBOF;
    KeyPathToBegin(pos_.KeyPath);
    leftRecords();
}

void TqbSrCursor::toEnd() {
    pos_.State = csEOF;
    KeyPathToEnd(pos_.KeyPath);
    leftRecords();
}

void TqbSrCursor::leftRecords() {
    pos_.KeyValid = false;
    pos_.Ref = 0;
    pos_.Deleted = false;
    seenChanges_ = table_->IndexChangeCount(index_);
}

void TqbSrCursor::gapBefore(const uint8_t* key, uint64_t ref) {
    std::memcpy(key_.data(), key, size_t(keyLength_));
    pos_.Ref = ref;
    pos_.KeyValid = true;
    pos_.State = csBetween;
    pos_.Deleted = false;
    seenChanges_ = table_->IndexChangeCount(index_);
}

void TqbSrCursor::SetKeyFromRecord(const uint8_t* Record, uint8_t LockMode) {
    pos_.KeyValid = false;
    if (index_ == 0) {
        plat::StoreLE64(key_.data(), pos_.Ref);
        pos_.KeyValid = true;
        return;
    }
    if (Record)
        std::memcpy(record_.data(), Record, record_.size());
    else
        table_->GetRecord(database_.Transaction(), id_, pos_.Ref, LockMode == lmNone, false, LockMode,
                          record_.data());
    pos_.KeyValid = table().BuildKey(index_, record_.data(), key_.data());
}

// ---------------------------------------------------------------------------------------------
// Ranges

int TqbSrCursor::CompareKeyToRange(const uint8_t* Key) {
    if (!rangeActive_) return 0;
    if (range_.HasStart) {
        int c = compareKeys(Key, range_.StartKey.data(), range_.StartFieldCount, range_.StartPartialLen);
        if (c < 0 || (c == 0 && !range_.StartInclusive)) return -1;
    }
    if (range_.HasEnd) {
        int c = compareKeys(Key, range_.EndKey.data(), range_.EndFieldCount, range_.EndPartialLen);
        if (c > 0 || (c == 0 && !range_.EndInclusive)) return 1;
    }
    return 0;
}

int32_t TqbSrCursor::SetRange(bool DirectKey, int32_t StartFieldCount, int32_t StartPartialLen,
                              const uint8_t* StartKey, bool StartInclusive, int32_t EndFieldCount,
                              int32_t EndPartialLen, const uint8_t* EndKey, bool EndInclusive) {
    TqbSrRange r;
    r.HasStart = StartKey != nullptr;
    r.HasEnd = EndKey != nullptr;
    try {
        makeKey(DirectKey, StartFieldCount, StartPartialLen, StartKey, r.StartKey);
        makeKey(DirectKey, EndFieldCount, EndPartialLen, EndKey, r.EndKey);
    } catch (const EqbException& e) {
        return e.ErrorCode;
    }
    r.StartFieldCount = StartFieldCount;
    r.StartPartialLen = StartPartialLen;
    r.StartInclusive = StartInclusive;
    r.EndFieldCount = EndFieldCount;
    r.EndPartialLen = EndPartialLen;
    r.EndInclusive = EndInclusive;
    range_ = std::move(r);
    SetToBegin();
    rangeActive_ = true;
    return 0;
}

int32_t TqbSrCursor::ResetRange() {
    rangeActive_ = false;
    return 0;
}

// A place outside the range is first brought to the range's near end, so that a move never
// returns an entry outside it, wherever it starts. False when nothing lies in that direction.
bool TqbSrCursor::clampToRange(bool forward) {
    if (!rangeActive_) return true;
    const bool placed = pos_.State == csBetween || pos_.State == csOnRecord;
    std::vector<uint8_t> fk(static_cast<size_t>(keyLength_));
    uint64_t fr = 0;
    if (forward && range_.HasStart) {
        bool before = pos_.State == csBOF || pos_.State == csUnknown;
        if (placed && pos_.KeyValid) {
            int c = compareKeys(key_.data(), range_.StartKey.data(), range_.StartFieldCount,
                                range_.StartPartialLen);
            before = c < 0 || (c == 0 && !range_.StartInclusive);
        }
        if (!before) return true;
        if (!search(range_.StartKey.data(), range_.StartFieldCount, range_.StartPartialLen,
                    range_.StartInclusive ? 3 : 2, pos_.KeyPath, fk.data(), fr, database_.Transaction()))
            return false;
        gapBefore(fk.data(), fr);
    } else if (!forward && range_.HasEnd) {
        bool after = pos_.State == csEOF;
        if (placed && pos_.KeyValid) {
            int c =
                compareKeys(key_.data(), range_.EndKey.data(), range_.EndFieldCount, range_.EndPartialLen);
            after = c > 0 || (c == 0 && !range_.EndInclusive);
        }
        if (!after) return true;
        // The gap before the first entry past the end (inclusive) or at the end (exclusive).
        if (search(range_.EndKey.data(), range_.EndFieldCount, range_.EndPartialLen,
                   range_.EndInclusive ? 2 : 3, pos_.KeyPath, fk.data(), fr, database_.Transaction()))
            gapBefore(fk.data(), fr);
        else {
            toEnd();
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Moves

int32_t TqbSrCursor::advance(uint8_t* buf, bool forward) {
    TqbSrTransaction* t = database_.Transaction();
    TqbIndexData d = table().IndexData(index_);
    if (filter_) filter_->BeginTimeout();
    std::vector<uint8_t> k(key_);
    for (;;) {
        uint64_t r = pos_.Ref;
        const bool ok = forward ? IndexNextKey(d, t, pos_.KeyPath, k.data(), r)
                                : IndexPriorKey(d, t, pos_.KeyPath, k.data(), r);
        if (!ok) {
            forward ? toEnd() : toBegin();
            return forward ? 8706 : 8705;
        }
        std::memcpy(key_.data(), k.data(), k.size());
        pos_.Ref = r;
        pos_.State = csOnRecord;
        pos_.Deleted = false;
        pos_.KeyValid = true;
        if (rangeActive_) {
            const int c = CompareKeyToRange(key_.data());
            if (forward && c > 0) {
                toEnd();
                return 8706;
            }
            if (!forward && c < 0) {
                toBegin();
                return 8705;
            }
        }
        if (!filter_ && !(forward && overriding_ && savedFilter_)) return 0;
        table_->GetRecord(t, id_, r, true, false, lmNone, buf);
        if (filter_ && !filter_->MatchesRecord(buf)) {
            int32_t rc;
            if (filter_->TimedOut(rc)) return rc;
            continue;
        }
        if (forward && overriding_ && savedFilter_ && !savedFilter_->MatchesRecord(buf)) continue;
        return 0;
    }
}

int32_t TqbSrCursor::step(uint8_t* Record, uint8_t LockMode, bool forward) {
    if (forward && pos_.State == csEOF) return 8706;
    if (!forward && pos_.State == csBOF) return 8705;
    uint8_t* buf = Record ? Record : record_.data();
    uint64_t ref;
    {
        TqbSrContentLock g(*this, 1);
        std::lock_guard lk(padlock_);
        syncPosition();
        if (!clampToRange(forward)) {
            toEnd();
            return 8706;
        }
        ensurePath();
        cmpFieldCount_ = cmpPartialLen_ = 0;
        if (int32_t rc = advance(buf, forward)) return rc;
        ref = pos_.Ref;
        if (!filter_ && !(forward && overriding_ && savedFilter_))
            table_->GetRecord(database_.Transaction(), id_, ref, true, false, lmNone, buf);
    }
    if (Record) std::memcpy(record_.data(), Record, record_.size());
    if (LockMode != lmNone) {
        table_->GetRecord(database_.Transaction(), id_, ref, false, false, LockMode, buf);
        lockedRef_ = ref;
    }
    return 0;
}

int32_t TqbSrCursor::RecordGetNext(uint8_t* Record, uint8_t LockMode) {
    return step(Record, LockMode, true);
}

int32_t TqbSrCursor::RecordGetPrior(uint8_t* Record, uint8_t LockMode) {
    return step(Record, LockMode, false);
}

int32_t TqbSrCursor::SetToBegin() {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    pathLost_.store(false);
    toBegin();
    return 0;
}

int32_t TqbSrCursor::SetToEnd() {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    pathLost_.store(false);
    toEnd();
    return 0;
}

int32_t TqbSrCursor::SetToKey(int SearchAction, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                              const uint8_t* KeyData) {
    std::vector<uint8_t> k;
    try {
        makeKey(DirectKey, FieldCount, PartialLen, KeyData, k);
    } catch (const EqbException& e) {
        return e.ErrorCode;
    }
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    syncPosition();
    pos_.Ref = 0;
    pos_.Deleted = false;
    cmpFieldCount_ = FieldCount;
    cmpPartialLen_ = PartialLen;
    // "Into the gap" (1) comes to the same place as "at or after" (3) for a cursor.
    const int mode = SearchAction == 0 ? 0 : (SearchAction == 2 ? 2 : 3);
    std::vector<uint8_t> fk(static_cast<size_t>(keyLength_));
    uint64_t fr = 0;
    if (!search(k.data(), FieldCount, PartialLen, mode, pos_.KeyPath, fk.data(), fr,
                database_.Transaction())) {
        if (mode == 0) {
            toBegin();
            return 8710;
        }
        toEnd();
        return 0;
    }
    const int c = CompareKeyToRange(fk.data());
    if (c != 0) {
        c < 0 ? toBegin() : toEnd();
        return mode == 0 ? 8710 : 0;
    }
    gapBefore(fk.data(), fr);
    if (!filter_) return 0;
    table_->GetRecord(database_.Transaction(), id_, fr, true, false, lmNone, record_.data());
    if (filter_->MatchesRecord(record_.data())) return 0;
    if (mode == 0) {
        toBegin();
        return 8710;
    }
    // Before the next record that passes.
    const int32_t rc = advance(record_.data(), true);
    if (rc == 15444) return rc;
    if (rc != 0) {
        toEnd();
        return 0;
    }
    pos_.State = csBetween;
    pos_.KeyPath.Position = kpGapBefore;
    return 0;
}

int32_t TqbSrCursor::RecordGetForKey(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                     const uint8_t* KeyData, uint8_t* Record, bool FirstCall) {
    return getForKey(DirectKey, FieldCount, PartialLen, KeyData, Record, FirstCall, nullptr);
}

int32_t TqbSrCursor::RecordGetForKeyWithBookmark(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                                 const uint8_t* KeyData, uint8_t* Record, bool FirstCall,
                                                 uint8_t* Bookmark) {
    return getForKey(DirectKey, FieldCount, PartialLen, KeyData, Record, FirstCall, Bookmark);
}

int32_t TqbSrCursor::getForKey(bool DirectKey, int32_t FieldCount, int32_t PartialLen, const uint8_t* KeyData,
                               uint8_t* Record, bool FirstCall, uint8_t* Bookmark) {
    KeyRoom k(keyLength_);
    try {
        if (!DirectKey && index_ == 0) return 10048;
        makeKey(DirectKey, FieldCount, PartialLen, KeyData, k.data());
    } catch (const EqbException& e) {
        return e.ErrorCode;
    }
    uint8_t* buf = Record ? Record : record_.data();
    TqbSrTransaction* t = database_.Transaction();
    TqbSrContentLock g(*this, 1, t);
    std::lock_guard lk(padlock_);
    syncPosition();
    if (FirstCall) {
        KeyPathClear(pos_.KeyPath);
        pos_.Ref = 0;
        pos_.Deleted = false;
    }
    cmpFieldCount_ = FieldCount;
    cmpPartialLen_ = PartialLen;
    KeyRoom fk(keyLength_);
    if (filter_) filter_->BeginTimeout();
    bool first = FirstCall;
    for (;;) {
        uint64_t fr = pos_.Ref;
        bool ok;
        bool equal = false;
        if (first) {
            first = false;
            // The search leaves the path in the gap before the entry it found and reads that entry.
            ok = search(k.data(), FieldCount, PartialLen, 0, pos_.KeyPath, fk.data(), fr, t);
            if (ok) pos_.KeyPath.Position = kpOnKey;
            // A whole composite key was found with the index's own comparison: it is equal.
            equal = ok && wholeCompositeKey(FieldCount, PartialLen);
        } else {
            if (pos_.State == csEOF)
                ok = false;
            else {
                if (pos_.State == csBOF) KeyPathToBegin(pos_.KeyPath);
                ensurePath();
                std::memcpy(fk.data(), key_.data(), fk.size());
                ok = IndexNextKey(table().IndexData(index_), t, pos_.KeyPath, fk.data(), fr);
            }
        }
        if (ok && !equal) ok = compareKeys(fk.data(), k.data(), FieldCount, PartialLen) == 0;
        if (ok) ok = CompareKeyToRange(fk.data()) == 0;
        if (!ok) {
            toEnd();
            return 8710;
        }
        std::memcpy(key_.data(), fk.data(), fk.size());
        pos_.Ref = fr;
        pos_.State = csOnRecord;
        pos_.KeyValid = true;
        pos_.Deleted = false;
        seenChanges_ = table_->IndexChangeCount(index_);
        table_->GetRecord(t, id_, fr, true, false, lmNone, buf);
        if (filter_ && !filter_->MatchesRecord(buf)) {
            int32_t rc;
            if (filter_->TimedOut(rc)) return rc;
            continue;
        }
        if (Record) std::memcpy(record_.data(), Record, record_.size());
        if (Bookmark) {
            syncPosition();
            fillBookmark(Bookmark);
        }
        return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Bookmarks

int32_t TqbSrCursor::CheckBookmark(const uint8_t* Bookmark, size_t Size) {
    if (!Bookmark || Size != GetBookmarkSize()) return 10021;
    if (int32_t(plat::LoadLE32(Bookmark + kBmIndex)) != index_) return 10021;
    if (int32_t(plat::LoadLE32(Bookmark + kBmKeyLength)) != keyLength_) return 10021;
    if (plat::LoadLE32(Bookmark) != HashBytes(Bookmark + 4, size_t(keyLength_) + 20)) return 10021;
    // The checksum is no seal: what a client could make up must still make sense.
    const uint8_t state = Bookmark[kBmState], valid = Bookmark[kBmKeyValid];
    if (state > csOnRecord || valid > 1 || Bookmark[10] != 0 || Bookmark[11] != 0) return 10021;
    if ((state == csBetween || state == csOnRecord) && valid != 1) return 10021;
    return 0;
}

int32_t TqbSrCursor::GetBookmark(uint8_t* Bookmark) {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    syncPosition();
    fillBookmark(Bookmark);
    return 0;
}

void TqbSrCursor::fillBookmark(uint8_t* Bookmark) {
    std::memset(Bookmark, 0, GetBookmarkSize());
    plat::StoreLE32(Bookmark + kBmIndex, uint32_t(index_));
    Bookmark[kBmState] = pos_.State;
    Bookmark[kBmKeyValid] = pos_.KeyValid ? 1 : 0;
    plat::StoreLE64(Bookmark + kBmRef, pos_.Ref);
    plat::StoreLE32(Bookmark + kBmKeyLength, uint32_t(keyLength_));
    if (pos_.KeyValid) std::memcpy(Bookmark + kBmKey, key_.data(), size_t(keyLength_));
    plat::StoreLE32(Bookmark, HashBytes(Bookmark + 4, size_t(keyLength_) + 20));
}

int32_t TqbSrCursor::CompareBookmarks(const uint8_t* Bookmark1, size_t Size1, const uint8_t* Bookmark2,
                                      size_t Size2, int32_t& Result) {
    if (CheckBookmark(Bookmark1, Size1) || CheckBookmark(Bookmark2, Size2)) return 10021;
    // An unknown place counts as the beginning, so the order stays an order.
    auto rank = [](uint8_t s) { return s == csEOF ? 2 : (s == csBetween || s == csOnRecord ? 1 : 0); };
    const uint8_t s1 = Bookmark1[kBmState], s2 = Bookmark2[kBmState];
    const int r1 = rank(s1), r2 = rank(s2);
    if (r1 != r2 || r1 != 1) {
        Result = r1 < r2 ? -1 : (r1 > r2 ? 1 : 0);
        return 0;
    }
    int c = table().CompareKeys(index_, Bookmark1 + kBmKey, Bookmark2 + kBmKey);
    if (c == 0) c = signedRefCompare(plat::LoadLE64(Bookmark1 + kBmRef), plat::LoadLE64(Bookmark2 + kBmRef));
    // The gap before an entry comes before the entry.
    if (c == 0 && s1 != s2) c = s1 == csBetween ? -1 : 1;
    Result = c;
    return 0;
}

int32_t TqbSrCursor::SetToBookmark(const uint8_t* Bookmark, size_t Size) {
    if (int32_t rc = CheckBookmark(Bookmark, Size)) return rc;
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    syncPosition();
    const uint8_t state = Bookmark[kBmState];
    // The ends are places of their own: no record is read for them.
    if (state == csEOF) {
        toEnd();
        return 0;
    }
    if (state != csBetween && state != csOnRecord) {
        toBegin();
        return 0;
    }
    std::memcpy(key_.data(), Bookmark + kBmKey, size_t(keyLength_));
    pos_.Ref = plat::LoadLE64(Bookmark + kBmRef);
    pos_.KeyValid = true;
    pos_.Deleted = false;
    pos_.State = csOnRecord;
    Reposition();
    // A gap stands before its entry; when that entry went, the place says so.
    if (state == csBetween) {
        if (pos_.State == csOnRecord) pos_.KeyPath.Position = kpGapBefore;
        pos_.State = csBetween;
    }
    return 0;
}

int32_t TqbSrCursor::SetToCursor(TqbSrBaseCursor& SourceCursor) {
    auto* s = dynamic_cast<TqbSrCursor*>(&SourceCursor);
    if (!s || s->table_ != table_) return 10020;
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    // The source's own place first: its record may have gone since its last step.
    s->syncPosition();
    if (s->index_ == index_) {
        pos_ = s->pos_;
        if (pos_.KeyValid) key_ = s->key_;
        if (pos_.State == csBetween || pos_.State == csOnRecord) {
            KeyPathClear(pos_.KeyPath);
            if (pos_.KeyValid && CompareKeyToRange(key_.data()) != 0) {
                pos_.State = csBetween;
                pos_.Deleted = false;
            }
        }
        seenChanges_ = table_->IndexChangeCount(index_) - 1; // found again at the next step
        return 0;
    }
    if (s->pos_.State != csOnRecord || s->pos_.Deleted) return 8709;
    pos_.Ref = s->pos_.Ref;
    pos_.State = csOnRecord;
    pos_.Deleted = false;
    SetKeyFromRecord(nullptr, lmNone);
    KeyPathClear(pos_.KeyPath);
    Reposition();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Inserts and modifies

int32_t TqbSrCursor::insert(const uint8_t* Record, uint8_t LockMode, bool defaults) {
    return insertNotified(Record, LockMode, defaults, [&](uint64_t ref, TqbSrTransaction& t) {
        std::lock_guard lk(padlock_);
        pathLost_.store(false);
        KeyPathClear(pos_.KeyPath);
        pos_.State = csOnRecord;
        pos_.Ref = ref;
        pos_.Deleted = false;
        // The stored record: defaults and the auto-increment value may be in the key.
        SetKeyFromRecord(nullptr, lmNone);
        table_->RelaxRecordLock(id_, ref, &t);
        // The key path is found when a step needs it (ensurePath): a run of inserts seeks no key.
        seenChanges_ = table_->IndexChangeCount(index_);
    });
}

int32_t TqbSrCursor::RecordInsert(const uint8_t* Record, uint8_t LockMode) {
    return insert(Record, LockMode, true);
}

int32_t TqbSrCursor::RecordInsertNoDefault(const uint8_t* Record, uint8_t LockMode) {
    return insert(Record, LockMode, false);
}

int32_t TqbSrCursor::RecordModify(const uint8_t* Record, bool RelLock) {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    TqbSrContentLock g(*this, 2);
    uint64_t ref;
    {
        // Left before the table's write, which takes the table's portal: the padlock lies inside it.
        std::lock_guard lk(padlock_);
        syncPosition();
        if (pos_.Deleted) return 8708;
        if (pos_.State != csOnRecord) return pos_.State == csBOF ? 8705 : (pos_.State == csEOF ? 8706 : 8709);
        ref = pos_.Ref;
    }
    // What extenders see as the old record is the stored one.
    std::vector<uint8_t> old(record_.size());
    table_->GetRecord(t, id_, ref, true, false, lmNone, old.data());
    oldRecord_ = old.data();
    newRecord_ = Record;
    auto clear = [&] { oldRecord_ = newRecord_ = nullptr; };
    if (int32_t rc = NotifyExtenders(eaModify, eaModifyFailed)) {
        clear();
        return rc;
    }
    try {
        {
            IndexChangeNote note{*table_};
            table().ModifyRecord(*t, id_, ref, RelLock, Record, explicitTransaction(), DatabaseID());
        }
        if (!RelLock) table_->RelaxRecordLock(id_, ref, t);
        std::lock_guard lk(padlock_);
        std::vector<uint8_t> oldKey(key_);
        const bool oldValid = pos_.KeyValid;
        SetKeyFromRecord(nullptr, lmNone);
        // A key that left the range leaves the cursor where the record was.
        if (pos_.KeyValid && oldValid && table().CompareKeys(index_, oldKey.data(), key_.data()) != 0 &&
            CompareKeyToRange(key_.data()) != 0) {
            key_ = oldKey;
            pos_.State = csBetween;
        } else {
            pos_.State = csOnRecord;
        }
        pathLost_.store(false);
        KeyPathClear(pos_.KeyPath);
        Reposition();
    } catch (...) {
        // The lock the failed modify took stays the transaction's, not this cursor's alone, so the
        // transaction's other cursors may still write the record.
        try {
            table_->RelaxRecordLock(id_, ref, t);
        } catch (...) {
        }
        NotifyExtenders(eaModifyFailed, eaNoUndo);
        clear();
        throw;
    }
    NotifyExtenders(eaModified, eaNoUndo);
    clear();
    return 0;
}

int32_t TqbSrCursor::RecordExtractKey(const uint8_t* Record, uint8_t* Key) {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    const uint8_t* rec = Record;
    if (!rec) {
        syncPosition();
        if (pos_.State != csOnRecord || pos_.Deleted) return 8709;
        table_->GetRecord(database_.Transaction(), id_, pos_.Ref, true, false, lmNone, record_.data());
        if (!passesFilter(record_.data())) return 8709;
        rec = record_.data();
    }
    if (index_ == 0) {
        plat::StoreLE64(Key, pos_.Ref);
        return 0;
    }
    std::memset(Key, 0, size_t(keyLength_));
    table().BuildKey(index_, rec, Key);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Indexes and counts

int32_t TqbSrCursor::SwitchToIndex(int32_t IndexID, bool PosnOnRec) {
    if (IndexID < 0 || IndexID >= Dictionary().IndexCount()) return 9997;
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    syncPosition();
    if (PosnOnRec && (pos_.State != csOnRecord || pos_.Deleted)) return 8709;
    index_ = IndexID;
    allocKeys();
    cmpFieldCount_ = cmpPartialLen_ = 0;
    if (!PosnOnRec) {
        toBegin();
        return 0;
    }
    SetKeyFromRecord(nullptr, lmNone);
    KeyPathClear(pos_.KeyPath);
    Reposition();
    return 0;
}

int32_t TqbSrCursor::TableAddIndex(const TqbIndexDesc& IndexDesc) {
    if (int32_t rc = CheckExclusiveWrite()) return rc;
    if (IndexDesc.KeyFieldCount == kUserDefinedKey) return 10048;
    if (!Dictionary().IsIndexDescValid(IndexDesc)) return 10023;
    if (Dictionary().GetIndexFromName(IndexDesc.Name) >= 0) return 10027;
    if (Dictionary().IndexCount() >= 256) return 9487;
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    TqbSrContentLock g(*this, 2);
    IndexChangeNote note{*table_};
    table().AddIndex(*t, IndexDesc);
    return 0;
}

int32_t TqbSrCursor::TableDropIndex(const std::string& IndexName, int32_t IndexID) {
    int32_t index = IndexName.empty() ? IndexID : Dictionary().GetIndexFromName(IndexName);
    if (index < 1 || index >= Dictionary().IndexCount()) return 9997;
    if (index == index_) return 10035;
    if (int32_t rc = CheckExclusiveWrite()) return rc;
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    TqbSrContentLock g(*this, 2);
    IndexChangeNote note{*table_};
    table().DropIndex(*t, index);
    // The later indexes moved down by one: so do the cursors that use them.
    for (auto& o : table_->GetCursorList().Snapshot())
        if (auto* c = dynamic_cast<TqbSrCursor*>(o.get()); c && c->index_ > index) --c->index_;
    return 0;
}

int32_t TqbSrCursor::IndexEmpty() {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    cmpFieldCount_ = cmpPartialLen_ = 0;
    TqbSrContentLock g(*this, 2);
    IndexChangeNote note{*table_};
    IndexClear(table().IndexData(index_), t);
    return 0;
}

int32_t TqbSrCursor::TableGetRecordCount(uint32_t& Count) {
    Count = 0;
    TqbSrTransaction* t = database_.Transaction();
    TqbSrContentLock g(*this, 1);
    if (!rangeActive_ && !filter_) {
        TqbDataFileInfo info;
        DataFileGetRecordInfo(*table_->GetFile(0), t, info);
        Count = info.RecordCount;
        return 0;
    }
    // A walk of its own: the cursor's place is untouched.
    TqbKeyPath path;
    KeyPathToBegin(path);
    std::vector<uint8_t> k(static_cast<size_t>(keyLength_));
    uint64_t r = 0;
    if (rangeActive_ && range_.HasStart) {
        if (!search(range_.StartKey.data(), range_.StartFieldCount, range_.StartPartialLen,
                    range_.StartInclusive ? 3 : 2, path, k.data(), r, database_.Transaction()))
            return 0;
    }
    TqbIndexData d = table().IndexData(index_);
    for (;;) {
        if (ThreadTimeRemaining() == 1) RaiseServerError(190);
        if (!IndexNextKey(d, t, path, k.data(), r)) break;
        if (CompareKeyToRange(k.data()) > 0) break;
        if (filter_) {
            table_->GetRecord(t, id_, r, true, false, lmNone, record_.data());
            if (!filter_->MatchesRecord(record_.data())) continue;
        }
        ++Count;
    }
    return 0;
}

int32_t TqbSrCursor::Clone(bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor) {
    return CloneOn(database_, ReadWrite, Cursor);
}

int32_t TqbSrCursor::CloneOn(TqbSrDatabase& Database, bool ReadWrite,
                             std::shared_ptr<TqbSrBaseCursor>& Cursor) {
    auto c = std::make_shared<TqbSrCursor>(host_, Timeout(), Database);
    c->Open(table_->GetName(), "", index_, ReadWrite && readWrite_, qbsmShared, table_->GetKeySelection(),
            false, false);
    c->pos_ = pos_;
    c->key_ = key_;
    if (c->pos_.State == csBetween || c->pos_.State == csOnRecord) KeyPathClear(c->pos_.KeyPath);
    c->range_ = range_;
    c->rangeActive_ = rangeActive_;
    if (filter_) c->SetFilter(filter_->Expression().data(), filter_->Expression().size(), filter_->Timeout());
    Cursor = c;
    return 0;
}
