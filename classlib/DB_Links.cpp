// Data sources, data links and the master data link of master/detail datasets.
#include "classlib/DB.h"

#include <algorithm>

namespace cls {

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
    OnStateChange = nullptr;
    OnDataChange = nullptr;
    OnUpdateData = nullptr;
    SetDataSet(nullptr);
    while (!links_.empty())
        removeDataLink(links_.back());
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (IsLinkedTo(dataSet)) DatabaseError("Circular datalinks are not allowed", this);
    if (dataSet_) dataSet_->removeDataSource(this);
    if (dataSet) dataSet->addDataSource(this);
}

void TDataSource::SetEnabled(bool value) {
    enabled_ = value;
    updateState();
}

bool TDataSource::IsLinkedTo(TDataSet* dataSet) const {
    for (int guard = 0; dataSet && guard < 1000; ++guard) {
        TDataSource* s = dataSet->DataSource();
        if (!s) break;
        if (s == this) return true;
        dataSet = s->DataSet();
    }
    return false;
}

void TDataSource::Edit() {
    if (AutoEdit && dataSet_ && state_ == dsBrowse) dataSet_->Edit();
}

void TDataSource::updateState() {
    setState(enabled_ && dataSet_ ? dataSet_->State() : dsInactive);
}

void TDataSource::setState(TDataSetState value) {
    if (state_ == value) return;
    TDataSetState prior = state_;
    state_ = value;
    notifyDataLinks(deUpdateState, prior);
    if (!(ComponentState() & csDestroying) && OnStateChange) OnStateChange(this);
}

// Single-record links first, then multi-record ones (grids), each in reverse order of linking.
void TDataSource::notifyDataLinks(TDataEvent event, intptr_t info) {
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = links_.size(); i-- > 0;) {
            if (i >= links_.size()) continue;
            TDataLink* l = links_[i];
            if ((l->bufferCount_ > 1) == (pass == 1)) l->dataEvent(event, info);
        }
}

void TDataSource::dataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        updateState();
        return;
    }
    if (state_ == dsInactive) return;
    notifyDataLinks(event, info);
    switch (event) {
    case deFieldChange:
    case deRecordChange:
        if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(info));
        break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
        if (OnDataChange) OnDataChange(this, nullptr);
        break;
    case deUpdateRecord:
        if (OnUpdateData) OnUpdateData(this);
        break;
    default:
        break;
    }
}

void TDataSource::addDataLink(TDataLink* link) {
    links_.push_back(link);
    link->dataSource_ = this;
    if (dataSet_) dataSet_->UpdateBufferCount();
    link->updateState();
}

void TDataSource::removeDataLink(TDataLink* link) {
    link->dataSource_ = nullptr;
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    link->updateState();
    if (dataSet_) dataSet_->UpdateBufferCount();
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
    active_ = false;
    editing_ = false;
    DataSourceFixed = false;
    if (dataSource_) {
        TDataSource* s = dataSource_;
        dataSource_ = nullptr;
        s->links_.erase(std::remove(s->links_.begin(), s->links_.end(), this), s->links_.end());
        if (s->dataSet_) s->dataSet_->UpdateBufferCount();
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == dataSource_) return;
    if (DataSourceFixed) DatabaseError("Operation not allowed on a fixed data source link");
    if (dataSource_) dataSource_->removeDataLink(this);
    if (source) source->addDataLink(this);
}

void TDataLink::SetReadOnly(bool value) {
    if (readOnly_ == value) return;
    readOnly_ = value;
    updateState();
}

void TDataLink::SetBufferCount(int value) {
    if (value < 1) value = 1;
    if (bufferCount_ == value) return;
    bufferCount_ = value;
    if (active_) {
        updateRange();
        DataSet()->UpdateBufferCount();
        updateRange();
    }
}

int TDataLink::ActiveRecord() const {
    if (!dataSource_ || !DataSet() || dataSource_->State() == dsSetKey) return 0;
    return DataSet()->activeRecord_ - firstRecord_;
}

void TDataLink::SetActiveRecord(int value) {
    if (!dataSource_ || !DataSet() || dataSource_->State() == dsSetKey) return;
    TDataSet* ds = DataSet();
    int index = value + firstRecord_;
    if (index >= 0 && index < std::max(ds->recordCount_, 1)) ds->activeRecord_ = index;
}

int TDataLink::RecordCount() const {
    if (!dataSource_ || !DataSet()) return 0;
    if (dataSource_->State() == dsSetKey) return 1;
    int n = DataSet()->recordCount_ - firstRecord_;
    return std::max(0, std::min(n, bufferCount_));
}

bool TDataLink::Edit() {
    if (!readOnly_ && dataSource_) dataSource_->Edit();
    return editing_;
}

void TDataLink::UpdateRecord() {
    updating_ = true;
    try {
        UpdateData();
    } catch (...) {
        updating_ = false;
        throw;
    }
    updating_ = false;
}

void TDataLink::updateRange() {
    TDataSet* ds = DataSet();
    if (!ds) return;
    int lo = std::max(0, ds->activeRecord_ - bufferCount_ + 1);
    int hi = std::max(0, ds->bufferCount_ - bufferCount_);
    hi = std::min(hi, ds->activeRecord_);
    firstRecord_ = std::clamp(firstRecord_, lo, std::max(lo, hi));
}

void TDataLink::setActive(bool value) {
    if (active_ == value) return;
    active_ = value;
    if (value)
        updateRange();
    else
        firstRecord_ = 0;
    ActiveChanged();
}

void TDataLink::setEditing(bool value) {
    if (editing_ == value) return;
    editing_ = value;
    EditingChanged();
}

void TDataLink::updateState() {
    setActive(dataSource_ && dataSource_->State() != dsInactive);
    setEditing(dataSource_ && IsEditMode(dataSource_->State()) && !readOnly_);
}

void TDataLink::dataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        updateState();
        return;
    }
    if (!active_) return;
    switch (event) {
    case deFieldChange:
    case deRecordChange:
        if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
        break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
        int count = 0;
        if (dataSource_->State() != dsSetKey) {
            int active = DataSet()->activeRecord_;
            int first = firstRecord_ + static_cast<int>(info);
            int last = first + bufferCount_ - 1;
            if (active > last)
                count = active - last;
            else if (active < first)
                count = active - first;
            firstRecord_ = std::max(0, first + count);
        }
        if (event == deDataSetChange)
            DataSetChanged();
        else if (event == deDataSetScroll)
            DataSetScrolled(count);
        else
            LayoutChanged();
        break;
    }
    case deUpdateRecord:
        UpdateRecord();
        break;
    case deCheckBrowseMode:
        CheckBrowseMode();
        break;
    case deFocusControl:
        FocusControl(reinterpret_cast<TField*>(info));
        break;
    default:
        break;
    }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(const std::string& names) {
    if (names == fieldNames_) return;
    fieldNames_ = names;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    fields_.clear();
    if (Active()) {
        try {
            fields_ = DataSet()->GetFieldList(fieldNames_);
        } catch (...) {
            fields_.clear();
            throw;
        }
    }
    if (detail_->Active() && !(detail_->ComponentState() & csDestroying)) {
        if (Active() && !fields_.empty()) {
            if (OnMasterChange) OnMasterChange(this);
        } else if (OnMasterDisable)
            OnMasterDisable(this);
    }
}

void TMasterDataLink::CheckBrowseMode() {
    if (detail_->Active()) detail_->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
    if (DataSource()->State() != dsSetKey && detail_->Active() && !fields_.empty() &&
        (!field || std::find(fields_.begin(), fields_.end(), field) != fields_.end()) && OnMasterChange)
        OnMasterChange(this);
}

} // namespace cls
