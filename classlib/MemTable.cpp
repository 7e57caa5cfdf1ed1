// The in-memory tables and the table dataset over them: record layout, ordering by index,
// navigation through filters and ranges, key search, editing and master/detail.
#include "classlib/MemTable.h"

#include <algorithm>
#include <cstring>

namespace cls {

struct TMemTableData {
    std::string databaseName, tableName;
    std::vector<TMemFieldSpec> fields;
    std::vector<TMemIndexSpec> indexes;
    std::vector<std::vector<int>> indexFields; // field positions of each index
    std::vector<int> offsets;                  // each field: a not-null byte, then its native value
    std::vector<int> sizes;                    // bytes of each native value
    int recordSize = 0;
    struct Row {
        std::vector<char> data;
        bool deleted = false; // kept in place so that positions and bookmarks stay valid
    };
    std::vector<Row> rows;
    uint64_t version = 0; // changes whenever the order of rows may change
};

namespace {

std::vector<std::shared_ptr<TMemTableData>>& registry() {
    static std::vector<std::shared_ptr<TMemTableData>> tables;
    return tables;
}

int nativeSize(const TMemFieldSpec& f) {
    const bool sized = f.DataType == ftString || f.DataType == ftFixedChar || f.DataType == ftBytes ||
                       f.DataType == ftVarBytes;
    const int maxSize = f.DataType == ftString || f.DataType == ftFixedChar ? 8192 : 65535;
    if (sized && (f.Size < 1 || f.Size > maxSize))
        DatabaseError("Field '" + f.Name + "': invalid size " + std::to_string(f.Size));
    const int n = NativeDataSize(f.DataType, f.Size);
    if (n < 0)
        DatabaseError("Field '" + f.Name + "': type " + FieldTypeName(f.DataType) + " is not supported");
    return n;
}

template <typename T> int sign(T a, T b) {
    return a < b ? -1 : b < a ? 1 : 0;
}

// Compares two stored values (each a not-null byte followed by the native value); null first.
int compareNative(TFieldType type, int size, const char* a, const char* b, bool ignoreCase) {
    bool na = a[0] == 0, nb = b[0] == 0;
    if (na || nb) return na == nb ? 0 : na ? -1 : 1;
    return CompareNative(NativeKindOf(type), a + 1, b + 1, static_cast<size_t>(size), ignoreCase);
}

// Compares two record images on the leading fields of an index.
int compareOnIndex(const TMemTableData& t, int index, const char* a, const char* b, int fieldCount) {
    const std::vector<int>& fields = t.indexFields[index];
    TIndexOptions opts = t.indexes[index].Options;
    int n = std::min<int>(fieldCount, static_cast<int>(fields.size()));
    for (int i = 0; i < n; ++i) {
        int f = fields[i];
        int c = compareNative(t.fields[f].DataType, t.sizes[f], a + t.offsets[f], b + t.offsets[f],
                              (opts & ixCaseInsensitive) != 0);
        if (c) return (opts & ixDescending) ? -c : c;
    }
    return 0;
}

} // namespace

// ---- TMemDatabase ----

void TMemDatabase::CreateTable(const std::string& databaseName, const std::string& tableName,
                               const std::vector<TMemFieldSpec>& fields,
                               const std::vector<TMemIndexSpec>& indexes) {
    if (tableName.empty()) DatabaseError("Table name missing");
    if (Find(databaseName, tableName)) DatabaseError("Table '" + tableName + "' already exists");
    if (fields.empty()) DatabaseError("Table '" + tableName + "' has no fields");
    auto t = std::make_shared<TMemTableData>();
    t->databaseName = databaseName;
    t->tableName = tableName;
    t->fields = fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].Name.empty()) DatabaseError("Field name missing");
        for (size_t j = 0; j < i; ++j)
            if (SameText(fields[i].Name, fields[j].Name))
                DatabaseError("Duplicate field name '" + fields[i].Name + "'");
        int n = nativeSize(fields[i]);
        t->offsets.push_back(t->recordSize);
        t->sizes.push_back(n);
        t->recordSize += n + 1;
    }
    for (const TMemIndexSpec& ix : indexes) {
        for (const TMemIndexSpec& other : t->indexes)
            if (SameText(other.Name, ix.Name)) DatabaseError("Duplicate index name '" + ix.Name + "'");
        std::vector<int> pos;
        for (const std::string& name : SplitFieldNames(ix.Fields)) {
            auto it = std::find_if(fields.begin(), fields.end(),
                                   [&](const TMemFieldSpec& f) { return SameText(f.Name, name); });
            if (it == fields.end()) DatabaseError("Index '" + ix.Name + "': field '" + name + "' not found");
            pos.push_back(static_cast<int>(it - fields.begin()));
        }
        if (pos.empty() || ix.Name.empty()) DatabaseError("Index '" + ix.Name + "' has no name or no fields");
        t->indexes.push_back(ix);
        t->indexFields.push_back(std::move(pos));
    }
    registry().push_back(std::move(t));
}

std::shared_ptr<TMemTableData> TMemDatabase::Find(const std::string& databaseName,
                                                  const std::string& tableName) {
    for (auto& t : registry())
        if (SameText(t->databaseName, databaseName) && SameText(t->tableName, tableName)) return t;
    return nullptr;
}

bool TMemDatabase::TableExists(const std::string& databaseName, const std::string& tableName) {
    return Find(databaseName, tableName) != nullptr;
}

void TMemDatabase::DropTable(const std::string& databaseName, const std::string& tableName) {
    auto& r = registry();
    r.erase(std::remove_if(r.begin(), r.end(),
                           [&](const std::shared_ptr<TMemTableData>& t) {
                               return SameText(t->databaseName, databaseName) &&
                                      SameText(t->tableName, tableName);
                           }),
            r.end());
}

void TMemDatabase::DropAll() {
    registry().clear();
}

int TMemDatabase::RowCount(const std::string& databaseName, const std::string& tableName) {
    auto t = Find(databaseName, tableName);
    if (!t) return 0;
    return static_cast<int>(
        std::count_if(t->rows.begin(), t->rows.end(), [](auto& r) { return !r.deleted; }));
}

void CreateContactsTable(const std::string& databaseName, bool withPassword) {
    std::vector<TMemFieldSpec> f = {
        {"name", ftString, 40}, {"id", ftString, 40}, {"servicenumber", ftInteger}};
    if (withPassword) f.push_back({"password", ftString, 20});
    for (int i = 1; i <= 10; ++i)
        f.push_back({"memberGr" + std::to_string(i), ftBoolean});
    TMemDatabase::CreateTable(databaseName, "contacts", f, {{"nameIndex", "name", ixCaseInsensitive}});
}

// ---- record access for the filter evaluator ----

class TMemTable::RowAccess : public TFilterRecord {
public:
    RowAccess(const TMemTableData& t, const char* image) : t_(t), image_(image) {}
    const void* Layout() const override { return &t_; }
    int FieldCount() const override { return static_cast<int>(t_.fields.size()); }
    std::string_view FieldName(int no) const override {
        return no >= 1 && no <= FieldCount() ? std::string_view(t_.fields[no - 1].Name) : std::string_view();
    }
    bool FieldValue(int no, TFilterValue& v) const override {
        if (no < 1 || no > FieldCount()) return false;
        const char* p = image_ + t_.offsets[no - 1];
        NativeFieldValue(t_.fields[no - 1].DataType, p + 1, t_.sizes[no - 1], p[0] == 0, v);
        return true;
    }

private:
    const TMemTableData& t_;
    const char* image_;
};

// ---- TMemTable ----

TMemTable::TMemTable(TComponent* owner) : TDataSet(owner), indexDefs_(this) {
    masterLink_ = std::make_unique<TMasterDataLink>(this);
    masterLink_->OnMasterChange = [this](TMasterDataLink*) {
        if (!Active()) return;
        CheckBrowseMode();
        applyMasterRange();
        First();
    };
    masterLink_->OnMasterDisable = [this](TMasterDataLink*) {
        if (!Active()) return;
        clearRange();
        First();
    };
}

TMemTable::~TMemTable() {
    Destroying();
    try {
        Close();
    } catch (...) {
    }
    masterLink_.reset();
}

void TMemTable::SetDatabaseName(const std::string& name) {
    CheckInactive();
    databaseName_ = name;
    indexDefs_.Updated = false;
    FieldDefs().Updated = false;
}

void TMemTable::SetSessionName(const std::string& name) {
    CheckInactive();
    sessionName_ = name;
}

void TMemTable::SetTableName(const std::string& name) {
    CheckInactive();
    tableName_ = name;
    indexDefs_.Updated = false;
    FieldDefs().Updated = false;
}

void TMemTable::SetReadOnly(bool value) {
    CheckInactive();
    readOnly_ = value;
}

void TMemTable::SetExclusive(bool value) {
    CheckInactive();
    exclusive_ = value;
}

// ---- buffers and bookmarks ----

TRecordBuffer TMemTable::AllocRecordBuffer() {
    return new char[static_cast<size_t>(bufferSize_)]();
}

void TMemTable::FreeRecordBuffer(TRecordBuffer& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

void TMemTable::GetBookmarkData(TRecordBuffer buffer, void* data) {
    std::memcpy(data, buffer + bookmarkOffset_, 4);
}

void TMemTable::SetBookmarkData(TRecordBuffer buffer, const void* data) {
    std::memcpy(buffer + bookmarkOffset_, data, 4);
}

TBookmarkFlag TMemTable::GetBookmarkFlag(TRecordBuffer buffer) {
    return static_cast<TBookmarkFlag>(buffer[flagOffset_]);
}

void TMemTable::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) {
    buffer[flagOffset_] = static_cast<char>(value);
}

void TMemTable::ClearCalcFields(TRecordBuffer buffer) {
    std::memset(buffer + recordSize_, 0, static_cast<size_t>(CalcFieldsSize()));
}

TRecordBuffer TMemTable::activeRecBuf() {
    switch (State()) {
    case dsBrowse:
        return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
        return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
        return CalcBuffer();
    case dsFilter:
        return filterBuffer_.empty() ? nullptr : filterBuffer_.data();
    case dsSetKey:
        return keyBuffer_.empty() ? nullptr : keyBuffer_.data();
    case dsOldValue:
        if (oldValid_) return oldBuffer_.data();
        return IsEmpty() ? nullptr : ActiveBuffer();
    default:
        return nullptr;
    }
}

// ---- opening ----

void TMemTable::InternalInitFieldDefs() {
    std::shared_ptr<TMemTableData> t = table_ ? table_ : TMemDatabase::Find(databaseName_, tableName_);
    if (!t)
        DatabaseError("Table '" + tableName_ + "' does not exist in database '" + databaseName_ + "'", this);
    FieldDefs().Clear();
    for (const TMemFieldSpec& f : t->fields) {
        bool sized = f.DataType == ftString || f.DataType == ftFixedChar || f.DataType == ftBytes ||
                     f.DataType == ftVarBytes;
        FieldDefs().Add(f.Name, f.DataType, sized ? f.Size : 0, f.Required);
    }
}

void TMemTable::InternalOpen() {
    if (tableName_.empty()) DatabaseError("No table name specified", this);
    table_ = TMemDatabase::Find(databaseName_, tableName_);
    if (!table_)
        DatabaseError("Table '" + tableName_ + "' does not exist in database '" + databaseName_ + "'", this);
    InternalInitFieldDefs();
    FieldDefs().Updated = true;
    if (DefaultFields())
        CreateFields();
    else
        for (TField* f : Fields())
            if (f->DataType() == ftString || f->DataType() == ftFixedChar)
                if (TFieldDef* d = FieldDefs().FindDef(f->FieldName()); d && d->Size != f->Size())
                    f->SetSize(d->Size);
    BindFields(true);
    recordSize_ = table_->recordSize;
    bookmarkOffset_ = recordSize_ + CalcFieldsSize();
    flagOffset_ = bookmarkOffset_ + 4;
    bufferSize_ = flagOffset_ + 1;
    SetBookmarkSize(4);
    indexNo_ = byFieldNames_        ? findIndex(indexFieldNames_, true)
               : indexName_.empty() ? -1
                                    : findIndex(indexName_, false);
    orderIndex_ = -2;
    filterBuffer_.assign(static_cast<size_t>(bufferSize_), 0);
    keyBuffer_.assign(static_cast<size_t>(bufferSize_), 0);
    savedKey_ = keyBuffer_;
    oldBuffer_ = keyBuffer_;
    rangeStart_ = rangeEnd_ = keyBuffer_;
    keyFieldCount_ = savedKeyFieldCount_ = 0;
    compileFilter(Filter(), FilterOptions());
    open_ = true;
    InternalFirst();
    if (masterLink_->Active() && !masterLink_->Fields().empty()) applyMasterRange();
}

void TMemTable::InternalClose() {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
    table_.reset();
    filterExpr_.reset();
    rangeActive_ = false;
    oldValid_ = false;
    pos_ = Pos::Bof;
    filterBuffer_.clear();
    keyBuffer_.clear();
    keySaved_.clear();
    savedKey_.clear();
    oldBuffer_.clear();
}

void TMemTable::compileFilter(const std::string& text, TFilterOptions options) {
    if (Trim(text).empty()) {
        filterExpr_.reset();
        return;
    }
    std::vector<TFilterField> fields;
    for (size_t i = 0; i < table_->fields.size(); ++i)
        fields.push_back({table_->fields[i].Name, static_cast<int>(i) + 1, table_->fields[i].DataType});
    filterExpr_ = std::make_unique<TFilterExpression>(BuildFilterExpression(text, options, fields));
}

// ---- order and visibility ----

const std::vector<uint32_t>& TMemTable::order() {
    if (orderVersion_ == table_->version && orderIndex_ == indexNo_ && order_.size() == table_->rows.size())
        return order_;
    uint32_t n = static_cast<uint32_t>(table_->rows.size());
    order_.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        order_[i] = i;
    if (indexNo_ >= 0) {
        const TMemTableData& t = *table_;
        int all = static_cast<int>(t.indexFields[indexNo_].size());
        std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
            return compareOnIndex(t, indexNo_, t.rows[a].data.data(), t.rows[b].data.data(), all) < 0;
        });
    }
    orderPos_.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        orderPos_[order_[i]] = i;
    orderVersion_ = table_->version;
    orderIndex_ = indexNo_;
    return order_;
}

uint32_t TMemTable::orderPos(uint32_t row) {
    order();
    return orderPos_[row];
}

int TMemTable::compareRows(const char* a, const char* b, int fieldCount) const {
    return indexNo_ < 0 ? 0 : compareOnIndex(*table_, indexNo_, a, b, fieldCount);
}

bool TMemTable::passesFilter(uint32_t row) {
    if (!Filtered() && !searchFiltering_) return true;
    const char* image = table_->rows[row].data.data();
    if (filterExpr_ && !filterExpr_->Matches(RowAccess(*table_, image))) return false;
    TFilterRecordEvent handler = OnFilterRecord();
    if (!handler) return true;
    std::memcpy(filterBuffer_.data(), image, static_cast<size_t>(recordSize_));
    ClearCalcFields(filterBuffer_.data());
    TempState temp(this, dsFilter);
    bool accept = true;
    try {
        handler(this, accept);
    } catch (...) {
        // A failing handler is reported and the row is kept, as the dataset layer does.
        InternalHandleException();
        accept = true;
    }
    return accept;
}

bool TMemTable::visible(uint32_t row) {
    const TMemTableData::Row& r = table_->rows[row];
    if (r.deleted) return false;
    if (rangeActive_ && indexNo_ >= 0) {
        if (rangeStartCount_ > 0 && compareRows(r.data.data(), rangeStart_.data(), rangeStartCount_) < 0)
            return false;
        if (rangeEndCount_ > 0 && compareRows(r.data.data(), rangeEnd_.data(), rangeEndCount_) > 0)
            return false;
    }
    return passesFilter(row);
}

bool TMemTable::moveNext() {
    const std::vector<uint32_t>& o = order();
    size_t n = o.size();
    size_t i = pos_ == Pos::Bof ? 0 : pos_ == Pos::Eof ? n : orderPos_[row_] + 1;
    for (; i < n; ++i) {
        uint32_t r = order_[i];
        if (visible(r)) {
            pos_ = Pos::OnRow;
            row_ = r;
            return true;
        }
    }
    pos_ = Pos::Eof;
    return false;
}

bool TMemTable::movePrior() {
    const std::vector<uint32_t>& o = order();
    long i = pos_ == Pos::Eof   ? static_cast<long>(o.size()) - 1
             : pos_ == Pos::Bof ? -1
                                : long(orderPos_[row_]) - 1;
    for (; i >= 0; --i) {
        uint32_t r = order_[static_cast<size_t>(i)];
        if (visible(r)) {
            pos_ = Pos::OnRow;
            row_ = r;
            return true;
        }
    }
    pos_ = Pos::Bof;
    return false;
}

// ---- the cursor protocol ----

void TMemTable::InternalFirst() {
    pos_ = Pos::Bof;
}
void TMemTable::InternalLast() {
    pos_ = Pos::Eof;
}

void TMemTable::InternalGotoBookmark(const void* bookmark) {
    if (!bookmark) DatabaseError("Invalid bookmark", this);
    uint32_t id;
    std::memcpy(&id, bookmark, 4);
    if (id < 1 || id > table_->rows.size()) DatabaseError("Invalid bookmark", this);
    pos_ = Pos::OnRow;
    row_ = id - 1;
}

void TMemTable::InternalSetToRecord(TRecordBuffer buffer) {
    InternalGotoBookmark(buffer + bookmarkOffset_);
}

TGetResult TMemTable::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
    TGetResult r = grOK;
    switch (mode) {
    case gmCurrent:
        if (pos_ == Pos::Bof)
            r = grBOF;
        else if (pos_ == Pos::Eof)
            r = grEOF;
        else if (!visible(row_))
            r = grError;
        break;
    case gmNext:
        if (!moveNext()) r = grEOF;
        break;
    case gmPrior:
        if (!movePrior()) r = grBOF;
        break;
    }
    if (r == grOK) {
        std::memcpy(buffer, table_->rows[row_].data.data(), static_cast<size_t>(recordSize_));
        uint32_t id = row_ + 1;
        std::memcpy(buffer + bookmarkOffset_, &id, 4);
        buffer[flagOffset_] = bfCurrent;
        GetCalcFields(buffer);
    } else if (r == grError && doCheck)
        DatabaseError("Record not found or deleted", this);
    return r;
}

void TMemTable::InternalInitRecord(TRecordBuffer buffer) {
    std::memset(buffer, 0, static_cast<size_t>(recordSize_));
}

void TMemTable::InternalEdit() {
    if (pos_ != Pos::OnRow || table_->rows[row_].deleted) DatabaseError("Record not found or deleted", this);
    std::memcpy(ActiveBuffer(), table_->rows[row_].data.data(), static_cast<size_t>(recordSize_));
    std::memcpy(oldBuffer_.data(), ActiveBuffer(), static_cast<size_t>(bufferSize_));
    oldValid_ = true;
}

void TMemTable::storeRecord(const char* image, bool insert) {
    TMemTableData& t = *table_;
    for (size_t i = 0; i < t.fields.size(); ++i)
        if (t.fields[i].Required && image[t.offsets[i]] == 0)
            DatabaseError("Field '" + t.fields[i].Name + "' must have a value", this);
    if (!insert && (pos_ != Pos::OnRow || t.rows[row_].deleted))
        DatabaseError("Record not found or deleted", this);
    for (size_t ix = 0; ix < t.indexes.size(); ++ix) {
        if (!(t.indexes[ix].Options & (ixUnique | ixPrimary))) continue;
        int all = static_cast<int>(t.indexFields[ix].size());
        for (uint32_t r = 0; r < t.rows.size(); ++r)
            if (!t.rows[r].deleted && (insert || r != row_) &&
                compareOnIndex(t, static_cast<int>(ix), t.rows[r].data.data(), image, all) == 0)
                DatabaseError("Key violation: index '" + t.indexes[ix].Name + "' already holds this key",
                              this);
    }
    if (insert) {
        t.rows.push_back({std::vector<char>(image, image + recordSize_), false});
        row_ = static_cast<uint32_t>(t.rows.size() - 1);
        pos_ = Pos::OnRow;
    } else
        t.rows[row_].data.assign(image, image + recordSize_);
    ++t.version;
}

void TMemTable::InternalPost() {
    storeRecord(ActiveBuffer(), State() == dsInsert);
    oldValid_ = false;
}

void TMemTable::InternalAddRecord(TRecordBuffer buffer, bool) {
    storeRecord(buffer, true);
}

void TMemTable::InternalDelete() {
    // A row another table object already deleted is simply gone.
    if (pos_ == Pos::OnRow) table_->rows[row_].deleted = true;
}

// ---- field data ----

bool TMemTable::GetFieldData(TField* field, void* buffer) {
    TRecordBuffer rec = open_ ? activeRecBuf() : nullptr;
    if (!rec) return false;
    size_t want = static_cast<size_t>(field->DataSize());
    if (field->Calculated()) {
        TDataSetState s = State();
        if (s != dsBrowse && s != dsEdit && s != dsInsert && s != dsCalcFields) return false;
        const char* p = rec + recordSize_ + field->Offset();
        bool notNull = p[0] != 0;
        if (buffer) {
            if (notNull)
                std::memcpy(buffer, p + 1, want);
            else
                std::memset(buffer, 0, want);
        }
        return notNull;
    }
    int idx = field->FieldNo() - 1;
    if (idx < 0 || idx >= static_cast<int>(table_->fields.size())) return false;
    const char* p = rec + table_->offsets[idx];
    size_t have = static_cast<size_t>(table_->sizes[idx]);
    bool notNull = p[0] != 0;
    if (buffer) {
        std::memset(buffer, 0, want);
        if (notNull) std::memcpy(buffer, p + 1, std::min(want, have));
    }
    return notNull;
}

void TMemTable::SetFieldData(TField* field, const void* buffer) {
    TDataSetState s = State();
    if (!IsWriteMode(s)) DatabaseError("Dataset not in edit or insert mode", this);
    TRecordBuffer rec = activeRecBuf();
    if (!rec) DatabaseError("No current record", this);
    size_t size = static_cast<size_t>(field->DataSize());
    if (field->Calculated()) {
        char* p = rec + recordSize_ + field->Offset();
        p[0] = buffer ? 1 : 0;
        if (buffer)
            std::memcpy(p + 1, buffer, size);
        else
            std::memset(p + 1, 0, size);
        return;
    }
    if (s == dsCalcFields) DatabaseError("Dataset not in edit or insert mode", this);
    if (field->ReadOnly && s != dsSetKey && s != dsFilter)
        DatabaseError("Field '" + field->DisplayName() + "' cannot be modified", this);
    int idx = field->FieldNo() - 1;
    if (idx < 0 || idx >= static_cast<int>(table_->fields.size()))
        DatabaseError("Field '" + field->DisplayName() + "' is not bound to the table", this);
    if (s == dsSetKey) {
        bool isKey = false;
        if (indexNo_ >= 0) {
            const std::vector<int>& keys = table_->indexFields[static_cast<size_t>(indexNo_)];
            isKey = std::find(keys.begin(), keys.end(), idx) != keys.end();
        }
        if (!isKey)
            DatabaseError("Field '" + field->DisplayName() + "' is not part of the current index", this);
    }
    field->Validate(buffer);
    if (field->FieldKind() != fkInternalCalc) {
        char* p = rec + table_->offsets[idx];
        size_t have = static_cast<size_t>(table_->sizes[idx]);
        std::memset(p + 1, 0, have);
        p[0] = buffer ? 1 : 0;
        if (buffer) std::memcpy(p + 1, buffer, std::min(size, have));
    }
    if (s != dsCalcFields && s != dsFilter && s != dsNewValue)
        DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---- indexes ----

int TMemTable::findIndex(const std::string& name, bool byFields) const {
    const TMemTableData& t = *table_;
    if (byFields) {
        std::vector<std::string> wanted = SplitFieldNames(name);
        for (bool whole : {true, false})
            for (size_t i = 0; i < t.indexes.size(); ++i) {
                std::vector<std::string> have = SplitFieldNames(t.indexes[i].Fields);
                if (wanted.empty() || have.size() < wanted.size() || (whole && have.size() != wanted.size()))
                    continue;
                if (std::equal(wanted.begin(), wanted.end(), have.begin(),
                               [](const std::string& a, const std::string& b) { return SameText(a, b); }))
                    return static_cast<int>(i);
            }
        DatabaseError("No index for fields '" + name + "'", this);
    }
    for (size_t i = 0; i < t.indexes.size(); ++i)
        if (SameText(t.indexes[i].Name, name)) return static_cast<int>(i);
    DatabaseError("Index '" + name + "' not found", this);
}

void TMemTable::switchIndex(int index) {
    UpdateCursorPos();
    indexNo_ = index;
    keyFieldCount_ = 0;
    std::fill(keyBuffer_.begin(), keyBuffer_.end(), 0);
    rangeActive_ = false;
    if (masterLink_->Active() && !masterLink_->Fields().empty() && index >= 0) applyMasterRange();
    Resync(0);
}

void TMemTable::SetIndexName(const std::string& name) {
    if (!byFieldNames_ && SameText(name, indexName_)) return;
    if (open_) {
        CheckBrowseMode();
        int index = name.empty() ? -1 : findIndex(name, false);
        indexName_ = name;
        byFieldNames_ = false;
        switchIndex(index);
    } else {
        indexName_ = name;
        byFieldNames_ = false;
    }
}

void TMemTable::SetIndexFieldNames(const std::string& names) {
    if (byFieldNames_ && SameText(names, indexFieldNames_)) return;
    if (Trim(names).empty()) {
        indexFieldNames_.clear();
        byFieldNames_ = false;
        SetIndexName("");
        return;
    }
    if (open_) {
        CheckBrowseMode();
        int index = findIndex(names, true);
        indexFieldNames_ = names;
        indexName_ = table_->indexes[static_cast<size_t>(index)].Name;
        byFieldNames_ = true;
        switchIndex(index);
    } else {
        indexFieldNames_ = names;
        byFieldNames_ = true;
    }
}

TIndexDefs& TMemTable::IndexDefs() {
    indexDefs_.Update();
    return indexDefs_;
}

void TMemTable::UpdateIndexDefs() {
    std::shared_ptr<TMemTableData> t = table_ ? table_ : TMemDatabase::Find(databaseName_, tableName_);
    if (!t)
        DatabaseError("Table '" + tableName_ + "' does not exist in database '" + databaseName_ + "'", this);
    indexDefs_.Clear();
    for (const TMemIndexSpec& ix : t->indexes)
        indexDefs_.Add(ix.Name, ix.Fields, ix.Options);
}

int TMemTable::IndexFieldCount() const {
    return open_ && indexNo_ >= 0
               ? static_cast<int>(table_->indexFields[static_cast<size_t>(indexNo_)].size())
               : 0;
}

TField* TMemTable::keyField(int i) const {
    if (i < 0 || i >= IndexFieldCount()) DatabaseError("Key field index out of range", this);
    const std::string& name =
        table_
            ->fields[static_cast<size_t>(
                table_->indexFields[static_cast<size_t>(indexNo_)][static_cast<size_t>(i)])]
            .Name;
    TField* f = FindField(name);
    if (!f) DatabaseError("Index field '" + name + "' has no field object", this);
    return f;
}

TField* TMemTable::IndexFields(int index) const {
    return keyField(index);
}

// ---- key search and ranges ----

void TMemTable::setKeyValues(const std::vector<Variant>& values, char* image, int& count) {
    if (indexNo_ < 0) DatabaseError("No index is active", this);
    if (static_cast<int>(values.size()) > IndexFieldCount())
        DatabaseError("Too many key values for the index", this);
    for (int i = 0; i < static_cast<int>(values.size()); ++i)
        keyField(i); // every key field exists before the key is touched
    // The key is saved in a buffer kept between searches; a search started from a field's
    // handler while one is saved uses one of its own.
    std::vector<char> own;
    std::vector<char>& saved = keySaving_ ? own : keySaved_;
    saved.assign(keyBuffer_.begin(), keyBuffer_.end());
    struct Busy {
        bool& flag;
        bool was;
        explicit Busy(bool& f) : flag(f), was(f) { flag = true; }
        ~Busy() { flag = was; }
    } busy(keySaving_);
    std::fill(keyBuffer_.begin(), keyBuffer_.end(), 0);
    try {
        TempState temp(this, dsSetKey);
        for (size_t i = 0; i < values.size(); ++i)
            keyField(static_cast<int>(i))->SetAsVariant(values[i]);
    } catch (...) {
        keyBuffer_.assign(saved.begin(), saved.end());
        throw;
    }
    if (image != keyBuffer_.data()) {
        std::memcpy(image, keyBuffer_.data(), keyBuffer_.size());
        keyBuffer_.assign(saved.begin(), saved.end());
    }
    count = static_cast<int>(values.size());
}

void TMemTable::SetKey() {
    CheckBrowseMode();
    if (indexNo_ < 0) DatabaseError("No index is active", this);
    savedKey_ = keyBuffer_;
    savedKeyFieldCount_ = keyFieldCount_;
    std::fill(keyBuffer_.begin(), keyBuffer_.end(), 0);
    keyFieldCount_ = IndexFieldCount();
    SetState(dsSetKey);
    DataEvent(deDataSetChange, 0);
}

void TMemTable::EditKey() {
    CheckBrowseMode();
    if (indexNo_ < 0) DatabaseError("No index is active", this);
    savedKey_ = keyBuffer_;
    savedKeyFieldCount_ = keyFieldCount_;
    if (keyFieldCount_ == 0) keyFieldCount_ = IndexFieldCount();
    SetState(dsSetKey);
    DataEvent(deDataSetChange, 0);
}

void TMemTable::endKeyEdit(bool keep) {
    DataEvent(deCheckBrowseMode, 0);
    if (!keep) {
        keyBuffer_ = savedKey_;
        keyFieldCount_ = savedKeyFieldCount_;
    }
    SetState(dsBrowse);
    DataEvent(deDataSetChange, 0);
}

void TMemTable::Post() {
    if (State() == dsSetKey) {
        UpdateRecord();
        endKeyEdit(true);
        return;
    }
    TDataSet::Post();
}

void TMemTable::Cancel() {
    if (State() == dsSetKey) {
        endKeyEdit(false);
        return;
    }
    TDataSet::Cancel();
}

void TMemTable::moveToRow(uint32_t row) {
    pos_ = Pos::OnRow;
    row_ = row;
    Resync(rmExact | rmCenter);
}

TMemTable::KeySearch TMemTable::startKeySearch() {
    CheckBrowseMode();
    if (indexNo_ < 0) DatabaseError("No index is active", this);
    DoBeforeScroll();
    KeySearch s;
    s.n = keyFieldCount_ > 0 ? std::min(keyFieldCount_, IndexFieldCount()) : IndexFieldCount();
    s.live = &order();
    if (Filtered() || searchFiltering_) {
        s.copy = *s.live;
        s.live = nullptr;
    }
    const std::vector<uint32_t>& o = s.rows();
    const TMemTableData& t = *table_;
    const char* key = keyBuffer_.data();
    s.first = size_t(std::lower_bound(o.begin(), o.end(), key,
                                      [&](uint32_t r, const char* k) {
                                          return compareRows(t.rows[r].data.data(), k, s.n) < 0;
                                      }) -
                     o.begin());
    return s;
}

bool TMemTable::keyMatches(uint32_t row, int n) const {
    return compareRows(table_->rows[row].data.data(), keyBuffer_.data(), n) == 0;
}

bool TMemTable::GotoKey() {
    const KeySearch s = startKeySearch();
    const std::vector<uint32_t>& o = s.rows();
    for (size_t i = s.first; i < o.size() && keyMatches(o[i], s.n); ++i)
        if (visible(o[i])) {
            CursorPosChanged();
            moveToRow(o[i]);
            DoAfterScroll();
            return true;
        }
    return false;
}

void TMemTable::GotoNearest() {
    const KeySearch s = startKeySearch();
    const std::vector<uint32_t>& o = s.rows();
    pos_ = Pos::Eof;
    for (size_t i = s.first; i < o.size(); ++i)
        if (visible(o[i])) {
            pos_ = Pos::OnRow;
            row_ = o[i];
            break;
        }
    CursorPosChanged();
    Resync(rmCenter);
    DoAfterScroll();
}

bool TMemTable::FindKey(const std::vector<Variant>& keyValues) {
    CheckBrowseMode();
    setKeyValues(keyValues, keyBuffer_.data(), keyFieldCount_);
    return GotoKey();
}

void TMemTable::FindNearest(const std::vector<Variant>& keyValues) {
    CheckBrowseMode();
    setKeyValues(keyValues, keyBuffer_.data(), keyFieldCount_);
    GotoNearest();
}

void TMemTable::SetRange(const std::vector<Variant>& startValues, const std::vector<Variant>& endValues) {
    CheckBrowseMode();
    std::vector<char> start(keyBuffer_.size()), end(keyBuffer_.size());
    int startCount, endCount;
    setKeyValues(startValues, start.data(), startCount);
    setKeyValues(endValues, end.data(), endCount);
    rangeStart_ = std::move(start);
    rangeEnd_ = std::move(end);
    rangeStartCount_ = startCount;
    rangeEndCount_ = endCount;
    rangeActive_ = true;
    First();
}

void TMemTable::CancelRange() {
    CheckBrowseMode();
    clearRange();
    First();
}

void TMemTable::clearRange() {
    rangeActive_ = false;
    rangeStartCount_ = rangeEndCount_ = 0;
}

void TMemTable::applyMasterRange() {
    std::vector<Variant> values;
    for (TField* f : masterLink_->Fields())
        values.push_back(f->AsVariant());
    std::vector<char> key(keyBuffer_.size());
    int count;
    setKeyValues(values, key.data(), count);
    rangeStart_ = key;
    rangeEnd_ = std::move(key);
    rangeStartCount_ = rangeEndCount_ = count;
    rangeActive_ = true;
}

void TMemTable::SetMasterSource(TDataSource* source) {
    if (source && IsLinkedTo(source)) DatabaseError("Circular datalinks are not allowed", this);
    masterLink_->SetDataSource(source);
}

// ---- searching ----

bool TMemTable::locateRow(const std::string& keyFields, const Variant& keyValues, TLocateOptions options,
                          uint32_t& row) {
    std::vector<TField*> fields = GetFieldList(keyFields);
    std::vector<Variant> values;
    if (fields.size() == 1 && !(keyValues.IsArray() && keyValues.ElementCount() == 1))
        values.push_back(keyValues);
    else if (keyValues.IsArray() && keyValues.ElementCount() == static_cast<int>(fields.size()))
        values = keyValues.Elements();
    else
        DatabaseError("Number of key values does not match the number of key fields", this);
    bool ci = options & loCaseInsensitive, partial = options & loPartialKey;
    auto matches = [&](TField* f, const Variant& key) {
        Variant v = f->AsVariant();
        if (key.IsNull() || v.IsNull()) return key.IsNull() && v.IsNull();
        try {
            switch (f->DataType()) {
            case ftString:
            case ftFixedChar: {
                std::string a = v.AsString(), b = key.AsString();
                if (partial && a.size() > b.size()) a.resize(b.size());
                return CollateText(a, b, ci) == 0;
            }
            case ftBoolean:
                return v.AsBoolean() == key.AsBoolean();
            case ftSmallint:
            case ftInteger:
            case ftWord:
            case ftAutoInc:
                return v.AsInteger() == key.AsInteger();
            case ftFloat:
            case ftCurrency:
            case ftBCD:
                return v.AsFloat() == key.AsFloat();
            case ftDate:
            case ftTime:
            case ftDateTime:
                return v.AsDateTime() == key.AsDateTime();
            default:
                return v.AsString() == key.AsString();
            }
        } catch (const EConvertError&) {
            return false;
        }
    };
    for (uint32_t r : std::vector<uint32_t>(order())) {
        if (!visible(r)) continue;
        std::memcpy(filterBuffer_.data(), table_->rows[r].data.data(), static_cast<size_t>(recordSize_));
        TempState temp(this, dsFilter);
        bool all = true;
        for (size_t i = 0; i < fields.size() && all; ++i)
            all = matches(fields[i], values[i]);
        if (all) {
            row = r;
            return true;
        }
    }
    return false;
}

bool TMemTable::Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    uint32_t row;
    if (!locateRow(keyFields, keyValues, options, row)) return false;
    CursorPosChanged();
    moveToRow(row);
    DoAfterScroll();
    return true;
}

Variant TMemTable::Lookup(const std::string& keyFields, const Variant& keyValues,
                          const std::string& resultFields) {
    CheckBrowseMode();
    uint32_t row;
    if (!locateRow(keyFields, keyValues, 0, row)) return Variant();
    std::memcpy(filterBuffer_.data(), table_->rows[row].data.data(), static_cast<size_t>(recordSize_));
    TempState temp(this, dsCalcFields);
    CalculateFields(filterBuffer_.data());
    return FieldValues(resultFields);
}

bool TMemTable::FindRecord(bool restart, bool goForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    bool saved = searchFiltering_;
    if (!Filtered()) searchFiltering_ = true;
    bool found;
    try {
        if (goForward) {
            if (restart) InternalFirst();
            found = moveNext();
        } else {
            if (restart) InternalLast();
            found = movePrior();
        }
    } catch (...) {
        searchFiltering_ = saved;
        throw;
    }
    searchFiltering_ = saved;
    if (found) {
        Resync(rmExact | rmCenter);
        SetFound(true);
    }
    DoAfterScroll();
    return found;
}

int TMemTable::GetRecordCount() {
    CheckActive();
    int n = 0;
    for (uint32_t r : std::vector<uint32_t>(order()))
        if (visible(r)) ++n;
    return n;
}

bool TMemTable::BookmarkValid(const TBookmark& bookmark) {
    if (!open_ || bookmark.size() < 4) return false;
    uint32_t id;
    std::memcpy(&id, bookmark.data(), 4);
    return id >= 1 && id <= table_->rows.size() && visible(id - 1);
}

int TMemTable::CompareBookmarks(const TBookmark& b1, const TBookmark& b2) {
    if (b1.empty() || b2.empty()) return b1.empty() == b2.empty() ? 0 : b1.empty() ? 1 : -1;
    uint32_t x = 0, y = 0;
    std::memcpy(&x, b1.data(), std::min<size_t>(4, b1.size()));
    std::memcpy(&y, b2.data(), std::min<size_t>(4, b2.size()));
    if (open_ && x >= 1 && y >= 1 && x <= table_->rows.size() && y <= table_->rows.size())
        return sign(orderPos(x - 1), orderPos(y - 1));
    return sign(x, y);
}

bool TMemTable::GetCurrentRecord(TRecordBuffer buffer) {
    if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
    UpdateCursorPos();
    if (pos_ != Pos::OnRow || !visible(row_)) return false;
    std::memcpy(buffer, table_->rows[row_].data.data(), static_cast<size_t>(recordSize_));
    return true;
}

// ---- filters ----

void TMemTable::SetFilterText(const std::string& text) {
    if (text == Filter()) return;
    if (!open_) {
        TDataSet::SetFilterText(text);
        if (Trim(text).empty() && Filtered()) TDataSet::SetFiltered(false);
        return;
    }
    CheckBrowseMode();
    compileFilter(text, FilterOptions()); // a text that does not compile changes nothing
    TDataSet::SetFilterText(text);
    if (Trim(text).empty() && Filtered()) {
        TDataSet::SetFiltered(false);
        First();
    } else if (Filtered())
        First();
}

void TMemTable::SetFiltered(bool value) {
    if (value == Filtered()) return;
    if (!open_) {
        TDataSet::SetFiltered(value);
        return;
    }
    CheckBrowseMode();
    TDataSet::SetFiltered(value);
    First();
}

void TMemTable::SetFilterOptions(TFilterOptions value) {
    if (value == FilterOptions()) return;
    if (!open_) {
        TDataSet::SetFilterOptions(value);
        return;
    }
    CheckBrowseMode();
    compileFilter(Filter(), value);
    TDataSet::SetFilterOptions(value);
    if (Filtered()) First();
}

void TMemTable::SetOnFilterRecord(TFilterRecordEvent handler) {
    if (!open_) {
        TDataSet::SetOnFilterRecord(std::move(handler));
        return;
    }
    CheckBrowseMode();
    TDataSet::SetOnFilterRecord(std::move(handler));
    if (Filtered()) First();
}

} // namespace cls
