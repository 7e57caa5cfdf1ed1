// Exceptions, the exception hook, date/time arithmetic, number text and the fixed collation.
#include "classlib/SysUtils.h"

#include "platform/Collation.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>

namespace cls {

void Abort() {
    throw EAbort();
}

namespace {
std::mutex gHandlerMutex;
ExceptionHandler gHandler;
} // namespace

void SetApplicationExceptionHandler(ExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    gHandler = std::move(handler);
}

void HandleException(const std::exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) return;
    ExceptionHandler h;
    {
        std::lock_guard<std::mutex> lock(gHandlerMutex);
        h = gHandler;
    }
    if (h)
        h(e);
    else
        std::cerr << e.what() << std::endl;
}

void HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception("Unknown exception"));
    }
}

// ---- dates ----

namespace {
constexpr int kDaysBeforeMonth[2][13] = {{0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                         {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
constexpr int kDaysInMonth[2][13] = {{0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                     {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
constexpr int32_t kMaxDayNumber = 3652059; // 9999-12-31

int32_t dayNumber(int y, int m, int d) {
    int p = y - 1;
    return 365 * p + p / 4 - p / 100 + p / 400 + kDaysBeforeMonth[IsLeapYear(y)][m] + d;
}

void fromDayNumber(int32_t dn, int& year, int& month, int& day) {
    int n = dn - 1;
    int y400 = n / 146097;
    n %= 146097;
    int y100 = n / 36524;
    if (y100 == 4) y100 = 3;
    n -= y100 * 36524;
    int y4 = n / 1461;
    n %= 1461;
    int y1 = n / 365;
    if (y1 == 4) y1 = 3;
    n -= y1 * 365;
    year = y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1;
    int leap = IsLeapYear(year);
    month = 1;
    while (month < 12 && n >= kDaysBeforeMonth[leap][month + 1])
        ++month;
    day = n - kDaysBeforeMonth[leap][month] + 1;
}
} // namespace

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > kDaysInMonth[IsLeapYear(year)][month])
        return false;
    out = dayNumber(year, month, day) - DateDelta;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime r;
    if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
    return r;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    fromDayNumber(DateTimeToTimeStamp(value).Date, year, month, day);
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out) {
    if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
        return false;
    out = (((hour * 60 + min) * 60 + sec) * 1000 + msec) / double(MSecsPerDay);
    return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
    TDateTime r;
    if (!TryEncodeTime(hour, min, sec, msec, r)) throw EConvertError("Invalid argument to time encode");
    return r;
}

void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec) {
    int32_t t = DateTimeToTimeStamp(value).Time;
    msec = t % 1000;
    t /= 1000;
    sec = t % 60;
    t /= 60;
    min = t % 60;
    hour = t / 60;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
    if (!std::isfinite(value)) throw EConvertError("Invalid date/time value");
    double whole = std::trunc(value);
    double ms = std::round(std::fabs(value - whole) * MSecsPerDay);
    if (ms >= MSecsPerDay) {
        ms -= MSecsPerDay;
        whole += 1;
    }
    double date = whole + DateDelta;
    if (date < 1 || date > kMaxDayNumber) throw EConvertError("Date/time value out of range");
    return TTimeStamp{static_cast<int32_t>(ms), static_cast<int32_t>(date)};
}

TDateTime TimeStampToDateTime(const TTimeStamp& ts) {
    double days = double(ts.Date) - DateDelta;
    double t = ts.Time / double(MSecsPerDay);
    return days >= 0 ? days + t : days - t;
}

double TimeStampToMSecs(const TTimeStamp& ts) {
    return double(ts.Date) * MSecsPerDay + ts.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
    if (!std::isfinite(msecs)) throw EConvertError("Invalid date/time value");
    double date = std::floor(msecs / MSecsPerDay);
    if (date < 1 || date > kMaxDayNumber) throw EConvertError("Date/time value out of range");
    double t = msecs - date * MSecsPerDay;
    return TTimeStamp{static_cast<int32_t>(t), static_cast<int32_t>(date)};
}

std::string DateToStr(TDateTime value) {
    int y, m, d;
    DecodeDate(value, y, m, d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
}

std::string TimeToStr(TDateTime value) {
    int h, n, s, ms;
    DecodeTime(value, h, n, s, ms);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, n, s);
    return buf;
}

std::string DateTimeToStr(TDateTime value) {
    if (DateTimeToTimeStamp(value).Time == 0) return DateToStr(value);
    return DateToStr(value) + " " + TimeToStr(value);
}

namespace {
// Reads 1..maxDigits decimal digits.
bool readNumber(std::string_view s, size_t& i, int maxDigits, int& out) {
    size_t start = i;
    out = 0;
    while (i < s.size() && i - start < size_t(maxDigits) && s[i] >= '0' && s[i] <= '9')
        out = out * 10 + (s[i++] - '0');
    return i > start;
}

bool parseDate(std::string_view s, size_t& i, TDateTime& out) {
    int y, m, d;
    if (!readNumber(s, i, 4, y) || i >= s.size() || s[i++] != '-') return false;
    if (!readNumber(s, i, 2, m) || i >= s.size() || s[i++] != '-') return false;
    if (!readNumber(s, i, 2, d)) return false;
    return TryEncodeDate(y, m, d, out);
}

bool parseTime(std::string_view s, size_t& i, TDateTime& out) {
    int h, n, sec = 0, ms = 0;
    if (!readNumber(s, i, 2, h) || i >= s.size() || s[i++] != ':') return false;
    if (!readNumber(s, i, 2, n)) return false;
    if (i < s.size() && s[i] == ':') {
        ++i;
        if (!readNumber(s, i, 2, sec)) return false;
        if (i < s.size() && s[i] == '.') {
            ++i;
            size_t start = i;
            if (!readNumber(s, i, 3, ms)) return false;
            for (size_t k = i - start; k < 3; ++k)
                ms *= 10;
        }
    }
    return TryEncodeTime(h, n, sec, ms, out);
}
} // namespace

bool TryStrToDate(std::string_view text, TDateTime& out) {
    std::string t = Trim(text);
    size_t i = 0;
    return parseDate(t, i, out) && i == t.size();
}

bool TryStrToTime(std::string_view text, TDateTime& out) {
    std::string t = Trim(text);
    size_t i = 0;
    return parseTime(t, i, out) && i == t.size();
}

bool TryStrToDateTime(std::string_view text, TDateTime& out) {
    std::string t = Trim(text);
    size_t i = 0;
    TDateTime d, tm = 0;
    if (t.find('-') == std::string::npos) return TryStrToTime(t, out);
    if (!parseDate(t, i, d)) return false;
    if (i < t.size()) {
        if (t[i] != ' ' && t[i] != 'T') return false;
        ++i;
        if (!parseTime(t, i, tm) || i != t.size()) return false;
    }
    out = d >= 0 ? d + tm : d - tm;
    return true;
}

bool TryStrToInt(std::string_view text, int64_t& out) {
    std::string t = Trim(text);
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    auto r = std::from_chars(b, e, out);
    return b != e && r.ec == std::errc() && r.ptr == e;
}

bool TryStrToFloat(std::string_view text, double& out) {
    std::string t = Trim(text);
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    if (b == e || !((*b >= '0' && *b <= '9') || *b == '.' || *b == '-')) return false;
    auto r = std::from_chars(b, e, out);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(out);
}

std::string FloatToStr(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

// ---- text ----

unsigned char UpperChar(unsigned char c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    switch (c) {
    case 0x9A:
        return 0x8A; // s caron
    case 0x9C:
        return 0x8C; // oe
    case 0x9E:
        return 0x8E; // z caron
    case 0xFF:
        return 0x9F; // y diaeresis
    default:
        return c;
    }
}

int CollateText(std::string_view a, std::string_view b, bool ignoreCase) {
    return plat::CollateAnsi(a, b, ignoreCase);
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = static_cast<char>(UpperChar(static_cast<unsigned char>(c)));
    return r;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

} // namespace cls
