// Class-library stand-in: the exception base, the silent abort, the application's exception hook,
// date and time values, locale-independent number text and the one fixed text collation.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace cls {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }

private:
    std::string message_;
};

// Unwinds like any exception, but the exception display stays silent (a handler that "aborts").
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};
[[noreturn]] void Abort();

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// The application's exception display. The UI layer installs the handler that shows the message;
// without one the message goes to stderr. EAbort never reaches the handler.
using ExceptionHandler = std::function<void(const std::exception&)>;
void SetApplicationExceptionHandler(ExceptionHandler handler);
void HandleException(const std::exception& e);
// Call inside a catch block: hands whatever is being handled to HandleException.
void HandleCurrentException();

// Date and time. TDateTime counts days from 1899-12-30; the fraction is the time of day (for
// negative values the fraction still counts forwards from midnight).
using TDateTime = double;
constexpr int DateDelta = 693594; // day number of 1899-12-30 when 0001-01-01 is day 1
constexpr int MSecsPerDay = 86400000;

struct TTimeStamp {
    int32_t Time = 0; // milliseconds since midnight
    int32_t Date = 0; // day number, 0001-01-01 = 1
};

bool IsLeapYear(int year);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec);

// Throws EConvertError for a value outside 0001-01-01 .. 9999-12-31.
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& ts);
double TimeStampToMSecs(const TTimeStamp& ts);
TTimeStamp MSecsToTimeStamp(double msecs);

// Text forms are fixed ("yyyy-mm-dd", "hh:nn:ss", "yyyy-mm-dd hh:nn:ss"), whatever the locale.
std::string DateToStr(TDateTime value);
std::string TimeToStr(TDateTime value);
std::string DateTimeToStr(TDateTime value); // time part left out at midnight
bool TryStrToDate(std::string_view text, TDateTime& out);
bool TryStrToTime(std::string_view text, TDateTime& out);
bool TryStrToDateTime(std::string_view text, TDateTime& out);

// Numbers as text, blanks around them ignored, '.' as the decimal separator.
bool TryStrToInt(std::string_view text, int64_t& out);
bool TryStrToFloat(std::string_view text, double& out);
std::string FloatToStr(double value); // at most 15 significant digits

// The system's one collation (platform/Collation.h) for string lists, index order and filters.
// Returns -1, 0 or 1.
unsigned char UpperChar(unsigned char c);
int CollateText(std::string_view a, std::string_view b, bool ignoreCase);
inline int CompareText(std::string_view a, std::string_view b) {
    return CollateText(a, b, true);
}
inline bool SameText(std::string_view a, std::string_view b) {
    return CollateText(a, b, true) == 0;
}
std::string UpperCase(std::string_view s);
std::string Trim(std::string_view s);

} // namespace cls
