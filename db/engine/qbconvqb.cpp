// Field value conversion: the table of type pairs that convert, and the conversion of one value.
#include "db/engine/qbconvqb.h"

#include "db/storage/qbstdate.h"
#include "platform/ByteCodec.h"
#include "platform/Text.h"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <string>

using cls::TFilterValue;
using cls::TNativeKind;

cls::TNativeKind QbNativeKind(int32_t FieldType) {
    switch (FieldType) {
    case qbtBoolean:
        return TNativeKind::Bool8;
    case qbtChar:
        return TNativeKind::Char8;
    case qbtWideChar:
        return TNativeKind::WideChar;
    case qbtByte:
        return TNativeKind::UInt8;
    case qbtWord16:
        return TNativeKind::UInt16;
    case qbtWord32:
    case qbtAutoInc:
        return TNativeKind::UInt32;
    case qbtInt8:
        return TNativeKind::Int8;
    case qbtInt16:
        return TNativeKind::Int16;
    case qbtInt32:
        return TNativeKind::Int32;
    case qbtSingle:
        return TNativeKind::Float32;
    case qbtDouble:
        return TNativeKind::Float64;
    case qbtExtended:
        return TNativeKind::Float80;
    case qbtComp:
        return TNativeKind::Int64;
    case qbtCurrency:
        return TNativeKind::Currency64;
    case qbtStDate:
        return TNativeKind::StDate32;
    case qbtStTime:
        return TNativeKind::StTime32;
    case qbtDateTime:
        return TNativeKind::DateTime64;
    case qbtShortString:
    case qbtShortAnsiStr:
        return TNativeKind::ShortStr;
    case qbtNullString:
    case qbtNullAnsiStr:
        return TNativeKind::ZStr;
    case qbtWideString:
        return TNativeKind::WideZStr;
    default:
        return TNativeKind::Bytes;
    }
}

namespace {

bool isBLOB(int32_t t) {
    return t >= qbtBLOB && t <= qbtBLOBFile;
}
bool isShort(int32_t t) {
    return t == qbtShortString || t == qbtShortAnsiStr;
}
bool isNullStr(int32_t t) {
    return t == qbtNullString || t == qbtNullAnsiStr;
}
bool isString(int32_t t) {
    return isShort(t) || isNullStr(t) || t == qbtWideString;
}
bool isFloat(int32_t t) {
    return t == qbtSingle || t == qbtDouble || t == qbtExtended;
}

// Bytes a fixed-size type occupies (0: sized by its field).
int32_t width(int32_t t) {
    switch (t) {
    case qbtBoolean:
    case qbtChar:
    case qbtByte:
    case qbtInt8:
        return 1;
    case qbtWideChar:
    case qbtWord16:
    case qbtInt16:
        return 2;
    case qbtWord32:
    case qbtInt32:
    case qbtAutoInc:
    case qbtSingle:
    case qbtStDate:
    case qbtStTime:
        return 4;
    case qbtDouble:
    case qbtComp:
    case qbtCurrency:
    case qbtDateTime:
        return 8;
    case qbtExtended:
        return 10;
    default:
        return 0;
    }
}

// Whether the pair converts, as the conversion table lists it.
bool listed(int32_t s, int32_t d) {
    switch (s) {
    case qbtBoolean:
        return d == qbtBoolean || d == qbtByte || d == qbtInt8 || d == qbtChar || d == qbtWideChar ||
               d == qbtWord16 || d == qbtInt16 || d == qbtWord32 || d == qbtInt32 || isString(d);
    case qbtChar:
    case qbtWideChar:
        return d == qbtChar || d == qbtWideChar || isBLOB(d) || isString(d);
    case qbtByte:
        return d == qbtByte || d == qbtWord16 || d == qbtInt16 || d == qbtWord32 || d == qbtInt32 ||
               d == qbtAutoInc || isFloat(d) || d == qbtComp || d == qbtCurrency || isString(d);
    case qbtWord16:
        return d == qbtWord16 || d == qbtWord32 || d == qbtInt32 || d == qbtAutoInc || isFloat(d) ||
               d == qbtComp || d == qbtCurrency || isString(d);
    case qbtWord32:
    case qbtAutoInc:
        return d == qbtWord32 || d == qbtAutoInc || isFloat(d) || d == qbtComp || d == qbtCurrency ||
               isString(d);
    case qbtInt8:
        return d == qbtWord32 || d == qbtAutoInc || d == qbtInt8 || d == qbtInt16 || d == qbtInt32 ||
               isFloat(d) || d == qbtComp || d == qbtCurrency || isString(d);
    case qbtInt16:
        return d == qbtWord32 || d == qbtAutoInc || d == qbtInt16 || d == qbtInt32 || isFloat(d) ||
               d == qbtComp || d == qbtCurrency || isString(d);
    case qbtInt32:
        return d == qbtWord32 || d == qbtAutoInc || d == qbtInt32 || isFloat(d) || d == qbtComp ||
               d == qbtCurrency || isString(d);
    case qbtSingle:
        return isFloat(d) || d == qbtCurrency;
    case qbtDouble:
        return d == qbtDouble || d == qbtExtended || d == qbtCurrency;
    case qbtExtended:
        return d == qbtExtended || d == qbtCurrency;
    case qbtComp:
        return d == qbtComp;
    case qbtCurrency:
        return isFloat(d) || d == qbtCurrency;
    case qbtStDate:
    case qbtStTime:
        return d == s || d == qbtDateTime;
    case qbtDateTime:
        return d == qbtStDate || d == qbtStTime || d == qbtDateTime;
    case qbtByteArray:
        return d == qbtByteArray || isBLOB(d);
    case qbtShortString:
    case qbtShortAnsiStr:
    case qbtNullString:
    case qbtNullAnsiStr:
    case qbtWideString:
        return d == qbtChar || d == qbtWideChar || isBLOB(d) || isString(d);
    default:
        return isBLOB(s) && isBLOB(d);
    }
}

// Writes 8-bit text into a string field: a length byte for short strings, a terminator for null
// strings, UTF-16 with a 16-bit terminator for wide strings. The caller checked that it fits.
void putText(uint8_t* d, int32_t type, int32_t len, std::string_view s) {
    std::memset(d, 0, size_t(len));
    if (isShort(type)) {
        d[0] = uint8_t(s.size());
        std::memcpy(d + 1, s.data(), s.size());
    } else if (isNullStr(type)) {
        std::memcpy(d, s.data(), s.size());
    } else {
        for (size_t k = 0; k < s.size(); ++k)
            plat::StoreLE16(d + 2 * k, plat::AnsiCharToUtf16(static_cast<unsigned char>(s[k])));
    }
}

// Characters a string field holds besides its length byte or terminator.
size_t textRoom(int32_t type, int32_t len) {
    if (type == qbtWideString) return len >= 2 ? size_t(len / 2 - 1) : 0;
    return len >= 1 ? size_t(len - 1) : 0;
}

// The 8-bit text of a string or character source, cut to the room given.
std::string sourceText(const TFilterValue& v, size_t room) {
    std::string s;
    if (v.wide)
        for (size_t k = 0; k < v.size / 2 && s.size() < room; ++k)
            s += plat::Utf16CharToAnsi(static_cast<char16_t>(plat::LoadLE16(v.data + 2 * k)));
    else
        s.assign(v.data, std::min(v.size, room));
    return s;
}

// value x 10000 rounded to nearest (ties to even); false when it does not fit 64 bits or is NaN.
bool toCurrency(long double v, int64_t& out) {
    long double x = v * 10000.0L;
    if (!std::isfinite(x) || std::fabs(x) >= 9223372036854775808.0L) return false;
    long double r = std::nearbyintl(x);
    if (std::fabs(r) >= 9223372036854775808.0L) return false;
    out = static_cast<int64_t>(r);
    return true;
}

} // namespace

int32_t ConvertFieldValue(const void* Source, void* Destination, int32_t SourceType, int32_t DestinationType,
                          int32_t SourceLength, int32_t DestinationLength) {
    const int32_t s = SourceType, d = DestinationType;
    if (s < 0 || s > 50 || d < 0 || d > 50 || !listed(s, d)) return kInvalidFieldTransformation;
    if (!Destination) return 0;
    if (isBLOB(d)) return 0; // the caller copies BLOB data
    if (!Source || SourceLength < width(s) || DestinationLength < width(d) || SourceLength < 0 ||
        DestinationLength < 0)
        return kInvalidFieldTransformation;
    auto src = static_cast<const uint8_t*>(Source);
    auto dst = static_cast<uint8_t*>(Destination);
    TFilterValue v;
    cls::DecodeNative(QbNativeKind(s), src, size_t(SourceLength), false, v);

    if (s == d && s != qbtByteArray && !isString(s)) { // same fixed type: copied
        std::memcpy(dst, src, size_t(width(s)));
        return 0;
    }
    if (s == qbtByteArray) {
        std::memcpy(dst, src, size_t(std::min(SourceLength, DestinationLength)));
        return 0;
    }
    if (s == qbtBoolean) {
        bool t = src[0] != 0;
        if (d == qbtChar) {
            dst[0] = t ? 'Y' : 'N';
        } else if (d == qbtWideChar) {
            plat::StoreLE16(dst, t ? u'Y' : u'N');
        } else if (isString(d)) {
            if (textRoom(d, DestinationLength) < 1) return kInvalidFieldTransformation;
            putText(dst, d, DestinationLength, t ? "Y" : "N");
        } else {
            cls::EncodeNative(QbNativeKind(d), dst, size_t(width(d)), cls::IntegerValue(src[0]));
        }
        return 0;
    }
    if (v.cls == TFilterValue::vcText) { // characters and strings
        // A string source gives at most its field's room: the terminator is not text.
        if (isNullStr(s)) v.size = std::min(v.size, textRoom(s, SourceLength));
        if (s == qbtWideString) v.size = std::min(v.size, 2 * textRoom(s, SourceLength));
        if (d == qbtChar) {
            uint32_t c = 0;
            if (v.wide)
                c = v.size >= 2 ? plat::LoadLE16(v.data) : 0;
            else
                c = v.size ? uint8_t(v.data[0]) : 0;
            dst[0] = c < 256 ? uint8_t(c) : 0;
        } else if (d == qbtWideChar) {
            uint16_t c =
                v.wide ? (v.size >= 2 ? plat::LoadLE16(v.data) : 0) : (v.size ? uint8_t(v.data[0]) : 0);
            plat::StoreLE16(dst, c);
        } else if (v.wide && d == qbtWideString) {
            // Whole UTF-16 units, and the 16-bit terminator inside the field.
            size_t room = textRoom(d, DestinationLength), n = std::min(v.size / 2, room);
            if (DestinationLength < 2) return kInvalidFieldTransformation;
            std::memset(dst, 0, size_t(DestinationLength));
            std::memcpy(dst, v.data, 2 * n);
        } else {
            size_t room = textRoom(d, DestinationLength);
            if (isShort(d)) room = std::min<size_t>(room, 255);
            if (DestinationLength < (d == qbtWideString ? 2 : 1)) return kInvalidFieldTransformation;
            putText(dst, d, DestinationLength, sourceText(v, room));
        }
        return 0;
    }
    if (v.cls == TFilterValue::vcInteger) { // integer sources
        if ((d == qbtWord32 || d == qbtAutoInc) && v.i < 0) return kInvalidFieldTransformation;
        if (isString(d)) {
            std::string text = std::to_string(v.i);
            if (text.size() > textRoom(d, DestinationLength)) return kInvalidFieldTransformation;
            putText(dst, d, DestinationLength, text);
        } else if (d == qbtCurrency) {
            plat::StoreLE64(dst, static_cast<uint64_t>(v.i * 10000));
        } else if (isFloat(d)) {
            cls::EncodeNative(QbNativeKind(d), dst, size_t(width(d)),
                              cls::FloatValue(static_cast<long double>(v.i)));
        } else {
            cls::EncodeNative(QbNativeKind(d), dst, size_t(width(d)), v);
        }
        return 0;
    }
    if (v.cls == TFilterValue::vcFloat) { // floats and currency
        if (d == qbtCurrency) {
            int64_t c;
            if (!toCurrency(v.f, c)) return kInvalidFieldTransformation;
            plat::StoreLE64(dst, static_cast<uint64_t>(c));
        } else {
            cls::EncodeNative(QbNativeKind(d), dst, size_t(width(d)), v);
        }
        return 0;
    }
    // Dates and times.
    if (d == qbtDateTime) {
        double dt = static_cast<double>(v.f);
        std::memcpy(dst, &dt, 8);
    } else if (d == qbtStDate) {
        plat::StoreLE32(dst, static_cast<uint32_t>(DateTimeToStDate(static_cast<double>(v.f) - 693594)));
    } else {
        plat::StoreLE32(dst, static_cast<uint32_t>(DateTimeToStTime(static_cast<double>(v.f))));
    }
    return 0;
}
