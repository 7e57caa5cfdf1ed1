// International settings: reading, defaults, normalisation of the date pictures, the Linux
// locale mapping, and the string routines.
#include "controls/LncIntl.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {
class MapSource : public TLncIntlSource {
public:
    std::map<std::string, std::string> values;
    std::optional<std::string> user;
    std::optional<std::string> ProfileString(const std::string& k) const override {
        auto it = values.find(k);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    std::optional<std::string> UserShortDate() const override { return user; }
};

// Every setting in one line, so that one comparison shows each difference.
std::string summary(const TLncIntlSup& s) {
    std::ostringstream o;
    o << "dec=" << s.DecimalChar << " thou=" << s.ThousandsChar << " digits=" << s.CurrencyDigits
      << " neg=" << s.NegCurrencyFormat << " list=" << s.ListChar << " country=" << s.CountryCode << " cur=["
      << s.CurrencyLeft << "|" << s.CurrencyRight << "] tlz=" << s.TimeLeadingZero
      << " time=" << s.TimeSepChar << " date=" << s.DateSepChar << " ampm=[" << s.AMText << "|" << s.PMText
      << "] short=" << s.ShortDatePicture << " long=" << s.LongDatePicture << " bool=" << s.TrueChar
      << s.FalseChar << " yn=" << s.YesChar << s.NoChar;
    return o.str();
}
} // namespace

TEST(LncIntl, ValuesLimitsAndFallbacks) {
    MapSource m;
    m.values = {{"sDecimal", ","}, {"sThousand", ","},        {"iCurrDigits", "3"},    {"iNegCurr", "8"},
                {"sList", ";x"},   {"sCountry", "49"},        {"sCurrency", "EURO12"}, {"iCurrency", "3"},
                {"iTLZero", "1"},  {"sTTime", "."},           {"sDate", "."},          {"s1159", "vorm.x"},
                {"s2359", ""},     {"sShortDate", "dd.MM.yy"}};
    // Both "," fall back; a currency keeps at most 5 characters.
    EXPECT_EQ(summary(TLncIntlSup{m}),
              "dec=. thou=, digits=3 neg=8 list=; country=49 cur=[EURO1| EURO1] tlz=1 time=. date=. "
              "ampm=[vorm.|] short=dd/MM/yy long=wwww, nnnn dd, yyyy bool=TF yn=YN");

    m.values = {{"iCurrency", "2"}, {"sCurrency", "kr"}, {"iCurrDigits", "9x"}};
    m.user = "yyyy-MM-dd-and-a-very-long-picture-beyond-thirty";
    TLncIntlSup t{m};
    EXPECT_EQ(t.CurrencyLeft, "kr ");
    EXPECT_EQ(t.CurrencyDigits, 2); // not a number
    EXPECT_EQ(t.ShortDatePicture.size(), 30u);
    EXPECT_EQ(t.ShortDatePicture.substr(0, 10), "yyyy-MM-dd"); // "-" is not the separator here
}

TEST(LncIntl, LongPictureNormalisation) {
    MapSource m;
    m.values = {{"sLongDate", "dddd d'.' MMMM 'de' yyyy 'x' 'y'"}};
    TLncIntlSup s{m};
    EXPECT_EQ(s.Literals, (std::array<std::string, 3>{".", "de", "x"}));
    EXPECT_EQ(s.LongDatePicture, "wwww df nnnn g yyyy h 'y'"); // a fourth literal stays quoted

    m.values = {{"sLongDate", "'unterminated"}};
    EXPECT_EQ(TLncIntlSup{m}.LongDatePicture, "'unterminated");
    m.values = {{"sLongDate", "'toolongliteral' dd"}};
    TLncIntlSup l{m};
    EXPECT_EQ(l.Literals[0], "toolo");
    EXPECT_EQ(l.LongDatePicture, "f dd");
}

TEST(LncIntl, LinuxLocaleMapping) {
    // The C locale: a point, no grouping, 24-hour time with leading zeros, month/day/year.
    TLncLocaleIntlSource c("C");
    TLncIntlSup s{c};
    EXPECT_EQ((std::string{s.DecimalChar, s.ThousandsChar, s.TimeSepChar, s.DateSepChar}), ".,:/");
    EXPECT_EQ(s.ShortDatePicture, "MM/dd/yy");
    EXPECT_TRUE(s.TimeLeadingZero);

    // A locale that is not installed behaves as C.
    TLncLocaleIntlSource missing("xx_NOWHERE.UTF-8");
    EXPECT_EQ(missing.ProfileString("sShortDate"), c.ProfileString("sShortDate"));

    // Non-letters are kept, letters quoted.
    using P = std::pair<const char*, const char*>;
    for (auto [in, want] : {P{"%D", "MM/dd/yy"}, P{"%A %e %B %Y", "dddd d MMMM yyyy"},
                            P{"%-d/%-m/%Ey", "dd/MM/yy"}, P{"%d de %B", "dd 'de' MMMM"}, P{"%", ""}})
        EXPECT_EQ(ctl::StrftimeToPicture(in), want) << in;
    EXPECT_EQ(ctl::StrftimeSeparator("%d.%m.%Y"), '.');
    EXPECT_FALSE(ctl::StrftimeSeparator("%d%m").has_value());
    EXPECT_EQ(ctl::LongPictureFor("yyyy-MM-dd"), "dddd, yyyy MMMM dd");
    EXPECT_EQ(ctl::NegCurrencyCode(0, 1, 1), 8);  // -1.1 $
    EXPECT_EQ(ctl::NegCurrencyCode(1, 1, 4), 12); // $ -1.1
}

TEST(LncIntl, StringRoutinesIgnoreOutOfRangePositions) {
    std::string s = "axc";
    LncStrDeleteChar(s, 1);
    LncStrDeleteChar(s, 5);
    LncStrInsertChar(s, 'b', 1);
    LncStrInsertChar(s, 'z', 99);
    EXPECT_EQ(s, "abcz");
    size_t pos = 77;
    EXPECT_TRUE(LncStrStrPos(s, "cz", pos));
    EXPECT_EQ(pos, 2u);
    EXPECT_FALSE(LncStrCharPos(s, 'q', pos));
    EXPECT_EQ(pos, 2u);
}
