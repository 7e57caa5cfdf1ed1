// Field objects: the native value of each field kind and its conversions to text, numbers,
// Booleans, dates and variants; the dataset's field list.
#include "classlib/DB.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace cls {

const char* FieldTypeName(TFieldType t) {
    static const char* names[] = {"Unknown",  "String",      "SmallInt", "Integer",   "Word",
                                  "Boolean",  "Float",       "Currency", "BCD",       "Date",
                                  "Time",     "DateTime",    "Bytes",    "VarBytes",  "AutoInc",
                                  "Blob",     "Memo",        "Graphic",  "FmtMemo",   "ParadoxOle",
                                  "DBaseOle", "TypedBinary", "Cursor",   "FixedChar", "WideString"};
    return t >= ftUnknown && t <= ftWideString ? names[t] : "Unknown";
}

// ---- TField ----

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::~TField() {
    if (dataSet_) {
        auto& l = dataSet_->fields_.list_;
        l.erase(std::remove(l.begin(), l.end(), this), l.end());
    }
}

void TField::CheckInactive() const {
    if (dataSet_) dataSet_->CheckInactive();
}

void TField::SetDataSet(TDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (dataSet_) dataSet_->CheckInactive();
    if (dataSet) dataSet->CheckInactive();
    if (dataSet_) {
        auto& l = dataSet_->fields_.list_;
        l.erase(std::remove(l.begin(), l.end(), this), l.end());
    }
    dataSet_ = dataSet;
    if (dataSet_) dataSet_->fields_.list_.push_back(this);
}

void TField::SetFieldName(const std::string& name) {
    CheckInactive();
    fieldName_ = name;
}

void TField::SetFieldKind(TFieldKind kind) {
    CheckInactive();
    fieldKind_ = kind;
}

void TField::SetSize(int size) {
    CheckInactive();
    size_ = size;
}

int TField::Index() const {
    return dataSet_ ? dataSet_->fields_.IndexOf(this) : -1;
}

void TField::SetLookupDataSet(TDataSet* ds) {
    if (ds == lookupDataSet_) return;
    if (lookupDataSet_) RemoveFreeNotification(lookupDataSet_);
    lookupDataSet_ = ds;
    if (ds) FreeNotification(ds);
}

void TField::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && lookupDataSet_ && static_cast<TComponent*>(lookupDataSet_) == component)
        lookupDataSet_ = nullptr;
}

bool TField::CanModify() const {
    return !ReadOnly && (fieldKind_ == fkData || fieldKind_ == fkInternalCalc) && dataSet_ &&
           dataSet_->CanModify();
}

bool TField::GetData(void* buffer) const {
    if (validatingSet_) {
        if (!validating_) return false;
        if (buffer) std::memcpy(buffer, validating_, static_cast<size_t>(DataSize()));
        return true;
    }
    if (!dataSet_) DatabaseError("Field '" + fieldName_ + "' has no dataset", this);
    return dataSet_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
    if (!dataSet_) DatabaseError("Field '" + fieldName_ + "' has no dataset", this);
    dataSet_->SetFieldData(this, buffer);
}

bool TField::IsNull() const {
    return !GetData(nullptr);
}

void TField::Validate(const void* buffer) {
    if (!OnValidate) return;
    validatingSet_ = true;
    validating_ = buffer;
    try {
        OnValidate(this);
    } catch (...) {
        validatingSet_ = false;
        validating_ = nullptr;
        throw;
    }
    validatingSet_ = false;
    validating_ = nullptr;
}

void TField::Change() {
    if (OnChange) OnChange(this);
}

void TField::FocusControl() {
    if (dataSet_ && dataSet_->Active()) dataSet_->DataEvent(deFocusControl, reinterpret_cast<intptr_t>(this));
}

void TField::CalcLookupValue() {
    TDataSet* ds = lookupDataSet_;
    if (ds && ds->Active() && !KeyFields.empty())
        SetAsVariant(ds->Lookup(LookupKeyFields, dataSet_->FieldValues(KeyFields), LookupResultField));
    else
        SetAsVariant(Variant());
}

Variant TField::OldValue() const {
    if (!dataSet_) return Variant();
    TDataSet::TempState temp(dataSet_, dsOldValue);
    return AsVariant();
}

void TField::AccessError(const char* typeName) const {
    DatabaseError("Cannot access field '" + DisplayName() + "' as type " + typeName, dataSet_);
}

void TField::ConvertError(const std::string& text, const char* what) const {
    throw EConvertError("'" + text + "' is not a valid " + what + " value for field '" + DisplayName() + "'");
}

std::string TField::AsString() const {
    AccessError("String");
}
void TField::SetAsString(const std::string&) {
    AccessError("String");
}
int32_t TField::AsInteger() const {
    AccessError("Integer");
}
void TField::SetAsInteger(int32_t) {
    AccessError("Integer");
}
bool TField::AsBoolean() const {
    AccessError("Boolean");
}
void TField::SetAsBoolean(bool) {
    AccessError("Boolean");
}
double TField::AsFloat() const {
    AccessError("Float");
}
void TField::SetAsFloat(double) {
    AccessError("Float");
}
TDateTime TField::AsDateTime() const {
    AccessError("DateTime");
}
void TField::SetAsDateTime(TDateTime) {
    AccessError("DateTime");
}
Variant TField::AsVariant() const {
    AccessError("Variant");
}

void TField::SetAsVariant(const Variant& value) {
    if (value.IsNull()) {
        Clear();
        return;
    }
    switch (dataType_) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc: {
        int64_t v = value.AsInteger();
        if (v < INT32_MIN || v > INT32_MAX)
            DatabaseError(std::to_string(v) + " is not a valid value for field '" + DisplayName() + "'",
                          dataSet_);
        SetAsInteger(static_cast<int32_t>(v));
        break;
    }
    case ftBoolean:
        SetAsBoolean(value.AsBoolean());
        break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
        SetAsFloat(value.AsFloat());
        break;
    case ftDate:
    case ftTime:
    case ftDateTime:
        SetAsDateTime(value.AsDateTime());
        break;
    default:
        SetAsString(value.AsString());
        break;
    }
}

namespace {

// A field's data, zeroed: on the stack for the usual sizes, a long field's on the heap. Values
// are read and written through it on every field access.
class FieldBuffer {
public:
    explicit FieldBuffer(size_t size) : large_(size > sizeof small_ ? size : 0) {
        data_ = large_.empty() ? small_ : large_.data();
        std::memset(data_, 0, size);
    }
    char* data() { return data_; }

private:
    char small_[512];
    std::vector<char> large_;
    char* data_;
};

} // namespace

// ---- TStringField ----

TStringField::TStringField(TComponent* owner) : TField(owner) {
    SetDataType(ftString);
    TField::SetSize(20);
    DisplayWidth = 20;
}

std::string TStringField::AsString() const {
    FieldBuffer buf(static_cast<size_t>(DataSize()));
    if (!GetData(buf.data())) return std::string();
    return std::string(buf.data(), strnlen(buf.data(), static_cast<size_t>(Size())));
}

void TStringField::SetAsString(const std::string& value) {
    FieldBuffer buf(static_cast<size_t>(DataSize()));
    std::memcpy(buf.data(), value.data(), std::min(value.size(), static_cast<size_t>(Size())));
    SetData(buf.data());
}

int32_t TStringField::AsInteger() const {
    std::string s = AsString();
    int64_t v;
    if (!TryStrToInt(s, v) || v < INT32_MIN || v > INT32_MAX) ConvertError(s, "integer");
    return static_cast<int32_t>(v);
}

bool TStringField::AsBoolean() const {
    std::string s = AsString();
    return !s.empty() && (UpperChar(static_cast<unsigned char>(s[0])) == 'T' ||
                          UpperChar(static_cast<unsigned char>(s[0])) == 'Y');
}

double TStringField::AsFloat() const {
    std::string s = AsString();
    double v;
    if (!TryStrToFloat(s, v)) ConvertError(s, "floating point");
    return v;
}

TDateTime TStringField::AsDateTime() const {
    std::string s = AsString();
    TDateTime v;
    if (!TryStrToDateTime(s, v)) ConvertError(s, "date and time");
    return v;
}

Variant TStringField::AsVariant() const {
    return IsNull() ? Variant() : Variant(AsString());
}

// ---- TIntegerField ----

TIntegerField::TIntegerField(TComponent* owner) : TIntegerField(owner, ftInteger) {}

TIntegerField::TIntegerField(TComponent* owner, TFieldType t) : TNumericField(owner) {
    SetDataType(t);
    DisplayWidth = t == ftInteger || t == ftAutoInc ? 11 : 6;
}

int TIntegerField::DataSize() const {
    return DataType() == ftSmallint || DataType() == ftWord ? 2 : 4;
}

namespace {
void nativeRange(TFieldType t, int64_t& lo, int64_t& hi) {
    switch (t) {
    case ftSmallint:
        lo = INT16_MIN, hi = INT16_MAX;
        break;
    case ftWord:
        lo = 0, hi = UINT16_MAX;
        break;
    default:
        lo = INT32_MIN, hi = INT32_MAX;
        break;
    }
}
} // namespace

int32_t TIntegerField::AsInteger() const {
    unsigned char buf[4] = {};
    if (!GetData(buf)) return 0;
    TFilterValue v;
    DecodeNative(NativeKindOf(DataType()), buf, sizeof buf, false, v);
    return static_cast<int32_t>(v.i);
}

void TIntegerField::SetAsInteger(int32_t value) {
    int64_t lo, hi;
    nativeRange(DataType(), lo, hi);
    if (MinValue != 0 || MaxValue != 0) lo = std::max(lo, MinValue), hi = std::min(hi, MaxValue);
    if (value < lo || value > hi)
        DatabaseError(std::to_string(value) + " is not a valid value for field '" + DisplayName() +
                          "'. The allowed range is " + std::to_string(lo) + " to " + std::to_string(hi),
                      DataSet());
    unsigned char buf[4];
    EncodeNative(NativeKindOf(DataType()), buf, static_cast<size_t>(DataSize()), IntegerValue(value));
    SetData(buf);
}

std::string TIntegerField::AsString() const {
    return IsNull() ? std::string() : std::to_string(AsInteger());
}

void TIntegerField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    int64_t v;
    if (!TryStrToInt(value, v)) ConvertError(value, "integer");
    if (v < INT32_MIN || v > INT32_MAX)
        DatabaseError(value + " is not a valid value for field '" + DisplayName() + "'", DataSet());
    SetAsInteger(static_cast<int32_t>(v));
}

void TIntegerField::SetAsFloat(double value) {
    if (!std::isfinite(value) || value < INT32_MIN - 0.5 || value > INT32_MAX + 0.5)
        DatabaseError(FloatToStr(value) + " is not a valid value for field '" + DisplayName() + "'",
                      DataSet());
    SetAsInteger(static_cast<int32_t>(std::lround(value)));
}

Variant TIntegerField::AsVariant() const {
    return IsNull() ? Variant() : Variant(AsInteger());
}

// ---- TFloatField ----

TFloatField::TFloatField(TComponent* owner) : TFloatField(owner, ftFloat) {}

TFloatField::TFloatField(TComponent* owner, TFieldType t) : TNumericField(owner) {
    SetDataType(t);
    DisplayWidth = 10;
}

double TFloatField::AsFloat() const {
    double v = 0;
    if (!GetData(&v)) return 0;
    return v;
}

void TFloatField::SetAsFloat(double value) {
    if (!std::isfinite(value))
        DatabaseError("Not a finite number for field '" + DisplayName() + "'", DataSet());
    SetData(&value);
}

int32_t TFloatField::AsInteger() const {
    double v = AsFloat();
    if (v < INT32_MIN - 0.5 || v > INT32_MAX + 0.5)
        DatabaseError(FloatToStr(v) + " is out of the integer range for field '" + DisplayName() + "'",
                      DataSet());
    return static_cast<int32_t>(std::lround(v));
}

std::string TFloatField::AsString() const {
    return IsNull() ? std::string() : FloatToStr(AsFloat());
}

void TFloatField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    double v;
    if (!TryStrToFloat(value, v)) ConvertError(value, "floating point");
    SetAsFloat(v);
}

Variant TFloatField::AsVariant() const {
    return IsNull() ? Variant() : Variant(AsFloat());
}

// ---- TBooleanField ----

TBooleanField::TBooleanField(TComponent* owner) : TField(owner) {
    SetDataType(ftBoolean);
    DisplayWidth = 5;
}

bool TBooleanField::AsBoolean() const {
    unsigned char buf[2] = {};
    if (!GetData(buf)) return false;
    TFilterValue v;
    DecodeNative(TNativeKind::Bool16, buf, sizeof buf, false, v);
    return v.b;
}

void TBooleanField::SetAsBoolean(bool value) {
    unsigned char buf[2];
    EncodeNative(TNativeKind::Bool16, buf, sizeof buf, BooleanValue(value));
    SetData(buf);
}

namespace {
void splitDisplayValues(const std::string& dv, std::string& t, std::string& f) {
    auto p = dv.find(';');
    t = p == std::string::npos ? dv : dv.substr(0, p);
    f = p == std::string::npos ? std::string() : dv.substr(p + 1);
}
} // namespace

std::string TBooleanField::AsString() const {
    if (IsNull()) return std::string();
    std::string t, f;
    splitDisplayValues(DisplayValues, t, f);
    return AsBoolean() ? t : f;
}

void TBooleanField::SetAsString(const std::string& value) {
    if (value.empty()) {
        Clear();
        return;
    }
    std::string t, f;
    splitDisplayValues(DisplayValues, t, f);
    auto prefixOf = [&](const std::string& full) {
        return value.size() <= full.size() && SameText(value, std::string_view(full).substr(0, value.size()));
    };
    if (prefixOf(f))
        SetAsBoolean(false);
    else if (prefixOf(t))
        SetAsBoolean(true);
    else
        ConvertError(value, "boolean");
}

Variant TBooleanField::AsVariant() const {
    return IsNull() ? Variant() : Variant(AsBoolean());
}

// ---- TDateTimeField ----

TDateTimeField::TDateTimeField(TComponent* owner) : TDateTimeField(owner, ftDateTime) {}

TDateTimeField::TDateTimeField(TComponent* owner, TFieldType t) : TField(owner) {
    SetDataType(t);
    DisplayWidth = t == ftDateTime ? 19 : 10;
}

TDateTime TDateTimeField::AsDateTime() const {
    unsigned char buf[8] = {};
    if (!GetData(buf)) return 0;
    return NativeToDateTime(NativeKindOf(DataType()), buf);
}

void TDateTimeField::SetAsDateTime(TDateTime value) {
    unsigned char buf[8];
    DateTimeToNative(NativeKindOf(DataType()), buf, value);
    SetData(buf);
}

std::string TDateTimeField::AsString() const {
    if (IsNull()) return std::string();
    TDateTime v = AsDateTime();
    return DataType() == ftDate ? DateToStr(v) : DataType() == ftTime ? TimeToStr(v) : DateTimeToStr(v);
}

void TDateTimeField::SetAsString(const std::string& value) {
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    TDateTime v;
    bool ok = DataType() == ftDate   ? TryStrToDate(value, v)
              : DataType() == ftTime ? TryStrToTime(value, v)
                                     : TryStrToDateTime(value, v);
    if (!ok) ConvertError(value, DataType() == ftTime ? "time" : "date");
    SetAsDateTime(v);
}

Variant TDateTimeField::AsVariant() const {
    return IsNull() ? Variant() : Variant::FromDateTime(AsDateTime());
}

// ---- TBinaryField ----

TBinaryField::TBinaryField(TComponent* owner, TFieldType t) : TField(owner) {
    SetDataType(t);
    TField::SetSize(16);
}

std::string TBinaryField::AsString() const {
    const size_t size = static_cast<size_t>(DataSize());
    FieldBuffer buf(size);
    if (!GetData(buf.data())) return std::string();
    if (DataType() == ftBytes) return std::string(buf.data(), size);
    uint16_t n;
    std::memcpy(&n, buf.data(), 2);
    return std::string(buf.data() + 2, std::min<size_t>(n, static_cast<size_t>(Size())));
}

void TBinaryField::SetAsString(const std::string& value) {
    std::vector<char> buf(static_cast<size_t>(DataSize()), '\0');
    size_t n = std::min(value.size(), static_cast<size_t>(Size()));
    if (DataType() == ftBytes)
        std::memcpy(buf.data(), value.data(), n);
    else {
        uint16_t len = static_cast<uint16_t>(n);
        std::memcpy(buf.data(), &len, 2);
        std::memcpy(buf.data() + 2, value.data(), n);
    }
    SetData(buf.data());
}

// ---- TBlobField ----

TBlobField::TBlobField(TComponent* owner) : TField(owner) {
    SetDataType(ftBlob);
}

void TBlobField::SetBlobType(TFieldType t) {
    if (t < ftBlob || t > ftTypedBinary) DatabaseError("Not a BLOB field type", DataSet());
    SetDataType(t);
}

std::string TBlobField::AsString() const {
    if (!DataSet() || IsNull()) return std::string();
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    std::string r;
    char buf[4096];
    int32_t n;
    while ((n = s->Read(buf, sizeof buf)) > 0)
        r.append(buf, static_cast<size_t>(n));
    return r;
}

void TBlobField::SetAsString(const std::string& value) {
    if (!DataSet()) DatabaseError("Field '" + FieldName() + "' has no dataset", this);
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmWrite);
    size_t done = 0;
    while (done < value.size()) {
        int32_t n = static_cast<int32_t>(std::min<size_t>(value.size() - done, 1 << 30));
        s->WriteBuffer(value.data() + done, n);
        done += static_cast<size_t>(n);
    }
}

// ---- TFields ----

TField* TFields::Fields(int index) const {
    if (index < 0 || index >= Count())
        DatabaseError("Field index out of range (" + std::to_string(index) + ")", dataSet_);
    return list_[index];
}

namespace {

// SameText for names of one length. Bytes below 0x80 weigh alike in the collation, case aside, only
// when they are equal with their letters folded: those are compared here; any other byte takes
// the collation.
bool sameFieldName(std::string_view a, std::string_view b) {
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y) continue;
        if ((x | y) >= 0x80) return SameText(a, b);
        if ((x | 0x20) != (y | 0x20) || (x | 0x20) - 'a' > 'z' - 'a') return false;
    }
    return true;
}

} // namespace

TField* TFields::FindField(std::string_view name) const {
    // Names of other lengths never match, whatever their case: they are passed over at once; the
    // same bytes match at once.
    for (TField* f : list_)
        if (f->FieldName().size() == name.size() &&
            (f->FieldName() == name || sameFieldName(f->FieldName(), name)))
            return f;
    return nullptr;
}

TField* TFields::FieldByName(std::string_view name) const {
    TField* f = FindField(name);
    if (!f) DatabaseError("Field '" + std::string(name) + "' not found", dataSet_);
    return f;
}

TField* TFields::FieldByNumber(int fieldNo) const {
    for (TField* f : list_)
        if (f->FieldNo() == fieldNo) return f;
    return nullptr;
}

int TFields::IndexOf(const TField* f) const {
    auto it = std::find(list_.begin(), list_.end(), f);
    return it == list_.end() ? -1 : static_cast<int>(it - list_.begin());
}

void TFields::Clear() {
    while (!list_.empty()) {
        TField* f = list_.back();
        list_.pop_back();
        f->dataSet_ = nullptr;
        delete f;
    }
}

} // namespace cls
