// Client-side conversions: engine field and index descriptors to the dataset framework's
// descriptor records, engine field types to logical types and back, field values both ways,
// and the protocol number of a configured protocol name.
#pragma once
#include "db/storage/qblldict.h"

#include <cstdint>
#include <string>
#include <string_view>

// Logical field types of the framework's field descriptor.
enum : uint16_t {
    qbfltString = 1,
    qbfltDate = 2,
    qbfltBlob = 3,
    qbfltBool = 4,
    qbfltInt16 = 5,
    qbfltInt32 = 6,
    qbfltFloat = 7,
    qbfltBytes = 9,
    qbfltTime = 10,
    qbfltTimeStamp = 11,
    qbfltWord16 = 12,
};
// Subtypes of BLOB and number fields.
enum : uint16_t {
    qbfstMoney = 21,
    qbfstMemo = 22,
    qbfstBinary = 23,
    qbfstFmtMemo = 24,
    qbfstOleObj = 25,
    qbfstGraphic = 26,
    qbfstOleObj2 = 27,
    qbfstTypedBinary = 28,
    qbfstAutoInc = 29,
};

// The framework's field descriptor.
struct TqbFieldDescRec {
    uint16_t FieldNum = 0;
    std::string Name; // at most 31 characters
    uint16_t FldType = 0;
    uint16_t SubType = 0;
    int16_t Units1 = 0;
    int16_t Units2 = 0;
    uint16_t Offset = 0;
    uint16_t Len = 0;
    uint16_t NullOffset = 0;
    uint16_t VChk = 0;
    uint16_t Rights = 0;
    uint16_t CalcField = 0;
};

// The framework's index descriptor (the members this layer sets).
struct TqbIndexDescRec {
    std::string Name; // at most 260 characters
    uint16_t IndexId = 0;
    std::string TagName;
    std::string Format;
    bool Primary = false;
    bool Unique = false;
    bool Descending = false;
    bool Maintained = false;
    bool Subset = false;
    bool ExpIdx = false;
    uint16_t FldsInKey = 0;
    uint16_t KeyLen = 0;
    uint16_t KeyFields[16] = {};
    bool CaseInsensitive = false;
};

void EngineFieldToFieldDesc(const TqbFieldDesc& engineField, TqbFieldDescRec& desc);
// Maps an engine-described record (logical type = engine type, Units1 = units) to the logical one.
void FieldDescToLogical(const TqbFieldDescRec& in, TqbFieldDescRec& out);
void EngineIndexToIndexDesc(const TqbIndexDesc& engineIndex, TqbIndexDescRec& desc);
// EqbClientException 1008 for a type without a logical form.
void EngineTypeToLogical(int32_t engineType, int32_t units, uint16_t& logicalType, uint16_t& length,
                         uint16_t& subType);
// The engine type and size a query parameter of a framework field kind is sent as (BLOB numbers
// as their 8 bytes).
void FrameworkTypeToEngine(int fieldKind, int32_t size, int32_t& engineType, int32_t& engineSize);

// Value conversion. size is the engine field's length in bytes (as the dictionary gives it);
// the framework value has the native form of the logical type EngineTypeToLogical gives (texts:
// length + 1 bytes, zero-terminated). Both return false for types without a value form and for a
// blank (or invalid) date or time.
bool ValueToEngine(int32_t engineType, int32_t size, const void* frameworkValue, void* engineValue);
bool ValueFromEngine(int32_t engineType, int32_t size, const void* engineValue, void* frameworkValue);

// "TCP/IP" 1, "IPX/SPX" 2, anything else 0 (the single-user protocol).
int ProtocolFromName(std::string_view name);
