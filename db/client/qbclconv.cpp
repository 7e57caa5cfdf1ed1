// Client-side descriptor and value conversion between the engine's record format and the dataset
// framework's native value formats.
#include "db/client/qbclconv.h"

#include "classlib/DB.h"
#include "classlib/NativeValues.h"
#include "classlib/SysUtils.h"
#include "db/base/qbllexcp.h"
#include "db/remote/qbllwsck.h"
#include "db/storage/qbstdate.h"
#include "platform/ByteCodec.h"
#include "platform/Text.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int32_t kInvalidParameter = 1008;
// The BLOB kinds between qbtBLOB and qbtBLOBFile, and the type that stands for "no engine type".
constexpr int32_t qbtBLOBMemo = 19, qbtBLOBFmtMemo = 20, qbtBLOBOLEObj = 21, qbtBLOBGraphic = 22,
                  qbtBLOBDBSOLEObj = 23, qbtBLOBTypedBin = 24, qbtReserved = 44;

[[noreturn]] void raiseInvalidParameter() {
    throw EqbClientException(ClientStrings(), kInvalidParameter);
}

bool isValueType(int32_t t) {
    return (t >= qbtBoolean && t <= qbtBLOBFile) || (t >= qbtByteArray && t <= qbtWideString);
}

// Doubles outside the 64-bit range saturate instead of reaching an undefined conversion.
int64_t roundToInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547748e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return std::llround(v);
}

double loadDouble(const void* p) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}
void storeDouble(void* p, double d) {
    std::memcpy(p, &d, sizeof d);
}

// Characters of a zero-terminated text, looking at no more than max bytes.
size_t textLength(const void* p, size_t max) {
    const void* z = std::memchr(p, 0, max);
    return z ? size_t(static_cast<const char*>(z) - static_cast<const char*>(p)) : max;
}

// Writes n characters and a terminator into a field of size bytes (n < size), zero-filling the rest.
void putText(void* dest, size_t size, const char* text, size_t n) {
    std::memcpy(dest, text, n);
    std::memset(static_cast<char*>(dest) + n, 0, size - n);
}

size_t wideCapacity(int32_t size) {
    return size >= 2 ? size_t(size / 2 - 1) : 0;
}

} // namespace

void EngineFieldToFieldDesc(const TqbFieldDesc& f, TqbFieldDescRec& desc) {
    desc = TqbFieldDescRec{};
    desc.FieldNum = uint16_t(f.FieldNumber + 1);
    desc.Name = f.Name.substr(0, 31);
    desc.FldType = uint16_t(f.FieldType);
    desc.Units1 = int16_t(f.Units);
    desc.Units2 = int16_t(f.DecPl);
    desc.Offset = uint16_t(f.Offset);
    desc.Len = uint16_t(f.Length);
    desc.VChk = (f.Required || (f.VCheck && f.VCheck->HasDefault)) ? 1 : 0;
}

void FieldDescToLogical(const TqbFieldDescRec& in, TqbFieldDescRec& out) {
    TqbFieldDescRec r = in;
    EngineTypeToLogical(in.FldType, in.Units1, r.FldType, r.Len, r.SubType);
    if (r.FldType == qbfltString || r.FldType == qbfltBytes) r.Units1 = int16_t(r.Len);
    r.VChk = 0;
    r.CalcField = 0;
    out = r;
}

void EngineIndexToIndexDesc(const TqbIndexDesc& x, TqbIndexDescRec& desc) {
    desc = TqbIndexDescRec{};
    desc.Name = x.Name.substr(0, 260);
    desc.Format = "BTREE";
    desc.Unique = !x.AllowDups;
    desc.Descending = !x.IsAscending;
    desc.Maintained = true;
    if (x.KeyFieldCount == kUserDefinedKey) {
        desc.ExpIdx = true;
    } else {
        const int n = std::clamp(x.KeyFieldCount, 0, 16);
        desc.FldsInKey = uint16_t(n);
        for (int i = 0; i < n; ++i)
            desc.KeyFields[i] = uint16_t(x.KeyFields[size_t(i)] + 1);
    }
    desc.KeyLen = uint16_t(x.KeyLength);
    desc.CaseInsensitive = x.IsCaseInsensitive;
}

void EngineTypeToLogical(int32_t t, int32_t units, uint16_t& logical, uint16_t& length, uint16_t& subType) {
    auto set = [&](uint16_t l, int32_t len, uint16_t s) {
        logical = l;
        length = uint16_t(std::clamp(len, 0, 65535));
        subType = s;
    };
    switch (t) {
    case qbtBoolean:
        return set(qbfltBool, 2, 0);
    case qbtChar:
    case qbtWideChar:
        return set(qbfltString, 1, 0);
    case qbtByte:
    case qbtWord16:
        return set(qbfltWord16, 2, 0);
    case qbtWord32:
    case qbtInt32:
        return set(qbfltInt32, 4, 0);
    case qbtInt8:
    case qbtInt16:
        return set(qbfltInt16, 2, 0);
    case qbtAutoInc:
        return set(qbfltInt32, 4, qbfstAutoInc);
    case qbtSingle:
    case qbtDouble:
    case qbtExtended:
    case qbtComp:
        return set(qbfltFloat, 8, 0);
    case qbtCurrency:
        return set(qbfltFloat, 8, qbfstMoney);
    case qbtStDate:
        return set(qbfltDate, 4, 0);
    case qbtStTime:
        return set(qbfltTime, 4, 0);
    case qbtDateTime:
        return set(qbfltTimeStamp, 8, 0);
    // A BLOB number is 64 bits wide in the record.
    case qbtBLOB:
    case qbtBLOBFile:
        return set(qbfltBlob, 8, qbfstBinary);
    case qbtBLOBMemo:
        return set(qbfltBlob, 8, qbfstMemo);
    case qbtBLOBFmtMemo:
        return set(qbfltBlob, 8, qbfstFmtMemo);
    case qbtBLOBOLEObj:
        return set(qbfltBlob, 8, qbfstOleObj);
    case qbtBLOBGraphic:
        return set(qbfltBlob, 8, qbfstGraphic);
    case qbtBLOBDBSOLEObj:
        return set(qbfltBlob, 8, qbfstOleObj2);
    case qbtBLOBTypedBin:
        return set(qbfltBlob, 8, qbfstTypedBinary);
    case qbtByteArray:
        return set(qbfltBytes, units, 0);
    // Text fields hold units characters inside the record, however long: they are strings of
    // that many characters, never BLOBs.
    case qbtShortString:
    case qbtShortAnsiStr:
    case qbtNullString:
    case qbtNullAnsiStr:
    case qbtWideString:
        return set(qbfltString, units, 0);
    default:
        raiseInvalidParameter();
    }
}

void FrameworkTypeToEngine(int kind, int32_t size, int32_t& type, int32_t& engineSize) {
    auto set = [&](int32_t t, int32_t s) {
        type = t;
        engineSize = s;
    };
    switch (kind) {
    case cls::ftString:
    case cls::ftFixedChar:
        return set(qbtNullString, size);
    case cls::ftSmallint:
        return set(qbtInt16, 2);
    case cls::ftInteger:
        return set(qbtInt32, 4);
    case cls::ftWord:
        return set(qbtWord16, 2);
    case cls::ftBoolean:
        return set(qbtBoolean, 1);
    case cls::ftFloat:
        return set(qbtDouble, 8);
    case cls::ftCurrency:
    case cls::ftBCD:
        return set(qbtCurrency, 8);
    case cls::ftDate:
        return set(qbtStDate, 4);
    case cls::ftTime:
        return set(qbtStTime, 4);
    case cls::ftDateTime:
        return set(qbtDateTime, 8);
    case cls::ftBytes:
        return set(qbtByteArray, size);
    case cls::ftVarBytes:
        if (size < 257) return set(qbtShortString, size);
        return set(qbtReserved, 0);
    case cls::ftAutoInc:
        return set(qbtAutoInc, 4);
    case cls::ftBlob:
        return set(qbtBLOB, 8);
    case cls::ftMemo:
        return set(qbtBLOBMemo, 8);
    case cls::ftGraphic:
        return set(qbtBLOBGraphic, 8);
    case cls::ftFmtMemo:
        return set(qbtBLOBFmtMemo, 8);
    case cls::ftParadoxOle:
        return set(qbtBLOBOLEObj, 8);
    case cls::ftDBaseOle:
        return set(qbtBLOBDBSOLEObj, 8);
    case cls::ftTypedBinary:
        return set(qbtBLOBTypedBin, 8);
    case cls::ftWideString:
        return set(qbtWideString, size);
    default:
        return set(qbtReserved, 0);
    }
}

bool ValueToEngine(int32_t t, int32_t size, const void* src, void* dst) {
    if (!isValueType(t)) return false;
    const auto* s = static_cast<const uint8_t*>(src);
    auto* d = static_cast<uint8_t*>(dst);
    switch (t) {
    case qbtBoolean:
        *d = plat::LoadLE16(s) != 0 ? 1 : 0;
        return true;
    case qbtChar:
    case qbtByte:
    case qbtInt8:
        *d = s[0];
        return true;
    case qbtWideChar: {
        const size_t n = textLength(s, 1);
        plat::StoreLE16(d, n ? plat::AnsiCharToUtf16(s[0]) : 0);
        return true;
    }
    case qbtWord16:
    case qbtInt16:
        std::memcpy(d, s, 2);
        return true;
    case qbtWord32:
    case qbtInt32:
    case qbtAutoInc:
        std::memcpy(d, s, 4);
        return true;
    case qbtSingle: {
        const float f = float(loadDouble(s));
        std::memcpy(d, &f, 4);
        return true;
    }
    case qbtDouble:
        std::memcpy(d, s, 8);
        return true;
    case qbtExtended:
        cls::StoreExtended(d, loadDouble(s));
        return true;
    case qbtComp:
        plat::StoreLE64(d, uint64_t(roundToInt64(loadDouble(s))));
        return true;
    case qbtCurrency:
        plat::StoreLE64(d, uint64_t(roundToInt64(loadDouble(s) * 10000.0)));
        return true;
    case qbtStDate: {
        const int32_t day = int32_t(plat::LoadLE32(s));
        const int32_t st = DateTimeToStDate(double(int64_t(day) - cls::DateDelta));
        if (st == kBlankStDate) {
            plat::StoreLE32(d, 0);
            return false;
        }
        plat::StoreLE32(d, uint32_t(st));
        return true;
    }
    case qbtStTime:
        plat::StoreLE32(d, uint32_t(int32_t(plat::LoadLE32(s)) / 1000));
        return true;
    case qbtDateTime:
        storeDouble(d, loadDouble(s) / cls::MSecsPerDay);
        return true;
    case qbtByteArray:
        std::memcpy(d, s, size_t(std::max(size, 0)));
        return true;
    case qbtShortString:
    case qbtShortAnsiStr: {
        // The length byte and at most size - 1 characters fit the field.
        if (size < 1) return true;
        const size_t n = textLength(s, size_t(std::min(size - 1, 255)));
        d[0] = uint8_t(n);
        putText(d + 1, size_t(size - 1), reinterpret_cast<const char*>(s), n);
        return true;
    }
    case qbtNullString:
    case qbtNullAnsiStr: {
        if (size < 1) return true;
        const size_t n = textLength(s, size_t(size - 1));
        putText(d, size_t(size), reinterpret_cast<const char*>(s), n);
        return true;
    }
    case qbtWideString: {
        if (size < 2) return true;
        const size_t cap = wideCapacity(size);
        const std::u16string w =
            plat::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(s), textLength(s, cap)));
        std::memset(d, 0, size_t(size));
        for (size_t i = 0; i < w.size() && i < cap; ++i)
            plat::StoreLE16(d + 2 * i, w[i]);
        return true;
    }
    default: // BLOB numbers: all 64 bits
        std::memcpy(d, s, 8);
        return true;
    }
}

bool ValueFromEngine(int32_t t, int32_t size, const void* src, void* dst) {
    if (!isValueType(t)) return false;
    const auto* s = static_cast<const uint8_t*>(src);
    auto* d = static_cast<uint8_t*>(dst);
    switch (t) {
    case qbtBoolean:
        plat::StoreLE16(d, s[0] ? 0xFFFF : 0);
        return true;
    case qbtChar:
    case qbtByte:
        plat::StoreLE16(d, s[0]);
        return true;
    case qbtInt8:
        plat::StoreLE16(d, uint16_t(int16_t(int8_t(s[0]))));
        return true;
    case qbtWideChar: {
        const char16_t u = char16_t(plat::LoadLE16(s));
        d[0] = u ? uint8_t(plat::Utf16CharToAnsi(u)) : 0;
        d[1] = 0;
        return true;
    }
    case qbtWord16:
    case qbtInt16:
        std::memcpy(d, s, 2);
        return true;
    case qbtWord32:
    case qbtInt32:
    case qbtAutoInc:
        std::memcpy(d, s, 4);
        return true;
    case qbtSingle: {
        float f;
        std::memcpy(&f, s, 4);
        storeDouble(d, double(f));
        return true;
    }
    case qbtDouble:
        std::memcpy(d, s, 8);
        return true;
    case qbtExtended:
        storeDouble(d, double(cls::LoadExtended(s)));
        return true;
    case qbtComp:
        storeDouble(d, double(int64_t(plat::LoadLE64(s))));
        return true;
    case qbtCurrency:
        storeDouble(d, double(int64_t(plat::LoadLE64(s))) / 10000.0);
        return true;
    case qbtStDate: {
        const int32_t st = int32_t(plat::LoadLE32(s));
        if (st < 0 || st > kMaxStDate) return false;
        plat::StoreLE32(d, uint32_t(int32_t(std::trunc(StDateToDateTime(st))) + cls::DateDelta));
        return true;
    }
    case qbtStTime: {
        const int32_t sec = int32_t(plat::LoadLE32(s));
        if (sec == kBlankStTime) return false;
        plat::StoreLE32(d, uint32_t(int32_t(int64_t(sec) * 1000)));
        return true;
    }
    case qbtDateTime:
        storeDouble(d, loadDouble(s) * cls::MSecsPerDay);
        return true;
    case qbtByteArray:
        std::memcpy(d, s, size_t(std::max(size, 0)));
        return true;
    case qbtShortString:
    case qbtShortAnsiStr: {
        if (size < 1) return true;
        const size_t n = std::min<size_t>(s[0], size_t(size - 1));
        putText(d, size_t(size), reinterpret_cast<const char*>(s + 1), n);
        return true;
    }
    case qbtNullString:
    case qbtNullAnsiStr: {
        if (size < 1) return true;
        const size_t n = textLength(s, size_t(size - 1));
        putText(d, size_t(size), reinterpret_cast<const char*>(s), n);
        return true;
    }
    case qbtWideString: {
        const size_t cap = wideCapacity(size);
        std::u16string w;
        for (size_t i = 0; i < cap; ++i) {
            const char16_t u = char16_t(plat::LoadLE16(s + 2 * i));
            if (!u) break;
            w.push_back(u);
        }
        const std::string a = plat::Utf16ToAnsi(w);
        putText(d, cap + 1, a.data(), std::min(a.size(), cap));
        return true;
    }
    default: // BLOB numbers: all 64 bits
        std::memcpy(d, s, 8);
        return true;
    }
}

int ProtocolFromName(std::string_view name) {
    if (name == "TCP/IP") return 1;
    if (name == "IPX/SPX") return 2;
    return 0;
}
