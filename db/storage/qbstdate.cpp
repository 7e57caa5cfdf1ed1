// Date arithmetic: day numbers from 1600-01-01 and seconds of the day.
#include "db/storage/qbstdate.h"

#include <cmath>

namespace {

constexpr int32_t kSecondsPerDay = 86400;

int64_t floorMod(int64_t a, int64_t m) {
    int64_t r = a % m;
    return r < 0 ? r + m : r;
}

} // namespace

bool IsLeapYear(int32_t Year) {
    return Year % 4 == 0 && Year % 4000 != 0 && (Year % 100 != 0 || Year % 400 == 0);
}

int32_t ResolveEpoch(int32_t Year, int32_t Epoch) {
    if (Year >= 100 || Year < 0) return Year;
    int32_t century = Epoch / 100 * 100;
    return Year + century + (Year < Epoch % 100 ? 100 : 0);
}

int32_t DaysInMonth(int32_t Month, int32_t Year, int32_t Epoch) {
    Year = ResolveEpoch(Year, Epoch);
    if (Year < kMinStYear || Year > kMaxStYear || Month < 1 || Month > 12) return 0;
    static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[Month - 1] + (Month == 2 && IsLeapYear(Year) ? 1 : 0);
}

bool ValidDate(int32_t Day, int32_t Month, int32_t Year, int32_t Epoch) {
    return Day >= 1 && Day <= DaysInMonth(Month, Year, Epoch);
}

int32_t DMYtoStDate(int32_t Day, int32_t Month, int32_t Year, int32_t Epoch) {
    if (!ValidDate(Day, Month, Year, Epoch)) return kBlankStDate;
    Year = ResolveEpoch(Year, Epoch);
    if (Year == 1600 && Month < 3) return Month == 1 ? Day - 1 : Day + 30;
    // Months counted from March, so that the leap day ends the year.
    if (Month < 3) {
        Month += 9;
        --Year;
    } else {
        Month -= 3;
    }
    int32_t y = Year - 1600;
    return (y / 100) * 146097 / 4 + (y % 100) * 1461 / 4 + (153 * Month + 2) / 5 + Day + 59;
}

void StDateToDMY(int32_t Julian, int32_t& Day, int32_t& Month, int32_t& Year) {
    Day = Month = Year = 0;
    if (Julian < 0 || Julian > kMaxStDate) return;
    if (Julian <= 59) {
        Year = 1600;
        Month = Julian > 30 ? 2 : 1;
        Day = Julian > 30 ? Julian - 30 : Julian + 1;
        return;
    }
    int32_t t = (Julian - 59) * 4 - 1;
    int32_t rest = (t % 146097) / 4 * 4 + 3;
    Year = (t / 146097) * 100 + rest / 1461;
    int32_t d = (rest % 1461 + 4) / 4;
    int32_t m = (d * 5 - 3) / 153;
    Day = ((d * 5 - 3) % 153 + 5) / 5;
    if (m >= 10) {
        Month = m - 9;
        ++Year;
    } else {
        Month = m + 3;
    }
    Year += 1600;
}

int32_t HMStoStTime(int32_t Hours, int32_t Minutes, int32_t Seconds) {
    int64_t s = floorMod(Hours, 24) * 3600 + int64_t(Minutes) * 60 + Seconds;
    return int32_t(floorMod(s, kSecondsPerDay));
}

void StTimeToHMS(int32_t T, int32_t& Hours, int32_t& Minutes, int32_t& Seconds) {
    Hours = Minutes = Seconds = 0;
    if (T < 0 || T >= kSecondsPerDay) return;
    Hours = T / 3600;
    Minutes = T / 60 % 60;
    Seconds = T % 60;
}

int32_t DateTimeToStDate(double DT) {
    if (!std::isfinite(DT)) return kBlankStDate;
    double day = std::trunc(DT) + kDateTimeDelta;
    return day < 0 || day > kMaxStDate ? kBlankStDate : int32_t(day);
}

int32_t DateTimeToStTime(double DT) {
    if (!std::isfinite(DT)) return kBlankStTime;
    double fraction = std::fabs(DT - std::trunc(DT));
    int64_t ms = std::llround(fraction * 86400000.0);
    int64_t s = ms / 1000;
    return int32_t(s >= kSecondsPerDay ? kSecondsPerDay - 1 : s);
}

double StDateToDateTime(int32_t D) {
    return D < 0 || D > kMaxStDate ? 0.0 : double(D - kDateTimeDelta);
}

double StTimeToDateTime(int32_t T) {
    return T < 0 || T >= kSecondsPerDay ? 0.0 : double(T) / kSecondsPerDay;
}
