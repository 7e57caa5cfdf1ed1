// International settings of the extension controls, read from the Linux locale environment, and
// the small string routines the date pictures are normalised with.
#pragma once
#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

// Where the settings come from: values under the keys of the [intl] settings and the user's
// short-date override. Both answer nullopt for a value that is not set.
class TLncIntlSource {
public:
    virtual ~TLncIntlSource() = default;
    virtual std::optional<std::string> ProfileString(const std::string& Key) const = 0;
    virtual std::optional<std::string> UserShortDate() const = 0;
};

// The locale named by LANG / LC_* (or the one given), mapped onto the [intl] keys. Texts are
// converted to Windows-1252.
class TLncLocaleIntlSource : public TLncIntlSource {
public:
    // An empty name takes the environment; a locale that is not installed falls back to "C".
    explicit TLncLocaleIntlSource(const std::string& LocaleName = "");
    std::optional<std::string> ProfileString(const std::string& Key) const override;
    std::optional<std::string> UserShortDate() const override { return std::nullopt; }

private:
    std::map<std::string, std::string> values_;
};

class TLncIntlSup {
public:
    TLncIntlSup(); // from the locale environment
    explicit TLncIntlSup(const TLncIntlSource& Source);
    void Load(const TLncIntlSource& Source);

    char DecimalChar = '.';
    char ThousandsChar = ',';
    int CurrencyDigits = 2;
    int NegCurrencyFormat = 0;
    char ListChar = ',';
    int CountryCode = 0;
    std::string CurrencyLeft = "$";
    std::string CurrencyRight = "$";
    bool TimeLeadingZero = false;
    char TimeSepChar = ':';
    char DateSepChar = '/';
    std::string AMText = "AM";
    std::string PMText = "PM";
    std::string ShortDatePicture = "MM/dd/yy";
    std::string LongDatePicture = "dddd, MMMM dd, yyyy";
    // Quoted literals moved out of the long date picture, shown there as f, g and h.
    std::array<std::string, 3> Literals;
    char TrueChar = 'T';
    char FalseChar = 'F';
    char YesChar = 'Y';
    char NoChar = 'N';
};

// The process-wide instance, read from the locale environment on first use.
TLncIntlSup& LncDefaultIntlSup();

// The date the library started on, for the date defaults of its controls.
struct TLncDate {
    int Year, Month, Day;
};
const TLncDate& LncStartDate();

// Removes the character at Pos (nothing when Pos is beyond the end).
void LncStrDeleteChar(std::string& S, size_t Pos);
// Inserts C at Pos (at the end when Pos is beyond it).
void LncStrInsertChar(std::string& S, char C, size_t Pos);
// True and the first position of C.
bool LncStrCharPos(const std::string& S, char C, size_t& Pos);
// True and the first position of Sub.
bool LncStrStrPos(const std::string& S, const std::string& Sub, size_t& Pos);

namespace ctl {
// A strftime date format ("%m/%d/%y") as a date picture ("MM/dd/yy").
std::string StrftimeToPicture(const std::string& Format);
// A long date picture in the day, month and year order of a short date picture.
std::string LongPictureFor(const std::string& ShortPicture);
// Separator character of a strftime format: the first literal between two fields.
std::optional<char> StrftimeSeparator(const std::string& Format);
// Windows-style negative currency format (0..15) from the POSIX monetary flags.
int NegCurrencyCode(int CsPrecedes, int SepBySpace, int SignPosn);
} // namespace ctl
