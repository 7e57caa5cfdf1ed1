// The abstract dataset: opening, the record-buffer window, navigation and resync, the editing
// cycle with its events, bookmarks, calculated fields and data events.
#include "classlib/DB.h"

#include <algorithm>

namespace cls {

void DatabaseError(const std::string& message, const TComponent* component) {
    if (component && !component->Name().empty()) throw EDatabaseError(component->Name() + ": " + message);
    throw EDatabaseError(message);
}

std::vector<std::string> SplitFieldNames(std::string_view names) {
    std::vector<std::string> r;
    size_t i = 0;
    while (i <= names.size()) {
        size_t j = names.find(';', i);
        if (j == std::string_view::npos) j = names.size();
        std::string n = Trim(names.substr(i, j - i));
        if (!n.empty()) r.push_back(std::move(n));
        i = j + 1;
    }
    return r;
}

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), fields_(this), fieldDefs_(this) {}

TDataSet::~TDataSet() {
    Destroying();
    while (!dataSources_.empty())
        dataSources_.back()->SetDataSet(nullptr);
    fields_.Clear();
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (streamedActive_) {
        streamedActive_ = false;
        SetActive(true);
    }
}

// ---- opening and closing ----

void TDataSet::SetActive(bool value) {
    if (ComponentState() & csLoading) {
        streamedActive_ = value;
        return;
    }
    if (Active() == value) return;
    if (value) {
        DoBeforeOpen();
        try {
            OpenCursor(false);
        } catch (...) {
            try {
                CloseCursor();
            } catch (...) {
            }
            throw;
        }
        SetState(dsBrowse);
        DoAfterOpen();
        if (!IsEmpty()) DoAfterScroll();
    } else {
        bool destroying = ComponentState() & csDestroying;
        if (!destroying) DoBeforeClose();
        SetState(dsInactive);
        CloseCursor();
        if (!destroying) DoAfterClose();
    }
}

void TDataSet::OpenCursor(bool infoQuery) {
    if (infoQuery)
        InternalInitFieldDefs();
    else
        DoInternalOpen();
}

void TDataSet::DoInternalOpen() {
    defaultFields_ = fields_.Count() == 0;
    InternalOpen();
    internalOpenComplete_ = true;
    UpdateBufferCount();
    bof_ = true;
}

void TDataSet::CloseCursor() {
    internalOpenComplete_ = false;
    ClearBuffers();
    setBufListSize(0);
    InternalClose();
    bufferCount_ = 0;
    defaultFields_ = false;
}

void TDataSet::InitFieldDefs() {
    if (IsCursorOpen()) {
        InternalInitFieldDefs();
        return;
    }
    try {
        OpenCursor(true);
    } catch (...) {
        CloseCursor();
        throw;
    }
    CloseCursor();
}

void TDataSet::InternalHandleException() {
    HandleCurrentException();
}

void TDataSet::CheckActive() const {
    if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset", this);
}

void TDataSet::CheckInactive() const {
    if (Active()) DatabaseError("Cannot perform this operation on an open dataset", this);
}

void TDataSet::CheckCanModify() const {
    if (!GetCanModify()) DatabaseError("Cannot modify a read-only dataset", this);
}

// ---- states and data events ----

void TDataSet::SetState(TDataSetState value) {
    if (state_ == value) return;
    state_ = value;
    modified_ = false;
    DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
    TDataSetState old = state_;
    tempModified_.push_back(modified_);
    state_ = value;
    ++disableCount_;
    return old;
}

void TDataSet::RestoreState(TDataSetState value) {
    state_ = value;
    if (disableCount_ > 0) --disableCount_;
    if (!tempModified_.empty()) {
        modified_ = tempModified_.back();
        tempModified_.pop_back();
    }
}

void TDataSet::DisableControls() {
    if (disableCount_ == 0) {
        disableState_ = state_;
        enableEvent_ = deDataSetChange;
    }
    ++disableCount_;
}

void TDataSet::EnableControls() {
    if (disableCount_ == 0) return;
    if (--disableCount_ == 0) {
        if (disableState_ != state_) DataEvent(deUpdateState, 0);
        if (disableState_ != dsInactive && state_ != dsInactive) DataEvent(enableEvent_, 0);
    }
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
    switch (event) {
    case deFieldChange: {
        TField* field = reinterpret_cast<TField*>(info);
        if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) modified_ = true;
        if (state_ != dsSetKey) {
            if (calcFieldsSize_ > 0 && AutoCalcFields && field->FieldKind() == fkData)
                GetCalcFields(ActiveBuffer());
            field->Change();
        }
        break;
    }
    case dePropertyChange:
        fieldDefs_.Updated = false;
        break;
    default:
        break;
    }
    if (!ControlsDisabled()) {
        for (size_t i = 0; i < dataSources_.size(); ++i)
            dataSources_[i]->dataEvent(event, info);
    } else if ((event == deUpdateState && state_ == dsInactive) || event == deLayoutChange) {
        enableEvent_ = deLayoutChange;
    } else if (enableEvent_ != deLayoutChange) {
        enableEvent_ = deDataSetChange;
    }
}

void TDataSet::addDataSource(TDataSource* source) {
    dataSources_.push_back(source);
    source->dataSet_ = this;
    UpdateBufferCount();
    source->updateState();
}

void TDataSet::removeDataSource(TDataSource* source) {
    dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source), dataSources_.end());
    source->dataSet_ = nullptr;
    source->updateState();
    UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(TDataSource* source) const {
    for (int guard = 0; source && guard < 1000; ++guard) {
        TDataSet* ds = source->DataSet();
        if (!ds) break;
        if (ds == this) return true;
        source = ds->DataSource();
    }
    return false;
}

// ---- the record-buffer window ----

void TDataSet::setBufListSize(int value) {
    while (static_cast<int>(buffers_.size()) < value) {
        buffers_.push_back(nullptr);
        buffers_.back() = AllocRecordBuffer();
    }
    while (static_cast<int>(buffers_.size()) > value) {
        TRecordBuffer b = buffers_.back();
        buffers_.pop_back();
        if (b) FreeRecordBuffer(b);
    }
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen() || !internalOpenComplete_) return;
    int count = 1;
    for (TDataSource* s : dataSources_)
        for (TDataLink* l : s->links_)
            count = std::max(count, l->bufferCount_);
    SetBufferCount(count);
}

void TDataSet::SetBufferCount(int value) {
    if (value < 1) value = 1;
    if (bufferCount_ == value) return;
    auto adjustFirstRecords = [this](int delta) {
        if (delta == 0) return;
        for (TDataSource* s : dataSources_)
            for (TDataLink* l : s->links_)
                if (l->active_) l->firstRecord_ = std::max(0, l->firstRecord_ + delta);
    };
    if (bufferCount_ > value && recordCount_ > 0) {
        // Keep the active record inside the smaller window: drop records from the front.
        int shift = std::max(0, activeRecord_ - (value - 1));
        if (shift > 0) {
            std::rotate(buffers_.begin(), buffers_.begin() + shift, buffers_.end());
            recordCount_ -= shift;
            activeRecord_ -= shift;
            currentRecord_ -= shift;
            adjustFirstRecords(-shift);
        }
        if (recordCount_ > value) recordCount_ = value;
        if (currentRecord_ < 0 || currentRecord_ >= recordCount_) currentRecord_ = -1;
    }
    setBufListSize(value + 1);
    bufferCount_ = value;
    if (!(ComponentState() & csDestroying)) {
        GetNextRecords();
        adjustFirstRecords(GetPriorRecords());
    }
}

void TDataSet::ClearBuffers() {
    recordCount_ = 0;
    activeRecord_ = 0;
    currentRecord_ = -1;
    bof_ = true;
    eof_ = true;
}

void TDataSet::ActivateBuffers() {
    recordCount_ = 1;
    activeRecord_ = 0;
    currentRecord_ = 0;
    bof_ = false;
    eof_ = false;
}

void TDataSet::MoveBuffer(int curIndex, int newIndex) {
    if (curIndex == newIndex) return;
    TRecordBuffer b = buffers_[curIndex];
    if (curIndex < newIndex)
        std::move(buffers_.begin() + curIndex + 1, buffers_.begin() + newIndex + 1,
                  buffers_.begin() + curIndex);
    else
        std::move_backward(buffers_.begin() + newIndex, buffers_.begin() + curIndex,
                           buffers_.begin() + curIndex + 1);
    buffers_[newIndex] = b;
}

void TDataSet::SetCurrentRecord(int index) {
    if (currentRecord_ == index) return;
    TRecordBuffer b = buffers_[index];
    switch (GetBookmarkFlag(b)) {
    case bfCurrent:
    case bfInserted:
        InternalSetToRecord(b);
        break;
    case bfBOF:
        InternalFirst();
        break;
    case bfEOF:
        InternalLast();
        break;
    }
    currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
    if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (recordCount_ > 0) {
        SetCurrentRecord(recordCount_ - 1);
        if (state_ == dsInsert && currentRecord_ == activeRecord_ &&
            GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
            mode = gmCurrent;
    }
    bool ok = GetRecord(buffers_[recordCount_], mode, true) == grOK;
    if (ok) {
        if (recordCount_ == 0)
            ActivateBuffers();
        else if (recordCount_ < bufferCount_)
            ++recordCount_;
        else
            MoveBuffer(0, recordCount_);
        currentRecord_ = recordCount_ - 1;
    } else
        CursorPosChanged();
    return ok;
}

bool TDataSet::GetPriorRecord() {
    if (recordCount_ > 0) SetCurrentRecord(0);
    bool ok = GetRecord(buffers_[recordCount_], gmPrior, true) == grOK;
    if (ok) {
        if (recordCount_ == 0)
            ActivateBuffers();
        else {
            MoveBuffer(recordCount_, 0);
            if (recordCount_ < bufferCount_) {
                ++recordCount_;
                ++activeRecord_;
            }
        }
        currentRecord_ = 0;
    } else
        CursorPosChanged();
    return ok;
}

int TDataSet::GetNextRecords() {
    int n = 0;
    while (recordCount_ < bufferCount_ && GetNextRecord())
        ++n;
    return n;
}

int TDataSet::GetPriorRecords() {
    int n = 0;
    while (recordCount_ < bufferCount_ && GetPriorRecord())
        ++n;
    return n;
}

// ---- navigation ----

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    auto done = [this] {
        bof_ = true;
        DataEvent(deDataSetChange, 0);
        DoAfterScroll();
    };
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        done();
        throw;
    }
    done();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    auto done = [this] {
        eof_ = true;
        DataEvent(deDataSetChange, 0);
        DoAfterScroll();
    };
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        done();
        throw;
    }
    done();
}

int TDataSet::MoveBy(int distance) {
    CheckBrowseMode();
    int result = 0;
    DoBeforeScroll();
    if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
        bof_ = false;
        eof_ = false;
        int scrollCount = 0;
        auto done = [&] {
            DataEvent(deDataSetScroll, scrollCount);
            DoAfterScroll();
        };
        try {
            while (distance > 0) {
                if (activeRecord_ < recordCount_ - 1)
                    ++activeRecord_;
                else {
                    int full = recordCount_ < bufferCount_ ? 0 : 1;
                    if (GetNextRecord())
                        scrollCount -= full;
                    else {
                        eof_ = true;
                        break;
                    }
                }
                --distance;
                ++result;
            }
            while (distance < 0) {
                if (activeRecord_ > 0)
                    --activeRecord_;
                else {
                    int full = recordCount_ < bufferCount_ ? 0 : 1;
                    if (GetPriorRecord())
                        scrollCount += full;
                    else {
                        bof_ = true;
                        break;
                    }
                }
                ++distance;
                --result;
            }
        } catch (...) {
            done();
            throw;
        }
        done();
    }
    return result;
}

void TDataSet::Resync(TResyncMode mode) {
    TRecordBuffer scratch = buffers_[recordCount_];
    if (mode & rmExact) {
        CursorPosChanged();
        if (GetRecord(scratch, gmCurrent, true) != grOK) DatabaseError("Record not found", this);
    } else if (GetRecord(scratch, gmCurrent, false) != grOK && GetRecord(scratch, gmNext, false) != grOK &&
               GetRecord(scratch, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange, 0);
        return;
    }
    int count = (mode & rmCenter) ? (bufferCount_ - 1) / 2 : activeRecord_;
    MoveBuffer(recordCount_, 0);
    ActivateBuffers();
    try {
        while (count > 0 && GetPriorRecord())
            --count;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange, 0);
        throw;
    }
    DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    UpdateCursorPos();
    InternalRefresh();
    Resync(0);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode, 0);
    switch (state_) {
    case dsEdit:
    case dsInsert:
        UpdateRecord();
        if (modified_)
            Post();
        else
            Cancel();
        break;
    case dsSetKey:
        Post();
        break;
    default:
        break;
    }
}

bool TDataSet::Locate(const std::string&, const Variant&, TLocateOptions) {
    return false;
}

Variant TDataSet::Lookup(const std::string&, const Variant&, const std::string&) {
    return Variant();
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) {
    DatabaseError("BLOB fields are not supported by this dataset", this);
}

// ---- bookmarks ----

TBookmark TDataSet::GetBookmark() {
    TBookmark r;
    if ((state_ == dsBrowse || state_ == dsEdit || state_ == dsInsert) && !IsEmpty() && bookmarkSize_ > 0 &&
        GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
        r.assign(static_cast<size_t>(bookmarkSize_), '\0');
        GetBookmarkData(ActiveBuffer(), r.data());
    }
    return r;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark.size() >= static_cast<size_t>(bookmarkSize_) && !bookmark.empty()
                             ? bookmark.data()
                             : nullptr);
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

// ---- editing ----

void TDataSet::UpdateRecord() {
    if (!IsWriteMode(state_)) DatabaseError("Dataset not in edit or insert mode", this);
    DataEvent(deUpdateRecord, 0);
}

void TDataSet::CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& errorEvent) {
    for (;;) {
        try {
            UpdateCursorPos();
            (this->*operation)();
            return;
        } catch (EDatabaseError& e) {
            TDataAction action = daFail;
            if (errorEvent) errorEvent(this, e, action);
            if (action == daFail) throw;
            if (action == daAbort) Abort();
        }
    }
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::Edit() {
    if (state_ == dsEdit || state_ == dsInsert) return;
    if (recordCount_ == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    DoBeforeEdit();
    CheckOperation(&TDataSet::opEdit, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange, 0);
    DoAfterEdit();
}

void TDataSet::beginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    DoBeforeInsert();
    DoBeforeScroll();
}

void TDataSet::endInsertAppend() {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        // The new record is given up: back to browsing the record it was inserted at.
        UpdateCursorPos();
        InternalCancel();
        SetState(dsBrowse);
        Resync(0);
        throw;
    }
    modified_ = false;
    DataEvent(deDataSetChange, 0);
    DoAfterInsert();
    DoAfterScroll();
}

void TDataSet::Insert() {
    beginInsertAppend();
    TBookmark oldCurrent = GetBookmark();
    MoveBuffer(recordCount_, activeRecord_);
    CursorPosChanged();
    TRecordBuffer buffer = ActiveBuffer();
    InitRecord(buffer);
    if (recordCount_ == 0 || oldCurrent.size() < static_cast<size_t>(bookmarkSize_) || oldCurrent.empty())
        SetBookmarkFlag(buffer, bfBOF);
    else
        SetBookmarkData(buffer, oldCurrent.data());
    if (recordCount_ < bufferCount_) ++recordCount_;
    InternalInsert();
    endInsertAppend();
}

void TDataSet::Append() {
    beginInsertAppend();
    ClearBuffers();
    TRecordBuffer buffer = buffers_[0];
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    recordCount_ = 1;
    bof_ = false;
    GetPriorRecords();
    InternalInsert();
    endInsertAppend();
}

void TDataSet::Post() {
    UpdateRecord();
    if (state_ != dsEdit && state_ != dsInsert) return;
    DataEvent(deCheckBrowseMode, 0);
    DoBeforePost();
    CheckOperation(&TDataSet::opPost, OnPostError);
    SetState(dsBrowse);
    Resync(0);
    DoAfterPost();
}

void TDataSet::Cancel() {
    if (state_ != dsEdit && state_ != dsInsert) return;
    DataEvent(deCheckBrowseMode, 0);
    DoBeforeCancel();
    bool scroll = state_ == dsInsert;
    if (scroll) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    SetState(dsBrowse);
    Resync(0);
    DoAfterCancel();
    if (scroll) DoAfterScroll();
}

void TDataSet::Delete() {
    CheckActive();
    if (state_ == dsInsert || state_ == dsSetKey) {
        Cancel();
        return;
    }
    if (recordCount_ == 0) DatabaseError("Cannot perform this operation on an empty dataset", this);
    DataEvent(deCheckBrowseMode, 0);
    DoBeforeDelete();
    DoBeforeScroll();
    CheckOperation(&TDataSet::opDelete, OnDeleteError);
    SetState(dsBrowse);
    Resync(0);
    DoAfterDelete();
    DoAfterScroll();
}

// ---- fields ----

void TDataSet::CreateFields() {
    for (int i = 0; i < fieldDefs_.Count(); ++i) {
        const TFieldDef& d = fieldDefs_[i];
        switch (d.DataType) {
        case ftUnknown:
        case ftCursor:
        case ftWideString:
            break; // no field class
        default:
            d.CreateField(this, this);
        }
    }
}

void TDataSet::DestroyFields() {
    fields_.Clear();
}

void TDataSet::BindFields(bool binding) {
    calcFieldsSize_ = 0;
    internalCalcFields_ = false;
    for (TField* f : fields_.list_) {
        if (!binding) {
            f->fieldNo_ = 0;
            continue;
        }
        if (f->Calculated()) {
            f->fieldNo_ = -1;
            f->offset_ = calcFieldsSize_;
            calcFieldsSize_ += f->DataSize() + 1;
            continue;
        }
        const TFieldDef* def = fieldDefs_.FindDef(f->FieldName());
        if (!def) DatabaseError("Field '" + f->FieldName() + "' not found", this);
        TFieldType a = f->DataType(), b = def->DataType;
        auto isText = [](TFieldType t) { return t == ftString || t == ftFixedChar; };
        auto isInt = [](TFieldType t) { return t == ftInteger || t == ftAutoInc; };
        auto isBlob = [](TFieldType t) { return t >= ftBlob && t <= ftTypedBinary; };
        if (a != b && !(isText(a) && isText(b)) && !(isInt(a) && isInt(b)) && !(isBlob(a) && isBlob(b)))
            DatabaseError("Type mismatch for field '" + f->FieldName() + "', expecting: " + FieldTypeName(a) +
                              " actual: " + FieldTypeName(b),
                          this);
        f->fieldNo_ = def->FieldNo;
        if (f->FieldKind() == fkInternalCalc) internalCalcFields_ = true;
    }
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (calcFieldsSize_ == 0 && !internalCalcFields_) return;
    TDataSetState saved = state_;
    state_ = dsCalcFields;
    try {
        CalculateFields(buffer);
    } catch (...) {
        state_ = saved;
        throw;
    }
    state_ = saved;
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
    calcBuffer_ = buffer;
    if (state_ != dsInternalCalc) {
        ClearCalcFields(buffer);
        for (TField* f : fields_.list_)
            if (f->FieldKind() == fkLookup) f->CalcLookupValue();
    }
    DoOnCalcFields();
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view fieldNames) const {
    std::vector<TField*> r;
    for (const std::string& n : SplitFieldNames(fieldNames))
        r.push_back(FieldByName(n));
    return r;
}

std::vector<std::string> TDataSet::GetFieldNames() {
    std::vector<std::string> r;
    if (fields_.Count() > 0) {
        for (TField* f : fields_)
            r.push_back(f->FieldName());
    } else {
        fieldDefs_.Update();
        for (int i = 0; i < fieldDefs_.Count(); ++i)
            r.push_back(fieldDefs_[i].Name);
    }
    return r;
}

Variant TDataSet::FieldValues(const std::string& fieldNames) const {
    std::vector<TField*> list = GetFieldList(fieldNames);
    if (list.size() == 1) return list[0]->AsVariant();
    std::vector<Variant> values;
    for (TField* f : list)
        values.push_back(f->AsVariant());
    return Variant(std::move(values));
}

void TDataSet::SetFieldValues(const std::string& fieldNames, const Variant& value) {
    std::vector<TField*> list = GetFieldList(fieldNames);
    if (list.size() == 1 && !value.IsArray()) {
        list[0]->SetAsVariant(value);
        return;
    }
    if (!value.IsArray() || value.ElementCount() != static_cast<int>(list.size()))
        DatabaseError("Number of values does not match the number of fields", this);
    for (size_t i = 0; i < list.size(); ++i)
        list[i]->SetAsVariant(value.Elements()[i]);
}

} // namespace cls
