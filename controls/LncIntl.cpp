// International settings of the extension controls, read from the Linux locale environment, and
// the small string routines the date pictures are normalised with.
#include "controls/LncIntl.h"

#include "controls/LncSrMgr.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <langinfo.h>
#include <locale.h>

namespace {
TLncDate today() {
    std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
    return {int(ymd.year()), int(unsigned(ymd.month())), int(unsigned(ymd.day()))};
}
const TLncDate startDate = today();
} // namespace

const TLncDate& LncStartDate() {
    return startDate;
}

// ---- string routines ---------------------------------------------------------------------------

void LncStrDeleteChar(std::string& S, size_t Pos) {
    if (Pos < S.size()) S.erase(Pos, 1);
}

void LncStrInsertChar(std::string& S, char C, size_t Pos) {
    S.insert(std::min(Pos, S.size()), 1, C);
}

bool LncStrCharPos(const std::string& S, char C, size_t& Pos) {
    auto at = S.find(C);
    if (at == std::string::npos) return false;
    Pos = at;
    return true;
}

bool LncStrStrPos(const std::string& S, const std::string& Sub, size_t& Pos) {
    auto at = S.find(Sub);
    if (at == std::string::npos) return false;
    Pos = at;
    return true;
}

// ---- strftime formats --------------------------------------------------------------------------

namespace ctl {

namespace {
// Skips the flags, width and E/O modifiers after '%'; returns the conversion character's index.
size_t conversionAt(const std::string& f, size_t i) {
    while (i < f.size() && std::strchr("-_0^#", f[i]))
        ++i;
    while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i])))
        ++i;
    if (i < f.size() && (f[i] == 'E' || f[i] == 'O')) ++i;
    return i;
}
} // namespace

std::string StrftimeToPicture(const std::string& Format) {
    std::string out;
    std::string literal; // letters must be quoted in a picture
    auto flushLiteral = [&] {
        if (!literal.empty()) out += "'" + literal + "'";
        literal.clear();
    };
    for (size_t i = 0; i < Format.size(); ++i) {
        char c = Format[i];
        if (c != '%') {
            if (std::isalpha(static_cast<unsigned char>(c)))
                literal += c;
            else {
                flushLiteral();
                out += c;
            }
            continue;
        }
        flushLiteral();
        i = conversionAt(Format, i + 1);
        if (i >= Format.size()) break;
        switch (Format[i]) {
        case 'd':
            out += "dd";
            break;
        case 'e':
            out += "d";
            break;
        case 'm':
            out += "MM";
            break;
        case 'y':
            out += "yy";
            break;
        case 'Y':
        case 'G':
            out += "yyyy";
            break;
        case 'b':
        case 'h':
            out += "MMM";
            break;
        case 'B':
            out += "MMMM";
            break;
        case 'a':
            out += "ddd";
            break;
        case 'A':
            out += "dddd";
            break;
        case 'D':
            out += "MM/dd/yy";
            break;
        case 'F':
            out += "yyyy-MM-dd";
            break;
        case '%':
            out += '%';
            break;
        case 'n':
        case 't':
            out += ' ';
            break;
        default:
            break; // time, week and zone fields have no place in a date picture
        }
    }
    flushLiteral();
    return out;
}

std::optional<char> StrftimeSeparator(const std::string& Format) {
    // Expand the composite conversions first so that their separators are seen.
    std::string f;
    for (size_t i = 0; i < Format.size(); ++i) {
        if (Format[i] == '%' && i + 1 < Format.size()) {
            char n = Format[i + 1];
            if (n == 'D') {
                f += "%m/%d/%y";
                ++i;
                continue;
            }
            if (n == 'F') {
                f += "%Y-%m-%d";
                ++i;
                continue;
            }
            if (n == 'T' || n == 'r') {
                f += "%H:%M:%S";
                ++i;
                continue;
            }
            if (n == 'R') {
                f += "%H:%M";
                ++i;
                continue;
            }
        }
        f += Format[i];
    }
    bool afterField = false;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '%') {
            i = conversionAt(f, i + 1);
            afterField = true;
            continue;
        }
        if (afterField && f[i] != ' ') return f[i];
    }
    return std::nullopt;
}

std::string LongPictureFor(const std::string& ShortPicture) {
    auto d = ShortPicture.find('d'), m = ShortPicture.find('M'), y = ShortPicture.find('y');
    if (d == std::string::npos || m == std::string::npos || y == std::string::npos)
        return "dddd, MMMM dd, yyyy";
    if (y < m && m < d) return "dddd, yyyy MMMM dd";
    if (d < m) return "dddd, dd MMMM yyyy";
    return "dddd, MMMM dd, yyyy";
}

int NegCurrencyCode(int CsPrecedes, int SepBySpace, int SignPosn) {
    bool sep = SepBySpace != 0;
    if (CsPrecedes) {
        switch (SignPosn) {
        case 0:
            return sep ? 14 : 0;
        case 2:
            return sep ? 11 : 3;
        case 4:
            return sep ? 12 : 2;
        default:
            return sep ? 9 : 1; // 1 and 3: the sign before the symbol
        }
    }
    switch (SignPosn) {
    case 0:
        return sep ? 15 : 4;
    case 3:
        return sep ? 13 : 6;
    case 1:
        return sep ? 8 : 5;
    default:
        return sep ? 10 : 7; // 2 and 4: the sign after the symbol
    }
}

} // namespace ctl

// ---- the locale source -------------------------------------------------------------------------

TLncLocaleIntlSource::TLncLocaleIntlSource(const std::string& LocaleName) {
    locale_t loc = newlocale(LC_ALL_MASK, LocaleName.c_str(), locale_t(0));
    if (!loc) loc = newlocale(LC_ALL_MASK, "C", locale_t(0));
    if (!loc) return;
    bool utf8 = std::strcmp(nl_langinfo_l(CODESET, loc), "UTF-8") == 0;
    auto text = [&](nl_item item) -> std::string {
        const char* s = nl_langinfo_l(item, loc);
        std::string v = s ? s : "";
        return utf8 ? plat::Utf8ToAnsi(v) : v;
    };
    auto flag = [&](nl_item item) -> int {
        const char* s = nl_langinfo_l(item, loc);
        return s ? static_cast<unsigned char>(*s) : CHAR_MAX;
    };
    auto put = [&](const char* key, const std::string& v) {
        if (!v.empty()) values_[key] = v;
    };

    put("sDecimal", text(RADIXCHAR));
    put("sThousand", text(THOUSEP));
    int frac = flag(__FRAC_DIGITS);
    if (frac != CHAR_MAX) put("iCurrDigits", std::to_string(frac));
    int ncs = flag(__N_CS_PRECEDES), nsep = flag(__N_SEP_BY_SPACE), npos = flag(__N_SIGN_POSN);
    if (ncs != CHAR_MAX && nsep != CHAR_MAX && npos != CHAR_MAX)
        put("iNegCurr", std::to_string(ctl::NegCurrencyCode(ncs, nsep, npos)));
    put("sCountry", text(_NL_TELEPHONE_INT_PREFIX));
    put("sCurrency", text(__CURRENCY_SYMBOL));
    int pcs = flag(__P_CS_PRECEDES), psep = flag(__P_SEP_BY_SPACE);
    if (pcs != CHAR_MAX && psep != CHAR_MAX) put("iCurrency", std::to_string((pcs ? 0 : 1) + (psep ? 2 : 0)));
    std::string tfmt = text(T_FMT);
    if (!tfmt.empty()) {
        bool lz = tfmt.find("%k") == std::string::npos && tfmt.find("%l") == std::string::npos &&
                  tfmt.find("%-H") == std::string::npos && tfmt.find("%-I") == std::string::npos;
        put("iTLZero", lz ? "1" : "0");
        if (auto sep = ctl::StrftimeSeparator(tfmt)) put("sTTime", std::string(1, *sep));
    }
    std::string dfmt = text(D_FMT);
    if (!dfmt.empty()) {
        if (auto sep = ctl::StrftimeSeparator(dfmt)) put("sDate", std::string(1, *sep));
        std::string pic = ctl::StrftimeToPicture(dfmt);
        put("sShortDate", pic);
        put("sLongDate", ctl::LongPictureFor(pic));
    }
    put("s1159", text(AM_STR));
    put("s2359", text(PM_STR));
    freelocale(loc);
}

std::optional<std::string> TLncLocaleIntlSource::ProfileString(const std::string& Key) const {
    auto it = values_.find(Key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

// ---- TLncIntlSup -------------------------------------------------------------------------------

namespace {

std::optional<char> firstChar(const TLncIntlSource& src, const char* key) {
    auto v = src.ProfileString(key);
    if (!v || v->empty()) return std::nullopt;
    return (*v)[0];
}

int intValue(const TLncIntlSource& src, const char* key, int def) {
    auto v = src.ProfileString(key);
    if (!v) return def;
    try {
        size_t used = 0;
        long long n = std::stoll(*v, &used, 10);
        if (used != v->size() || n < INT_MIN || n > INT_MAX) return def;
        return static_cast<int>(n);
    } catch (const std::exception&) {
        return def;
    }
}

std::string limited(const TLncIntlSource& src, const char* key, const std::string& def, size_t max) {
    auto v = src.ProfileString(key);
    return (v ? *v : def).substr(0, max);
}

// Replaces every run of `from` that starts with three of them by a run of `to` of the same length.
void replaceRuns(std::string& s, char from, char to) {
    for (size_t i = 0; i < s.size();) {
        if (s[i] != from) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && s[j] == from)
            ++j;
        if (j - i >= 3) std::fill(s.begin() + i, s.begin() + j, to);
        i = j;
    }
}

char oneCharText(uint32_t id, char def) {
    std::string s = LncGetString(id);
    return s.size() == 1 ? s[0] : def;
}

} // namespace

TLncIntlSup::TLncIntlSup() {
    Load(TLncLocaleIntlSource());
}

TLncIntlSup::TLncIntlSup(const TLncIntlSource& Source) {
    Load(Source);
}

void TLncIntlSup::Load(const TLncIntlSource& Source) {
    DecimalChar = firstChar(Source, "sDecimal").value_or('.');
    ThousandsChar = firstChar(Source, "sThousand").value_or(',');
    if (DecimalChar == ThousandsChar) {
        DecimalChar = '.';
        ThousandsChar = ',';
    }
    CurrencyDigits = intValue(Source, "iCurrDigits", 2);
    NegCurrencyFormat = intValue(Source, "iNegCurr", 0);
    ListChar = firstChar(Source, "sList").value_or(',');
    CountryCode = intValue(Source, "sCountry", 0);
    std::string symbol = limited(Source, "sCurrency", "$", 5);
    CurrencyLeft = symbol;
    CurrencyRight = symbol;
    int placement = intValue(Source, "iCurrency", 0);
    if (placement == 2) CurrencyLeft += ' ';
    if (placement == 3) CurrencyRight = ' ' + CurrencyRight;
    TimeLeadingZero = intValue(Source, "iTLZero", 0) != 0;
    TimeSepChar = firstChar(Source, "sTTime").value_or(':');
    DateSepChar = firstChar(Source, "sDate").value_or('/');
    AMText = limited(Source, "s1159", "AM", 5);
    PMText = limited(Source, "s2359", "PM", 5);
    auto user = Source.UserShortDate();
    ShortDatePicture = (user ? *user : Source.ProfileString("sShortDate").value_or("MM/dd/yy")).substr(0, 30);
    LongDatePicture = limited(Source, "sLongDate", "dddd, MMMM dd, yyyy", 40);
    TrueChar = oneCharText(30370, 'T');
    FalseChar = oneCharText(30371, 'F');
    YesChar = oneCharText(30368, 'Y');
    NoChar = oneCharText(30369, 'N');

    // Pictures use "/" for the date separator.
    for (char& c : ShortDatePicture)
        if (c == DateSepChar) c = '/';

    // Up to three quoted literals of the long picture move into the slots f, g and h.
    Literals = {};
    std::string pic;
    int used = 0;
    for (size_t i = 0; i < LongDatePicture.size(); ++i) {
        char c = LongDatePicture[i];
        size_t close = c == '\'' ? LongDatePicture.find('\'', i + 1) : std::string::npos;
        if (c == '\'' && used < 3 && close != std::string::npos) {
            Literals[used] = LongDatePicture.substr(i + 1, close - i - 1).substr(0, 5);
            pic += static_cast<char>('f' + used);
            ++used;
            i = close;
        } else {
            pic += c;
        }
    }
    LongDatePicture = pic;
    replaceRuns(LongDatePicture, 'd', 'w');
    replaceRuns(LongDatePicture, 'M', 'n');
    replaceRuns(ShortDatePicture, 'M', 'n');
    for (size_t i = 0; i + 1 < LongDatePicture.size(); ++i) {
        char c = LongDatePicture[i];
        if ((c == ',' || c == '.') && LongDatePicture[i + 1] != ' ')
            LncStrInsertChar(LongDatePicture, ' ', i + 1);
    }
}

TLncIntlSup& LncDefaultIntlSup() {
    static TLncIntlSup intl;
    return intl;
}
