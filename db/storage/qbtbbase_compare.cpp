// Comparison of two stored field values by field type: the order of index keys and filters.
#include "db/base/qbllbase.h"
#include "db/base/qbllexcp.h"
#include "db/storage/qbtbbase.h"

#include <cmath>
#include <cstring>

namespace {

template <class T> T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T> int cmp3(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Floating-point order with -0 equal to 0; NaN sorts after every number and equals itself, so
// that the order stays total.
template <class T> int cmpFloat(T a, T b) {
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
    return cmp3(a, b);
}

// 80-bit extended: sign, 15-bit exponent, 64-bit significand with its explicit integer bit. Read
// from the bytes so the order does not depend on the compiler's long double.
int cmpExtended(const uint8_t* a, const uint8_t* b) {
    auto key = [](const uint8_t* p, bool& neg, bool& nan, bool& zero) {
        uint64_t mant = load<uint64_t>(p);
        uint16_t se = load<uint16_t>(p + 8);
        uint16_t exp = se & 0x7FFF;
        neg = se & 0x8000;
        nan = exp == 0x7FFF && (mant << 1) != 0;
        zero = mant == 0;
        return std::pair<uint16_t, uint64_t>(exp, mant);
    };
    bool negA, nanA, zeroA, negB, nanB, zeroB;
    auto ka = key(a, negA, nanA, zeroA);
    auto kb = key(b, negB, nanB, zeroB);
    if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? 1 : -1);
    if (zeroA && zeroB) return 0;
    if (zeroA) return negB ? 1 : -1;
    if (zeroB) return negA ? -1 : 1;
    if (negA != negB) return negA ? -1 : 1;
    // A denormal's significand lacks the integer bit; comparing (exponent, significand) still
    // orders it below every normal number of the same sign.
    int mag = ka < kb ? -1 : (kb < ka ? 1 : 0);
    return negA ? -mag : mag;
}

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

} // namespace

int CompareFieldValues(const void* Value1, const void* Value2, int FieldType, bool IgnoreCase,
                       int32_t Length) {
    auto* a = static_cast<const uint8_t*>(Value1);
    auto* b = static_cast<const uint8_t*>(Value2);
    KeyCompareDesc d;
    d.NoCase = IgnoreCase;
    switch (FieldType) {
    case qbtBoolean:
        return cmp3(a[0] != 0, b[0] != 0);
    case qbtChar: {
        char x = char(a[0]), y = char(b[0]);
        if (IgnoreCase) x = upperAscii(x), y = upperAscii(y);
        return cmp3(uint8_t(x), uint8_t(y));
    }
    case qbtWideChar:
        return KeyCompareWideChar(a, b, d);
    case qbtByte:
        return cmp3(a[0], b[0]);
    case qbtWord16:
        return cmp3(load<uint16_t>(a), load<uint16_t>(b));
    case qbtWord32:
    case qbtAutoInc:
        return cmp3(load<uint32_t>(a), load<uint32_t>(b));
    case qbtInt8:
        return cmp3(int8_t(a[0]), int8_t(b[0]));
    case qbtInt16:
        return cmp3(load<int16_t>(a), load<int16_t>(b));
    case qbtInt32:
    case qbtStDate:
    case qbtStTime:
        return cmp3(load<int32_t>(a), load<int32_t>(b));
    case qbtSingle:
        return cmpFloat(load<float>(a), load<float>(b));
    case qbtDouble:
    case qbtDateTime:
        return cmpFloat(load<double>(a), load<double>(b));
    case qbtExtended:
        return cmpExtended(a, b);
    case qbtComp:
    case qbtCurrency:
        return cmp3(load<int64_t>(a), load<int64_t>(b));
    case qbtByteArray:
        return Length > 0 ? CompareBuffers(a, b, size_t(Length)) : 0;
    case qbtShortString:
    case qbtShortAnsiStr:
        d.FieldLength = Length > 0 ? Length - 1 : 0;
        return KeyCompareShStrLocale(a, b, d);
    case qbtNullString:
    case qbtNullAnsiStr:
        d.FieldLength = Length > 0 ? Length : 0;
        return KeyComparePCharLocale(a, b, d);
    case qbtWideString:
        d.FieldLength = Length > 0 ? Length / 2 : 0;
        return KeyCompareWideStrLocale(a, b, d);
    default:
        if (FieldType >= qbtBLOB && FieldType <= qbtBLOBFile) RaiseServerError(178, {});
        RaiseGeneralError(325, {FieldType});
    }
}
