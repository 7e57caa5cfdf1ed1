// Field value conversion between field types (restructure), and the native kind of each field
// type as the filter and the conversion read engine records.
#pragma once
#include "classlib/NativeValues.h"
#include "db/storage/qbtbbase.h"

#include <cstdint>

// 10002 "Invalid field transformation."
inline constexpr int32_t kInvalidFieldTransformation = 10002;

// How a value of this field type lies in an engine record (types outside 0..50: bytes).
cls::TNativeKind QbNativeKind(int32_t FieldType);

// Converts one non-null value; with a nil Destination only judges the type pair. 0, or 10002
// with the destination's bytes untouched.
int32_t ConvertFieldValue(const void* Source, void* Destination, int32_t SourceType, int32_t DestinationType,
                          int32_t SourceLength, int32_t DestinationLength);
