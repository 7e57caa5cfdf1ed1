// Compiled filter expressions: the byte format and its bounds-checked evaluator, shared by the
// server's filter and the datasets (no dependency on the dataset framework).
#pragma once
#include "classlib/SysUtils.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cls {

// Byte format (little-endian): a 10-byte header {u16 version 2, u16 total size, u16 node count,
// u16 node-area offset, u16 literal-area offset}, the node area (root at node offset 0) and the
// literal area. Each node starts with u32 class and u32 operator; offsets inside nodes are relative
// to their area (modulo 65536). Field nodes carry {u16 field number, u16 literal offset of the
// field's name}; readers that know fields only by number ignore the name.

enum TFilterNodeClass : uint32_t {
    nodeNull = 0,
    nodeUnary = 1,
    nodeBinary = 2,
    nodeCompare = 3,
    nodeField = 4,
    nodeConst = 5,
    nodeTuple = 6,
    nodeContinue = 7
};
enum TFilterOperator : uint32_t {
    canNotDefined = 0,
    canIsBlank = 1,
    canNotBlank = 2,
    canEQ = 3,
    canNE = 4,
    canGT = 5,
    canLT = 6,
    canGE = 7,
    canLE = 8,
    canNot = 9,
    canAnd = 10,
    canOr = 11
};
// Constant data types (logical types).
enum TFilterConstType : uint16_t {
    fldZString = 1,
    fldDate = 2,
    fldBool = 4,
    fldInt16 = 5,
    fldInt32 = 6,
    fldFloat = 7,
    fldTime = 10,
    fldTimeStamp = 11,
    fldUInt16 = 12,
    fldUInt32 = 13,
    fldFloatIEEE = 14
};

constexpr size_t kFilterHeaderSize = 10;
// The code of a block refused as malformed ("Filter handle is invalid").
constexpr int32_t kFilterMalformedCode = 10050;

// A malformed expression block; ErrorCode is kFilterMalformedCode.
class EFilterFormatError : public Exception {
public:
    explicit EFilterFormatError(std::string message, int32_t errorCode = kFilterMalformedCode)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    int32_t ErrorCode;
};

// A value as the evaluator compares it. data/size are the raw bytes; for text the characters
// without terminator, for wide text (wide set) UTF-16LE units with size in bytes.
struct TFilterValue {
    enum Class { vcInteger, vcFloat, vcDateTime, vcBoolean, vcText, vcBytes };
    Class cls = vcBytes;
    bool null = false;
    bool wide = false;
    int64_t i = 0;
    long double f = 0; // floats; date-times in days from 0001-01-01 (1899-12-30 = 693594)
    bool b = false;
    const char* data = nullptr;
    size_t size = 0;
};

// The record an expression is evaluated against.
class TFilterRecord {
public:
    virtual ~TFilterRecord() = default;
    virtual int FieldCount() const = 0;
    virtual std::string_view FieldName(int fieldNo) const = 0; // 1 .. FieldCount
    virtual int FieldNoByName(std::string_view name) const;    // 0 when unknown
    // The field's value (null flag included); false when the field cannot be read.
    virtual bool FieldValue(int fieldNo, TFilterValue& value) const = 0;
    // Identifies the fields' numbers and names: records of one layout resolve field nodes once
    // (nullptr: resolve for every record).
    virtual const void* Layout() const { return nullptr; }
};

using TTextCompare = int (*)(std::string_view a, std::string_view b, bool ignoreCase);

// Room for the 8-bit copies of wide texts, kept between comparisons so that records cost no
// allocation once the longest text has been seen.
struct TFilterScratch {
    std::string a, b;
};

// Two values: -1, 0 or 1; kFilterIncomparable when a Boolean meets a value of another class.
// Numbers compare in the wider class, texts (wide or not) through compare, anything else as bytes.
constexpr int kFilterIncomparable = 2;
int CompareFilterValues(const TFilterValue& a, const TFilterValue& b, bool ignoreCase, uint16_t partial,
                        TTextCompare compare, TFilterScratch& scratch);
// A value in a logical position: non-null and not zero (texts and bytes are False).
bool FilterValueTruth(const TFilterValue& v);

// An owned, validated expression. Construction checks every offset and size against the block
// (the bytes may come from a file or the network) and bounds the depth and size of the node graph;
// a malformed block raises EFilterFormatError. A total size of 0, or a header with no nodes,
// accepts every record.
class TFilterExpression {
public:
    TFilterExpression() = default;
    explicit TFilterExpression(std::vector<uint8_t> bytes);
    TFilterExpression(const void* data, size_t size);

    bool IsEmpty() const { return empty_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    // A field node whose number names another field than its name is found by name, and the number
    // found is kept for the next record (hence not const). The bytes themselves never change after
    // validation: in a crafted block nodes may overlap, and a write could turn the graph into a cycle.
    bool Matches(const TFilterRecord& record, TTextCompare compare = CollateText);
    // The field number a field node at this node offset currently resolves to (0 if none yet).
    int ResolvedFieldNo(uint32_t nodeOffset) const;
    // The highest field number any field node names (0 when none).
    int MaxFieldNo() const { return maxFieldNo_; }

    static constexpr int kMaxDepth = 1024;
    static constexpr int kMaxNodeVisits = 100000;

private:
    uint16_t u16(uint32_t addr) const;
    uint32_t u32(uint32_t addr) const;
    uint32_t nodeAddr(uint32_t off) const { return (nodeStart_ + off) & 0xFFFF; }
    uint32_t litAddr(uint32_t off) const { return (litStart_ + off) & 0xFFFF; }
    bool fits(uint32_t addr, uint32_t n) const { return addr + n <= bytes_.size(); }
    void init();
    void validate(uint32_t off, int depth, int& budget);
    bool evalNode(uint32_t off, const TFilterRecord& rec, TFilterValue* value);
    bool logical(uint32_t off, const TFilterRecord& rec);
    bool fieldValue(uint32_t addr, const TFilterRecord& rec, TFilterValue& value);
    bool constValue(uint32_t addr, TFilterValue& value) const;

    std::vector<uint8_t> bytes_;
    std::unordered_map<uint32_t, uint16_t> corrected_; // field node address -> field number
    std::vector<uint16_t> resolved_;                   // the same for every field node, for layout_
    const void* layout_ = nullptr;
    uint16_t nodeStart_ = 0, litStart_ = 0;
    bool empty_ = true;
    int maxFieldNo_ = 0;
    TTextCompare compare_ = CollateText;
    TFilterScratch scratch_;
};

} // namespace cls
