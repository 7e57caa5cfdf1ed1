// The data dictionary: building and checking it, queries, record and key null bits, and its
// tagged value stream (Boolean 8/9, integers 2/3/4, strings 6, raw bytes untagged).
#include "db/storage/qblldict.h"

#include "db/base/qbllbase.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrixhl.h"
#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kTypeNames[] = {
    "qbtBoolean",     "qbtChar",        "qbtWideChar",     "qbtByte",          "qbtWord16",
    "qbtWord32",      "qbtInt8",        "qbtInt16",        "qbtInt32",         "qbtAutoInc",
    "qbtSingle",      "qbtDouble",      "qbtExtended",     "qbtComp",          "qbtCurrency",
    "qbtStDate",      "qbtStTime",      "qbtDateTime",     "qbtBLOB",          "qbtBLOBMemo",
    "qbtBLOBFmtMemo", "qbtBLOBOLEObj",  "qbtBLOBGraphic",  "qbtBLOBDBSOLEObj", "qbtBLOBTypedBin",
    "qbtBLOBFile",    "qbtReserved2",   "qbtReserved3",    "qbtReserved4",     "qbtReserved5",
    "qbtReserved6",   "qbtReserved7",   "qbtReserved8",    "qbtReserved9",     "qbtReserved10",
    "qbtReserved11",  "qbtReserved12",  "qbtReserved13",   "qbtReserved14",    "qbtReserved15",
    "qbtReserved16",  "qbtReserved17",  "qbtReserved18",   "qbtReserved19",    "qbtReserved20",
    "qbtByteArray",   "qbtShortString", "qbtShortAnsiStr", "qbtNullString",    "qbtNullAnsiStr",
    "qbtWideString"};

// No record is longer than the largest block can hold.
constexpr int32_t kMaxRecordBytes = int32_t(65536 - kRecordBlockOverhead);

bool validExtension(std::string_view e) {
    if (e.empty() || e.size() > 3) return false;
    return std::all_of(e.begin(), e.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// ---- value writer ----

void putBool(std::string& s, bool v) {
    s.push_back(char(v ? 9 : 8));
}
void putInt(std::string& s, int32_t v) {
    uint8_t b[5];
    size_t n;
    if (v >= -128 && v <= 127) {
        b[0] = 2;
        b[1] = uint8_t(int8_t(v));
        n = 2;
    } else if (v >= -32768 && v <= 32767) {
        b[0] = 3;
        plat::StoreLE16(b + 1, uint16_t(int16_t(v)));
        n = 3;
    } else {
        b[0] = 4;
        plat::StoreLE32(b + 1, uint32_t(v));
        n = 5;
    }
    s.append(reinterpret_cast<char*>(b), n);
}
void putStr(std::string& s, std::string_view v) {
    v = v.substr(0, 255);
    s.push_back(6);
    s.push_back(char(uint8_t(v.size())));
    s.append(v);
}

// ---- value reader: any fault leaves ok false ----

struct ValueReader {
    plat::ByteReader r;
    explicit ValueReader(std::string_view s) : r(s) {}
    uint8_t peek() {
        if (!r.need(1)) return 0;
        uint8_t t = r.u8();
        r.seek(r.pos() - 1);
        return t;
    }
    bool boolean() {
        uint8_t t = r.u8();
        if (t != 8 && t != 9) r.fail();
        return t == 9;
    }
    int32_t integer() {
        switch (r.u8()) {
        case 2:
            return r.i8();
        case 3:
            return r.i16();
        case 4:
            return r.i32();
        default:
            r.fail();
            return 0;
        }
    }
    std::string str(size_t maxLen) {
        if (r.u8() != 6) {
            r.fail();
            return {};
        }
        return r.shortString(maxLen);
    }
    std::string raw(size_t n) { return std::string(r.view(n)); }
};

} // namespace

std::string_view FieldTypeName(int32_t FieldType) {
    return FieldType >= 0 && FieldType <= qbtWideString ? kTypeNames[FieldType] : std::string_view();
}

bool IsBLOBFieldType(int32_t t) {
    return t >= qbtBLOB && t <= qbtBLOBFile;
}

bool IsStringFieldType(int32_t t) {
    return t >= qbtShortString && t <= qbtWideString;
}

TqbFieldShape FieldShape(int32_t t, int32_t units, int32_t dec) {
    auto clamp = [&](int32_t max) { return units >= 0 && units <= max ? units : max; };
    // units * perUnit + extra bytes, once units are known to fit a record: units come from
    // files and the wire, and must not reach the arithmetic unchecked.
    auto sized = [&](int32_t perUnit, int32_t extra) {
        if (units < 0 || units > (kMaxRecordBytes - extra) / perUnit) RaiseGeneralError(338, {"", 4});
        return TqbFieldShape{units * perUnit + extra, units, 0};
    };
    switch (t) {
    case qbtBoolean:
        return {1, 0, 0};
    case qbtChar:
        return {1, 1, 0};
    case qbtWideChar:
        return {2, 1, 0};
    case qbtByte:
    case qbtInt8:
        return {1, clamp(3), 0};
    case qbtWord16:
    case qbtInt16:
        return {2, clamp(5), 0};
    case qbtWord32:
    case qbtInt32:
        return {4, clamp(10), 0};
    case qbtAutoInc:
        return {4, 10, 0};
    case qbtSingle:
        return {4, units, dec};
    case qbtDouble:
    case qbtComp:
    case qbtCurrency:
        return {8, units, dec};
    case qbtExtended:
        return {10, units, dec};
    case qbtStDate:
    case qbtStTime:
        return {4, 0, 0};
    case qbtDateTime:
        return {8, 0, 0};
    case qbtByteArray:
        return sized(1, 0);
    case qbtShortString:
    case qbtShortAnsiStr:
        // The length byte holds at most 255.
        if (units > 255) RaiseGeneralError(338, {"", 4});
        return sized(1, 1);
    case qbtNullString:
    case qbtNullAnsiStr:
        return sized(1, 1);
    case qbtWideString:
        return sized(2, 2);
    default:
        if (IsBLOBFieldType(t)) return {8, 0, 0};
        RaiseGeneralError(325, {t});
    }
}

// ---------------------------------------------------------------------------------------------

TqbDataDictionary::TqbDataDictionary(uint32_t BlockSize) {
    if (!IsValidBlockSize(BlockSize)) RaiseGeneralError(339, {BlockSize});
    files_.push_back({0, GeneralStrings().GetText(433), "QB2", BlockSize, qbfData});
    addIndex0();
}

void TqbDataDictionary::addIndex0() {
    TqbIndexDesc d;
    d.Name = d.Description = GeneralStrings().GetText(432);
    d.KeyLength = 8;
    d.KeyFieldCount = kUserDefinedKey;
    d.AllowDups = false;
    d.IsAscending = true;
    d.IsCaseInsensitive = true;
    indexes_.push_back(d);
    helpers_.push_back({});
}

void TqbDataDictionary::checkNotBuilt() const {
    if (built_) RaiseGeneralError(328, {tableName_});
}

void TqbDataDictionary::badNumber(int32_t n) const {
    RaiseGeneralError(320, {tableName_, n});
}

const TqbValidityCheck* TqbDataDictionary::FieldVCheck(int32_t Field) const {
    const auto& v = field(Field).VCheck;
    return v ? &*v : nullptr;
}

TqbSrIndexHelper* TqbDataDictionary::IndexHelper(int32_t Index, int32_t KeyField) const {
    index(Index);
    if (KeyField < 0 || KeyField >= kMaxKeyFields) RaiseGeneralError(320, {tableName_, KeyField});
    return helpers_[size_t(Index)][size_t(KeyField)];
}

int32_t TqbDataDictionary::AddFile(std::string_view Description, std::string_view Extension, int32_t FileType,
                                   uint32_t BlockSize) {
    checkNotBuilt();
    if (!validExtension(Extension)) RaiseGeneralError(334, {tableName_, Extension});
    if (!IsValidBlockSize(BlockSize)) RaiseGeneralError(339, {BlockSize});
    if (FileType < qbfData || FileType > qbfBLOB) RaiseGeneralError(338, {tableName_, 3});
    for (const auto& f : files_) {
        if (FileType == qbfData && f.FileType == qbfData) RaiseGeneralError(336, {tableName_});
        if (f.Extension == Extension) RaiseGeneralError(335, {tableName_, Extension});
    }
    if (FileType == qbfBLOB && blobFile_ != 0) RaiseGeneralError(330, {tableName_});
    int32_t n = FileCount();
    files_.push_back(
        {n, std::string(Description.substr(0, 63)), std::string(Extension), BlockSize, FileType});
    if (FileType == qbfBLOB) blobFile_ = n;
    return n;
}

void TqbDataDictionary::AddField(std::string_view Name, std::string_view Description, int32_t FieldType,
                                 int32_t Units, int32_t Decimals, bool Required,
                                 const TqbValidityCheck* ValidityCheck) {
    checkNotBuilt();
    TqbFieldShape s = FieldShape(FieldType, Units, Decimals);
    if (GetFieldFromName(Name) >= 0) RaiseGeneralError(341, {tableName_, Name});
    // Fields are only ever added, so a record that outgrows every block size stays too long.
    if (logicalLength_ > kMaxRecordBytes - s.Length) RaiseGeneralError(326, {tableName_});
    TqbFieldDesc f;
    f.FieldNumber = FieldCount();
    f.Name = std::string(Name.substr(0, 31));
    f.Description = std::string(Description.substr(0, 63));
    f.Units = s.Units;
    f.DecPl = s.DecPl;
    f.Offset = fields_.empty() ? 0 : fields_.back().Offset + fields_.back().Length;
    f.Length = s.Length;
    f.FieldType = FieldType;
    const bool plain = FieldType != qbtAutoInc && !IsBLOBFieldType(FieldType);
    f.Required = Required && FieldType != qbtAutoInc;
    fields_.push_back(f);
    logicalLength_ = f.Offset + f.Length;
    if (plain && ValidityCheck) SetFieldVCheck(ValidityCheck, f.FieldNumber);
}

void TqbDataDictionary::SetFieldVCheck(const TqbValidityCheck* VCheck, int32_t Field) {
    checkNotBuilt();
    TqbFieldDesc& f = const_cast<TqbFieldDesc&>(field(Field));
    std::erase(defaultFields_, Field);
    if (!VCheck || f.FieldType == qbtAutoInc || IsBLOBFieldType(f.FieldType)) {
        f.VCheck.reset();
        return;
    }
    // Each value is exactly as long as the field, whatever the caller passed.
    TqbValidityCheck v = *VCheck;
    auto fit = [&](std::string& s, bool has) {
        if (!has)
            s.clear();
        else
            s.resize(size_t(f.Length), '\0');
    };
    fit(v.Minimum, v.HasMinimum);
    fit(v.Maximum, v.HasMaximum);
    fit(v.Default, v.HasDefault);
    v.Picture = v.Picture.substr(0, 255);
    f.VCheck = std::move(v);
    if (f.VCheck->HasDefault) defaultFields_.push_back(Field);
}

int32_t TqbDataDictionary::compositeKeyLength(const TqbIndexDesc& d) const {
    int32_t len = NullBitBytes(d.KeyFieldCount);
    for (int i = 0; i < d.KeyFieldCount; ++i)
        len += fields_[size_t(d.KeyFields[size_t(i)])].Length;
    return len;
}

TqbIndexDesc TqbDataDictionary::newIndexDesc(std::string_view Name, std::string_view Description,
                                             int32_t FileNumber, bool AllowDups, bool IsAscending,
                                             bool IsCaseInsensitive) const {
    if (GetIndexFromName(Name) >= 0) RaiseGeneralError(342, {tableName_, Name});
    if (FileNumber < 0 || FileNumber >= FileCount()) RaiseGeneralError(332, {tableName_, FileNumber});
    TqbIndexDesc d;
    d.Name = std::string(Name.substr(0, 31));
    d.Description = std::string(Description.substr(0, 63));
    d.FileNumber = FileNumber;
    d.AllowDups = AllowDups;
    d.IsAscending = IsAscending;
    d.IsCaseInsensitive = IsCaseInsensitive;
    return d;
}

int32_t TqbDataDictionary::appendIndex(const TqbIndexDesc& d) {
    indexes_.push_back(d);
    helpers_.push_back({});
    return IndexCount() - 1;
}

int32_t TqbDataDictionary::AddIndex(std::string_view Name, std::string_view Description, int32_t FileNumber,
                                    int32_t FieldCount_, const int32_t* FieldNumbers,
                                    const std::string* HelperNames, bool AllowDups, bool IsAscending,
                                    bool IsCaseInsensitive) {
    TqbIndexDesc d = newIndexDesc(Name, Description, FileNumber, AllowDups, IsAscending, IsCaseInsensitive);
    if (FieldCount_ < 1 || FieldCount_ > kMaxKeyFields) RaiseGeneralError(337, {tableName_});
    d.KeyFieldCount = FieldCount_;
    for (int i = 0; i < FieldCount_; ++i) {
        if (FieldNumbers[i] < 0 || FieldNumbers[i] >= FieldCount())
            RaiseGeneralError(324, {tableName_, FieldNumbers[i]});
        d.KeyFields[size_t(i)] = FieldNumbers[i];
        if (HelperNames) d.HelperNames[size_t(i)] = HelperNames[i].substr(0, 31);
    }
    d.KeyLength = compositeKeyLength(d);
    if (d.KeyLength > kMaxKeyLength) RaiseGeneralError(340, {d.KeyLength});
    return appendIndex(d);
}

int32_t TqbDataDictionary::AddUserIndex(std::string_view Name, std::string_view Description,
                                        int32_t FileNumber, int32_t KeyLength, bool AllowDups,
                                        bool IsAscending, bool IsCaseInsensitive) {
    checkNotBuilt();
    TqbIndexDesc d = newIndexDesc(Name, Description, FileNumber, AllowDups, IsAscending, IsCaseInsensitive);
    if (KeyLength < 0 || KeyLength > kMaxKeyLength) RaiseGeneralError(340, {KeyLength});
    d.KeyLength = KeyLength;
    d.KeyFieldCount = kUserDefinedKey;
    return appendIndex(d);
}

void TqbDataDictionary::RemoveIndex(int32_t Index) {
    checkNotBuilt();
    index(Index);
    if (Index == 0) RaiseGeneralError(320, {tableName_, Index});
    indexes_.erase(indexes_.begin() + Index);
    helpers_.erase(helpers_.begin() + Index);
}

void TqbDataDictionary::Clear(bool KeepDataFile) {
    checkNotBuilt();
    (void)KeepDataFile; // file 0 always stays
    fields_.clear();
    defaultFields_.clear();
    indexes_.resize(1);
    helpers_.resize(1);
    files_.resize(1);
    blobFile_ = 0;
    logicalLength_ = 0;
}

void TqbDataDictionary::Assign(const TqbDataDictionary* Source) {
    checkNotBuilt();
    if (!Source) RaiseGeneralError(322, {tableName_});
    std::string name = tableName_;
    *this = *Source;
    tableName_ = name;
    built_ = false;
}

bool TqbDataDictionary::SetBlockSize(uint32_t Size) {
    checkNotBuilt();
    if (!IsValidBlockSize(Size)) RaiseGeneralError(339, {Size});
    if (Size == files_[0].BlockSize || uint32_t(RecordLength()) > Size - kRecordBlockOverhead) return false;
    files_[0].BlockSize = Size;
    return true;
}

void TqbDataDictionary::SetIsEncrypted(bool Value) {
    checkNotBuilt();
    encrypted_ = Value;
}

void TqbDataDictionary::SetTableName(std::string_view Name) {
    tableName_ = std::string(Name.substr(0, 31));
}

void TqbDataDictionary::CheckValid() const {
    if (fields_.empty()) RaiseGeneralError(323, {tableName_});
    if (uint32_t(RecordLength()) > BlockSize() - kRecordBlockOverhead) RaiseGeneralError(326, {tableName_});
    // The count limit's text is a server-table text.
    if (IndexCount() > kMaxIndexes) RaiseServerError(82, {tableName_});
    for (int32_t i = 1; i < IndexCount(); ++i) {
        const TqbIndexDesc& d = indexes_[size_t(i)];
        if (d.FileNumber < 0 || d.FileNumber >= FileCount())
            RaiseGeneralError(332, {tableName_, d.FileNumber});
        if (d.KeyFieldCount == kUserDefinedKey) {
            if (d.KeyLength < 0 || d.KeyLength > kMaxKeyLength) RaiseGeneralError(340, {d.KeyLength});
            continue;
        }
        if (d.KeyFieldCount < 1 || d.KeyFieldCount > kMaxKeyFields) RaiseGeneralError(337, {tableName_});
        for (int k = 0; k < d.KeyFieldCount; ++k)
            if (d.KeyFields[size_t(k)] < 0 || d.KeyFields[size_t(k)] >= FieldCount())
                RaiseGeneralError(324, {tableName_, d.KeyFields[size_t(k)]});
        // Checked, never stored: an open table's dictionary is read by other threads meanwhile. A
        // composite index's length is set where it is added, from fields that never change.
        const int32_t keyLength = compositeKeyLength(d);
        if (keyLength > kMaxKeyLength) RaiseGeneralError(340, {keyLength});
    }
    for (int32_t i = 0; i < FieldCount(); ++i)
        if (GetFieldFromName(fields_[size_t(i)].Name) != i)
            RaiseGeneralError(341, {tableName_, fields_[size_t(i)].Name});
    for (int32_t i = 1; i < IndexCount(); ++i)
        if (GetIndexFromName(indexes_[size_t(i)].Name) != i)
            RaiseGeneralError(342, {tableName_, indexes_[size_t(i)].Name});
}

void TqbDataDictionary::BindIndexHelpers() {
    for (int32_t i = 0; i < IndexCount(); ++i) {
        const TqbIndexDesc& d = indexes_[size_t(i)];
        helpers_[size_t(i)] = {};
        for (int k = 0; k < d.KeyFieldCount; ++k)
            helpers_[size_t(i)][size_t(k)] = TqbSrIndexHelper::FindHelper(
                d.HelperNames[size_t(k)], fields_[size_t(d.KeyFields[size_t(k)])].FieldType);
    }
}

int32_t TqbDataDictionary::GetFieldFromName(std::string_view Name) const {
    for (size_t i = 0; i < fields_.size(); ++i)
        if (TextCompareNoCase(fields_[i].Name, Name) == 0) return int32_t(i);
    return -1;
}

int32_t TqbDataDictionary::GetIndexFromName(std::string_view Name) const {
    for (size_t i = 0; i < indexes_.size(); ++i)
        if (TextCompareNoCase(indexes_[i].Name, Name) == 0) return int32_t(i);
    return -1;
}

bool TqbDataDictionary::HasBLOBFields() const {
    return std::any_of(fields_.begin(), fields_.end(),
                       [](const auto& f) { return IsBLOBFieldType(f.FieldType); });
}

bool TqbDataDictionary::HasAutoIncField(int32_t& Field) const {
    for (const auto& f : fields_)
        if (f.FieldType == qbtAutoInc) {
            Field = f.FieldNumber;
            return true;
        }
    Field = -1;
    return false;
}

namespace {
bool sameField(const TqbFieldDesc& a, const TqbFieldDesc& b) {
    return a.Length == b.Length && a.FieldType == b.FieldType && a.DecPl == b.DecPl && a.Units == b.Units;
}
} // namespace

bool TqbDataDictionary::HasSameFields(const TqbDataDictionary& Other, bool& BLOBFields) const {
    BLOBFields = false;
    if (Other.FieldCount() != FieldCount()) return false;
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (!sameField(fields_[i], Other.fields_[i])) return false;
        BLOBFields |= IsBLOBFieldType(fields_[i].FieldType);
    }
    return true;
}

bool TqbDataDictionary::HasSameFieldSubset(const TqbDataDictionary& Other,
                                           const std::vector<int32_t>& FieldList, bool& BLOBFields) const {
    BLOBFields = false;
    if (int32_t(FieldList.size()) != FieldCount()) return false;
    for (size_t i = 0; i < fields_.size(); ++i) {
        int32_t o = FieldList[i];
        if (o < 0 || o >= Other.FieldCount() || !sameField(fields_[i], Other.fields_[size_t(o)]))
            return false;
        BLOBFields |= IsBLOBFieldType(fields_[i].FieldType);
    }
    return true;
}

bool TqbDataDictionary::IsIndexDescValid(const TqbIndexDesc& d) const {
    if (d.FileNumber < 0 || d.FileNumber >= FileCount()) return false;
    if (d.KeyFieldCount == kUserDefinedKey) return d.KeyLength >= 1 && d.KeyLength <= kMaxKeyLength;
    if (d.KeyFieldCount < 1 || d.KeyFieldCount > kMaxKeyFields) return false;
    for (int k = 0; k < d.KeyFieldCount; ++k)
        if (d.KeyFields[size_t(k)] < 0 || d.KeyFields[size_t(k)] >= FieldCount()) return false;
    return compositeKeyLength(d) <= kMaxKeyLength;
}

// ---------------------------------------------------------------------------------------------
// Records

void TqbDataDictionary::InitRecord(uint8_t* Record) const {
    const int32_t lrl = LogicalRecordLength(), n = FieldCount();
    std::memset(Record, 0, size_t(lrl));
    // Every field null: whole bytes of null bits, then the low bits of the last one.
    std::memset(Record + lrl, 0xFF, size_t(n / 8));
    if (n % 8) Record[lrl + n / 8] = uint8_t((1u << (n % 8)) - 1);
}

bool TqbDataDictionary::IsRecordFieldNull(int32_t Field, const uint8_t* Record) const {
    field(Field);
    if (!Record) return true;
    return Record[LogicalRecordLength() + Field / 8] & (1 << (Field % 8));
}

void TqbDataDictionary::SetRecordFieldNull(int32_t Field, uint8_t* Record, bool IsNull) const {
    const TqbFieldDesc& f = field(Field);
    uint8_t& b = Record[LogicalRecordLength() + Field / 8];
    if (IsNull) {
        b |= uint8_t(1 << (Field % 8));
        std::memset(Record + f.Offset, 0, size_t(f.Length));
    } else {
        b &= uint8_t(~(1 << (Field % 8)));
    }
}

void TqbDataDictionary::GetRecordField(int32_t Field, const uint8_t* Record, void* Value,
                                       bool& IsNull) const {
    const TqbFieldDesc& f = field(Field);
    IsNull = IsRecordFieldNull(Field, Record);
    if (Value) std::memcpy(Value, Record + f.Offset, size_t(f.Length));
}

void TqbDataDictionary::SetRecordField(int32_t Field, uint8_t* Record, const void* Value) const {
    const TqbFieldDesc& f = field(Field);
    if (!Value) {
        SetRecordFieldNull(Field, Record, true);
        return;
    }
    std::memcpy(Record + f.Offset, Value, size_t(f.Length));
    SetRecordFieldNull(Field, Record, false);
}

bool TqbDataDictionary::CheckRequiredFields(const uint8_t* Record) const {
    for (const auto& f : fields_)
        if (f.Required && IsRecordFieldNull(f.FieldNumber, Record)) return false;
    return true;
}

void TqbDataDictionary::SetDefaultFieldValues(uint8_t* Record) const {
    for (int32_t n : defaultFields_)
        if (IsRecordFieldNull(n, Record))
            SetRecordField(n, Record, fields_[size_t(n)].VCheck->Default.data());
}

// ---------------------------------------------------------------------------------------------
// Keys

void TqbDataDictionary::InitKey(int32_t Index, uint8_t* Key) const {
    const TqbIndexDesc& d = index(Index);
    std::memset(Key, 0, size_t(d.KeyLength));
    if (d.KeyFieldCount <= 0) return;
    uint8_t* nulls = Key + d.KeyLength - NullBitBytes(d.KeyFieldCount);
    for (int k = 0; k < d.KeyFieldCount; ++k)
        nulls[k / 8] |= uint8_t(1 << (k % 8));
}

bool TqbDataDictionary::IsKeyFieldNull(int32_t Index, int32_t KeyField, const uint8_t* Key) const {
    const TqbIndexDesc& d = index(Index);
    if (!Key || KeyField < 0 || KeyField >= d.KeyFieldCount) return true;
    return Key[d.KeyLength - NullBitBytes(d.KeyFieldCount) + KeyField / 8] & (1 << (KeyField % 8));
}

void TqbDataDictionary::SetKeyFieldNonNull(int32_t Index, int32_t KeyField, uint8_t* Key) const {
    const TqbIndexDesc& d = index(Index);
    if (KeyField < 0 || KeyField >= d.KeyFieldCount) RaiseGeneralError(320, {tableName_, KeyField});
    Key[d.KeyLength - NullBitBytes(d.KeyFieldCount) + KeyField / 8] &= uint8_t(~(1 << (KeyField % 8)));
}

// ---------------------------------------------------------------------------------------------
// Stream

void TqbDataDictionary::WriteToStream(std::string& s) const {
    CheckValid();
    putBool(s, encrypted_);
    putInt(s, FileCount());
    for (const auto& f : files_) {
        putStr(s, f.Description);
        putStr(s, f.Extension);
        putInt(s, int32_t(f.BlockSize));
        putInt(s, f.FileType);
    }
    putInt(s, FieldCount());
    for (const auto& f : fields_) {
        putStr(s, f.Name);
        putStr(s, f.Description);
        putInt(s, f.Units);
        putInt(s, f.DecPl);
        putInt(s, f.Offset);
        putInt(s, f.Length);
        putInt(s, f.FieldType);
        putBool(s, f.Required);
        putBool(s, f.VCheck.has_value());
        if (!f.VCheck) continue;
        const TqbValidityCheck& v = *f.VCheck;
        putStr(s, v.Picture);
        putBool(s, v.HasMinimum);
        putBool(s, v.HasMaximum);
        putBool(s, v.HasDefault);
        if (v.HasMinimum) s += v.Minimum;
        if (v.HasMaximum) s += v.Maximum;
        if (v.HasDefault) s += v.Default;
    }
    putInt(s, logicalLength_);
    putInt(s, IndexCount());
    for (size_t i = 1; i < indexes_.size(); ++i) {
        const TqbIndexDesc& d = indexes_[i];
        putStr(s, d.Name);
        putStr(s, d.Description);
        putInt(s, d.FileNumber);
        putInt(s, d.KeyLength);
        putInt(s, d.KeyFieldCount);
        for (int k = 0; k < d.KeyFieldCount; ++k) {
            putInt(s, d.KeyFields[size_t(k)]);
            if (!d.HelperNames[size_t(k)].empty()) putStr(s, d.HelperNames[size_t(k)]);
        }
        putBool(s, d.AllowDups);
        putBool(s, d.IsAscending);
        putBool(s, d.IsCaseInsensitive);
    }
}

void TqbDataDictionary::ReadFromStream(std::string_view Stream, size_t* Consumed) {
    // Built into a fresh dictionary through the same checks as the building calls, so that a
    // stream can describe nothing that those would refuse; this one changes only on success.
    ValueReader in(Stream);
    auto bad = [&]() { RaiseServerError(32, {tableName_}); };
    auto check = [&]() {
        if (!in.r.ok()) bad();
    };
    try {
        bool encrypted = in.boolean();
        int32_t fileCount = in.integer();
        check();
        if (fileCount < 1 || fileCount > 3) bad();
        std::vector<TqbFileDesc> files;
        for (int32_t i = 0; i < fileCount; ++i) {
            TqbFileDesc f;
            f.FileNumber = i;
            f.Description = in.str(63);
            f.Extension = in.str(3);
            f.BlockSize = uint32_t(in.integer());
            f.FileType = in.integer();
            check();
            files.push_back(f);
        }
        TqbDataDictionary d(files[0].BlockSize);
        d.tableName_ = tableName_;
        if (files[0].FileType != qbfData || files[0].Extension != "QB2") bad();
        d.files_[0].Description = files[0].Description;
        for (size_t i = 1; i < files.size(); ++i)
            d.AddFile(files[i].Description, files[i].Extension, files[i].FileType, files[i].BlockSize);
        d.encrypted_ = encrypted;

        int32_t fieldCount = in.integer();
        check();
        // Every field takes at least one byte of a record, and a record fits in a block.
        if (fieldCount < 0 || uint32_t(fieldCount) > d.BlockSize()) bad();
        for (int32_t i = 0; i < fieldCount; ++i) {
            std::string name = in.str(31), desc = in.str(63);
            int32_t units = in.integer(), dec = in.integer(), offset = in.integer(), length = in.integer();
            int32_t type = in.integer();
            bool required = in.boolean();
            bool hasV = in.boolean();
            check();
            d.AddField(name, desc, type, units, dec, required);
            const TqbFieldDesc& f = d.fields_.back();
            if (f.Offset != offset || f.Length != length || f.Units != units || f.DecPl != dec ||
                d.RecordLength() > int32_t(d.BlockSize() - kRecordBlockOverhead))
                bad();
            if (!hasV) continue;
            TqbValidityCheck v;
            v.Picture = in.str(255);
            v.HasMinimum = in.boolean();
            v.HasMaximum = in.boolean();
            v.HasDefault = in.boolean();
            if (v.HasMinimum) v.Minimum = in.raw(size_t(length));
            if (v.HasMaximum) v.Maximum = in.raw(size_t(length));
            if (v.HasDefault) v.Default = in.raw(size_t(length));
            check();
            if (type == qbtAutoInc || IsBLOBFieldType(type)) bad();
            d.SetFieldVCheck(&v, i);
        }
        int32_t lrl = in.integer();
        check();
        if (lrl != d.logicalLength_) bad();
        int32_t indexCount = in.integer();
        check();
        if (indexCount < 1 || indexCount > kMaxIndexes) bad();
        for (int32_t i = 1; i < indexCount; ++i) {
            std::string name = in.str(31), desc = in.str(63);
            int32_t fileNo = in.integer(), keyLength = in.integer(), count = in.integer();
            check();
            if (count == kUserDefinedKey) {
                bool dups = in.boolean(), asc = in.boolean(), ci = in.boolean();
                check();
                d.built_ = false;
                d.AddUserIndex(name, desc, fileNo, keyLength, dups, asc, ci);
                continue;
            }
            if (count < 1 || count > kMaxKeyFields) bad();
            int32_t fieldNos[kMaxKeyFields];
            std::string helpers[kMaxKeyFields];
            for (int k = 0; k < count; ++k) {
                fieldNos[k] = in.integer();
                if (in.peek() == 6) helpers[k] = in.str(31);
                check();
            }
            bool dups = in.boolean(), asc = in.boolean(), ci = in.boolean();
            check();
            int32_t n = d.AddIndex(name, desc, fileNo, count, fieldNos, helpers, dups, asc, ci);
            if (d.indexes_[size_t(n)].KeyLength != keyLength) bad();
        }
        if (Consumed)
            *Consumed = in.r.pos();
        else if (in.r.remaining() != 0)
            bad();
        d.CheckValid();
        d.built_ = built_;
        *this = std::move(d);
    } catch (const EqbServerException&) {
        throw;
    } catch (const EqbException&) {
        bad();
    }
}
