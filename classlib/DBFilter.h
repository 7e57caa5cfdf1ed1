// The filter-expression builder: compiles a dataset's filter text into the byte format that the
// server and the datasets evaluate (classlib/FilterExpr.h).
#pragma once
#include "classlib/DB.h"
#include "classlib/FilterExpr.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cls {

// Raised by the builder for text it cannot compile.
class EFilterError : public EDatabaseError {
public:
    using EDatabaseError::EDatabaseError;
};

// A field the filter text may name: its number (from 1) and its kind, which types the constants
// compared with it.
struct TFilterField {
    std::string Name;
    int FieldNo = 0;
    TFieldType DataType = ftUnknown;
};
// The data fields of a dataset (calculated and lookup fields cannot be filtered on).
std::vector<TFilterField> FilterFieldsOf(const TFields& fields);

// The expression of an empty filter text: the header alone, {2, 10, 0, 0, 0}.
std::vector<uint8_t> EmptyFilterExpression();

// Compiles filter text. Syntax: field names (optionally in brackets), = <> > < >= <=, AND, OR,
// NOT, IS [NOT] NULL, quoted strings ('...' or "..."), numbers, TRUE/FALSE, parentheses; a string
// compared with a text field and ending in '*' compares only the characters before the '*'
// unless foNoPartialCompare is given. Dates and times are quoted ("yyyy-mm-dd", "hh:nn:ss",
// "yyyy-mm-dd hh:nn:ss") and compared with date/time fields. A text it cannot compile raises
// EFilterError naming the character position (counted from 1).
std::vector<uint8_t> BuildFilterExpression(std::string_view text, TFilterOptions options,
                                           const std::vector<TFilterField>& fields);

// A field value in the class library's native format (see the field classes) as a filter value.
void NativeFieldValue(TFieldType type, const void* data, int dataSize, bool isNull, TFilterValue& out);

} // namespace cls
