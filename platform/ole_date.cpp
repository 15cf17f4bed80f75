#include "platform/ole_date.h"

#include <cmath>

int64_t DaysFromCivil(int year, int month, int day) {
    // Howard Hinnant's days_from_civil.
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = (month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

constexpr int64_t kOleEpochDays = -25569;  // 1899-12-30 counted from 1970-01-01

CalendarTime CivilFromDays(int64_t days_since_1970) {
    const int64_t z = days_since_1970 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    CalendarTime time;
    time.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    time.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    time.year = static_cast<int>(yoe + era * 400 + (time.month <= 2 ? 1 : 0));
    return time;
}

}  // namespace

double CalendarToOleDate(const CalendarTime& time) {
    const double days = static_cast<double>(DaysFromCivil(time.year, time.month, time.day) - kOleEpochDays);
    const double fraction = (time.hour * 3600.0 + time.minute * 60.0 + time.second) / 86400.0;
    return days >= 0 ? days + fraction : days - fraction;
}

std::optional<CalendarTime> OleDateToCalendar(double ole_date) {
    if (!std::isfinite(ole_date) || ole_date < -657434.0 || ole_date > 2958466.0) return std::nullopt;
    double whole_days = std::trunc(ole_date);
    double fraction = std::fabs(ole_date - whole_days);
    int64_t seconds = std::llround(fraction * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole_days += 1;  // the calendar day after, on either side of the epoch
    }
    CalendarTime time = CivilFromDays(static_cast<int64_t>(whole_days) + kOleEpochDays);
    time.hour = static_cast<int>(seconds / 3600);
    time.minute = static_cast<int>((seconds / 60) % 60);
    time.second = static_cast<int>(seconds % 60);
    return time;
}

std::optional<CalendarTime> LocalCalendar(std::time_t seconds_since_1970) {
    std::tm local{};
    if (localtime_r(&seconds_since_1970, &local) == nullptr) return std::nullopt;
    CalendarTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    return time;
}
