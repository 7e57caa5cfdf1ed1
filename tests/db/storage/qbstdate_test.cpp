// Tests of the date arithmetic and of the network names of paths.
#include "db/base/qbllbase.h"
#include "db/storage/qbllunc.h"
#include "db/storage/qbstdate.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

// Every day of the valid range against the standard library's proleptic Gregorian calendar.
TEST(StDate, EveryDayRoundTrips) {
    using namespace std::chrono;
    const sys_days first = year{1600} / January / 1;
    for (int32_t n = 0; n <= kMaxStDate; ++n) {
        year_month_day ymd{first + days{n}};
        int32_t d = int32_t(unsigned(ymd.day())), m = int32_t(unsigned(ymd.month())), y = int32_t(ymd.year());
        ASSERT_EQ(DMYtoStDate(d, m, y, 0), n) << y << '-' << m << '-' << d;
        ASSERT_EQ(DaysInMonth(m, y, 0),
                  int32_t(unsigned(year_month_day_last{ymd.year() / ymd.month() / last}.day())));
        int32_t dd, mm, yy;
        StDateToDMY(n, dd, mm, yy);
        ASSERT_TRUE(dd == d && mm == m && yy == y) << n;
        ASSERT_EQ(DateTimeToStDate(StDateToDateTime(n)), n);
    }
    EXPECT_EQ(year_month_day{first + days{kMaxStDate}}, year{3999} / December / 31);
}

TEST(StDate, FixedPointsAndInvalidInput) {
    EXPECT_EQ(DMYtoStDate(1, 1, 1600, 0), 0);
    EXPECT_EQ(DMYtoStDate(29, 2, 1600, 0), 59);
    EXPECT_EQ(DMYtoStDate(1, 3, 1600, 0), 60);
    EXPECT_EQ(DMYtoStDate(1, 1, 2000, 0), 146097);
    EXPECT_EQ(DMYtoStDate(30, 12, 1899, 0), kDateTimeDelta);
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_EQ(DMYtoStDate(31, 12, 3999, 0), 876581);
    EXPECT_EQ(DMYtoStDate(1, 1, 4000, 0), -1);
    EXPECT_EQ(DMYtoStDate(29, 2, 1900, 0), -1);
    EXPECT_EQ(DMYtoStDate(0, 1, 2000, 0), -1);
    EXPECT_EQ(DaysInMonth(13, 2000, 0), 0);
    EXPECT_EQ(DaysInMonth(2, 4000, 0), 0);
    // Two-digit years in the century of the epoch, or the next one below its last digits.
    EXPECT_EQ(DMYtoStDate(1, 1, 20, 1950), DMYtoStDate(1, 1, 2020, 0));
    EXPECT_EQ(DMYtoStDate(1, 1, 60, 1950), DMYtoStDate(1, 1, 1960, 0));
    EXPECT_EQ(DMYtoStDate(1, 1, 60, 0), -1);

    // 1599-12-31 and earlier are no dates; blanks and values outside the range give nothing.
    EXPECT_EQ(DateTimeToStDate(-109572.0), -1);
    EXPECT_EQ(DateTimeToStDate(-200000.0), -1);
    EXPECT_EQ(DateTimeToStDate(1e300), -1);
    EXPECT_EQ(StDateToDateTime(-1), 0.0);
    EXPECT_EQ(StDateToDateTime(876582), 0.0);
    int32_t d = 9, m = 9, y = 9;
    StDateToDMY(-1, d, m, y);
    EXPECT_TRUE(d == 0 && m == 0 && y == 0);
    StDateToDMY(-5, d, m, y);
    EXPECT_TRUE(d == 0 && m == 0 && y == 0);
    StDateToDMY(900000, d, m, y);
    EXPECT_TRUE(d == 0 && m == 0 && y == 0);
}

TEST(StTime, HoursWrapAndEveryResultIsATimeOfDay) {
    EXPECT_EQ(HMStoStTime(25, 0, 0), 3600);
    EXPECT_EQ(HMStoStTime(23, 59, 59), 86399);
    EXPECT_EQ(HMStoStTime(0, -1, 0), 86340);
    EXPECT_EQ(HMStoStTime(-1, 0, -1), 82799);
    EXPECT_EQ(HMStoStTime(0, 0, 2147483647), 2147483647 % 86400);
    for (int32_t h : {-50, -1, 0, 23, 24, 2147483647})
        for (int32_t s : {-2147483647 - 1, -86400, 0, 86399, 2147483647}) {
            int32_t t = HMStoStTime(h, 59, s);
            EXPECT_TRUE(t >= 0 && t < 86400) << h << ' ' << s;
        }
    int32_t hh, mm, ss;
    StTimeToHMS(86399, hh, mm, ss);
    EXPECT_TRUE(hh == 23 && mm == 59 && ss == 59);
    StTimeToHMS(kBlankStTime, hh, mm, ss);
    EXPECT_TRUE(hh == 0 && mm == 0 && ss == 0);
    EXPECT_EQ(StTimeToDateTime(kBlankStTime), 0.0);
    EXPECT_EQ(StTimeToDateTime(43200), 0.5);
    // Before 1899-12-30 the time of day is the fraction without its sign: -1.25 is 06:00.
    EXPECT_EQ(DateTimeToStTime(-1.25), 21600);
    EXPECT_EQ(DateTimeToStDate(-1.25), kDateTimeDelta - 1);
    EXPECT_EQ(DateTimeToStTime(0.9999999999), 86399);
    for (int32_t t = 0; t < 86400; t += 7)
        ASSERT_EQ(DateTimeToStTime(StTimeToDateTime(t)), t);
}

TEST(PathToUNC, APathIsItsOwnNetworkName) {
    EXPECT_EQ(PathToUNC("/srv/data/contacts"), "/srv/data/contacts");
    EXPECT_EQ(PathExpandUNC("/srv/data/../db/./x"), "/srv/db/x");
    EXPECT_EQ(PathExpandUNC("rel"), PathExpand("rel"));
}

} // namespace
