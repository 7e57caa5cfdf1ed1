// Date arithmetic of the engine's own field formats: day numbers counted from 1600-01-01 and
// seconds of the day, with conversions to and from the class library's date-time values.
#pragma once
#include <cstdint>

// -1: the blank (or invalid) date and time.
inline constexpr int32_t kBlankStDate = -1;
inline constexpr int32_t kBlankStTime = -1;
// The first and last valid years, and the day number of the last valid day (3999-12-31).
inline constexpr int32_t kMinStYear = 1600, kMaxStYear = 3999;
inline constexpr int32_t kMaxStDate = 876581;
// Day number of the class library's day 0 (1899-12-30).
inline constexpr int32_t kDateTimeDelta = 109571;

bool IsLeapYear(int32_t Year);
// A year below 100 is taken in the century of Epoch (the one after it when it lies below the
// epoch's last two digits); larger years stay.
int32_t ResolveEpoch(int32_t Year, int32_t Epoch);
// 0 for a year outside 1600..3999 or a month outside 1..12.
int32_t DaysInMonth(int32_t Month, int32_t Year, int32_t Epoch);
bool ValidDate(int32_t Day, int32_t Month, int32_t Year, int32_t Epoch);
// kBlankStDate when the date is not valid.
int32_t DMYtoStDate(int32_t Day, int32_t Month, int32_t Year, int32_t Epoch);
// All 0 for the blank date and for any day number outside the valid range.
void StDateToDMY(int32_t Julian, int32_t& Day, int32_t& Month, int32_t& Year);
// Hours, minutes and seconds of any sign, brought into the day: always 0..86399.
int32_t HMStoStTime(int32_t Hours, int32_t Minutes, int32_t Seconds);
// All 0 for the blank time and for any value outside the day.
void StTimeToHMS(int32_t T, int32_t& Hours, int32_t& Minutes, int32_t& Seconds);

// The class library's date-time: days since 1899-12-30, the time of day as the fraction (taken
// without its sign for days before that date).
int32_t DateTimeToStDate(double DT);
int32_t DateTimeToStTime(double DT);
// 0.0 for the blank (or an invalid) value.
double StDateToDateTime(int32_t D);
double StTimeToDateTime(int32_t T);
