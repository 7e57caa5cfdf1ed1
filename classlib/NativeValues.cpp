// The codec of native field values: reading, writing and ordering each stored kind.
#include "classlib/NativeValues.h"

#include "platform/ByteCodec.h"
#include "platform/Text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cls {

namespace {

constexpr int32_t kMaxStDay = 876581; // 3999-12-31
constexpr int32_t kSecondsPerDay = 86400;

size_t wideUnits(const char* p, size_t size) {
    size_t n = 0;
    while (n < size / 2 && (p[2 * n] || p[2 * n + 1]))
        ++n;
    return n;
}

} // namespace

long double LoadExtended(const void* p) {
    auto b = static_cast<const uint8_t*>(p);
    uint64_t mant = plat::LoadLE64(b);
    uint16_t se = plat::LoadLE16(b + 8);
    int exp = se & 0x7FFF;
    long double x;
    if (exp == 0x7FFF)
        x = (mant << 1) ? NAN : INFINITY;
    else
        x = std::ldexp(static_cast<long double>(mant), (exp == 0 ? 1 : exp) - 16383 - 63);
    return (se & 0x8000) ? -x : x;
}

void StoreExtended(void* p, long double v) {
    auto b = static_cast<uint8_t*>(p);
    uint16_t sign = std::signbit(v) ? 0x8000 : 0;
    uint64_t mant = 0;
    int exp = 0;
    if (std::isnan(v)) {
        exp = 0x7FFF, mant = 0xC000000000000000ull;
    } else if (std::isinf(v)) {
        exp = 0x7FFF, mant = 0x8000000000000000ull;
    } else if (v != 0) {
        int e;
        long double m = std::frexp(std::fabs(v), &e); // [0.5, 1)
        exp = e - 1 + 16383;
        if (exp <= 0) { // denormal: shift the mantissa down
            mant = static_cast<uint64_t>(std::ldexp(m, 64 + exp - 1));
            exp = 0;
        } else
            mant = static_cast<uint64_t>(std::ldexp(m, 64));
    }
    plat::StoreLE64(b, mant);
    plat::StoreLE16(b + 8, static_cast<uint16_t>(sign | exp));
}

double NativeToDateTime(TNativeKind kind, const void* data) {
    auto p = static_cast<const uint8_t*>(data);
    switch (kind) {
    case TNativeKind::DayNo32:
        return double(static_cast<int32_t>(plat::LoadLE32(p))) - DateDelta;
    case TNativeKind::MSecOfDay32:
        return static_cast<int32_t>(plat::LoadLE32(p)) / double(MSecsPerDay);
    default: {
        double ms;
        std::memcpy(&ms, p, 8);
        return TimeStampToDateTime(MSecsToTimeStamp(ms));
    }
    }
}

void DateTimeToNative(TNativeKind kind, void* data, double value) {
    auto p = static_cast<uint8_t*>(data);
    TTimeStamp ts = DateTimeToTimeStamp(value);
    switch (kind) {
    case TNativeKind::DayNo32:
        plat::StoreLE32(p, static_cast<uint32_t>(ts.Date));
        break;
    case TNativeKind::MSecOfDay32:
        plat::StoreLE32(p, static_cast<uint32_t>(ts.Time));
        break;
    default: {
        double ms = TimeStampToMSecs(ts);
        std::memcpy(p, &ms, 8);
    }
    }
}

TFilterValue IntegerValue(int64_t v) {
    TFilterValue r;
    r.cls = TFilterValue::vcInteger, r.i = v;
    return r;
}
TFilterValue FloatValue(long double v) {
    TFilterValue r;
    r.cls = TFilterValue::vcFloat, r.f = v;
    return r;
}
TFilterValue DateTimeValue(long double days) {
    TFilterValue r;
    r.cls = TFilterValue::vcDateTime, r.f = days;
    return r;
}
TFilterValue BooleanValue(bool v) {
    TFilterValue r;
    r.cls = TFilterValue::vcBoolean, r.b = v;
    return r;
}
TFilterValue TextValue(std::string_view s) {
    TFilterValue r;
    r.cls = TFilterValue::vcText, r.data = s.data(), r.size = s.size();
    return r;
}

void DecodeNative(TNativeKind kind, const void* data, size_t size, bool isNull, TFilterValue& out) {
    out = TFilterValue();
    out.null = isNull;
    const char* p = static_cast<const char*>(data);
    if (!p) size = 0;
    out.data = p;
    out.size = size;
    // A field shorter than its kind reads as zero.
    auto has = [&](size_t n) { return size >= n; };
    auto integer = [&](int64_t v) { out.cls = TFilterValue::vcInteger, out.i = v; };
    auto real = [&](long double v) { out.cls = TFilterValue::vcFloat, out.f = v; };
    auto days = [&](long double v) { out.cls = TFilterValue::vcDateTime, out.f = v; };
    auto f64 = [&]() {
        double d = 0;
        if (has(8)) std::memcpy(&d, p, 8);
        return d;
    };
    switch (kind) {
    case TNativeKind::Bytes:
        out.cls = TFilterValue::vcBytes;
        break;
    case TNativeKind::VarBytes:
        out.cls = TFilterValue::vcBytes;
        out.data = has(2) ? p + 2 : p;
        out.size = has(2) ? std::min<size_t>(plat::LoadLE16(p), size - 2) : 0;
        break;
    case TNativeKind::Bool8:
        out.cls = TFilterValue::vcBoolean, out.b = has(1) && p[0] != 0;
        break;
    case TNativeKind::Bool16:
        out.cls = TFilterValue::vcBoolean, out.b = has(2) && plat::LoadLE16(p) != 0;
        break;
    case TNativeKind::UInt8:
        integer(has(1) ? static_cast<uint8_t>(p[0]) : 0);
        break;
    case TNativeKind::Int8:
        integer(has(1) ? static_cast<int8_t>(p[0]) : 0);
        break;
    case TNativeKind::UInt16:
        integer(has(2) ? plat::LoadLE16(p) : 0);
        break;
    case TNativeKind::Int16:
        integer(has(2) ? static_cast<int16_t>(plat::LoadLE16(p)) : 0);
        break;
    case TNativeKind::UInt32:
        integer(has(4) ? plat::LoadLE32(p) : 0);
        break;
    case TNativeKind::Int32:
        integer(has(4) ? static_cast<int32_t>(plat::LoadLE32(p)) : 0);
        break;
    case TNativeKind::Int64:
        integer(has(8) ? static_cast<int64_t>(plat::LoadLE64(p)) : 0);
        break;
    case TNativeKind::Float32: {
        float v = 0;
        if (has(4)) std::memcpy(&v, p, 4);
        real(v);
        break;
    }
    case TNativeKind::Float64:
        real(f64());
        break;
    case TNativeKind::Float80:
        real(has(10) ? LoadExtended(p) : 0);
        break;
    case TNativeKind::Currency64:
        real(has(8) ? static_cast<long double>(static_cast<int64_t>(plat::LoadLE64(p))) / 10000 : 0);
        break;
    case TNativeKind::DayNo32:
        days(has(4) ? static_cast<int32_t>(plat::LoadLE32(p)) : 0);
        break;
    case TNativeKind::MSecOfDay32:
        days(has(4) ? static_cast<int32_t>(plat::LoadLE32(p)) / static_cast<long double>(MSecsPerDay) : 0);
        break;
    case TNativeKind::MSecStamp64:
        days(f64() / static_cast<long double>(MSecsPerDay));
        break;
    case TNativeKind::StDate32: {
        // The blank or an invalid day is 1899-12-30, as the class library's date-time 0.
        int32_t d = has(4) ? static_cast<int32_t>(plat::LoadLE32(p)) : -1;
        days(d < 0 || d > kMaxStDay ? DateDelta : static_cast<long double>(d) + kStDateOrigin);
        break;
    }
    case TNativeKind::StTime32: {
        int32_t t = has(4) ? static_cast<int32_t>(plat::LoadLE32(p)) : -1;
        days(t < 0 || t >= kSecondsPerDay ? 0 : static_cast<long double>(t) / kSecondsPerDay);
        break;
    }
    case TNativeKind::DateTime64:
        days(f64());
        break;
    case TNativeKind::Char8:
        out.cls = TFilterValue::vcText;
        out.size = has(1) && p[0] ? 1 : 0;
        break;
    case TNativeKind::ShortStr:
        out.cls = TFilterValue::vcText;
        out.data = has(1) ? p + 1 : p;
        out.size = has(1) ? std::min<size_t>(static_cast<uint8_t>(p[0]), size - 1) : 0;
        break;
    case TNativeKind::ZStr:
        out.cls = TFilterValue::vcText;
        out.size = size ? strnlen(p, size) : 0;
        break;
    case TNativeKind::WideChar:
        out.cls = TFilterValue::vcText, out.wide = true;
        out.size = has(2) && (p[0] || p[1]) ? 2 : 0;
        break;
    case TNativeKind::WideZStr:
        out.cls = TFilterValue::vcText, out.wide = true;
        out.size = 2 * wideUnits(p, size);
        break;
    }
}

void EncodeNative(TNativeKind kind, void* data, size_t size, const TFilterValue& v) {
    auto p = static_cast<uint8_t*>(data);
    if (!p || !size) return;
    std::memset(p, 0, size);
    auto num = [&]() -> long double {
        return v.cls == TFilterValue::vcInteger   ? static_cast<long double>(v.i)
               : v.cls == TFilterValue::vcBoolean ? (v.b ? 1 : 0)
                                                  : v.f;
    };
    auto whole = [&]() -> int64_t {
        return v.cls == TFilterValue::vcInteger ? v.i : static_cast<int64_t>(std::llroundl(num()));
    };
    auto put = [&](const void* src, size_t n) { std::memcpy(p, src, std::min(n, size)); };
    auto text = [&]() { return std::string_view(v.data ? v.data : "", v.data ? v.size : 0); };
    switch (kind) {
    case TNativeKind::Bytes:
        put(v.data, v.data ? v.size : 0);
        break;
    case TNativeKind::VarBytes:
        if (size >= 2) {
            size_t n = std::min(v.data ? v.size : 0, size - 2);
            plat::StoreLE16(p, static_cast<uint16_t>(n));
            if (n) std::memcpy(p + 2, v.data, n);
        }
        break;
    case TNativeKind::Bool8:
        p[0] = num() != 0 ? 1 : 0;
        break;
    case TNativeKind::Bool16:
        if (size >= 2) plat::StoreLE16(p, num() != 0 ? 0xFFFF : 0);
        break;
    case TNativeKind::UInt8:
    case TNativeKind::Int8:
        p[0] = static_cast<uint8_t>(whole());
        break;
    case TNativeKind::UInt16:
    case TNativeKind::Int16:
        if (size >= 2) plat::StoreLE16(p, static_cast<uint16_t>(whole()));
        break;
    case TNativeKind::UInt32:
    case TNativeKind::Int32:
        if (size >= 4) plat::StoreLE32(p, static_cast<uint32_t>(whole()));
        break;
    case TNativeKind::Int64:
        if (size >= 8) plat::StoreLE64(p, static_cast<uint64_t>(whole()));
        break;
    case TNativeKind::Float32: {
        float f = static_cast<float>(num());
        put(&f, 4);
        break;
    }
    case TNativeKind::Float64:
    case TNativeKind::DateTime64: {
        double d = static_cast<double>(num());
        put(&d, 8);
        break;
    }
    case TNativeKind::Float80:
        if (size >= 10) StoreExtended(p, num());
        break;
    case TNativeKind::Currency64:
        if (size >= 8) plat::StoreLE64(p, static_cast<uint64_t>(std::llroundl(num() * 10000)));
        break;
    case TNativeKind::DayNo32:
        if (size >= 4) plat::StoreLE32(p, static_cast<uint32_t>(static_cast<int32_t>(std::floor(num()))));
        break;
    case TNativeKind::MSecOfDay32:
        if (size >= 4) plat::StoreLE32(p, static_cast<uint32_t>(std::llroundl(num() * MSecsPerDay)));
        break;
    case TNativeKind::MSecStamp64: {
        double d = static_cast<double>(num() * MSecsPerDay);
        put(&d, 8);
        break;
    }
    case TNativeKind::StDate32: {
        long double d = std::floor(num()) - kStDateOrigin;
        int32_t day = d < 0 || d > kMaxStDay ? -1 : static_cast<int32_t>(d);
        if (size >= 4) plat::StoreLE32(p, static_cast<uint32_t>(day));
        break;
    }
    case TNativeKind::StTime32: {
        long double s = std::llroundl((num() - std::floor(num())) * kSecondsPerDay);
        if (size >= 4)
            plat::StoreLE32(p, static_cast<uint32_t>(std::min<long double>(s, kSecondsPerDay - 1)));
        break;
    }
    case TNativeKind::Char8:
        p[0] = text().empty() ? 0 : static_cast<uint8_t>(text()[0]);
        break;
    case TNativeKind::ShortStr: {
        size_t n = std::min({text().size(), size - 1, size_t(255)});
        p[0] = static_cast<uint8_t>(n);
        if (n) std::memcpy(p + 1, text().data(), n);
        break;
    }
    case TNativeKind::ZStr: {
        size_t n = std::min(text().size(), size - 1);
        if (n) std::memcpy(p, text().data(), n);
        break;
    }
    case TNativeKind::WideChar:
    case TNativeKind::WideZStr: {
        size_t room =
            kind == TNativeKind::WideChar ? std::min<size_t>(1, size / 2) : (size / 2 ? size / 2 - 1 : 0);
        size_t n = std::min(text().size(), room);
        for (size_t k = 0; k < n; ++k)
            plat::StoreLE16(p + 2 * k, plat::AnsiCharToUtf16(static_cast<unsigned char>(text()[k])));
        break;
    }
    }
}

int CompareNative(TNativeKind kind, const void* a, const void* b, size_t size, bool ignoreCase) {
    thread_local TFilterScratch scratch;
    TFilterValue x, y;
    DecodeNative(kind, a, size, false, x);
    DecodeNative(kind, b, size, false, y);
    if (x.cls == TFilterValue::vcBytes) {
        // Bytes order by their common part, then the shorter first.
        size_t n = std::min(x.size, y.size);
        int c = n ? std::memcmp(x.data, y.data, n) : 0;
        if (c) return c < 0 ? -1 : 1;
        return x.size < y.size ? -1 : x.size > y.size ? 1 : 0;
    }
    return CompareFilterValues(x, y, ignoreCase, 0, CollateText, scratch);
}

} // namespace cls
