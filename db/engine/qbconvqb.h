// Field value conversion between field types (restructure), and the native kind of each field
// type as the filter and the conversion read engine records.
#pragma once
#include "classlib/NativeValues.h"

#include <cstdint>

#if __has_include("db/storage/qbtbbase.h")
#include "db/storage/qbtbbase.h"
#else
// Field types of the data dictionary.
enum TqbFieldType : int {
    qbtBoolean = 0,
    qbtChar = 1,
    qbtWideChar = 2,
    qbtByte = 3,
    qbtWord16 = 4,
    qbtWord32 = 5,
    qbtInt8 = 6,
    qbtInt16 = 7,
    qbtInt32 = 8,
    qbtAutoInc = 9,
    qbtSingle = 10,
    qbtDouble = 11,
    qbtExtended = 12,
    qbtComp = 13,
    qbtCurrency = 14,
    qbtStDate = 15,
    qbtStTime = 16,
    qbtDateTime = 17,
    qbtBLOB = 18,
    qbtBLOBFile = 25,
    qbtByteArray = 45,
    qbtShortString = 46,
    qbtShortAnsiStr = 47,
    qbtNullString = 48,
    qbtNullAnsiStr = 49,
    qbtWideString = 50
};
#endif

// 10002 "Invalid field transformation."
inline constexpr int32_t kInvalidFieldTransformation = 10002;

// How a value of this field type lies in an engine record (types outside 0..50: bytes).
cls::TNativeKind QbNativeKind(int32_t FieldType);

// Converts one non-null value; with a nil Destination only judges the type pair. 0, or 10002
// with the destination's bytes untouched.
int32_t ConvertFieldValue(const void* Source, void* Destination, int32_t SourceType, int32_t DestinationType,
                          int32_t SourceLength, int32_t DestinationLength);
