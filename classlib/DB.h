// Class-library stand-in: the abstract dataset, fields and their native value formats, field and
// index definitions, data sources and data links (master/detail included) and query parameters.
#pragma once
#include "classlib/Classes.h"
#include "classlib/NativeValues.h"
#include "classlib/Variants.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cls {

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};
// Raises EDatabaseError; the message is prefixed with "<name>: " when the component has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);

// Field kinds, numbered as the dataset layer's conversions expect.
enum TFieldType {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString
};
const char* FieldTypeName(TFieldType t);
// Bytes of a value of type t in a record buffer, for a text or byte value of size bytes (text gets
// its terminator, var-bytes their length word); -1 for types without a fixed native form.
int NativeDataSize(TFieldType t, int size);
// The native kind a value of type t is stored as (classlib/NativeValues.h reads and writes it).
TNativeKind NativeKindOf(TFieldType t);

enum TDataSetState {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOldValue,
    dsInternalCalc
};
inline bool IsEditMode(TDataSetState s) {
    return s == dsEdit || s == dsInsert || s == dsSetKey;
}
inline bool IsWriteMode(TDataSetState s) {
    return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter ||
           s == dsNewValue || s == dsInternalCalc;
}

enum TDataEvent {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
    dePropertyChange,
    deFieldListChange,
    deFocusControl
};

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TDataAction { daFail, daAbort, daRetry };
enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

enum TResyncModeFlag : unsigned { rmExact = 1, rmCenter = 2 };
using TResyncMode = unsigned;
enum TFilterOption : unsigned { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = unsigned;
enum TLocateOption : unsigned { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = unsigned;
enum TIndexOption : unsigned {
    ixPrimary = 1,
    ixUnique = 2,
    ixDescending = 4,
    ixCaseInsensitive = 8,
    ixExpression = 16
};
using TIndexOptions = unsigned;

using TRecordBuffer = char*;
using TBookmark = std::string; // opaque bookmark bytes; empty = none

class TDataSet;
class TField;
class TDataSource;
class TDataLink;

using TDataSetNotifyEvent = std::function<void(TDataSet*)>;
using TDataSetErrorEvent = std::function<void(TDataSet*, EDatabaseError&, TDataAction&)>;
using TFilterRecordEvent = std::function<void(TDataSet*, bool& accept)>;
using TFieldNotifyEvent = std::function<void(TField*)>;

// Splits "a;b;c" (blanks around names ignored, empty names skipped).
std::vector<std::string> SplitFieldNames(std::string_view names);

// ---- fields ----

class TField : public TComponent {
public:
    explicit TField(TComponent* owner);
    ~TField() override;

    TDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TDataSet* dataSet);
    const std::string& FieldName() const { return fieldName_; }
    void SetFieldName(const std::string& name);
    int FieldNo() const { return fieldNo_; }
    TFieldKind FieldKind() const { return fieldKind_; }
    void SetFieldKind(TFieldKind kind);
    bool Calculated() const { return fieldKind_ == fkCalculated || fieldKind_ == fkLookup; }
    TFieldType DataType() const { return dataType_; }
    int Size() const { return size_; }
    virtual void SetSize(int size);
    virtual int DataSize() const { return 0; } // bytes of the native value in a record buffer
    int Offset() const { return offset_; }     // place in the calculated-field area
    virtual bool IsBlob() const { return false; }
    int Index() const;
    std::string DisplayName() const { return displayLabel.empty() ? fieldName_ : displayLabel; }

    bool ReadOnly = false;
    bool Required = false;
    bool Visible = true;
    std::string displayLabel;
    int DisplayWidth = 10;

    // Lookup fields: the value of LookupResultField in LookupDataSet where LookupKeyFields equal
    // this dataset's KeyFields.
    TDataSet* LookupDataSet() const { return lookupDataSet_; }
    void SetLookupDataSet(TDataSet* ds);
    std::string KeyFields, LookupKeyFields, LookupResultField;

    bool CanModify() const;
    bool IsNull() const;
    void Clear() { SetData(nullptr); }
    virtual std::string AsString() const;
    virtual void SetAsString(const std::string& value);
    virtual int32_t AsInteger() const;
    virtual void SetAsInteger(int32_t value);
    virtual bool AsBoolean() const;
    virtual void SetAsBoolean(bool value);
    virtual double AsFloat() const;
    virtual void SetAsFloat(double value);
    virtual TDateTime AsDateTime() const;
    virtual void SetAsDateTime(TDateTime value);
    virtual Variant AsVariant() const;
    virtual void SetAsVariant(const Variant& value);
    Variant Value() const { return AsVariant(); }
    void SetValue(const Variant& v) { SetAsVariant(v); }
    Variant OldValue() const; // the value before the current edit
    // Text shown and typed in controls.
    virtual std::string Text() const { return IsNull() ? std::string() : AsString(); }
    virtual void SetText(const std::string& value) { SetAsString(value); }
    std::string DisplayText() const { return Text(); }

    // Native value protocol: a nil buffer means null; GetData answers "not null".
    bool GetData(void* buffer) const;
    void SetData(const void* buffer);
    virtual void Validate(const void* buffer);
    void FocusControl();

    bool Modified = false; // BLOB fields: the value was written through a BLOB stream
    TFieldNotifyEvent OnChange;
    TFieldNotifyEvent OnValidate;

protected:
    void SetDataType(TFieldType t) { dataType_ = t; }
    [[noreturn]] void AccessError(const char* typeName) const;
    [[noreturn]] void ConvertError(const std::string& text, const char* what) const;
    void CheckInactive() const;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TDataSet;
    friend class TFields;
    void Change();
    void CalcLookupValue();

    TDataSet* dataSet_ = nullptr;
    TDataSet* lookupDataSet_ = nullptr;
    std::string fieldName_;
    int fieldNo_ = 0;
    TFieldKind fieldKind_ = fkData;
    TFieldType dataType_ = ftUnknown;
    int size_ = 0;
    int offset_ = 0;
    mutable const void* validating_ = nullptr;
    bool validatingSet_ = false;
};

// Zero-terminated text of Size characters (ftString, or ftFixedChar when FixedChar).
class TStringField : public TField {
public:
    explicit TStringField(TComponent* owner);
    int DataSize() const override { return Size() + 1; }
    bool FixedChar() const { return DataType() == ftFixedChar; }
    void SetFixedChar(bool v) { SetDataType(v ? ftFixedChar : ftString); }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t v) override { SetAsString(std::to_string(v)); }
    bool AsBoolean() const override;
    void SetAsBoolean(bool v) override { SetAsString(v ? "T" : "F"); }
    double AsFloat() const override;
    void SetAsFloat(double v) override { SetAsString(FloatToStr(v)); }
    TDateTime AsDateTime() const override;
    void SetAsDateTime(TDateTime v) override { SetAsString(DateTimeToStr(v)); }
    Variant AsVariant() const override;
};

class TNumericField : public TField {
public:
    using TField::TField;
};

// int32 (ftInteger), int16 (ftSmallint), uint16 (ftWord), int32 (ftAutoInc); range-checked.
class TIntegerField : public TNumericField {
public:
    explicit TIntegerField(TComponent* owner);
    int DataSize() const override;
    int64_t MinValue = 0, MaxValue = 0; // 0/0: the range of the native type
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override;
    double AsFloat() const override { return AsInteger(); }
    void SetAsFloat(double value) override;
    Variant AsVariant() const override;

protected:
    TIntegerField(TComponent* owner, TFieldType t);
};
class TSmallintField : public TIntegerField {
public:
    explicit TSmallintField(TComponent* owner) : TIntegerField(owner, ftSmallint) {}
};
class TWordField : public TIntegerField {
public:
    explicit TWordField(TComponent* owner) : TIntegerField(owner, ftWord) {}
};
class TAutoIncField : public TIntegerField {
public:
    explicit TAutoIncField(TComponent* owner) : TIntegerField(owner, ftAutoInc) {}
};

// double (ftFloat, ftCurrency, ftBCD).
class TFloatField : public TNumericField {
public:
    explicit TFloatField(TComponent* owner);
    int DataSize() const override { return 8; }
    bool Currency() const { return DataType() == ftCurrency; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t v) override { SetAsFloat(v); }
    double AsFloat() const override;
    void SetAsFloat(double value) override;
    Variant AsVariant() const override;

protected:
    TFloatField(TComponent* owner, TFieldType t);
};
class TCurrencyField : public TFloatField {
public:
    explicit TCurrencyField(TComponent* owner) : TFloatField(owner, ftCurrency) {}
};
class TBCDField : public TFloatField {
public:
    explicit TBCDField(TComponent* owner) : TFloatField(owner, ftBCD) {}
};

// 16-bit Boolean: 0 false, any other value true (written as -1).
class TBooleanField : public TField {
public:
    explicit TBooleanField(TComponent* owner);
    int DataSize() const override { return 2; }
    std::string DisplayValues = "True;False";
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    bool AsBoolean() const override;
    void SetAsBoolean(bool value) override;
    Variant AsVariant() const override;
};

// ftDate: int32 day number (0001-01-01 = 1, 1899-12-30 = 693594); ftTime: int32 milliseconds of
// the day; ftDateTime: double milliseconds since 0001-01-01 (day 1 at 0:00 = 86400000).
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TComponent* owner);
    int DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    double AsFloat() const override { return AsDateTime(); }
    void SetAsFloat(double v) override { SetAsDateTime(v); }
    TDateTime AsDateTime() const override;
    void SetAsDateTime(TDateTime value) override;
    Variant AsVariant() const override;

protected:
    TDateTimeField(TComponent* owner, TFieldType t);
};
class TDateField : public TDateTimeField {
public:
    explicit TDateField(TComponent* owner) : TDateTimeField(owner, ftDate) {}
};
class TTimeField : public TDateTimeField {
public:
    explicit TTimeField(TComponent* owner) : TDateTimeField(owner, ftTime) {}
};

// ftBytes: Size bytes; ftVarBytes: a 16-bit length followed by up to Size bytes.
class TBinaryField : public TField {
public:
    int DataSize() const override { return DataType() == ftVarBytes ? Size() + 2 : Size(); }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    Variant AsVariant() const override { return IsNull() ? Variant() : Variant(AsString()); }

protected:
    TBinaryField(TComponent* owner, TFieldType t);
};
class TBytesField : public TBinaryField {
public:
    explicit TBytesField(TComponent* owner) : TBinaryField(owner, ftBytes) {}
};
class TVarBytesField : public TBinaryField {
public:
    explicit TVarBytesField(TComponent* owner) : TBinaryField(owner, ftVarBytes) {}
};

// BLOB kinds: the value lives outside the record; it is read and written through the dataset's
// BLOB stream.
class TBlobField : public TField {
public:
    explicit TBlobField(TComponent* owner);
    bool IsBlob() const override { return true; }
    TFieldType BlobType() const { return DataType(); }
    void SetBlobType(TFieldType t);
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    Variant AsVariant() const override { return IsNull() ? Variant() : Variant(AsString()); }
};
class TMemoField : public TBlobField {
public:
    explicit TMemoField(TComponent* owner) : TBlobField(owner) { SetBlobType(ftMemo); }
};
class TGraphicField : public TBlobField {
public:
    explicit TGraphicField(TComponent* owner) : TBlobField(owner) { SetBlobType(ftGraphic); }
};

// The dataset's list of field objects (it frees them when it goes).
class TFields {
public:
    explicit TFields(TDataSet* dataSet) : dataSet_(dataSet) {}
    ~TFields() = default;
    int Count() const { return static_cast<int>(list_.size()); }
    TField* operator[](int index) const { return Fields(index); }
    TField* Fields(int index) const;
    TField* FindField(std::string_view name) const;
    TField* FieldByName(std::string_view name) const;
    TField* FieldByNumber(int fieldNo) const;
    int IndexOf(const TField* f) const;
    void Clear(); // frees the fields
    TDataSet* DataSet() const { return dataSet_; }
    auto begin() const { return list_.begin(); }
    auto end() const { return list_.end(); }

private:
    friend class TField;
    friend class TDataSet;
    TDataSet* dataSet_;
    std::vector<TField*> list_;
};

// ---- field and index definitions ----

class TFieldDefs;
class TFieldDef {
public:
    std::string Name;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    bool Required = false;
    int FieldNo = 0;
    bool InternalCalcField = false;
    // A field object of the class the data type calls for; EDatabaseError for a kind that has none.
    TField* CreateField(TComponent* owner, TDataSet* dataSet) const;
};

class TFieldDefs {
public:
    explicit TFieldDefs(TDataSet* dataSet) : dataSet_(dataSet) {}
    TFieldDef& Add(const std::string& name, TFieldType dataType, int size = 0, bool required = false);
    void Clear();
    int Count() const { return static_cast<int>(list_.size()); }
    TFieldDef& operator[](int index) const { return Items(index); }
    TFieldDef& Items(int index) const;
    int IndexOf(std::string_view name) const;
    TFieldDef* FindDef(std::string_view name) const {
        int i = IndexOf(name);
        return i < 0 ? nullptr : list_[i].get();
    }
    TFieldDef& Find(std::string_view name) const; // EDatabaseError when missing
    bool Updated = false;
    void Update(); // asks the dataset for its definitions unless up to date

private:
    TDataSet* dataSet_;
    std::vector<std::unique_ptr<TFieldDef>> list_;
};

class TIndexDef {
public:
    std::string Name;
    std::string Fields; // ";"-joined
    std::string Expression;
    TIndexOptions Options = 0;
};

class TIndexDefs {
public:
    explicit TIndexDefs(TDataSet* dataSet) : dataSet_(dataSet) {}
    TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
    void Clear() { list_.clear(); }
    int Count() const { return static_cast<int>(list_.size()); }
    TIndexDef& operator[](int index) const { return Items(index); }
    TIndexDef& Items(int index) const;
    int IndexOf(std::string_view name) const;
    TIndexDef& Find(std::string_view name) const; // EDatabaseError when missing
    // An index on exactly these fields, else one whose leading fields they are; nullptr if none.
    TIndexDef* GetIndexForFields(std::string_view fields, bool caseInsensitive) const;
    TIndexDef& FindIndexForFields(std::string_view fields) const; // EDatabaseError when none
    bool Updated = false;
    void Update();

private:
    TDataSet* dataSet_;
    std::vector<std::unique_ptr<TIndexDef>> list_;
};

// ---- the abstract dataset ----

class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* owner);
    // A descendant's destructor must Close() first: closing calls its overrides.
    ~TDataSet() override;

    // Opening and closing.
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    bool Active() const { return state_ != dsInactive; }
    void SetActive(bool value);
    TDataSetState State() const { return state_; }
    bool Modified() const { return modified_; }
    bool Bof() const { return bof_; }
    bool Eof() const { return eof_; }
    bool IsEmpty() const { return activeRecord_ >= recordCount_; }
    bool CanModify() const { return GetCanModify(); }
    bool Found() const { return found_; }
    bool DefaultFields() const { return defaultFields_; }

    // Navigation.
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int MoveBy(int distance);
    void Refresh();
    void Resync(TResyncMode mode);
    void CheckBrowseMode();
    void CursorPosChanged() { currentRecord_ = -1; }
    void UpdateCursorPos();
    bool FindFirst() { return FindRecord(true, true); }
    bool FindLast() { return FindRecord(true, false); }
    bool FindNext() { return FindRecord(false, true); }
    bool FindPrior() { return FindRecord(false, false); }
    int RecordCount() { return GetRecordCount(); }
    int RecNo() const { return GetRecNo(); }
    virtual bool IsSequenced() const { return false; }
    virtual bool Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options);
    virtual Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                           const std::string& resultFields);

    // Editing.
    void Edit();
    void Insert();
    void Append();
    virtual void Post();
    virtual void Cancel();
    void Delete();
    void UpdateRecord();
    virtual bool GetCurrentRecord(TRecordBuffer buffer) { return false; }

    // Bookmarks.
    TBookmark GetBookmark();
    TBookmark Bookmark() { return GetBookmark(); }
    void GotoBookmark(const TBookmark& bookmark);
    void SetBookmark(const TBookmark& bookmark) { GotoBookmark(bookmark); }
    void FreeBookmark(TBookmark& bookmark) { bookmark.clear(); }
    virtual bool BookmarkValid(const TBookmark& bookmark) { return false; }
    virtual int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) { return 0; }
    int BookmarkSize() const { return bookmarkSize_; }

    // Data-aware controls.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return disableCount_ != 0; }
    // True when a data source is attached: data events may then reach code of its own.
    bool HasDataSources() const { return !dataSources_.empty(); }
    virtual void DataEvent(TDataEvent event, intptr_t info);

    // Fields.
    TFields& Fields() { return fields_; }
    const TFields& Fields() const { return fields_; }
    TFieldDefs& FieldDefs() { return fieldDefs_; }
    int FieldCount() const { return fields_.Count(); }
    TField* FieldByName(std::string_view name) const { return fields_.FieldByName(name); }
    TField* FindField(std::string_view name) const { return fields_.FindField(name); }
    TField* FieldByNumber(int fieldNo) const { return fields_.FieldByNumber(fieldNo); }
    std::vector<TField*> GetFieldList(std::string_view fieldNames) const; // raises for a missing name
    std::vector<std::string> GetFieldNames();
    Variant FieldValues(const std::string& fieldNames) const; // one value, or an array for "a;b"
    void SetFieldValues(const std::string& fieldNames, const Variant& value);
    virtual void InitFieldDefs();
    virtual void UpdateIndexDefs() {}
    bool AutoCalcFields = true;

    // Native field data of the active record (see TField::GetData).
    virtual bool GetFieldData(TField* field, void* buffer) = 0;
    virtual void SetFieldData(TField* field, const void* buffer) = 0;
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);

    // Filtering.
    const std::string& Filter() const { return filterText_; }
    void SetFilter(const std::string& text) { SetFilterText(text); }
    virtual void SetFilterText(const std::string& text) { filterText_ = text; }
    bool Filtered() const { return filtered_; }
    virtual void SetFiltered(bool value) { filtered_ = value; }
    TFilterOptions FilterOptions() const { return filterOptions_; }
    virtual void SetFilterOptions(TFilterOptions value) { filterOptions_ = value; }
    const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
    virtual void SetOnFilterRecord(TFilterRecordEvent handler) { onFilterRecord_ = std::move(handler); }

    // Master/detail: the data source this dataset follows, if any.
    virtual TDataSource* DataSource() const { return nullptr; }
    bool IsLinkedTo(TDataSource* source) const;

    // Events, in the order the editing cycle fires them.
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent OnNewRecord, OnCalcFields;
    TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

protected:
    // ---- what a concrete dataset supplies ----
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
    virtual void GetBookmarkData(TRecordBuffer buffer, void* data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) = 0;
    virtual void SetBookmarkData(TRecordBuffer buffer, const void* data) = 0;
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
    virtual int GetRecordSize() = 0;
    virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
    virtual void InternalClose() = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalGotoBookmark(const void* bookmark) = 0;
    virtual void InternalHandleException();
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    virtual void InternalLast() = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual bool IsCursorOpen() const = 0;
    virtual void InternalCancel() {}
    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalRefresh() {}
    virtual void ClearCalcFields(TRecordBuffer buffer) {}
    virtual void CloseBlob(TField* field) {}
    virtual void OpenCursor(bool infoQuery);
    virtual void CloseCursor();
    virtual bool FindRecord(bool restart, bool goForward) { return false; }
    virtual bool GetCanModify() const { return true; }
    virtual int GetRecordCount() { return -1; }
    virtual int GetRecNo() const { return -1; }
    virtual void SetRecNo(int) {}
    void Loaded() override;

    // Event firing; a descendant may add to these.
    virtual void DoBeforeOpen() { fire(BeforeOpen); }
    virtual void DoAfterOpen() { fire(AfterOpen); }
    virtual void DoBeforeClose() { fire(BeforeClose); }
    virtual void DoAfterClose() { fire(AfterClose); }
    virtual void DoBeforeInsert() { fire(BeforeInsert); }
    virtual void DoAfterInsert() { fire(AfterInsert); }
    virtual void DoBeforeEdit() { fire(BeforeEdit); }
    virtual void DoAfterEdit() { fire(AfterEdit); }
    virtual void DoBeforePost() { fire(BeforePost); }
    virtual void DoAfterPost() { fire(AfterPost); }
    virtual void DoBeforeCancel() { fire(BeforeCancel); }
    virtual void DoAfterCancel() { fire(AfterCancel); }
    virtual void DoBeforeDelete() { fire(BeforeDelete); }
    virtual void DoAfterDelete() { fire(AfterDelete); }
    virtual void DoBeforeScroll() { fire(BeforeScroll); }
    virtual void DoAfterScroll() { fire(AfterScroll); }
    virtual void DoOnNewRecord() { fire(OnNewRecord); }
    virtual void DoOnCalcFields() { fire(OnCalcFields); }

    // ---- the framework's own machinery, for descendants ----
    void SetState(TDataSetState value);
    // A temporary state (filter, calculated fields, old value, ...) that controls do not see;
    // RestoreState puts back the state and the modified flag.
    TDataSetState SetTempState(TDataSetState value);
    void RestoreState(TDataSetState value);
    // The same for one scope.
    class TempState {
    public:
        TempState(TDataSet* ds, TDataSetState s) : ds_(ds), saved_(ds->SetTempState(s)) {}
        ~TempState() { ds_->RestoreState(saved_); }
        TempState(const TempState&) = delete;
        TempState& operator=(const TempState&) = delete;

    private:
        TDataSet* ds_;
        TDataSetState saved_;
    };
    void SetModified(bool value) { modified_ = value; }
    void SetFound(bool value) { found_ = value; }
    void CheckActive() const;
    void CheckInactive() const;
    void CheckCanModify() const;
    void InitRecord(TRecordBuffer buffer);
    void GetCalcFields(TRecordBuffer buffer);
    virtual void CalculateFields(TRecordBuffer buffer);
    void CreateFields();
    void DestroyFields();
    void BindFields(bool binding);
    int CalcFieldsSize() const { return calcFieldsSize_; }
    bool HasInternalCalcFields() const { return internalCalcFields_; }
    void SetBookmarkSize(int size) { bookmarkSize_ = size; }
    TRecordBuffer ActiveBuffer() const { return bufferAt(activeRecord_); }
    TRecordBuffer CalcBuffer() const { return calcBuffer_; }
    TRecordBuffer Buffers(int index) const { return bufferAt(index); }
    int BufferCount() const { return bufferCount_; }
    int WindowRecordCount() const { return recordCount_; } // records held in the window
    int ActiveRecord() const { return activeRecord_; }
    int CurrentRecord() const { return currentRecord_; }
    bool GetNextRecord();
    bool GetPriorRecord();
    int GetNextRecords();
    int GetPriorRecords();
    void SetCurrentRecord(int index);
    void ClearBuffers();
    void ActivateBuffers();
    void MoveBuffer(int curIndex, int newIndex);
    void UpdateBufferCount();
    void SetBufferCount(int value);
    void CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& errorEvent);
    void DoInternalOpen();

private:
    friend class TDataSource;
    friend class TDataLink;
    friend class TField;
    void fire(const TDataSetNotifyEvent& e) {
        if (e) e(this);
    }
    TRecordBuffer bufferAt(int i) const {
        return i >= 0 && i < static_cast<int>(buffers_.size()) ? buffers_[i] : nullptr;
    }
    void setBufListSize(int value);
    void beginInsertAppend();
    void endInsertAppend();
    void addDataSource(TDataSource* source);
    void removeDataSource(TDataSource* source);
    void opPost() { InternalPost(); }
    void opEdit() { InternalEdit(); }
    void opDelete() { InternalDelete(); }

    TDataSetState state_ = dsInactive;
    TDataSetState disableState_ = dsInactive;
    TDataEvent enableEvent_ = deDataSetChange;
    bool modified_ = false, bof_ = true, eof_ = true, found_ = false;
    bool defaultFields_ = false, internalOpenComplete_ = false, streamedActive_ = false;
    bool filtered_ = false;
    bool internalCalcFields_ = false;
    std::vector<TRecordBuffer> buffers_;
    std::vector<bool> tempModified_;
    int bufferCount_ = 0, recordCount_ = 0, activeRecord_ = 0, currentRecord_ = -1;
    TRecordBuffer calcBuffer_ = nullptr;
    int calcFieldsSize_ = 0;
    int bookmarkSize_ = 0;
    int disableCount_ = 0;
    std::vector<TDataSource*> dataSources_;
    TFields fields_;
    TFieldDefs fieldDefs_;
    std::string filterText_;
    TFilterOptions filterOptions_ = 0;
    TFilterRecordEvent onFilterRecord_;
};

// ---- data sources and data links ----

using TNotifyEvent = std::function<void(TComponent* sender)>;
using TDataChangeEvent = std::function<void(TComponent* sender, TField* field)>;

class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* owner);
    ~TDataSource() override;
    TDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TDataSet* dataSet);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    bool AutoEdit = true;
    TDataSetState State() const { return state_; }
    void Edit();
    bool IsLinkedTo(TDataSet* dataSet) const;
    int DataLinkCount() const { return static_cast<int>(links_.size()); }

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;
    TNotifyEvent OnUpdateData;

private:
    friend class TDataSet;
    friend class TDataLink;
    void dataEvent(TDataEvent event, intptr_t info);
    void notifyDataLinks(TDataEvent event, intptr_t info);
    void updateState();
    void setState(TDataSetState value);
    void addDataLink(TDataLink* link);
    void removeDataLink(TDataLink* link);

    TDataSet* dataSet_ = nullptr;
    bool enabled_ = true;
    TDataSetState state_ = dsInactive;
    std::vector<TDataLink*> links_;
};

// What a data-aware control or a detail dataset uses to follow a data source.
class TDataLink {
public:
    TDataLink() = default;
    virtual ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* source);
    bool DataSourceFixed = false;
    TDataSet* DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }
    bool Active() const { return active_; }
    bool Editing() const { return editing_; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    // How many records the link shows (a grid: its visible rows); the dataset keeps at least that
    // many in its window.
    int BufferCount() const { return bufferCount_; }
    void SetBufferCount(int value);
    int ActiveRecord() const;
    void SetActiveRecord(int value);
    int RecordCount() const;
    int FirstRecord() const { return firstRecord_; }
    bool Edit();
    void UpdateRecord();

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int distance) { DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void FocusControl(TField* field) {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* field) {}
    virtual void UpdateData() {}

private:
    friend class TDataSource;
    friend class TDataSet;
    void dataEvent(TDataEvent event, intptr_t info);
    void updateState();
    void setActive(bool value);
    void setEditing(bool value);
    void updateRange();

    TDataSource* dataSource_ = nullptr;
    bool active_ = false, editing_ = false, readOnly_ = false, updating_ = false;
    int bufferCount_ = 1;
    int firstRecord_ = 0;
};

class TDetailDataLink : public TDataLink {
public:
    virtual TDataSet* DetailDataSet() const { return nullptr; }
};

// The detail side of master/detail: tells the detail dataset when the master's key fields change
// (OnMasterChange) or the master goes away (OnMasterDisable).
class TMasterDataLink : public TDetailDataLink {
public:
    explicit TMasterDataLink(TDataSet* detail) : detail_(detail) {}
    TDataSet* DetailDataSet() const override { return detail_; }
    const std::string& FieldNames() const { return fieldNames_; }
    void SetFieldNames(const std::string& names);
    const std::vector<TField*>& Fields() const { return fields_; }
    std::function<void(TMasterDataLink*)> OnMasterChange;
    std::function<void(TMasterDataLink*)> OnMasterDisable;

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override { ActiveChanged(); }
    void RecordChanged(TField* field) override;

private:
    TDataSet* detail_;
    std::string fieldNames_;
    std::vector<TField*> fields_;
};

// ---- parameters ----

enum TParamType { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam {
public:
    TParam(std::string name = {}, TFieldType dataType = ftUnknown, TParamType paramType = ptUnknown)
        : Name(std::move(name)), DataType(dataType), ParamType(paramType) {}
    std::string Name;
    TFieldType DataType;
    TParamType ParamType;
    bool Bound = false;

    const Variant& Value() const { return value_; }
    void SetValue(const Variant& v); // binds; the data type follows the value while unknown
    bool IsNull() const { return value_.IsNull(); }
    void Clear();
    std::string AsString() const { return value_.IsNull() ? std::string() : value_.AsString(); }
    void SetAsString(const std::string& v) { setTyped(ftString, v); }
    int32_t AsInteger() const;
    void SetAsInteger(int32_t v) { setTyped(ftInteger, v); }
    bool AsBoolean() const { return !value_.IsNull() && value_.AsBoolean(); }
    void SetAsBoolean(bool v) { setTyped(ftBoolean, v); }
    double AsFloat() const { return value_.IsNull() ? 0 : value_.AsFloat(); }
    void SetAsFloat(double v) { setTyped(ftFloat, v); }
    TDateTime AsDateTime() const { return value_.IsNull() ? 0 : value_.AsDateTime(); }
    void SetAsDateTime(TDateTime v) { setTyped(ftDateTime, Variant::FromDateTime(v)); }
    void AssignField(const TField* field); // name, type and value
    void AssignFieldValue(const TField* field, const Variant& value);
    // The value in the field's native format (see the field classes); GetData answers "not null".
    int GetDataSize() const;
    bool GetData(void* buffer) const;
    void SetData(const void* buffer);

private:
    void setTyped(TFieldType t, const Variant& v);
    Variant value_;
};

class TParams {
public:
    TParam& CreateParam(TFieldType dataType, const std::string& name, TParamType paramType);
    TParam& Add(const TParam& p);
    int Count() const { return static_cast<int>(list_.size()); }
    TParam& operator[](int index) const { return Items(index); }
    TParam& Items(int index) const;
    TParam* FindParam(std::string_view name) const;
    TParam& ParamByName(std::string_view name) const; // EDatabaseError when missing
    // Carries the values of parameters of the same names over from another list.
    void AssignValues(const TParams& other);
    void Assign(const TParams& other);
    void Clear() { list_.clear(); }

private:
    std::vector<std::unique_ptr<TParam>> list_;
};

} // namespace cls
