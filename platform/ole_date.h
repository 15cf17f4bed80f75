#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

// Local calendar time to the second.
struct CalendarTime {
    int year = 1899;
    int month = 12;  // 1..12
    int day = 30;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// OLE date-time: days since 1899-12-30 00:00 local time, the fraction being the time of day.
// Before the epoch the whole days are negative and the time of day still counts forward
// (-1.25 is 1899-12-29 06:00), as the platform's DATE type does.
double CalendarToOleDate(const CalendarTime& time);
// Whole-second calendar fields of an OLE date (rounded to the nearest second);
// nothing for values outside the years 100 to 9999.
std::optional<CalendarTime> OleDateToCalendar(double ole_date);

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day);

// Local calendar fields of a time_t; nothing when the conversion fails.
std::optional<CalendarTime> LocalCalendar(std::time_t seconds_since_1970);
