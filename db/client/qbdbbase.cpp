// The dataset over an engine cursor: opening and closing, the record buffers, navigation, reading
// and writing field values, posting, bookmarks and record counts.
#include "db/client/qbdbbase.h"

#include "db/client/qbdb.h"
#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr int32_t kRowNotFoundCategory = 34; // 8704..8959: the row is gone or not there

cls::TFieldType frameworkType(const TqbFieldDescRec& logical) {
    switch (logical.FldType) {
    case qbfltString:
        return cls::ftString;
    case qbfltDate:
        return cls::ftDate;
    case qbfltBool:
        return cls::ftBoolean;
    case qbfltInt16:
        return cls::ftSmallint;
    case qbfltInt32:
        return logical.SubType == qbfstAutoInc ? cls::ftAutoInc : cls::ftInteger;
    case qbfltFloat:
        return logical.SubType == qbfstMoney ? cls::ftCurrency : cls::ftFloat;
    case qbfltBytes:
        return cls::ftBytes;
    case qbfltTime:
        return cls::ftTime;
    case qbfltTimeStamp:
        return cls::ftDateTime;
    case qbfltWord16:
        return cls::ftWord;
    case qbfltBlob:
        switch (logical.SubType) {
        case qbfstMemo:
            return cls::ftMemo;
        case qbfstFmtMemo:
            return cls::ftFmtMemo;
        case qbfstGraphic:
            return cls::ftGraphic;
        case qbfstOleObj:
            return cls::ftParadoxOle;
        case qbfstOleObj2:
            return cls::ftDBaseOle;
        case qbfstTypedBinary:
            return cls::ftTypedBinary;
        default:
            return cls::ftBlob;
        }
    default:
        return cls::ftUnknown;
    }
}

std::span<uint8_t> span(void* p, int32_t n) {
    return {static_cast<uint8_t*>(p), size_t(std::max(n, 0))};
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Client filter items

bool TqbFilterListItem::Accepts(const uint8_t* Record) {
    if (!Active) return true;
    if (Callback) {
        const int32_t r = Callback(ClientData, Record);
        if (r == -2 && CanAbort) return false;
        if (r == 0) return false;
    }
    return !evaluator_ || evaluator_->MatchesRecord(Record);
}

// ---------------------------------------------------------------------------------------------
// Construction

TqbDataSet::TqbDataSet(cls::TComponent* AOwner) : cls::TDataSet(AOwner) {
    proxy_ = new TqbTableProxy(this, this);
}

TqbDataSet::~TqbDataSet() {
    try {
        Close();
    } catch (...) {
        cursorID_ = 0;
    }
    proxy_->ForgetDataSet();
}

void TqbDataSet::SetName(const std::string& name) {
    cls::TDataSet::SetName(name);
    proxy_->SetName(name.empty() ? std::string() : name + "_Proxy");
}

TqbBaseServerEngine* TqbDataSet::Engine() {
    if (Active() && engine_) return engine_;
    TqbSession* s = proxy_->Session();
    TqbBaseServerEngine* e = s ? s->Engine() : nullptr;
    if (!e) e = proxy_->Engine();
    if (!e) Raise(kDsNoDatabase);
    return e;
}

void TqbDataSet::SetDatabaseName(const std::string& value) {
    proxy_->SetDatabaseName(value);
    if (Active()) DataEvent(cls::dePropertyChange, 0);
}

void TqbDataSet::SetSessionName(const std::string& value) {
    proxy_->SetSessionName(value);
    if (Active()) DataEvent(cls::dePropertyChange, 0);
}

void TqbDataSet::SetTableName(const std::string& value) {
    proxy_->SetTableName(TableNameProper(value));
    if (Active()) DataEvent(cls::dePropertyChange, 0);
}

void TqbDataSet::SetExclusive(bool value) {
    proxy_->Close();
    TqbBaseDatabase* db = proxy_->Database();
    exclusive_ = (db && db->Exclusive()) || value;
}

void TqbDataSet::SetReadOnly(bool value) {
    if (proxy_->Active()) Raise(kDsTableMustBeClosed);
    TqbBaseDatabase* db = proxy_->Database();
    readOnly_ = (db && db->ReadOnly()) || value;
}

void TqbDataSet::SetTimeout(int32_t value) {
    if (value == timeout_) return;
    timeout_ = value;
    if (Active()) Check(Engine()->CursorSetTimeout(cursorID_, EffectiveTimeout()));
}

uint32_t TqbDataSet::EffectiveTimeout() {
    if (timeout_ != -1) return uint32_t(timeout_);
    TqbBaseDatabase* db = proxy_->Database();
    return db ? db->GetTimeout() : 10000;
}

void TqbDataSet::LogLine(const std::string& text) {
    try {
        Engine()->LogString(text);
    } catch (...) {
        // No engine to log to: the application's handler has seen it already.
    }
}

// ---------------------------------------------------------------------------------------------
// Proxy side

void TqbDataSet::ProxyClosing() {
    if (closingProxy_) return;
    Close();
}

void TqbDataSet::ConnectionDropped() {
    // The engine's handles are gone with the connection: forget them, call nothing.
    cursorID_ = 0;
    engine_ = nullptr;
    ResetIndexState();
    if (Active()) try {
            Close();
        } catch (...) {
        }
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TqbDataSet::OpenCursor(bool infoQuery) {
    if (TableName().empty()) Raise(kDsNoTableName);
    TqbBaseDatabase* db = proxy_->Database();
    if (!db) Raise(kDsNoDatabase);
    db->Open();
    proxy_->Open();
    const TqbHandle h = OpenCursorHandle();
    if (!h) Raise(kDsNoCursorHandle);
    cursorID_ = h;
    cls::TDataSet::OpenCursor(infoQuery);
}

TqbHandle TqbDataSet::OpenCursorHandle() {
    TqbBaseDatabase* db = proxy_->Database();
    TqbBaseServerEngine* e = Engine();
    for (;;) {
        cls::TMemoryStream stream;
        TqbHandle h = 0;
        const TqbResultCode r =
            e->TableOpen(db->DatabaseID(), TableName(), false, OpenIndexName(), 0,
                         readOnly_ ? qbomReadOnly : qbomReadWrite, exclusive_ ? qbsmExclusive : qbsmShared,
                         EffectiveTimeout(), h, &stream);
        if (r == kQbTableReadOnly) {
            if (readOnly_) Raise(kDsReadOnlyTwice);
            readOnly_ = true;
            continue;
        }
        Check(r);
        // The cursor's handle, the dictionary, the index number the engine chose.
        const auto* bytes = reinterpret_cast<const char*>(stream.Memory());
        const size_t size = size_t(stream.Size());
        if (size < 8) {
            e->CursorClose(h);
            Check(kQbInvalidHandle);
        }
        try {
            ReadDictionary(std::string_view(bytes + 4, size - 8));
        } catch (...) {
            e->CursorClose(h);
            throw;
        }
        int32_t index;
        std::memcpy(&index, bytes + size - 4, 4);
        indexNumber_ = index;
        return h;
    }
}

void TqbDataSet::ReadDictionary(std::string_view bytes) {
    dict_.ReadFromStream(bytes);
    RebuildFieldDescs();
}

void TqbDataSet::RebuildFieldDescs() {
    fieldDescs_.clear();
    int32_t offset = 0;
    for (int32_t i = 0; i < dict_.FieldCount(); ++i) {
        TqbFieldDescItem item;
        TqbFieldDescRec engineDesc;
        EngineFieldToFieldDesc(dict_.FieldDesc(i), engineDesc);
        try {
            FieldDescToLogical(engineDesc, item.Desc);
        } catch (...) {
            item.Desc = engineDesc; // no logical form: kept, but gets no field definition
            item.Desc.FldType = 0;
        }
        item.Offset = offset;
        item.Length = item.Desc.Len;
        offset += item.Length;
        fieldDescs_.push_back(item);
    }
}

void TqbDataSet::InternalOpen() {
    engine_ = nullptr;
    engine_ = Engine();
    const TqbCursorProps props = GetCursorProps();
    physRecLen_ = props.PhysRecLen;
    cursorBookmarkSize_ = uint32_t(props.BookmarkSize);
    // Room for the bookmark of any index, so that switching the index keeps the buffers.
    bookmarkSize_ = cursorBookmarkSize_;
    for (int32_t i = 0; i < dict_.IndexCount(); ++i)
        bookmarkSize_ = std::max(bookmarkSize_, uint32_t(dict_.GetBookmarkSize(i)));
    InternalInitFieldDefs();
    FieldDefs().Updated = true;
    InitIndexInfo();
    if (DefaultFields())
        CreateFields();
    else
        for (cls::TField* f : Fields())
            if (f->DataType() == cls::ftString)
                if (cls::TFieldDef* d = FieldDefs().FindDef(f->FieldName()); d && d->Size != f->Size())
                    f->SetSize(d->Size);
    BindFields(true);
    ComputeBufferLayout();
    AllocKeyBuffers();
    InternalFirst();
    MasterHook();
    if (filterEval_ == qbfeClient && !cls::Trim(Filter()).empty())
        installTextFilter(Filter(), FilterOptions());
    if (OnFilterRecord()) installCallbackFilter();
    if (Filtered()) ActivateFilters();
}

void TqbDataSet::ComputeBufferLayout() {
    calcFieldsOffset_ = physRecLen_;
    bookmarkOffset_ = calcFieldsOffset_ + CalcFieldsSize();
    bookmarkFlagOffset_ = bookmarkOffset_ + int32_t(bookmarkSize_);
    bufferSize_ = bookmarkFlagOffset_ + 5;
    SetBookmarkSize(int(bookmarkSize_));
    filterBuf_.assign(size_t(bufferSize_), 0);
}

TqbCursorProps TqbDataSet::GetCursorProps() {
    TqbCursorProps p;
    p.TableName = dict_.TableName();
    p.FieldCount = dict_.FieldCount();
    p.PhysRecLen = dict_.RecordLength();
    p.RecordSize = Translating() && !fieldDescs_.empty()
                       ? fieldDescs_.back().Offset + fieldDescs_.back().Length
                       : p.PhysRecLen;
    for (int32_t i = 0; i < dict_.FieldCount(); ++i)
        if (dict_.FieldRequired(i) || dict_.FieldVCheck(i)) ++p.ValidityCount;
    const int32_t index = std::clamp(indexNumber_, 0, std::max(dict_.IndexCount() - 1, 0));
    p.BookmarkSize = dict_.IndexCount() > 0 ? dict_.GetBookmarkSize(index) : 24;
    p.KeySize = dict_.IndexCount() > 0 ? dict_.IndexKeyLength(index) : 0;
    p.IndexCount = dict_.IndexCount();
    p.TranslateMode = TranslateMode;
    p.FilterCount = int32_t(filters_.size());
    return p;
}

void TqbDataSet::InternalInitFieldDefs() {
    FieldDefs().Clear();
    for (int32_t i = 0; i < int32_t(fieldDescs_.size()); ++i) {
        const TqbFieldDescRec& d = fieldDescs_[size_t(i)].Desc;
        const cls::TFieldType t = frameworkType(d);
        if (t == cls::ftUnknown) continue;
        const int size = t == cls::ftString || t == cls::ftBytes || t == cls::ftBCD ? d.Units1 : 0;
        cls::TFieldDef& def = FieldDefs().Add(d.Name, t, size, dict_.FieldRequired(i));
        def.FieldNo = i + 1;
    }
}

void TqbDataSet::InternalClose() {
    if (Filtered() && hasClientFilters_)
        for (auto& f : filters_)
            f->Active = false;
    DropAllFilters();
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    ResetIndexState();
    oldRecord_.clear();
    engine_ = nullptr;
}

void TqbDataSet::CloseCursor() {
    TqbBaseServerEngine* e = nullptr;
    if (cursorID_) try {
            e = Engine();
        } catch (...) {
        }
    cls::TDataSet::CloseCursor();
    if (cursorID_) {
        const TqbHandle h = cursorID_;
        cursorID_ = 0;
        if (e) {
            e->RecordReleaseLock(h, true);
            e->CursorClose(h);
        }
    }
    closingProxy_ = true;
    try {
        proxy_->Close();
    } catch (...) {
        closingProxy_ = false;
        throw;
    }
    closingProxy_ = false;
}

// ---------------------------------------------------------------------------------------------
// Record buffers

cls::TRecordBuffer TqbDataSet::AllocRecordBuffer() {
    return new char[size_t(bufferSize_)]();
}

void TqbDataSet::FreeRecordBuffer(cls::TRecordBuffer& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

void TqbDataSet::GetBookmarkData(cls::TRecordBuffer buffer, void* data) {
    std::memcpy(data, buffer + bookmarkOffset_, bookmarkSize_);
}

cls::TBookmarkFlag TqbDataSet::GetBookmarkFlag(cls::TRecordBuffer buffer) {
    return cls::TBookmarkFlag(uint8_t(buffer[bookmarkFlagOffset_]));
}

void TqbDataSet::SetBookmarkFlag(cls::TRecordBuffer buffer, cls::TBookmarkFlag value) {
    buffer[bookmarkFlagOffset_] = char(value);
}

void TqbDataSet::SetBookmarkData(cls::TRecordBuffer buffer, const void* data) {
    std::memcpy(buffer + bookmarkOffset_, data, bookmarkSize_);
}

void TqbDataSet::ClearCalcFields(cls::TRecordBuffer buffer) {
    std::memset(buffer + calcFieldsOffset_, 0, size_t(CalcFieldsSize()));
}

void TqbDataSet::InternalInitRecord(cls::TRecordBuffer buffer) {
    auto* rec = reinterpret_cast<uint8_t*>(buffer);
    dict_.InitRecord(rec);
    dict_.SetDefaultFieldValues(rec);
    std::memset(buffer + bookmarkFlagOffset_ + 1, 0, 4);
}

cls::TRecordBuffer TqbDataSet::GetActiveRecBuf() {
    switch (State()) {
    case cls::dsBrowse:
        return IsEmpty() ? nullptr : ActiveBuffer();
    case cls::dsEdit:
    case cls::dsInsert:
        return ActiveBuffer();
    case cls::dsCalcFields:
        return CalcBuffer();
    case cls::dsFilter:
        return reinterpret_cast<char*>(filterBuf_.data());
    case cls::dsOldValue:
        return oldRecord_.empty() ? nullptr : reinterpret_cast<char*>(oldRecord_.data());
    default:
        return nullptr;
    }
}

void TqbDataSet::SetFilterRecord(const uint8_t* record) {
    std::memcpy(filterBuf_.data(), record, size_t(physRecLen_));
    ClearCalcFields(reinterpret_cast<char*>(filterBuf_.data()));
}

// ---------------------------------------------------------------------------------------------
// Reading rows

TqbResultCode TqbDataSet::RecordGetCurrent(TqbLockType lock, uint8_t* record) {
    TqbBaseServerEngine* e = Engine();
    TqbResultCode r = e->RecordGet(cursorID_, lock, span(record, physRecLen_));
    if (r == 0 && !PassesClientFilters(record)) {
        if (lock != qbltNone) Check(e->RecordReleaseLock(cursorID_, false));
        r = kQbRecordNotFound;
    }
    return r;
}

TqbResultCode TqbDataSet::moveRow(bool forward, TqbHandle cursor, TqbLockType lock, uint8_t* record,
                                  std::span<uint8_t> bookmark) {
    TqbBaseServerEngine* e = Engine();
    std::vector<uint8_t> own;
    if (!record) {
        own.resize(size_t(physRecLen_));
        record = own.data();
    }
    // With client filters a row is locked only once it has passed them.
    const TqbLockType first = hasClientFilters_ ? qbltNone : lock;
    auto step = [&] {
        if (!bookmark.empty())
            return e->RecordStepWithBookmark(cursor, forward, first, span(record, physRecLen_), bookmark);
        return forward ? e->RecordGetNext(cursor, first, span(record, physRecLen_))
                       : e->RecordGetPrior(cursor, first, span(record, physRecLen_));
    };
    TqbResultCode r = step();
    while (r == kQbServerFilterTimedOut) {
        if (DoServerFilterTimeout()) break;
        r = step();
    }
    while (r == 0 && !PassesClientFilters(record))
        r = step();
    if (r == 0 && hasClientFilters_ && lock != qbltNone)
        r = e->RecordGet(cursor, lock, span(record, physRecLen_));
    return r;
}

TqbResultCode TqbDataSet::NextRow(TqbHandle cursor, TqbLockType lock, uint8_t* record) {
    return moveRow(true, cursor, lock, record);
}

TqbResultCode TqbDataSet::PriorRow(TqbHandle cursor, TqbLockType lock, uint8_t* record) {
    return moveRow(false, cursor, lock, record);
}

bool TqbDataSet::DoServerFilterTimeout() {
    bool cancel = false;
    if (OnServerFilterTimeout) OnServerFilterTimeout(this, cancel);
    return cancel;
}

uint8_t* TqbDataSet::FoundRowBuffer() {
    foundRow_.resize(size_t(physRecLen_));
    foundBookmarkRead_ = false;
    return foundRow_.data();
}

std::span<uint8_t> TqbDataSet::FoundBookmarkFor(TqbHandle cursor, const uint8_t* row) {
    if (cursor != cursorID_ || !row || row != foundRow_.data() || cursorBookmarkSize_ == 0) return {};
    foundBookmark_.resize(cursorBookmarkSize_);
    return foundBookmark_;
}

cls::TGetResult TqbDataSet::GetRecord(cls::TRecordBuffer buffer, cls::TGetMode mode, bool doCheck) {
    auto* rec = reinterpret_cast<uint8_t*>(buffer);
    const std::span<uint8_t> bookmark = span(buffer + bookmarkOffset_, int32_t(cursorBookmarkSize_));
    // Without client filters the row reached is the row kept: its bookmark comes with the read.
    const bool withRead = !hasClientFilters_;
    // A found row stands for the current row only until the first read after the search, the
    // inserted row until the first read after the insert.
    const bool foundRowKept = std::exchange(foundRowKept_, false);
    const bool insertedReadKept = std::exchange(insertedReadKept_, false);
    TqbResultCode r;
    switch (mode) {
    case cls::gmNext:
    case cls::gmPrior:
        r = moveRow(mode == cls::gmNext, cursorID_, qbltNone, rec,
                    withRead ? bookmark : std::span<uint8_t>{});
        break;
    default:
        if (insertedReadKept && withRead) {
            // What the engine answered when it read the row right after the insert. A failed read's
            // bytes are never looked at: the buffer is read again or given up.
            r = insertedRead_;
            if (r == 0) {
                std::memcpy(rec, insertedRow_.data(), size_t(physRecLen_));
                std::memcpy(bookmark.data(), insertedBookmark_.data(), bookmark.size());
            }
        } else if (foundRowKept && withRead && foundRow_.size() == size_t(physRecLen_)) {
            std::memcpy(rec, foundRow_.data(), foundRow_.size());
            if (std::exchange(foundBookmarkRead_, false) && foundBookmark_.size() == bookmark.size()) {
                std::memcpy(bookmark.data(), foundBookmark_.data(), bookmark.size());
                r = 0;
            } else {
                r = Engine()->CursorGetBookmark(cursorID_, bookmark);
            }
        } else {
            r = withRead
                    ? Engine()->RecordGetWithBookmark(cursorID_, qbltNone, span(rec, physRecLen_), bookmark)
                    : RecordGetCurrent(qbltNone, rec);
        }
        break;
    }
    switch (r) {
    case 0:
        std::memset(buffer + bookmarkFlagOffset_, 0, 5);
        if (!withRead) Check(Engine()->CursorGetBookmark(cursorID_, bookmark));
        GetCalcFields(buffer);
        return cls::grOK;
    case kQbBOF:
        return cls::grBOF;
    case kQbEOF:
        return cls::grEOF;
    default:
        if (doCheck) Check(r);
        return cls::grError;
    }
}

void TqbDataSet::InternalFirst() {
    endArmed_ = false;
    Check(Engine()->CursorSetToBegin(cursorID_));
}

void TqbDataSet::InternalLast() {
    if (std::exchange(endArmed_, false)) {
        endPending_ = true; // InternalPost comes next
        return;
    }
    Check(Engine()->CursorSetToEnd(cursorID_));
}

void TqbDataSet::InternalGotoBookmark(const void* bookmark) {
    endArmed_ = false;
    if (!bookmark) Check(kQbInvalidHandle);
    Check(Engine()->CursorSetToBookmark(cursorID_, BookmarkBytes(bookmark)));
}

void TqbDataSet::InternalSetToRecord(cls::TRecordBuffer buffer) {
    InternalGotoBookmark(buffer + bookmarkOffset_);
}

void TqbDataSet::DoBeforePost() {
    cls::TDataSet::DoBeforePost();
    // From here Post positions the cursor for its buffer and calls InternalPost, with no code of
    // anyone else in between. With one buffer the only way to have to position an appended row
    // is from no position at all (-1), which a failed positioning puts back.
    endArmed_ = State() == cls::dsInsert && BufferCount() == 1;
}

// ---------------------------------------------------------------------------------------------
// Writing rows

void TqbDataSet::insertRecord(cls::TRecordBuffer buffer, bool toEnd, bool keepRead, bool endDeferred) {
    TqbBaseServerEngine* e = Engine();
    insertedReadKept_ = false;
    if (!toEnd && !keepRead) {
        Check(e->RecordInsert(cursorID_, qbltWrite, span(buffer, physRecLen_)));
        return;
    }
    if (keepRead) {
        insertedRow_.resize(size_t(physRecLen_));
        insertedBookmark_.resize(cursorBookmarkSize_);
    }
    bool endFailed = false;
    TqbResultCode read = 0;
    const TqbResultCode r = e->RecordInsertThenGet(
        cursorID_, toEnd, qbltWrite, span(buffer, physRecLen_),
        keepRead ? std::span<uint8_t>(insertedRow_) : std::span<uint8_t>{},
        keepRead ? std::span<uint8_t>(insertedBookmark_) : std::span<uint8_t>{}, endFailed, read);
    if (r != 0) {
        // As if Post's own positioning had failed: the cursor has no known place.
        if (endFailed && endDeferred) CursorPosChanged();
        Check(r);
    }
    insertedRead_ = read;
    insertedReadKept_ = keepRead;
}

void TqbDataSet::InternalAddRecord(cls::TRecordBuffer buffer, bool append) {
    insertRecord(buffer, append, false, false);
}

void TqbDataSet::InternalPost() {
    endArmed_ = false;
    const bool toEnd = std::exchange(endPending_, false);
    if (State() == cls::dsEdit) {
        // The row stays locked from the edit on: the write's transaction takes over the lock.
        Check(Engine()->RecordModify(cursorID_, span(ActiveBuffer(), physRecLen_), true));
    } else {
        // Post reads the current row next (Resync) after telling of the state change: the read
        // comes with the insert when no data source hears of that change and the read is the
        // plain one (no client filters).
        const bool keepRead = !hasClientFilters_ && (ControlsDisabled() || !HasDataSources());
        insertRecord(ActiveBuffer(), toEnd, keepRead, true);
    }
    clearBlobModified();
}

void TqbDataSet::clearBlobModified() {
    BlobModified = false;
    for (cls::TField* f : Fields())
        if (f->IsBlob()) f->Modified = false;
}

void TqbDataSet::InternalDelete() {
    const TqbResultCode r = Engine()->RecordDelete(cursorID_, {});
    if (r != 0 && ((r >> 8) & 0xFF) != kRowNotFoundCategory) Check(r);
}

void TqbDataSet::InternalEdit() {
    Check(Engine()->RecordGet(cursorID_, qbltWrite, span(ActiveBuffer(), physRecLen_)));
    oldRecord_.assign(ActiveBuffer(), ActiveBuffer() + bufferSize_);
}

void TqbDataSet::InternalCancel() {
    if (State() == cls::dsEdit || State() == cls::dsInsert)
        Check(Engine()->RecordReleaseLock(cursorID_, false));
    oldRecord_.clear();
    clearBlobModified();
}

// ---------------------------------------------------------------------------------------------
// Field values

bool TqbDataSet::GetFieldData(cls::TField* field, void* buffer) {
    cls::TRecordBuffer rec = GetActiveRecBuf();
    if (!rec) return false;
    const size_t want = size_t(std::max(field->DataSize(), 0));
    if (field->FieldNo() < 1) {
        const cls::TDataSetState s = State();
        if (s != cls::dsBrowse && s != cls::dsEdit && s != cls::dsInsert && s != cls::dsCalcFields)
            return false;
        const char* p = rec + calcFieldsOffset_ + field->Offset();
        const bool notNull = p[0] != 0;
        if (buffer && notNull) std::memcpy(buffer, p + 1, want);
        return notNull;
    }
    const int32_t idx = field->FieldNo() - 1;
    if (!IsCursorOpen() || idx >= int32_t(fieldDescs_.size())) return false;
    const auto* image = reinterpret_cast<const uint8_t*>(rec);
    const TqbFieldDesc& fd = dict_.FieldDesc(idx);
    const bool isNull = dict_.IsRecordFieldNull(idx, image);
    if (buffer) {
        const int32_t len = fd.Length;
        if (isNull) {
            std::memset(buffer, 0, Translating() ? want : size_t(len));
        } else if (Translating()) {
            // Room kept between calls: reading a field costs no allocation once the widest is seen.
            // The value is converted straight from the record image.
            const size_t room = std::max(want, size_t(len)) + 16;
            if (scratch_.size() < room) scratch_.resize(room);
            uint8_t* value = scratch_.data();
            if (!ValueFromEngine(fd.FieldType, len, image + fd.Offset, value)) Check(kQbTranslateError);
            std::memcpy(buffer, value, want);
        } else {
            std::memcpy(buffer, image + fd.Offset, size_t(len));
        }
    }
    return !isNull;
}

void TqbDataSet::SetFieldData(cls::TField* field, const void* buffer) {
    const cls::TDataSetState s = State();
    if (!cls::IsWriteMode(s)) Raise(kDsNotEditing);
    cls::TRecordBuffer rec = GetActiveRecBuf();
    if (!rec) Raise(kDsNoActiveBuffer);
    const size_t size = size_t(std::max(field->DataSize(), 0));
    if (field->FieldNo() < 1) {
        char* p = rec + calcFieldsOffset_ + field->Offset();
        p[0] = buffer ? 1 : 0;
        if (buffer)
            std::memcpy(p + 1, buffer, size);
        else
            std::memset(p + 1, 0, size);
        return;
    }
    if (s == cls::dsCalcFields) Raise(kDsCalcNotEditing);
    if (field->ReadOnly && s != cls::dsSetKey && s != cls::dsFilter) Raise(kDsFieldReadOnly);
    field->Validate(buffer);
    if (field->FieldKind() != cls::fkInternalCalc) {
        const int32_t idx = field->FieldNo() - 1;
        if (idx >= int32_t(fieldDescs_.size())) Check(kQbNumberOutOfRange);
        auto* image = reinterpret_cast<uint8_t*>(rec);
        if (!buffer) {
            dict_.SetRecordField(idx, image, nullptr);
        } else {
            const int32_t len = dict_.FieldLength(idx);
            // The framework value is copied into room of its own: a text is read up to its
            // terminator, never past the field's size.
            const size_t room = std::max(size, size_t(len)) + 16;
            scratch_.assign(2 * room, 0);
            uint8_t* engineValue = scratch_.data();
            uint8_t* value = scratch_.data() + room;
            std::memcpy(value, buffer, Translating() ? size : std::min(size, size_t(len)));
            if (!Translating())
                std::memcpy(engineValue, value, size_t(len));
            else if (!ValueToEngine(dict_.FieldType(idx), len, value, engineValue))
                Check(kQbTranslateError);
            dict_.SetRecordField(idx, image, engineValue);
        }
    }
    if (s != cls::dsCalcFields && s != cls::dsFilter && s != cls::dsNewValue)
        DataEvent(cls::deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---------------------------------------------------------------------------------------------
// Bookmarks, searching and counting

bool TqbDataSet::BookmarkValid(const cls::TBookmark& bookmark) {
    if (!IsCursorOpen() || bookmark.size() < bookmarkSize_) return false;
    TqbBaseServerEngine* e = Engine();
    if (e->CursorSetToBookmark(cursorID_, BookmarkBytes(bookmark.data()))) return false;
    std::vector<uint8_t> rec(static_cast<size_t>(physRecLen_));
    const bool ok = RecordGetCurrent(qbltNone, rec.data()) == 0;
    CursorPosChanged();
    return ok;
}

int TqbDataSet::CompareBookmarks(const cls::TBookmark& b1, const cls::TBookmark& b2) {
    if (b1.empty() && b2.empty()) return 0;
    if (b1.empty()) return 1;
    if (b2.empty()) return -1;
    CheckActive();
    int32_t result = 0;
    if (b1.size() < cursorBookmarkSize_ || b2.size() < cursorBookmarkSize_) Check(kQbInvalidHandle);
    Check(Engine()->CursorCompareBookmarks(cursorID_, BookmarkBytes(b1.data()), BookmarkBytes(b2.data()),
                                           result));
    return result;
}

bool TqbDataSet::GetCurrentRecord(cls::TRecordBuffer buffer) {
    if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != cls::bfCurrent) return false;
    UpdateCursorPos();
    return RecordGetCurrent(qbltNone, reinterpret_cast<uint8_t*>(buffer)) == 0;
}

bool TqbDataSet::FindRecord(bool restart, bool goForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    const bool activate = !Filtered();
    if (activate) ActivateFilters();
    TqbResultCode r;
    try {
        if (goForward) {
            if (restart) InternalFirst();
            r = NextRow(cursorID_, qbltNone, nullptr);
        } else {
            if (restart) Check(Engine()->CursorSetToEnd(cursorID_));
            r = PriorRow(cursorID_, qbltNone, nullptr);
        }
    } catch (...) {
        if (activate) DeactivateFilters();
        throw;
    }
    if (activate) DeactivateFilters();
    if (r == 0) {
        Resync(cls::rmExact | cls::rmCenter);
        SetFound(true);
    }
    DoAfterScroll();
    return Found();
}

int TqbDataSet::GetRecordCount() {
    CheckActive();
    TqbBaseServerEngine* e = Engine();
    if (!hasClientFilters_) {
        int32_t count = 0;
        Check(e->TableGetRecordCount(cursorID_, count));
        return count;
    }
    DisableControls();
    const cls::TBookmark mark = GetBookmark();
    int count = 0;
    TqbResultCode r = e->CursorSetToBegin(cursorID_);
    while (r == 0 && (r = NextRow(cursorID_, qbltNone, nullptr)) == 0)
        ++count;
    CursorPosChanged();
    if (!mark.empty()) e->CursorSetToBookmark(cursorID_, BookmarkBytes(mark.data()));
    EnableControls();
    if (r != kQbEOF) {
        Check(r);
        return 0;
    }
    return count;
}

std::unique_ptr<cls::TStream> TqbDataSet::CreateBlobStream(cls::TField* field, cls::TBlobStreamMode mode) {
    return std::make_unique<TqbBlobStream>(dynamic_cast<cls::TBlobField*>(field), mode);
}

void TqbDataSet::CloseBlob(cls::TField* field) {
    cls::TRecordBuffer rec = GetActiveRecBuf();
    if (!rec || !IsCursorOpen() || field->FieldNo() < 1) return;
    const int32_t idx = field->FieldNo() - 1;
    auto* image = reinterpret_cast<uint8_t*>(rec);
    if (idx >= dict_.FieldCount() || dict_.IsRecordFieldNull(idx, image)) return;
    uint8_t number[8] = {};
    bool isNull;
    dict_.GetRecordField(idx, image, number, isNull);
    TqbBaseServerEngine* e = Engine();
    const TqbResultCode r = e->BLOBFree(cursorID_, plat::LoadLE64(number), !BlobModified);
    if (r == kQbBlobModified) {
        // The engine dropped the emptied BLOB: the record no longer refers to it.
        dict_.SetRecordField(idx, image, nullptr);
        Check(e->RecordModify(cursorID_, span(image, physRecLen_), false));
    }
}

TqbTable::~TqbTable() = default;
