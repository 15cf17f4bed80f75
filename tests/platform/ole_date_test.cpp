#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/ole_date.h"

namespace {

CalendarTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return CalendarTime{year, month, day, hour, minute, second};
}

void ExpectCalendar(const CalendarTime& expected, double ole_date) {
    const std::optional<CalendarTime> time = OleDateToCalendar(ole_date);
    ASSERT_TRUE(time.has_value()) << ole_date;
    EXPECT_EQ(expected.year, time->year) << ole_date;
    EXPECT_EQ(expected.month, time->month) << ole_date;
    EXPECT_EQ(expected.day, time->day) << ole_date;
    EXPECT_EQ(expected.hour, time->hour) << ole_date;
    EXPECT_EQ(expected.minute, time->minute) << ole_date;
    EXPECT_EQ(expected.second, time->second) << ole_date;
}

TEST(OleDate, KnownDatesOnBothSidesOfTheEpoch) {
    EXPECT_EQ(0.0, CalendarToOleDate(At(1899, 12, 30)));
    EXPECT_EQ(2.0, CalendarToOleDate(At(1900, 1, 1)));
    EXPECT_EQ(25569.0, CalendarToOleDate(At(1970, 1, 1)));
    EXPECT_EQ(36585.0, CalendarToOleDate(At(2000, 2, 29)));
    EXPECT_EQ(46363.75, CalendarToOleDate(At(2026, 12, 7, 18)));
    EXPECT_EQ(2958465.0, CalendarToOleDate(At(9999, 12, 31)));
    EXPECT_EQ(-657434.0, CalendarToOleDate(At(100, 1, 1)));
    // Before the epoch the day counts down but the time of day still counts up.
    EXPECT_EQ(-1.25, CalendarToOleDate(At(1899, 12, 29, 6)));
    ExpectCalendar(At(1899, 12, 29, 6), -1.25);
    ExpectCalendar(At(1899, 12, 30, 12), 0.5);
    ExpectCalendar(At(2026, 12, 7, 18), 46363.75);
    // Leap rules: 1900 and 2100 are not leap years, 2000 is.
    EXPECT_EQ(1, DaysFromCivil(1900, 3, 1) - DaysFromCivil(1900, 2, 28));
    EXPECT_EQ(2, DaysFromCivil(2000, 3, 1) - DaysFromCivil(2000, 2, 28));
    EXPECT_EQ(1, DaysFromCivil(2100, 3, 1) - DaysFromCivil(2100, 2, 28));
}

TEST(OleDate, RoundsToTheNearestSecondAcrossMidnight) {
    ExpectCalendar(At(1899, 12, 31), 0.9999999);
    ExpectCalendar(At(2026, 12, 8), 46363.99999999);
    ExpectCalendar(At(1899, 12, 30), -1.9999999);  // the last instant of 1899-12-29
    ExpectCalendar(At(2026, 12, 7, 0, 0, 1), 46363 + 1.4 / 86400);
}

TEST(OleDate, RejectsValuesOutsideTheCalendar) {
    EXPECT_FALSE(OleDateToCalendar(std::numeric_limits<double>::quiet_NaN()).has_value());
    EXPECT_FALSE(OleDateToCalendar(std::numeric_limits<double>::infinity()).has_value());
    EXPECT_FALSE(OleDateToCalendar(2958466.5).has_value());
    EXPECT_FALSE(OleDateToCalendar(-657435.0).has_value());
}

TEST(OleDate, CalendarRoundTripsThroughOleDates) {
    std::mt19937 random(46363);
    for (int n = 0; n < 20000; ++n) {
        const int year = std::uniform_int_distribution<int>(101, 9998)(random);
        const int month = std::uniform_int_distribution<int>(1, 12)(random);
        const int day = std::uniform_int_distribution<int>(1, 28)(random);
        const CalendarTime time = At(year, month, day, static_cast<int>(random() % 24), static_cast<int>(random() % 60),
                                     static_cast<int>(random() % 60));
        const std::optional<CalendarTime> back = OleDateToCalendar(CalendarToOleDate(time));
        ASSERT_TRUE(back.has_value());
        ASSERT_EQ(time.year, back->year);
        ASSERT_EQ(time.month, back->month);
        ASSERT_EQ(time.day, back->day);
        ASSERT_EQ(time.hour * 3600 + time.minute * 60 + time.second,
                  back->hour * 3600 + back->minute * 60 + back->second)
            << year << "-" << month << "-" << day;
    }
}

}  // namespace
