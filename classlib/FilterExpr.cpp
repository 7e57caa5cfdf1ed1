// The evaluator of compiled filter expressions: validation of a block once, then evaluation in
// place for each record.
#include "classlib/FilterExpr.h"

#include "classlib/NativeValues.h"
#include "platform/ByteCodec.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>

namespace cls {

int TFilterRecord::FieldNoByName(std::string_view name) const {
    for (int i = 1; i <= FieldCount(); ++i)
        if (SameText(FieldName(i), name)) return i;
    return 0;
}

namespace {

bool isNumeric(TFilterValue::Class c) {
    return c == TFilterValue::vcInteger || c == TFilterValue::vcFloat || c == TFilterValue::vcDateTime;
}

template <typename T> int sign(T x, T y) {
    return x < y ? -1 : y < x ? 1 : 0;
}

// The text of a value: 8-bit characters as they are, wide ones converted into out.
std::string_view textOf(const TFilterValue& v, std::string& out) {
    if (!v.wide) return std::string_view(v.data, v.size);
    size_t n = v.size / 2;
    out.resize(n); // keeps its capacity between records
    for (size_t k = 0; k < n; ++k)
        out[k] = plat::Utf16CharToAnsi(static_cast<char16_t>(plat::LoadLE16(v.data + 2 * k)));
    return out;
}

} // namespace

bool FilterValueTruth(const TFilterValue& v) {
    if (v.null) return false;
    switch (v.cls) {
    case TFilterValue::vcBoolean:
        return v.b;
    case TFilterValue::vcInteger:
        return v.i != 0;
    case TFilterValue::vcFloat:
    case TFilterValue::vcDateTime:
        return v.f != 0;
    default:
        return false;
    }
}

int CompareFilterValues(const TFilterValue& a, const TFilterValue& b, bool ignoreCase, uint16_t partial,
                        TTextCompare compare, TFilterScratch& scratch) {
    if (a.null || b.null) return a.null == b.null ? 0 : a.null ? -1 : 1;
    bool boolA = a.cls == TFilterValue::vcBoolean, boolB = b.cls == TFilterValue::vcBoolean;
    if (boolA && boolB) return sign(a.b, b.b);
    if (boolA || boolB) return kFilterIncomparable;
    if (a.cls == TFilterValue::vcInteger && b.cls == TFilterValue::vcInteger) return sign(a.i, b.i);
    if (isNumeric(a.cls) && isNumeric(b.cls)) {
        // The wider class: long double holds every 64-bit integer exactly.
        auto wide = [](const TFilterValue& v) {
            return v.cls == TFilterValue::vcInteger ? static_cast<long double>(v.i) : v.f;
        };
        return sign(wide(a), wide(b));
    }
    if (a.cls == TFilterValue::vcText && b.cls == TFilterValue::vcText) {
        std::string_view x = textOf(a, scratch.a), y = textOf(b, scratch.b);
        if (partial) {
            x = x.substr(0, std::min<size_t>(partial, x.size()));
            y = y.substr(0, std::min<size_t>(partial, y.size()));
        }
        int c = (compare ? compare : CollateText)(x, y, ignoreCase);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    size_t n = std::min(a.data ? a.size : 0, b.data ? b.size : 0);
    int c = n ? std::memcmp(a.data, b.data, n) : 0;
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

TFilterExpression::TFilterExpression(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    init();
}

TFilterExpression::TFilterExpression(const void* data, size_t size)
    : bytes_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + (data ? size : 0)) {
    init();
}

uint16_t TFilterExpression::u16(uint32_t addr) const {
    return fits(addr, 2) ? plat::LoadLE16(bytes_.data() + addr) : 0;
}

uint32_t TFilterExpression::u32(uint32_t addr) const {
    return fits(addr, 4) ? plat::LoadLE32(bytes_.data() + addr) : 0;
}

void TFilterExpression::init() {
    empty_ = true;
    if (bytes_.empty()) return;
    if (bytes_.size() < kFilterHeaderSize)
        throw EFilterFormatError("Filter expression is malformed: shorter than its header");
    uint16_t total = u16(2);
    if (total == 0) {
        bytes_.clear();
        return;
    }
    if (total < kFilterHeaderSize || total > bytes_.size())
        throw EFilterFormatError("Filter expression is malformed: its size field does not match the block");
    bytes_.resize(total);
    if (total == kFilterHeaderSize) return; // header only: no condition
    nodeStart_ = u16(6);
    litStart_ = u16(8);
    int budget = kMaxNodeVisits;
    validate(0, 0, budget);
    empty_ = false;
}

namespace {
uint32_t minConstSize(uint16_t type) {
    switch (type) {
    case fldBool:
    case fldInt16:
    case fldUInt16:
        return 2;
    case fldDate:
    case fldInt32:
    case fldUInt32:
    case fldTime:
        return 4;
    case fldFloat:
    case fldTimeStamp:
        return 8;
    case fldFloatIEEE:
        return 10;
    default:
        return 0;
    }
}
} // namespace

// Every node reachable from the root is checked once per path, so the budget also bounds the
// work of one evaluation.
void TFilterExpression::validate(uint32_t off, int depth, int& budget) {
    if (depth > kMaxDepth || --budget < 0)
        throw EFilterFormatError(
            "Filter expression is malformed: its nodes are nested too deeply or form a cycle");
    uint32_t a = nodeAddr(off);
    auto need = [&](uint32_t n) {
        if (!fits(a, n))
            throw EFilterFormatError("Filter expression is malformed: a node lies outside the block");
    };
    need(8);
    switch (u32(a)) {
    case nodeUnary:
        need(10);
        validate(u16(a + 8), depth + 1, budget);
        break;
    case nodeBinary:
        need(12);
        validate(u16(a + 8), depth + 1, budget);
        validate(u16(a + 10), depth + 1, budget);
        break;
    case nodeCompare:
        need(16);
        validate(u16(a + 12), depth + 1, budget);
        validate(u16(a + 14), depth + 1, budget);
        break;
    case nodeField:
        need(10);
        maxFieldNo_ = std::max<int>(maxFieldNo_, u16(a + 8));
        break;
    case nodeConst: {
        need(14);
        uint16_t type = u16(a + 8), size = u16(a + 10);
        if (!fits(litAddr(u16(a + 12)), size) || size < minConstSize(type))
            throw EFilterFormatError("Filter expression is malformed: a constant lies outside the block");
        break;
    }
    case nodeContinue:
        need(10);
        break;
    default:
        break; // evaluates to False
    }
}

bool TFilterExpression::Matches(const TFilterRecord& record, TTextCompare compare) {
    if (empty_) return true;
    compare_ = compare ? compare : CollateText;
    return logical(0, record);
}

// A node in a logical position: value nodes count by their value.
bool TFilterExpression::logical(uint32_t off, const TFilterRecord& rec) {
    uint32_t cls = u32(nodeAddr(off));
    if (cls == nodeField || cls == nodeConst) {
        TFilterValue v;
        return evalNode(off, rec, &v) && FilterValueTruth(v);
    }
    return evalNode(off, rec, nullptr);
}

bool TFilterExpression::evalNode(uint32_t off, const TFilterRecord& rec, TFilterValue* value) {
    uint32_t a = nodeAddr(off);
    uint32_t op = u32(a + 4);
    switch (u32(a)) {
    case nodeUnary: {
        uint32_t operand = u16(a + 8);
        if (op == canNot) return !logical(operand, rec);
        if (op != canIsBlank && op != canNotBlank) return false;
        TFilterValue v;
        if (!evalNode(operand, rec, &v)) return false;
        return op == canIsBlank ? v.null : !v.null;
    }
    case nodeBinary:
    case nodeCompare: {
        bool cmp = u32(a) == nodeCompare;
        uint32_t l = u16(a + (cmp ? 12 : 8)), r = u16(a + (cmp ? 14 : 10));
        if (!cmp && op == canAnd) return logical(l, rec) && logical(r, rec);
        if (!cmp && op == canOr) return logical(l, rec) || logical(r, rec);
        if (op < canEQ || op > canLE) return false;
        TFilterValue x, y;
        if (!evalNode(l, rec, &x) || !evalNode(r, rec, &y)) return false;
        int c = CompareFilterValues(x, y, cmp && u16(a + 8) != 0, cmp ? u16(a + 10) : 0, compare_, scratch_);
        if (c == kFilterIncomparable) return false;
        switch (op) {
        case canEQ:
            return c == 0;
        case canNE:
            return c != 0;
        case canGT:
            return c > 0;
        case canLT:
            return c < 0;
        case canGE:
            return c >= 0;
        default:
            return c <= 0;
        }
    }
    case nodeField: {
        TFilterValue v;
        return fieldValue(a, rec, value ? *value : v);
    }
    case nodeConst: {
        TFilterValue v;
        return constValue(a, value ? *value : v);
    }
    case nodeContinue:
        return u16(a + 8) != 0;
    default:
        return false;
    }
}

int TFilterExpression::ResolvedFieldNo(uint32_t nodeOffset) const {
    uint32_t a = nodeAddr(nodeOffset);
    if (empty_ || !fits(a, 10) || u32(a) != nodeField) return 0;
    auto it = corrected_.find(a);
    return it != corrected_.end() ? it->second : u16(a + 8);
}

bool TFilterExpression::fieldValue(uint32_t a, const TFilterRecord& rec, TFilterValue& value) {
    const void* layout = rec.Layout();
    if (layout && layout == layout_ && resolved_[a]) return rec.FieldValue(resolved_[a], value);
    auto known = corrected_.find(a);
    int no = known != corrected_.end() ? known->second : u16(a + 8);
    int count = rec.FieldCount();
    bool numberValid = no >= 1 && no <= count;
    // The name, when the node carries one that is a terminated text inside the literal area.
    if (fits(a, 12)) {
        uint32_t na = litAddr(u16(a + 10));
        if (na >= litStart_ && na < bytes_.size()) {
            const char* s = reinterpret_cast<const char*>(bytes_.data()) + na;
            const void* nul = std::memchr(s, 0, bytes_.size() - na);
            if (nul && nul != s) {
                std::string_view name(s, static_cast<const char*>(nul) - s);
                if (!numberValid || !SameText(rec.FieldName(no), name)) {
                    int byName = rec.FieldNoByName(name);
                    if (byName >= 1 && byName <= 0xFFFF) {
                        no = byName;
                        numberValid = true;
                        corrected_[a] = static_cast<uint16_t>(no);
                    }
                }
            }
        }
    }
    if (!numberValid) return false;
    if (layout) { // records of this layout take the same field from now on
        if (layout != layout_) {
            resolved_.assign(bytes_.size(), 0);
            layout_ = layout;
        }
        resolved_[a] = static_cast<uint16_t>(no);
    }
    return rec.FieldValue(no, value);
}

// Constants were checked against the block at validation; a text without its terminator inside
// its size is no value.
bool TFilterExpression::constValue(uint32_t a, TFilterValue& v) const {
    uint16_t type = u16(a + 8), size = u16(a + 10);
    const uint8_t* p = bytes_.data() + litAddr(u16(a + 12));
    auto i16 = [&] { return static_cast<int16_t>(plat::LoadLE16(p)); };
    auto i32 = [&] { return static_cast<int32_t>(plat::LoadLE32(p)); };
    auto f64 = [&] {
        double x;
        std::memcpy(&x, p, 8);
        return x;
    };
    switch (type) {
    case fldZString: {
        const void* nul = size ? std::memchr(p, 0, size) : nullptr;
        if (!nul) return false;
        v = TextValue(
            std::string_view(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p));
        break;
    }
    case fldDate:
        v = DateTimeValue(i32());
        break;
    case fldTime:
        v = DateTimeValue(i32() / static_cast<long double>(MSecsPerDay));
        break;
    case fldTimeStamp:
        v = DateTimeValue(f64() / static_cast<long double>(MSecsPerDay));
        break;
    case fldBool:
        v = BooleanValue(plat::LoadLE16(p) != 0);
        break;
    case fldInt16:
        v = IntegerValue(i16());
        break;
    case fldInt32:
        v = IntegerValue(i32());
        break;
    case fldUInt16:
        v = IntegerValue(plat::LoadLE16(p));
        break;
    case fldUInt32:
        v = IntegerValue(plat::LoadLE32(p));
        break;
    case fldFloat:
        v = FloatValue(f64());
        break;
    case fldFloatIEEE:
        v = FloatValue(LoadExtended(p));
        break;
    default:
        v = TFilterValue();
        v.cls = TFilterValue::vcBytes;
        break;
    }
    v.data = reinterpret_cast<const char*>(p);
    v.size = type == fldZString ? v.size : size;
    return true;
}

} // namespace cls
