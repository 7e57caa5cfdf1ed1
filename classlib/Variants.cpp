// Conversions between the forms a variant can hold.
#include "classlib/Variants.h"

#include <cmath>

namespace cls {

namespace {
const char* typeName(Variant::Type t) {
    static const char* names[] = {"Null", "Boolean", "Integer", "Double", "String", "Date", "Array"};
    return names[t];
}

[[noreturn]] void cannotConvert(Variant::Type from, const char* to) {
    throw EConvertError(std::string("Could not convert variant of type (") + typeName(from) +
                        ") into type (" + to + ")");
}

int64_t roundToInteger(double d, Variant::Type from) {
    if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d < -9.2233720368547758e18)
        cannotConvert(from, "Integer");
    return std::llround(d);
}
} // namespace

bool Variant::AsBoolean() const {
    switch (VarType()) {
    case varBoolean:
        return std::get<bool>(v_);
    case varInteger:
        return std::get<int64_t>(v_) != 0;
    case varDouble:
        return std::get<double>(v_) != 0;
    case varString: {
        const std::string& s = std::get<std::string>(v_);
        if (SameText(s, "True")) return true;
        if (SameText(s, "False")) return false;
        double d;
        if (TryStrToFloat(s, d)) return d != 0;
        break;
    }
    default:
        break;
    }
    cannotConvert(VarType(), "Boolean");
}

int64_t Variant::AsInteger() const {
    switch (VarType()) {
    case varBoolean:
        return std::get<bool>(v_) ? 1 : 0;
    case varInteger:
        return std::get<int64_t>(v_);
    case varDouble:
        return roundToInteger(std::get<double>(v_), varDouble);
    case varDate:
        return roundToInteger(std::get<DateValue>(v_).v, varDate);
    case varString: {
        int64_t i;
        double d;
        if (TryStrToInt(std::get<std::string>(v_), i)) return i;
        if (TryStrToFloat(std::get<std::string>(v_), d)) return roundToInteger(d, varString);
        break;
    }
    default:
        break;
    }
    cannotConvert(VarType(), "Integer");
}

double Variant::AsFloat() const {
    switch (VarType()) {
    case varBoolean:
        return std::get<bool>(v_) ? 1 : 0;
    case varInteger:
        return static_cast<double>(std::get<int64_t>(v_));
    case varDouble:
        return std::get<double>(v_);
    case varDate:
        return std::get<DateValue>(v_).v;
    case varString: {
        double d;
        if (TryStrToFloat(std::get<std::string>(v_), d)) return d;
        break;
    }
    default:
        break;
    }
    cannotConvert(VarType(), "Double");
}

std::string Variant::AsString() const {
    switch (VarType()) {
    case varBoolean:
        return std::get<bool>(v_) ? "True" : "False";
    case varInteger:
        return std::to_string(std::get<int64_t>(v_));
    case varDouble:
        return FloatToStr(std::get<double>(v_));
    case varString:
        return std::get<std::string>(v_);
    case varDate:
        return DateTimeToStr(std::get<DateValue>(v_).v);
    default:
        cannotConvert(VarType(), "String");
    }
}

TDateTime Variant::AsDateTime() const {
    switch (VarType()) {
    case varDate:
        return std::get<DateValue>(v_).v;
    case varDouble:
        return std::get<double>(v_);
    case varInteger:
        return static_cast<double>(std::get<int64_t>(v_));
    case varString: {
        TDateTime d;
        if (TryStrToDateTime(std::get<std::string>(v_), d)) return d;
        break;
    }
    default:
        break;
    }
    cannotConvert(VarType(), "Date");
}

const std::vector<Variant>& Variant::Elements() const {
    if (!IsArray()) cannotConvert(VarType(), "Array");
    return std::get<std::vector<Variant>>(v_);
}

} // namespace cls
