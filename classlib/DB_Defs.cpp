// Field definitions, index definitions and query parameters.
#include "classlib/DB.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace cls {

// ---- field definitions ----

TField* TFieldDef::CreateField(TComponent* owner, TDataSet* dataSet) const {
    TField* f = nullptr;
    switch (DataType) {
    case ftString:
    case ftFixedChar: {
        auto* s = new TStringField(owner);
        s->SetSize(Size > 0 ? Size : 20);
        s->SetFixedChar(DataType == ftFixedChar);
        f = s;
        break;
    }
    case ftSmallint:
        f = new TSmallintField(owner);
        break;
    case ftInteger:
        f = new TIntegerField(owner);
        break;
    case ftWord:
        f = new TWordField(owner);
        break;
    case ftAutoInc:
        f = new TAutoIncField(owner);
        break;
    case ftBoolean:
        f = new TBooleanField(owner);
        break;
    case ftFloat:
        f = new TFloatField(owner);
        break;
    case ftCurrency:
        f = new TCurrencyField(owner);
        break;
    case ftBCD:
        f = new TBCDField(owner);
        break;
    case ftDate:
        f = new TDateField(owner);
        break;
    case ftTime:
        f = new TTimeField(owner);
        break;
    case ftDateTime:
        f = new TDateTimeField(owner);
        break;
    case ftBytes:
        f = new TBytesField(owner);
        break;
    case ftVarBytes:
        f = new TVarBytesField(owner);
        break;
    case ftMemo:
        f = new TMemoField(owner);
        break;
    case ftGraphic:
        f = new TGraphicField(owner);
        break;
    case ftBlob:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary: {
        auto* b = new TBlobField(owner);
        b->SetBlobType(DataType);
        f = b;
        break;
    }
    default:
        DatabaseError(std::string("Field type '") + FieldTypeName(DataType) + "' of field '" + Name +
                          "' is not supported",
                      dataSet);
    }
    try {
        if ((DataType == ftBytes || DataType == ftVarBytes) && Size > 0) f->SetSize(Size);
        f->SetFieldName(Name);
        f->Required = Required;
        if (InternalCalcField) f->SetFieldKind(fkInternalCalc);
        f->SetDataSet(dataSet);
    } catch (...) {
        delete f;
        throw;
    }
    return f;
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType dataType, int size, bool required) {
    if (name.empty()) DatabaseError("Field name missing", dataSet_);
    if (IndexOf(name) >= 0) DatabaseError("Duplicate field name '" + name + "'", dataSet_);
    auto d = std::make_unique<TFieldDef>();
    d->Name = name;
    d->DataType = dataType;
    d->Size = size;
    d->Required = required;
    d->FieldNo = Count() + 1;
    list_.push_back(std::move(d));
    return *list_.back();
}

void TFieldDefs::Clear() {
    list_.clear();
}

TFieldDef& TFieldDefs::Items(int index) const {
    if (index < 0 || index >= Count()) DatabaseError("Field definition index out of range", dataSet_);
    return *list_[index];
}

int TFieldDefs::IndexOf(std::string_view name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(list_[i]->Name, name)) return i;
    return -1;
}

TFieldDef& TFieldDefs::Find(std::string_view name) const {
    int i = IndexOf(name);
    if (i < 0) DatabaseError("Field '" + std::string(name) + "' not found", dataSet_);
    return *list_[i];
}

void TFieldDefs::Update() {
    if (Updated) return;
    dataSet_->InitFieldDefs();
    Updated = true;
}

// ---- index definitions ----

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    if (!name.empty() && IndexOf(name) >= 0) DatabaseError("Duplicate index name '" + name + "'", dataSet_);
    auto d = std::make_unique<TIndexDef>();
    d->Name = name;
    d->Fields = fields;
    d->Options = options;
    list_.push_back(std::move(d));
    return *list_.back();
}

TIndexDef& TIndexDefs::Items(int index) const {
    if (index < 0 || index >= Count()) DatabaseError("Index definition index out of range", dataSet_);
    return *list_[index];
}

int TIndexDefs::IndexOf(std::string_view name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(list_[i]->Name, name)) return i;
    return -1;
}

TIndexDef& TIndexDefs::Find(std::string_view name) const {
    int i = IndexOf(name);
    if (i < 0) DatabaseError("Index '" + std::string(name) + "' not found", dataSet_);
    return *list_[i];
}

namespace {
// Does the index start with exactly these fields (all of them when whole)?
bool leadingFields(const std::string& indexFields, const std::vector<std::string>& wanted, bool whole) {
    std::vector<std::string> have = SplitFieldNames(indexFields);
    if (have.size() < wanted.size() || (whole && have.size() != wanted.size()) || wanted.empty())
        return false;
    for (size_t i = 0; i < wanted.size(); ++i)
        if (!SameText(have[i], wanted[i])) return false;
    return true;
}
} // namespace

TIndexDef* TIndexDefs::GetIndexForFields(std::string_view fields, bool caseInsensitive) const {
    std::vector<std::string> wanted = SplitFieldNames(fields);
    for (bool whole : {true, false})
        for (auto& d : list_) {
            if (d->Options & (ixDescending | ixExpression)) continue;
            if (caseInsensitive && !(d->Options & ixCaseInsensitive)) continue;
            if (leadingFields(d->Fields, wanted, whole)) return d.get();
        }
    return nullptr;
}

TIndexDef& TIndexDefs::FindIndexForFields(std::string_view fields) const {
    TIndexDef* d = GetIndexForFields(fields, false);
    if (!d) DatabaseError("No index for fields '" + std::string(fields) + "'", dataSet_);
    return *d;
}

void TIndexDefs::Update() {
    if (Updated) return;
    dataSet_->UpdateIndexDefs();
    Updated = true;
}

// ---- parameters ----

void TParam::SetValue(const Variant& v) {
    if (DataType == ftUnknown) {
        switch (v.VarType()) {
        case Variant::varBoolean:
            DataType = ftBoolean;
            break;
        case Variant::varInteger:
            DataType = ftInteger;
            break;
        case Variant::varDouble:
            DataType = ftFloat;
            break;
        case Variant::varString:
            DataType = ftString;
            break;
        case Variant::varDate:
            DataType = ftDateTime;
            break;
        default:
            break;
        }
    }
    value_ = v;
    Bound = true;
}

void TParam::setTyped(TFieldType t, const Variant& v) {
    DataType = t;
    value_ = v;
    Bound = true;
}

void TParam::Clear() {
    value_ = Variant();
}

int32_t TParam::AsInteger() const {
    if (value_.IsNull()) return 0;
    int64_t v = value_.AsInteger();
    if (v < INT32_MIN || v > INT32_MAX)
        throw EConvertError("Parameter '" + Name + "' is out of the integer range");
    return static_cast<int32_t>(v);
}

void TParam::AssignField(const TField* field) {
    if (!field) return;
    Name = field->FieldName();
    DataType = field->DataType();
    value_ = field->AsVariant();
    Bound = true;
}

void TParam::AssignFieldValue(const TField* field, const Variant& value) {
    if (!field) return;
    DataType = field->DataType();
    value_ = value;
    Bound = true;
}

int NativeDataSize(TFieldType t, int size) {
    switch (t) {
    case ftString:
    case ftFixedChar:
        return size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
        return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
        return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDateTime:
        return 8;
    case ftBytes:
        return size;
    case ftVarBytes:
        return size + 2;
    default:
        return -1;
    }
}

TNativeKind NativeKindOf(TFieldType type) {
    switch (type) {
    case ftString:
    case ftFixedChar:
        return TNativeKind::ZStr;
    case ftSmallint:
        return TNativeKind::Int16;
    case ftWord:
        return TNativeKind::UInt16;
    case ftInteger:
    case ftAutoInc:
        return TNativeKind::Int32;
    case ftBoolean:
        return TNativeKind::Bool16;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
        return TNativeKind::Float64;
    case ftDate:
        return TNativeKind::DayNo32;
    case ftTime:
        return TNativeKind::MSecOfDay32;
    case ftDateTime:
        return TNativeKind::MSecStamp64;
    case ftVarBytes:
        return TNativeKind::VarBytes;
    default:
        return TNativeKind::Bytes;
    }
}

int TParam::GetDataSize() const {
    const int length = value_.IsNull() ? 0 : static_cast<int>(value_.AsString().size());
    const int n = NativeDataSize(DataType, length);
    return n < 0 ? 0 : n;
}

bool TParam::GetData(void* buffer) const {
    if (value_.IsNull()) return false;
    if (!buffer) return true;
    auto* out = static_cast<unsigned char*>(buffer);
    switch (DataType) {
    case ftString:
    case ftFixedChar: {
        std::string s = value_.AsString();
        std::memcpy(out, s.c_str(), s.size() + 1);
        break;
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
        EncodeNative(
            NativeKindOf(DataType), out, size_t(NativeDataSize(DataType, 0)),
            IntegerValue(DataType == ftInteger || DataType == ftAutoInc ? AsInteger() : value_.AsInteger()));
        break;
    case ftBoolean:
        EncodeNative(TNativeKind::Bool16, out, 2, BooleanValue(value_.AsBoolean()));
        break;
    case ftDate:
    case ftTime:
    case ftDateTime:
        DateTimeToNative(NativeKindOf(DataType), out, value_.AsDateTime());
        break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
        EncodeNative(TNativeKind::Float64, out, 8, FloatValue(value_.AsFloat()));
        break;
    case ftBytes: {
        std::string s = value_.AsString();
        std::memcpy(out, s.data(), s.size());
        break;
    }
    case ftVarBytes: {
        std::string s = value_.AsString();
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(s.size(), 0xFFFF));
        std::memcpy(out, &n, 2);
        std::memcpy(out + 2, s.data(), n);
        break;
    }
    default:
        return false;
    }
    return true;
}

void TParam::SetData(const void* buffer) {
    Bound = true;
    if (!buffer) {
        value_ = Variant();
        return;
    }
    auto* in = static_cast<const unsigned char*>(buffer);
    switch (DataType) {
    case ftString:
    case ftFixedChar:
        value_ = Variant(std::string(reinterpret_cast<const char*>(in)));
        break;
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftWord:
    case ftBoolean:
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
        TFilterValue v;
        DecodeNative(NativeKindOf(DataType), in, size_t(NativeDataSize(DataType, 0)), false, v);
        if (DataType == ftWord)
            value_ = Variant(unsigned(v.i));
        else if (v.cls == TFilterValue::vcInteger)
            value_ = Variant(static_cast<int32_t>(v.i));
        else if (v.cls == TFilterValue::vcBoolean)
            value_ = Variant(v.b);
        else
            value_ = Variant(static_cast<double>(v.f));
        break;
    }
    case ftDate:
    case ftTime:
    case ftDateTime:
        value_ = Variant::FromDateTime(NativeToDateTime(NativeKindOf(DataType), in));
        break;
    default:
        DatabaseError("Parameter '" + Name + "' has a data type that cannot be set from a buffer");
    }
}

TParam& TParams::CreateParam(TFieldType dataType, const std::string& name, TParamType paramType) {
    list_.push_back(std::make_unique<TParam>(name, dataType, paramType));
    return *list_.back();
}

TParam& TParams::Add(const TParam& p) {
    list_.push_back(std::make_unique<TParam>(p));
    return *list_.back();
}

TParam& TParams::Items(int index) const {
    if (index < 0 || index >= Count()) DatabaseError("Parameter index out of range");
    return *list_[index];
}

TParam* TParams::FindParam(std::string_view name) const {
    for (auto& p : list_)
        if (SameText(p->Name, name)) return p.get();
    return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) const {
    TParam* p = FindParam(name);
    if (!p) DatabaseError("Parameter '" + std::string(name) + "' not found");
    return *p;
}

void TParams::AssignValues(const TParams& other) {
    for (auto& p : list_)
        if (TParam* o = other.FindParam(p->Name)) *p = *o;
}

void TParams::Assign(const TParams& other) {
    if (&other == this) return;
    list_.clear();
    for (auto& p : other.list_)
        Add(*p);
}

} // namespace cls
