// The one codec of native field values: how each stored kind of value is read into a filter
// value, written from one and compared, for dataset records, in-memory tables and engine records.
#pragma once
#include "classlib/FilterExpr.h"

#include <cstddef>
#include <cstdint>

namespace cls {

// How a value lies in a record; each side maps its field types onto these.
enum class TNativeKind : uint8_t {
    Bytes,    // raw bytes, compared unsigned
    VarBytes, // u16 length, then the bytes
    Bool8,    // one byte, non-zero true
    Bool16,   // i16, non-zero true
    UInt8,
    Int8,
    UInt16,
    Int16,
    UInt32,
    Int32,
    Int64,
    Float32,
    Float64,
    Float80,     // 80-bit extended
    Currency64,  // i64 ten-thousandths
    DayNo32,     // i32 days from 0001-01-01 (1899-12-30 = 693594)
    MSecOfDay32, // i32 milliseconds of the day
    MSecStamp64, // f64 milliseconds from 0001-01-01
    StDate32,    // i32 days from 1600-01-01, -1 blank
    StTime32,    // i32 seconds of the day, -1 blank
    DateTime64,  // f64 days from 0001-01-01
    Char8,       // one 8-bit character
    ShortStr,    // length byte, then the characters
    ZStr,        // 8-bit text, zero-terminated inside the field
    WideChar,    // one UTF-16 unit
    WideZStr     // UTF-16 text, zero-terminated inside the field
};

// The value of a field of size bytes (all reads stay inside them; a length byte or a missing
// terminator never leads outside).
void DecodeNative(TNativeKind kind, const void* data, size_t size, bool isNull, TFilterValue& out);
// Writes a value of the kind's class into a field of size bytes (texts cut to fit, with their
// terminator inside the field; wide texts converted from Windows-1252).
void EncodeNative(TNativeKind kind, void* data, size_t size, const TFilterValue& value);
// Orders two non-null stored values of one kind, texts through the shared collation.
int CompareNative(TNativeKind kind, const void* a, const void* b, size_t size, bool ignoreCase);

// The class library's date-time (days from 1899-12-30, the time as the fraction's magnitude) of a
// stored date, time or time stamp, and back.
double NativeToDateTime(TNativeKind kind, const void* data);
void DateTimeToNative(TNativeKind kind, void* data, double value);

// Helpers of the value builders.
TFilterValue IntegerValue(int64_t v);
TFilterValue FloatValue(long double v);
TFilterValue DateTimeValue(long double days);
TFilterValue BooleanValue(bool v);
TFilterValue TextValue(std::string_view s);

// 80-bit extended (10 bytes, little-endian) to and from long double.
long double LoadExtended(const void* p);
void StoreExtended(void* p, long double v);

// Days from 0001-01-01 of 1600-01-01: an engine day number plus this is a day on the dataset scale.
constexpr int32_t kStDateOrigin = 584023;

} // namespace cls
