// Exceptions of the database layer, their raise helpers and the message formatter.
#include "db/base/qbllexcp.h"

#include "db/base/qbllcomp.h"
#include "db/base/qbsrmgr.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

std::string pad(std::string s, int width, bool left) {
    if (width > 0 && int(s.size()) < width) {
        if (left)
            s.append(size_t(width) - s.size(), ' ');
        else
            s.insert(0, size_t(width) - s.size(), ' ');
    }
    return s;
}

std::string printfDouble(const char* spec, int prec, double v) {
    if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v < 0 ? "-INF" : "INF");
    char buf[400];
    std::snprintf(buf, sizeof buf, spec, prec, v);
    return buf;
}

// Digits with a thousands separator every three places: "1234567.5" -> "1,234,567.5".
std::string groupThousands(const std::string& s) {
    size_t start = (s[0] == '-') ? 1 : 0;
    size_t end = s.find('.');
    if (end == std::string::npos) end = s.size();
    std::string r = s.substr(0, start);
    for (size_t i = start; i < end; ++i) {
        if (i > start && (end - i) % 3 == 0) r.push_back(',');
        r.push_back(s[i]);
    }
    return r + s.substr(end);
}

int64_t asInt(const QbFormatArg& a, bool& ok) {
    ok = true;
    if (auto* i = std::get_if<int64_t>(&a.Value())) return *i;
    if (auto* d = std::get_if<double>(&a.Value())) {
        if (std::isfinite(*d) && std::fabs(*d) < 9.2e18) return int64_t(*d);
    }
    ok = false;
    return 0;
}

std::string asText(const QbFormatArg& a) {
    if (auto* s = std::get_if<std::string>(&a.Value())) return *s;
    if (auto* i = std::get_if<int64_t>(&a.Value())) return std::to_string(*i);
    return printfDouble("%.*g", 15, std::get<double>(a.Value()));
}

std::string formatOne(char type, const QbFormatArg& a, int prec) {
    bool ok;
    switch (type) {
    case 'd':
    case 'u':
    case 'x': {
        int64_t v = asInt(a, ok);
        if (!ok) return asText(a);
        std::string digits;
        bool neg = false;
        if (type == 'x') {
            char buf[32];
            std::snprintf(
                buf, sizeof buf, "%llx",
                static_cast<unsigned long long>(v < 0 && v >= INT32_MIN ? uint32_t(v) : uint64_t(v)));
            digits = buf;
        } else if (type == 'u' && v < 0 && v >= INT32_MIN) {
            digits = std::to_string(uint32_t(v));
        } else {
            neg = v < 0;
            digits = std::to_string(v);
            if (neg) digits.erase(0, 1);
        }
        if (prec > int(digits.size()) && prec < 1000) digits.insert(0, size_t(prec) - digits.size(), '0');
        return neg ? "-" + digits : digits;
    }
    case 's': {
        std::string s = asText(a);
        if (prec >= 0 && size_t(prec) < s.size()) s.resize(size_t(prec));
        return s;
    }
    case 'p': {
        int64_t v = asInt(a, ok);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
        return ok ? buf : asText(a);
    }
    default: { // f e g n
        double v;
        if (auto* d = std::get_if<double>(&a.Value()))
            v = *d;
        else if (auto* i = std::get_if<int64_t>(&a.Value()))
            v = double(*i);
        else
            return asText(a);
        if (prec > 300) prec = 300;
        if (type == 'e') return printfDouble("%.*E", prec < 0 ? 14 : (prec > 0 ? prec - 1 : 0), v);
        if (type == 'g') return printfDouble("%.*G", prec < 0 ? 15 : (prec == 0 ? 1 : prec), v);
        std::string s = printfDouble("%.*f", prec < 0 ? 2 : prec, v);
        return type == 'n' ? groupThousands(s) : s;
    }
    }
}

} // namespace

std::string qbFormat(std::string_view fmt, const QbFormatArgs& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            out.push_back(fmt[i]);
            continue;
        }
        size_t start = i++;
        if (i < fmt.size() && fmt[i] == '%') {
            out.push_back('%');
            continue;
        }
        // Reads a number or "*" (taken from the arguments); -1 when absent.
        bool bad = false;
        auto number = [&]() -> int {
            if (i < fmt.size() && fmt[i] == '*') {
                ++i;
                bool ok = false;
                int64_t v = next < args.size() ? asInt(args[next++], ok) : 0;
                if (!ok) bad = true;
                return int(v < 0 ? 0 : (v > 100000 ? 100000 : v));
            }
            if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return -1;
            int v = 0;
            for (; i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9'; ++i)
                if (v <= 100000) v = v * 10 + (fmt[i] - '0');
            return v > 100000 ? 100000 : v;
        };
        int first = number();
        if (i < fmt.size() && fmt[i] == ':') {
            ++i;
            if (first >= 0) next = size_t(first);
            first = -1;
        }
        bool left = false;
        if (first < 0 && i < fmt.size() && fmt[i] == '-') {
            left = true;
            ++i;
        }
        int width = first >= 0 ? first : number();
        int prec = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            prec = number();
            if (prec < 0) prec = 0;
        }
        char type = i < fmt.size() ? char(fmt[i] | 0x20) : '\0';
        bool known = type == 'd' || type == 'u' || type == 'x' || type == 's' || type == 'f' || type == 'e' ||
                     type == 'g' || type == 'n' || type == 'p' || type == 'm';
        if (!known || bad || next >= args.size()) {
            // Unusable specifier or no argument left: keep the text as it stands.
            size_t end = known ? i + 1 : i;
            out.append(fmt.substr(start, end - start));
            i = end - 1;
            continue;
        }
        if (type == 'm') type = 'f';
        out += pad(formatOne(type, args[next++], prec), width, left);
    }
    return out;
}

EqbException::EqbException(TqbStringResource& res, int32_t errorCode)
    : cls::Exception(res.GetText(errorCode)), ErrorCode(errorCode) {}

EqbException::EqbException(TqbStringResource& res, int32_t errorCode, const QbFormatArgs& args)
    : cls::Exception(qbFormat(res.GetText(errorCode), args)), ErrorCode(errorCode) {}

EqbServerComponentError::EqbServerComponentError(int32_t errorCode)
    : EqbServerComponentError(errorCode, QbFormatArgs{}) {}

EqbServerComponentError::EqbServerComponentError(int32_t errorCode, const QbFormatArgs& args)
    : cls::Exception(std::string()), ErrorCode(errorCode) {
    ErrorText = ServerCmpStrings().GetText(errorCode);
    if (!args.empty()) ErrorText = qbFormat(ErrorText, args);
    SetMessage(qbFormat(ServerCmpStrings().GetText(1281), {ErrorText, errorCode, errorCode}));
}

void RaiseComponentError(int32_t code) {
    throw EqbServerComponentError(code);
}

void RaiseComponentErrorFmt(int32_t code, const QbFormatArgs& args) {
    throw EqbServerComponentError(code, args);
}
