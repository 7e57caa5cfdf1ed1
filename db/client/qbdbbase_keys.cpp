// The table's index, key buffers, key search, ranges, Locate and Lookup, index definitions and the
// master/detail link.
#include "db/client/qbdbbase.h"

#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>

namespace {

// A saved range, as the range stack keeps it: cursor, key kind, both ends' field count, partial
// length, key length and inclusive flag, then both keys.
struct RangeRecord {
    uint32_t cursor = 0;
    bool direct = false;
    int32_t startCount = 0, startPartial = 0;
    bool startInclusive = true;
    int32_t endCount = 0, endPartial = 0;
    bool endInclusive = true;
    std::vector<uint8_t> startKey, endKey;
};
constexpr size_t kRangeHeader = 31;

void saveRange(TqbTableRangeStack& stack, const RangeRecord& r) {
    const size_t size = kRangeHeader + r.startKey.size() + r.endKey.size();
    void* p = nullptr;
    PoolGetMem(p, uint32_t(size));
    auto* b = static_cast<uint8_t*>(p);
    plat::StoreLE32(b, r.cursor);
    b[4] = r.direct;
    plat::StoreLE32(b + 5, uint32_t(r.startCount));
    plat::StoreLE32(b + 9, uint32_t(r.startPartial));
    plat::StoreLE32(b + 13, uint32_t(r.startKey.size()));
    b[17] = r.startInclusive;
    plat::StoreLE32(b + 18, uint32_t(r.endCount));
    plat::StoreLE32(b + 22, uint32_t(r.endPartial));
    plat::StoreLE32(b + 26, uint32_t(r.endKey.size()));
    b[30] = r.endInclusive;
    if (!r.startKey.empty()) std::memcpy(b + kRangeHeader, r.startKey.data(), r.startKey.size());
    if (!r.endKey.empty())
        std::memcpy(b + kRangeHeader + r.startKey.size(), r.endKey.data(), r.endKey.size());
    stack.SetCurrent(p, int32_t(size));
}

bool loadRange(const void* p, int32_t size, RangeRecord& r) {
    if (!p || size < int32_t(kRangeHeader)) return false;
    const auto* b = static_cast<const uint8_t*>(p);
    r.cursor = plat::LoadLE32(b);
    r.direct = b[4] != 0;
    r.startCount = int32_t(plat::LoadLE32(b + 5));
    r.startPartial = int32_t(plat::LoadLE32(b + 9));
    const uint32_t startLen = plat::LoadLE32(b + 13);
    r.startInclusive = b[17] != 0;
    r.endCount = int32_t(plat::LoadLE32(b + 18));
    r.endPartial = int32_t(plat::LoadLE32(b + 22));
    const uint32_t endLen = plat::LoadLE32(b + 26);
    r.endInclusive = b[30] != 0;
    if (uint64_t(kRangeHeader) + startLen + endLen > uint64_t(size)) return false;
    r.startKey.assign(b + kRangeHeader, b + kRangeHeader + startLen);
    r.endKey.assign(b + kRangeHeader + startLen, b + kRangeHeader + startLen + endLen);
    return true;
}

bool isText(cls::TFieldType t) {
    return t == cls::ftString || t == cls::ftFixedChar || t == cls::ftWideString;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and opening

TqbBaseTable::TqbBaseTable(cls::TComponent* AOwner) : TqbDataSet(AOwner), indexDefs_(this) {
    masterLink_ = std::make_unique<cls::TMasterDataLink>(this);
    masterLink_->OnMasterChange = [this](cls::TMasterDataLink*) { masterChanged(); };
    masterLink_->OnMasterDisable = [this](cls::TMasterDataLink*) { masterDisabled(); };
}

TqbBaseTable::~TqbBaseTable() {
    try {
        Close();
    } catch (...) {
        cursorID_ = 0;
    }
}

void TqbBaseTable::SetTableName(const std::string& value) {
    indexDefs_.Updated = false;
    TqbDataSet::SetTableName(value);
}

void TqbBaseTable::InternalOpen() {
    SuppressDataEvents = false;
    if (byFieldNames_ && !indexFieldNames_.empty()) {
        // The index whose leading fields these are, found in the dictionary just read.
        const std::vector<std::string> wanted = cls::SplitFieldNames(indexFieldNames_);
        int32_t found = -1;
        for (int32_t i = 1; i < dict_.IndexCount() && found < 0; ++i) {
            const TqbIndexDesc& x = dict_.IndexDesc(i);
            if (x.KeyFieldCount == kUserDefinedKey || x.KeyFieldCount < int32_t(wanted.size())) continue;
            bool same = true;
            for (size_t k = 0; k < wanted.size() && same; ++k)
                same = cls::SameText(dict_.FieldName(x.KeyFields[k]), wanted[k]);
            if (same) found = i;
        }
        if (found < 0) Check(kQbIndexDoesNotExist);
        Check(Engine()->CursorSwitchToIndex(cursorID_, dict_.IndexName(found), 0, false));
        indexNumber_ = found;
        indexName_ = dict_.IndexName(found);
    }
    TqbDataSet::InternalOpen();
}

void TqbBaseTable::InitIndexInfo() {
    indexID_ = std::clamp(indexNumber_, 0, std::max(dict_.IndexCount() - 1, 0));
    keyFieldNumbers_.clear();
    keyFieldCount_ = 0;
    userDefinedKey_ = false;
    if (dict_.IndexCount() == 0) return;
    const TqbIndexDesc& x = dict_.IndexDesc(indexID_);
    userDefinedKey_ = x.KeyFieldCount == kUserDefinedKey;
    if (!userDefinedKey_) {
        keyFieldCount_ = std::clamp(x.KeyFieldCount, 0, int32_t(kMaxKeyFields));
        keyFieldNumbers_.assign(x.KeyFields.begin(), x.KeyFields.begin() + keyFieldCount_);
    }
    keyCaseInsensitive_ = x.IsCaseInsensitive;
    keyLength_ = x.KeyLength;
    SetCursorBookmarkSize(uint32_t(dict_.GetBookmarkSize(indexID_)));
}

void TqbBaseTable::AllocKeyBuffers() {
    blankKey_.clear();
    for (TqbKeyBuffer& kb : keys_)
        initKeyBuffer(kb);
    keyBuffer_ = &keys_[kbLookup];
}

void TqbBaseTable::ResetIndexState() {
    if (lookupCursor_ && cursorID_) {
        try {
            Engine()->CursorClose(lookupCursor_);
        } catch (...) {
        }
    }
    lookupCursor_ = 0;
    lookupFields_.clear();
    keyFieldNumbers_.clear();
    keyFieldCount_ = 0;
    for (TqbKeyBuffer& kb : keys_)
        kb = TqbKeyBuffer{};
    keyBuffer_ = nullptr;
    blankKey_.clear();
    rangeStack_.Clear();
}

cls::TRecordBuffer TqbBaseTable::GetActiveRecBuf() {
    if (State() == cls::dsSetKey)
        return keyBuffer_ && !keyBuffer_->Image.empty() ? reinterpret_cast<char*>(keyBuffer_->Image.data())
                                                        : nullptr;
    return TqbDataSet::GetActiveRecBuf();
}

void TqbBaseTable::SetFieldData(cls::TField* field, const void* buffer) {
    if (State() == cls::dsSetKey && field->FieldNo() >= 1) {
        const auto it = std::find(keyFieldNumbers_.begin(), keyFieldNumbers_.end(), field->FieldNo() - 1);
        const int32_t pos = int32_t(it - keyFieldNumbers_.begin());
        const int32_t limit =
            keyBuffer_ && keyBuffer_->FieldCount > 0 ? keyBuffer_->FieldCount : keyFieldCount_;
        if (it == keyFieldNumbers_.end() || pos >= limit) Raise(kDsNotKeyField);
    }
    TqbDataSet::SetFieldData(field, buffer);
}

void TqbBaseTable::DataEvent(cls::TDataEvent event, intptr_t info) {
    if (SuppressDataEvents) return;
    if (event == cls::dePropertyChange) indexDefs_.Updated = false;
    TqbDataSet::DataEvent(event, info);
}

// ---------------------------------------------------------------------------------------------
// Index definitions and switching

cls::TIndexDefs& TqbBaseTable::IndexDefs() {
    indexDefs_.Update();
    return indexDefs_;
}

void TqbBaseTable::UpdateIndexDefs() {
    TqbDataDictionary d;
    if (IsCursorOpen()) {
        d = dict_;
    } else {
        TqbBaseDatabase* db = TableProxy()->Database();
        if (!db) Raise(kDsNoDatabase);
        if (TableName().empty()) Raise(kDsUnnamedTable);
        db->Open();
        cls::TMemoryStream stream;
        db->GetTableDictionary(TableName(), stream);
        d.ReadFromStream(
            std::string_view(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size())));
    }
    indexDefs_.Clear();
    for (int32_t i = 0; i < d.IndexCount(); ++i) {
        TqbIndexDescRec x;
        EngineIndexToIndexDesc(d.IndexDesc(i), x);
        std::string fields;
        for (int k = 0; k < x.FldsInKey; ++k) {
            if (k) fields += ";";
            fields += d.FieldName(x.KeyFields[k] - 1);
        }
        cls::TIndexOptions options = 0;
        if (x.Primary) options |= cls::ixPrimary;
        if (x.Unique) options |= cls::ixUnique;
        if (x.Descending) options |= cls::ixDescending;
        if (x.CaseInsensitive) options |= cls::ixCaseInsensitive;
        if (x.ExpIdx) options |= cls::ixExpression;
        indexDefs_.Add(x.Name, fields, options);
    }
    indexDefs_.Updated = true;
}

void TqbBaseTable::switchToIndex(const std::string& name) {
    ResetRangeAndKeyBuffers();
    TqbBaseServerEngine* e = Engine();
    TqbResultCode r = e->CursorSwitchToIndex(cursorID_, name, 0, true);
    if (r == kQbNoCurrentRecord) r = e->CursorSwitchToIndex(cursorID_, name, 0, false);
    Check(r);
    indexNumber_ = dict_.GetIndexFromName(name);
    rangeStack_.Clear();
    InitIndexInfo();
    MasterHook();
}

void TqbBaseTable::SetIndexName(const std::string& value) {
    if (!byFieldNames_ && (value == indexName_ || cls::SameText(value, indexName_))) return;
    if (Active()) {
        CheckBrowseMode();
        const std::string name = value.empty() ? dict_.IndexName(0) : value;
        if (IndexDefs().IndexOf(name) < 0) Check(kQbIndexDoesNotExist);
        switchToIndex(name);
    }
    indexName_ = value;
    byFieldNames_ = false;
    indexFieldNames_.clear();
    if (Active()) Resync(0);
}

void TqbBaseTable::SetIndexFieldNames(const std::string& value) {
    if (byFieldNames_ && cls::SameText(value, indexFieldNames_)) return;
    if (cls::Trim(value).empty()) {
        byFieldNames_ = false;
        indexFieldNames_.clear();
        SetIndexName("");
        return;
    }
    std::string name;
    if (Active()) {
        CheckBrowseMode();
        cls::TIndexDef& def = IndexDefs().FindIndexForFields(value);
        name = def.Name;
        switchToIndex(name);
    }
    indexName_ = name;
    indexFieldNames_ = value;
    byFieldNames_ = true;
    if (Active()) Resync(0);
}

// ---------------------------------------------------------------------------------------------
// Key buffers and key search

void TqbBaseTable::initKeyBuffer(TqbKeyBuffer& kb) {
    // Every key search clears its buffer: the cleared image is made once and copied.
    const size_t size = size_t(RecordBufferSize());
    if (blankKey_.size() != size) {
        blankKey_.assign(size, 0);
        if (int32_t(size) >= dict_.RecordLength() && dict_.FieldCount() > 0) {
            dict_.InitRecord(blankKey_.data());
            dict_.SetDefaultFieldValues(blankKey_.data());
        }
    }
    kb.Image.assign(blankKey_.begin(), blankKey_.end());
    kb.FieldCount = 0;
    kb.Exclusive = false;
    kb.Modified = false;
}

cls::TField* TqbBaseTable::indexField(int i) const {
    if (i < 0 || i >= keyFieldCount_) Raise(kDsKeyFieldRange);
    cls::TField* f = FieldByNumber(keyFieldNumbers_[size_t(i)] + 1);
    if (!f) Raise(kDsKeyFieldMissing);
    return f;
}

void TqbBaseTable::setKeyFields(TqbKeyBuffer& kb, const std::vector<cls::Variant>& values) {
    if (userDefinedKey_) {
        EqbDatabaseError e = EqbDatabaseError::Create(DatasetCodeText(kDsKeyFieldMissing));
        e.ErrorCode = kDsKeyFieldMissing;
        throw e;
    }
    TqbKeyBuffer* const saved = keyBuffer_;
    keyBuffer_ = &kb;
    try {
        TempState temp(this, cls::dsSetKey);
        initKeyBuffer(kb);
        kb.FieldCount = int32_t(values.size());
        for (size_t i = 0; i < values.size(); ++i)
            indexField(int(i))->SetAsVariant(values[i]);
    } catch (...) {
        keyBuffer_ = saved;
        throw;
    }
    keyBuffer_ = saved;
}

bool TqbBaseTable::FindKey(const std::vector<cls::Variant>& keyValues) {
    CheckBrowseMode();
    setKeyFields(keys_[kbLookup], keyValues);
    return GotoKey();
}

void TqbBaseTable::SetKey() {
    CheckBrowseMode();
    keyBuffer_ = &keys_[kbLookup];
    keys_[kbSave] = *keyBuffer_;
    initKeyBuffer(*keyBuffer_);
    keyBuffer_->FieldCount = keyFieldCount_;
    SetState(cls::dsSetKey);
    TqbDataSet::DataEvent(cls::deDataSetChange, 0);
}

void TqbBaseTable::EditKey() {
    CheckBrowseMode();
    keyBuffer_ = &keys_[kbLookup];
    keys_[kbSave] = *keyBuffer_;
    if (keyBuffer_->FieldCount == 0) keyBuffer_->FieldCount = keyFieldCount_;
    SetState(cls::dsSetKey);
    TqbDataSet::DataEvent(cls::deDataSetChange, 0);
}

void TqbBaseTable::endKeyEdit(bool keep) {
    TqbDataSet::DataEvent(cls::deCheckBrowseMode, 0);
    if (keep)
        keyBuffer_->Modified = Modified();
    else
        *keyBuffer_ = keys_[kbSave];
    SetState(cls::dsBrowse);
    TqbDataSet::DataEvent(cls::deDataSetChange, 0);
}

void TqbBaseTable::Post() {
    if (State() == cls::dsSetKey) {
        UpdateRecord();
        endKeyEdit(true);
        return;
    }
    TqbDataSet::Post();
}

void TqbBaseTable::Cancel() {
    if (State() == cls::dsSetKey) {
        endKeyEdit(false);
        return;
    }
    TqbDataSet::Cancel();
}

bool TqbBaseTable::GotoKey() {
    CheckBrowseMode();
    DoBeforeScroll();
    CursorPosChanged();
    const TqbKeyBuffer& kb = keys_[kbLookup];
    uint8_t* const found = HasClientFilters() ? nullptr : FoundRowBuffer();
    const TqbResultCode r = keySearch(cursorID_, kb.Image.data(), kb.FieldCount, 0, found);
    if (r == 0) {
        resyncOnFound(found != nullptr);
        DoAfterScroll();
        return true;
    }
    if (r != kQbRecordNotFound && r != kQbServerFilterTimedOut && r != kQbEOF) Check(r);
    return false;
}

void TqbBaseTable::resyncOnFound(bool foundRowRead) {
    // The row the search read is the one the cursor is on: it is not read a second time.
    struct Drop {
        TqbBaseTable& t;
        ~Drop() { t.DropFoundRow(); }
    } drop{*this};
    if (foundRowRead) KeepFoundRow();
    Resync(cls::rmExact | cls::rmCenter);
}

TqbResultCode TqbBaseTable::keySearch(TqbHandle cursor, const uint8_t* key, int32_t fieldCount,
                                      int32_t partialLen, uint8_t* row) {
    if (!key || (cursor == cursorID_ && keyFieldCount_ == 0)) return kQbInvalidIndexType;
    TqbBaseServerEngine* e = Engine();
    const size_t recLen = static_cast<size_t>(PhysRecLen());
    std::vector<uint8_t> rec;
    if (!HasClientFilters()) {
        if (!row) {
            rec.resize(recLen);
            row = rec.data();
        }
        std::span<const uint8_t> keyBytes(key, recLen);
        std::vector<uint8_t> keyCopy;
        // A row kept for the dataset's own cursor comes with its bookmark in the same call.
        const std::span<uint8_t> bookmark = FoundBookmarkFor(cursor, row);
        bool first = true;
        for (;;) {
            const TqbResultCode r =
                bookmark.empty() ? e->RecordGetForKey(cursor, false, fieldCount, partialLen, keyBytes,
                                                      {row, recLen}, first)
                                 : e->RecordGetForKeyWithBookmark(cursor, false, fieldCount, partialLen,
                                                                  keyBytes, {row, recLen}, first, bookmark);
            if (r == 0 && !bookmark.empty()) FoundBookmarkRead();
            if (r != kQbServerFilterTimedOut) return r;
            // The time-out handler may search again and so change the key buffers.
            if (keyCopy.empty()) {
                keyCopy.assign(keyBytes.begin(), keyBytes.end());
                keyBytes = keyCopy;
            }
            if (DoServerFilterTimeout()) return r;
            first = false;
        }
    }
    // The key is copied: reading rows through the client filters reuses the search buffers.
    const std::vector<uint8_t> keyCopy(key, key + recLen);
    rec.resize(recLen);
    // The engine's key search does not see the client filters: the rows of the key are read
    // through them inside a range of that key, and the caller's range is put back on every
    // way out.
    const bool own = cursor == cursorID_;
    struct RangeRestore {
        TqbBaseTable& t;
        TqbBaseServerEngine* e;
        TqbHandle cursor;
        bool pushed = false;
        bool done = false;
        // Answers the first failure; on the way out of an exception failures are dropped.
        TqbResultCode restore() {
            done = true;
            TqbResultCode r = e->CursorResetRange(cursor);
            if (r == kQbNoAssociatedIndex) r = 0;
            if (pushed) {
                t.rangeStack_.PopToCurrent();
                RangeRecord saved;
                if (loadRange(t.rangeStack_.Current(), t.rangeStack_.CurrentSize(), saved)) {
                    const TqbResultCode r2 =
                        e->CursorSetRange(cursor, saved.direct, saved.startCount, saved.startPartial,
                                          saved.startKey, saved.startInclusive, saved.endCount,
                                          saved.endPartial, saved.endKey, saved.endInclusive);
                    if (!r) r = r2;
                }
            }
            return r;
        }
        ~RangeRestore() {
            if (!done) restore();
        }
    } guard{*this, e, cursor};
    if (own && rangeStack_.IsRangeActive()) {
        rangeStack_.Push();
        guard.pushed = true;
    }
    Check(e->CursorSetRange(cursor, false, fieldCount, partialLen, keyCopy, true, fieldCount, partialLen,
                            keyCopy, true));
    Check(e->CursorSetToBegin(cursor));
    TqbResultCode r = NextRow(cursor, qbltNone, rec.data());
    uint32_t bookmarkSize = 0;
    Check(e->CursorGetBookmarkSize(cursor, bookmarkSize));
    std::vector<uint8_t> bookmark(bookmarkSize);
    bool found = false;
    if (r == 0) {
        found = e->CursorGetBookmark(cursor, bookmark) == 0;
        if (!found) r = kQbRecordNotFound;
    }
    Check(guard.restore());
    if (found) {
        Check(e->CursorSetToBookmark(cursor, bookmark));
        if (own) MarkCursorMoved();
        return 0;
    }
    if (own) MarkCursorMoved();
    return r == kQbEOF || r == kQbBOF ? kQbRecordNotFound : r;
}

// ---------------------------------------------------------------------------------------------
// Ranges and master/detail

void TqbBaseTable::setEngineRange(const void* saved) {
    RangeRecord r;
    if (!loadRange(saved, rangeStack_.CurrentSize(), r)) return;
    Check(Engine()->CursorSetRange(cursorID_, r.direct, r.startCount, r.startPartial, r.startKey,
                                   r.startInclusive, r.endCount, r.endPartial, r.endKey, r.endInclusive));
}

void TqbBaseTable::applyRange() {
    TqbKeyBuffer& start = keys_[kbRangeStart];
    TqbKeyBuffer& end = keys_[kbRangeEnd];
    RangeRecord r;
    r.cursor = cursorID_;
    if (start.Modified) {
        r.startCount = start.FieldCount;
        r.startKey.assign(start.Image.begin(), start.Image.begin() + PhysRecLen());
    }
    r.startInclusive = !start.Exclusive;
    if (end.Modified) {
        r.endCount = end.FieldCount;
        r.endKey.assign(end.Image.begin(), end.Image.begin() + PhysRecLen());
    }
    r.endInclusive = !end.Exclusive;
    saveRange(rangeStack_, r);
    setEngineRange(rangeStack_.Current());
    initKeyBuffer(start);
    initKeyBuffer(end);
    closeLookupCursor();
    if (State() == cls::dsBrowse)
        First();
    else
        InternalFirst();
}

void TqbBaseTable::ResetRangeAndKeyBuffers() {
    if (rangeStack_.IsRangeActive()) {
        const TqbResultCode r = Engine()->CursorResetRange(cursorID_);
        rangeStack_.ClearCurrent();
        if (r != kQbNoAssociatedIndex) Check(r);
    }
    initKeyBuffer(keys_[kbRangeStart]);
    initKeyBuffer(keys_[kbRangeEnd]);
    closeLookupCursor();
}

void TqbBaseTable::SetRange(const std::vector<cls::Variant>& startValues,
                            const std::vector<cls::Variant>& endValues) {
    CheckBrowseMode();
    setKeyFields(keys_[kbRangeStart], startValues);
    keys_[kbRangeStart].Modified = !startValues.empty();
    setKeyFields(keys_[kbRangeEnd], endValues);
    keys_[kbRangeEnd].Modified = !endValues.empty();
    applyRange();
}

void TqbBaseTable::CancelRange() {
    CheckBrowseMode();
    ResetRangeAndKeyBuffers();
    First();
}

void TqbBaseTable::SetMasterSource(cls::TDataSource* source) {
    if (source && IsLinkedTo(source))
        EqbDatabaseError::RaiseErrorFmt(this, kDsCircularLink, {source->Name()});
    masterLink_->SetDataSource(source);
}

void TqbBaseTable::MasterHook() {
    if (!masterLink_->Active() || masterLink_->Fields().empty()) return;
    std::vector<cls::Variant> values;
    for (cls::TField* f : masterLink_->Fields())
        values.push_back(f->AsVariant());
    setKeyFields(keys_[kbRangeStart], values);
    keys_[kbRangeStart].Modified = true;
    keys_[kbRangeEnd] = keys_[kbRangeStart];
    applyRange();
}

void TqbBaseTable::masterChanged() {
    if (!Active()) return;
    CheckBrowseMode();
    MasterHook();
}

void TqbBaseTable::masterDisabled() {
    if (!Active()) return;
    CheckBrowseMode();
    ResetRangeAndKeyBuffers();
    First();
}

void TqbBaseTable::DoOnNewRecord() {
    if (masterLink_->Active() && !masterLink_->Fields().empty()) {
        const std::vector<cls::TField*>& master = masterLink_->Fields();
        for (size_t i = 0; i < master.size() && int(i) < keyFieldCount_; ++i)
            indexField(int(i))->SetAsVariant(master[i]->AsVariant());
    }
    TqbDataSet::DoOnNewRecord();
}

// ---------------------------------------------------------------------------------------------
// Locate and Lookup

void TqbBaseTable::closeLookupCursor() {
    if (!lookupCursor_) return;
    const TqbHandle h = lookupCursor_;
    lookupCursor_ = 0;
    lookupFields_.clear();
    Engine()->CursorClose(h);
}

void TqbBaseTable::SetFiltered(bool value) {
    if (Active()) closeLookupCursor();
    TqbDataSet::SetFiltered(value);
}

TqbHandle TqbBaseTable::lookupCursorFor(const std::vector<cls::TField*>& fields, const std::string& names,
                                        bool caseInsensitive) {
    bool own = caseInsensitive == keyCaseInsensitive_ && !userDefinedKey_ &&
               int32_t(fields.size()) <= keyFieldCount_;
    for (size_t i = 0; own && i < fields.size(); ++i)
        own = fields[i]->FieldNo() - 1 == keyFieldNumbers_[i];
    if (own) return cursorID_;
    if (lookupCursor_ && cls::SameText(lookupFields_, names) && lookupCaseInsensitive_ == caseInsensitive)
        return lookupCursor_;
    closeLookupCursor();
    // An index of the other case option would find rows the search does not ask for (or miss
    // some): only one that compares as the search does serves.
    cls::TIndexDef* def = nullptr;
    cls::TIndexDefs& defs = IndexDefs();
    const std::vector<std::string> wanted = cls::SplitFieldNames(names);
    for (bool whole : {true, false})
        for (int i = 0; i < defs.Count() && !def; ++i) {
            cls::TIndexDef& d = defs[i];
            if ((d.Options & (cls::ixDescending | cls::ixExpression)) ||
                bool(d.Options & cls::ixCaseInsensitive) != caseInsensitive)
                continue;
            const std::vector<std::string> have = cls::SplitFieldNames(d.Fields);
            if (have.size() < wanted.size() || (whole && have.size() != wanted.size())) continue;
            if (std::equal(wanted.begin(), wanted.end(), have.begin(),
                           [](const std::string& a, const std::string& b) { return cls::SameText(a, b); }))
                def = &d;
        }
    if (!def) return 0;
    TqbBaseServerEngine* e = Engine();
    TqbHandle h = 0;
    Check(e->CursorClone(cursorID_, qbomReadOnly, h));
    const TqbResultCode r = e->CursorSwitchToIndex(h, def->Name, 0, false);
    if (r != 0) {
        e->CursorClose(h);
        Check(r);
    }
    lookupCursor_ = h;
    lookupFields_ = names;
    lookupCaseInsensitive_ = caseInsensitive;
    return h;
}

bool TqbBaseTable::locateRecord(const std::string& keyFields, const cls::Variant& keyValues,
                                cls::TLocateOptions options, bool move, bool* foundRowRead) {
    const std::vector<cls::TField*> fields = GetFieldList(keyFields);
    const std::vector<cls::Variant> values = LocateValues(fields, keyValues);
    const bool caseInsensitive = options & cls::loCaseInsensitive;
    const TqbHandle cursor = lookupCursorFor(fields, keyFields, caseInsensitive);
    if (!cursor) return ScanForValues(fields, values, options);

    std::vector<uint8_t>& search = FilterBuffer();
    int32_t fieldCount = int32_t(fields.size());
    int32_t partialLen = 0;
    {
        TempState temp(this, cls::dsFilter);
        InternalInitRecord(reinterpret_cast<char*>(search.data()));
        for (size_t i = 0; i < fields.size(); ++i)
            fields[i]->SetAsVariant(values[i]);
    }
    if ((options & cls::loPartialKey) && isText(fields.back()->DataType()) && !values.back().IsNull()) {
        --fieldCount;
        partialLen = int32_t(values.back().AsString().size());
    }
    const std::vector<uint8_t> key(search.begin(), search.begin() + PhysRecLen());
    const bool keepRow = move && cursor == cursorID_ && !HasClientFilters();
    const TqbResultCode r =
        keySearch(cursor, key.data(), fieldCount, partialLen, keepRow ? FoundRowBuffer() : nullptr);
    if (r != 0) {
        if (r != kQbRecordNotFound && r != kQbEOF && r != kQbServerFilterTimedOut) Check(r);
        return false;
    }
    if (cursor != cursorID_) {
        if (move) {
            Check(Engine()->CursorSetToCursor(cursorID_, cursor));
            MarkCursorMoved();
        } else {
            Check(Engine()->RecordGet(cursor, qbltNone, {search.data(), size_t(PhysRecLen())}));
        }
    } else if (!move) {
        Check(Engine()->RecordGet(cursor, qbltNone, {search.data(), size_t(PhysRecLen())}));
    }
    if (foundRowRead) *foundRowRead = keepRow;
    return true;
}

bool TqbBaseTable::Locate(const std::string& keyFields, const cls::Variant& keyValues,
                          cls::TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    bool foundRowRead = false;
    if (!locateRecord(keyFields, keyValues, options, true, &foundRowRead)) return false;
    resyncOnFound(foundRowRead);
    DoAfterScroll();
    return true;
}

cls::Variant TqbBaseTable::Lookup(const std::string& keyFields, const cls::Variant& keyValues,
                                  const std::string& resultFields) {
    CheckBrowseMode();
    if (!locateRecord(keyFields, keyValues, 0, false)) return cls::Variant();
    CursorPosChanged();
    TempState temp(this, cls::dsFilter);
    return FieldValues(resultFields);
}
