// Index helpers and their registry, and composite keys: building them from records and comparing
// them field by field with the null-bit rules.
#include "db/storage/qbsrixhl.h"

#include "platform/Collation.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <typeinfo>

namespace {

struct Registry {
    std::mutex m;
    // Sorted by name.
    std::map<std::string, std::unique_ptr<TqbSrIndexHelper>, std::less<>> helpers;
};

Registry& registry() {
    static Registry* r = new Registry; // lives to the end of the process: helpers are used late
    return *r;
}

bool isShortString(int32_t t) {
    return t == qbtShortString || t == qbtShortAnsiStr;
}

} // namespace

uint64_t FieldTypeSet(std::initializer_list<int32_t> types) {
    uint64_t s = 0;
    for (int32_t t : types)
        s |= uint64_t(1) << t;
    return s;
}

uint64_t FieldTypeRange(int32_t first, int32_t last) {
    uint64_t s = 0;
    for (int32_t t = first; t <= last; ++t)
        s |= uint64_t(1) << t;
    return s;
}

void TqbSrIndexHelper::registerHelper(TqbSrIndexHelper* h, std::string_view Name, uint64_t FieldTypes,
                                      std::string_view Arguments) {
    std::unique_ptr<TqbSrIndexHelper> owned(h);
    Registry& r = registry();
    std::lock_guard lk(r.m);
    if (r.helpers.find(Name) != r.helpers.end()) RaiseGeneralError(343, {Name});
    h->name_ = std::string(Name);
    h->types_ = FieldTypes;
    h->Initialize(Arguments);
    r.helpers.emplace(std::string(Name), std::move(owned));
}

void TqbSrIndexHelper::unregisterIf(bool (*pred)(TqbSrIndexHelper*)) {
    Registry& r = registry();
    std::lock_guard lk(r.m);
    std::erase_if(r.helpers, [&](auto& kv) { return pred(kv.second.get()); });
}

TqbSrIndexHelper* TqbSrIndexHelper::FindHelper(std::string_view Name, int32_t FieldType) {
    StartIndexHelpers();
    Registry& r = registry();
    std::lock_guard lk(r.m);
    auto it = r.helpers.find(Name);
    if (it == r.helpers.end()) RaiseGeneralError(344, {Name});
    if (!it->second->Supports(FieldType)) RaiseGeneralError(345, {Name, FieldTypeName(FieldType)});
    return it->second.get();
}

void StartIndexHelpers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TqbSrIndexHelper::Register<TqbSrIndexHelper>("", FieldTypeRange(qbtBoolean, qbtDateTime) |
                                                             FieldTypeRange(qbtByteArray, qbtWideString));
        TqbSrIndexHelper::Register<TqbSrNumbersOnlyIH>("NumbersOnly",
                                                       FieldTypeSet({qbtShortString, qbtShortAnsiStr}));
    });
}

void TqbSrIndexHelper::BuildKey(const uint8_t* Source, uint8_t* Dest, int32_t Length, const TqbFieldDesc& f) {
    const int32_t t = f.FieldType;
    if (isShortString(t)) {
        int32_t room = Length < 0 ? f.Length - 1 : std::min(Length, f.Length - 1);
        int32_t n = std::min<int32_t>(Source[0], room);
        Dest[0] = uint8_t(n);
        std::memcpy(Dest + 1, Source + 1, size_t(n));
        std::memset(Dest + 1 + n, 0, size_t(room - n));
        return;
    }
    int32_t len = Length < 0 ? f.Length : std::min(Length, f.Length);
    std::memcpy(Dest, Source, size_t(len));
    if (t == qbtNullString || t == qbtNullAnsiStr) {
        auto* end = static_cast<uint8_t*>(std::memchr(Dest, 0, size_t(len)));
        if (end) std::memset(end, 0, size_t(Dest + len - end));
    } else if (t == qbtWideString) {
        for (int32_t i = 0; i + 1 < len; i += 2)
            if (Dest[i] == 0 && Dest[i + 1] == 0) {
                std::memset(Dest + i, 0, size_t(len - i));
                break;
            }
    }
}

int TqbSrIndexHelper::CompareKey(const uint8_t* Key1, const uint8_t* Key2, bool CaseFlag, int32_t Length,
                                 const TqbFieldDesc& f) {
    return CompareFieldValues(Key1, Key2, f.FieldType, CaseFlag, Length < 0 ? f.Length : Length);
}

void TqbSrNumbersOnlyIH::BuildKey(const uint8_t* Source, uint8_t* Dest, int32_t Length,
                                  const TqbFieldDesc& f) {
    int32_t room = Length < 0 ? f.Length - 1 : std::min(Length, f.Length - 1);
    int32_t max = Length < 0 ? std::min(f.Units, room) : room;
    int32_t srcLen = std::min<int32_t>(Source[0], f.Length - 1);
    int32_t n = 0;
    for (int32_t i = 1; i <= srcLen && n < max; ++i) {
        uint8_t c = Source[i];
        if ((c >= '0' && c <= '9') || c == 254) Dest[1 + n++] = c;
    }
    Dest[0] = uint8_t(n);
    std::memset(Dest + 1 + n, 0, size_t(room - n));
}

// ---------------------------------------------------------------------------------------------

namespace {

int nullOrder(bool n1, bool n2) {
    return n1 == n2 ? 0 : (n1 ? -1 : 1);
}

int32_t partialBytes(int32_t type, int32_t partial) {
    if (isShortString(type)) return partial + 1;
    if (type == qbtWideString) return partial * 2;
    return partial;
}

// The built-in helpers compare by the field type.
bool typeOrder(const TqbSrIndexHelper* h) {
    return typeid(*h) == typeid(TqbSrIndexHelper) || typeid(*h) == typeid(TqbSrNumbersOnlyIH);
}

// The fields c compares, from the dictionary.
void lookUpParts(TqbCompositeCompareData& c) {
    const TqbDataDictionary& dict = *c.Dictionary;
    const TqbIndexDesc& d = dict.IndexDesc(c.Index);
    const int32_t kf = d.KeyFieldCount;
    int32_t whole;
    if (c.FieldCount > 0)
        whole = std::min(c.FieldCount, c.PartialLength > 0 ? kf - 1 : kf);
    else
        whole = c.PartialLength > 0 ? 0 : kf;
    c.NullBits = d.KeyLength - NullBitBytes(kf);
    const bool partial = c.PartialLength > 0 && whole < kf;
    c.PartCount = whole + (partial ? 1 : 0);
    int32_t offset = 0;
    for (int32_t k = 0; k < c.PartCount; ++k) {
        const TqbFieldDesc& f = dict.FieldDesc(d.KeyFields[size_t(k)]);
        TqbCompositeKeyPart& p = c.Parts[size_t(k)];
        p.Offset = offset;
        p.FieldType = f.FieldType;
        p.HelperLength = -1;
        if (k == whole) {
            if (!IsStringFieldType(f.FieldType)) RaiseGeneralError(338, {dict.TableName(), 4});
            p.HelperLength = std::min(partialBytes(f.FieldType, c.PartialLength), f.Length);
        }
        p.Length = p.HelperLength < 0 ? f.Length : p.HelperLength;
        TqbSrIndexHelper* h = dict.IndexHelper(c.Index, k);
        p.Helper = h && typeOrder(h) ? nullptr : h;
        p.Field = p.Helper ? &f : nullptr;
        offset += f.Length;
    }
}

// A short string's characters in a key part of length bytes.
std::string_view shortString(const uint8_t* p, int32_t length) {
    const size_t n = std::min<size_t>(p[0], size_t(length > 0 ? length - 1 : 0));
    return {reinterpret_cast<const char*>(p + 1), n};
}

int comparePart(const TqbCompositeKeyPart& p, const uint8_t* a, const uint8_t* b, bool caseFlag) {
    if (p.Helper) return p.Helper->CompareKey(a, b, caseFlag, p.HelperLength, *p.Field);
    // The common key field, straight to the collation (as CompareFieldValues does).
    if (isShortString(p.FieldType))
        return plat::CollateAnsi(shortString(a, p.Length), shortString(b, p.Length), caseFlag);
    return CompareFieldValues(a, b, p.FieldType, caseFlag, p.Length);
}

void checkKeyScope(const TqbDataDictionary& dict, const TqbIndexDesc& d, int32_t FieldCount,
                   int32_t PartialLength) {
    if (FieldCount < 0 || PartialLength < 0) RaiseGeneralError(338, {dict.TableName(), 3});
    if (PartialLength > 0) {
        int32_t whole = FieldCount > 0 ? std::min(FieldCount, d.KeyFieldCount - 1) : 0;
        // A partial length says how many characters of a string to compare; on any other field
        // it would silently match everything.
        if (whole < 0 || whole >= d.KeyFieldCount ||
            !IsStringFieldType(dict.FieldType(d.KeyFields[size_t(whole)])))
            RaiseGeneralError(338, {dict.TableName(), 4});
    }
}

} // namespace

TqbCompositeCompareData MakeIndexCompareInfo(const TqbDataDictionary& Dictionary, int32_t Index,
                                             int32_t FieldCount, int32_t PartialLength) {
    const TqbIndexDesc& d = Dictionary.IndexDesc(Index);
    TqbCompositeCompareData c;
    c.Dictionary = &Dictionary;
    c.Index = Index;
    c.FieldCount = FieldCount;
    c.PartialLength = PartialLength;
    c.Ascending = d.IsAscending;
    c.CaseFlag = d.IsCaseInsensitive;
    checkKeyScope(Dictionary, d, FieldCount, PartialLength);
    // A helper with an order of its own is given the field's description, which lives in the
    // dictionary: such keys look their fields up on each comparison.
    if (d.KeyFieldCount > 0 && d.KeyFieldCount <= kMaxKeyFields) {
        lookUpParts(c);
        for (int32_t k = 0; k < c.PartCount; ++k)
            if (c.Parts[size_t(k)].Helper) c.PartCount = -1;
    }
    return c;
}

namespace {

int compareParts(const uint8_t* Key1, const uint8_t* Key2, const TqbCompositeCompareData& c) {
    const uint8_t* nulls1 = Key1 + c.NullBits;
    const uint8_t* nulls2 = Key2 + c.NullBits;
    auto isNull = [](const uint8_t* nulls, int k) { return (nulls[k / 8] >> (k % 8)) & 1; };
    for (int k = 0; k < c.PartCount; ++k) {
        const TqbCompositeKeyPart& p = c.Parts[size_t(k)];
        const bool n1 = isNull(nulls1, k), n2 = isNull(nulls2, k);
        const int r =
            n1 || n2 ? nullOrder(n1, n2) : comparePart(p, Key1 + p.Offset, Key2 + p.Offset, c.CaseFlag);
        if (r != 0) return c.Ascending ? r : -r;
    }
    return 0;
}

// Apart, so that a prepared comparison does not set up the copy.
[[gnu::noinline]] int compareLookingUp(const uint8_t* Key1, const uint8_t* Key2,
                                       const TqbCompositeCompareData& Data) {
    TqbCompositeCompareData c = Data;
    lookUpParts(c);
    return compareParts(Key1, Key2, c);
}

} // namespace

int CompareCompositeKeys(const uint8_t* Key1, const uint8_t* Key2, const TqbCompositeCompareData& Data) {
    return Data.PartCount < 0 ? compareLookingUp(Key1, Key2, Data) : compareParts(Key1, Key2, Data);
}

namespace {

int compareComposite(const uint8_t* Key1, const uint8_t* Key2, const void* Data) {
    return CompareCompositeKeys(Key1, Key2, *static_cast<const TqbCompositeCompareData*>(Data));
}

// compareParts for the one part of a short string in the type's order.
int compareOneShortString(const uint8_t* Key1, const uint8_t* Key2, const void* Data) {
    const auto& c = *static_cast<const TqbCompositeCompareData*>(Data);
    const TqbCompositeKeyPart& p = c.Parts[0];
    const bool n1 = Key1[c.NullBits] & 1, n2 = Key2[c.NullBits] & 1;
    if (n1 || n2) return c.Ascending ? nullOrder(n1, n2) : -nullOrder(n1, n2);
    const std::string_view s1 = shortString(Key1 + p.Offset, p.Length);
    const std::string_view s2 = shortString(Key2 + p.Offset, p.Length);
    // Ascending (the usual order) ends in a jump to the collation: no frame of its own.
    if (c.Ascending) return plat::CollateAnsi(s1, s2, c.CaseFlag);
    return -plat::CollateAnsi(s1, s2, c.CaseFlag);
}

} // namespace

TqbCompositeComparer CompositeKeyComparer(const TqbCompositeCompareData& Data) {
    if (Data.PartCount == 1 && !Data.Parts[0].Helper && isShortString(Data.Parts[0].FieldType))
        return compareOneShortString;
    return compareComposite;
}

void BuildCompositeKey(const TqbDataDictionary& dict, int32_t Index, const uint8_t* Record, uint8_t* Key,
                       int32_t FieldCount, int32_t PartialLength) {
    const TqbIndexDesc& d = dict.IndexDesc(Index);
    if (d.KeyFieldCount == kUserDefinedKey) RaiseGeneralError(338, {dict.TableName(), 2});
    checkKeyScope(dict, d, FieldCount, PartialLength);
    dict.InitKey(Index, Key);
    int32_t whole = FieldCount > 0 ? std::min(FieldCount, d.KeyFieldCount) : d.KeyFieldCount;
    if (PartialLength > 0) whole = FieldCount > 0 ? std::min(FieldCount, d.KeyFieldCount - 1) : 0;
    int32_t offset = 0;
    for (int k = 0; k < d.KeyFieldCount; ++k) {
        const TqbFieldDesc& f = dict.FieldDesc(d.KeyFields[size_t(k)]);
        const bool partial = k == whole && PartialLength > 0;
        if ((k < whole || partial) && !dict.IsRecordFieldNull(f.FieldNumber, Record)) {
            int32_t len = partial ? partialBytes(f.FieldType, PartialLength) : -1;
            if (partial && isShortString(f.FieldType)) len = PartialLength;
            if (len > f.Length) len = -1;
            dict.IndexHelper(Index, k)->BuildKey(Record + f.Offset, Key + offset, len, f);
            dict.SetKeyFieldNonNull(Index, k, Key);
        }
        offset += f.Length;
    }
}
