// Class-library stand-in: the variant value that fields, key searches and parameters exchange
// (null, Boolean, integer, float, text, date-time, or an array of variants).
#pragma once
#include "classlib/SysUtils.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace cls {

class Variant {
public:
    enum Type { varNull, varBoolean, varInteger, varDouble, varString, varDate, varArray };

    Variant() = default;
    Variant(std::nullptr_t) {}
    Variant(bool v) : v_(v) {}
    Variant(int v) : v_(int64_t(v)) {}
    Variant(unsigned v) : v_(int64_t(v)) {}
    Variant(long v) : v_(int64_t(v)) {}
    Variant(long long v) : v_(int64_t(v)) {}
    Variant(unsigned long v) : v_(int64_t(v)) {}
    Variant(unsigned long long v) : v_(int64_t(v)) {}
    Variant(double v) : v_(v) {}
    Variant(const char* v) : v_(std::string(v ? v : "")) {}
    Variant(std::string v) : v_(std::move(v)) {}
    Variant(std::string_view v) : v_(std::string(v)) {}
    Variant(std::vector<Variant> elements) : v_(std::move(elements)) {}
    static Variant FromDateTime(TDateTime v) {
        Variant r;
        r.v_ = DateValue{v};
        return r;
    }

    Type VarType() const { return static_cast<Type>(v_.index()); }
    bool IsNull() const { return VarType() == varNull; }
    bool IsArray() const { return VarType() == varArray; }

    // Conversions raise EConvertError for a value that has no such form (Null included).
    bool AsBoolean() const;
    int64_t AsInteger() const;
    double AsFloat() const;
    std::string AsString() const;
    TDateTime AsDateTime() const;
    const std::vector<Variant>& Elements() const;
    int ElementCount() const { return IsArray() ? static_cast<int>(Elements().size()) : 0; }

    bool operator==(const Variant& o) const { return v_ == o.v_; }
    bool operator!=(const Variant& o) const { return !(v_ == o.v_); }

private:
    struct DateValue {
        TDateTime v;
        bool operator==(const DateValue& o) const { return v == o.v; }
    };
    std::variant<std::monostate, bool, int64_t, double, std::string, DateValue, std::vector<Variant>> v_;
};

inline const Variant Null{};
inline Variant VarArrayOf(std::vector<Variant> elements) {
    return Variant(std::move(elements));
}

} // namespace cls
