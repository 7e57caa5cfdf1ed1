// Harness of the filter builder's fuzz target and the dataset records both filter targets use,
// shared with the unit tests that replay their corpora under the sanitizers in CI.
#pragma once
#include "classlib/DBFilter.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace pwfuzz {

// The fields the fuzzed expressions may name: one of every value class.
inline const std::vector<cls::TFilterField>& FilterFuzzFields() {
    static const std::vector<cls::TFilterField> f = {
        {"name", 1, cls::ftString},   {"count", 2, cls::ftInteger}, {"price", 3, cls::ftFloat},
        {"flag", 4, cls::ftBoolean},  {"day", 5, cls::ftDate},      {"at", 6, cls::ftTime},
        {"seen", 7, cls::ftDateTime}, {"raw", 8, cls::ftBytes},     {"small", 9, cls::ftSmallint},
        {"w", 10, cls::ftWord}};
    return f;
}

// Four records with values of every class; record 3 has every field null. Texts are not
// terminated, so a read past their size would show up under the address sanitizer.
class FilterFuzzRecord : public cls::TFilterRecord {
public:
    explicit FilterFuzzRecord(int variant) : v_(variant), text_(variant == 1 ? "b" : "Bob\xE9zz") {}
    int FieldCount() const override { return static_cast<int>(FilterFuzzFields().size()); }
    std::string_view FieldName(int no) const override { return FilterFuzzFields()[no - 1].Name; }
    bool FieldValue(int no, cls::TFilterValue& out) const override {
        out = cls::TFilterValue();
        out.null = v_ == 3;
        switch (no) {
        case 1:
            out.cls = cls::TFilterValue::vcText;
            out.data = text_.data();
            out.size = text_.size();
            break;
        case 2:
        case 9:
        case 10:
            out.cls = cls::TFilterValue::vcInteger;
            out.i = v_ == 2 ? 4000000000LL : v_ - 1;
            break;
        case 3:
            out.cls = cls::TFilterValue::vcFloat;
            out.f = v_ * 1.5L;
            break;
        case 4:
            out.cls = cls::TFilterValue::vcBoolean;
            out.b = v_ & 1;
            break;
        case 5:
        case 6:
        case 7:
            out.cls = cls::TFilterValue::vcDateTime;
            out.f = 693594 + v_;
            break;
        default:
            out.cls = cls::TFilterValue::vcBytes;
            out.data = raw_;
            out.size = sizeof raw_;
            break;
        }
        return no >= 1 && no <= FieldCount();
    }

private:
    int v_;
    std::string text_;
    char raw_[3] = {1, 2, 3};
};

// Arbitrary text (the first byte picks the options) through the builder; whatever it compiles the
// evaluator must accept.
inline void RunFilterBuilder(const uint8_t* data, size_t size) {
    if (size == 0) return;
    cls::TFilterOptions options = data[0] & (cls::foCaseInsensitive | cls::foNoPartialCompare);
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<uint8_t> bytes;
    try {
        bytes = cls::BuildFilterExpression(text, options, FilterFuzzFields());
    } catch (const cls::EFilterError&) {
        return;
    }
    try {
        cls::TFilterExpression x(bytes);
        for (int i = 0; i < 4; ++i)
            x.Matches(FilterFuzzRecord(i));
    } catch (const cls::EFilterFormatError&) {
        std::abort(); // the builder wrote something the evaluator refuses
    }
}

} // namespace pwfuzz
