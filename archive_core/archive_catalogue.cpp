#include "archive_core/archive_catalogue.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <tuple>

#include "platform/file_times.h"
#include "platform/ole_date.h"
#include "platform/posix_file.h"

namespace {

bool SameFields(const CalendarTime& a, const CalendarTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
}

CatalogueRow MakeRow(const std::string& day_folder_path, const std::string& name) {
    CatalogueRow row;
    row.full_path = day_folder_path + name;
    row.name = name;
    const auto times = ReadFileTimes(row.full_path);
    // A sub-folder has no recording times of its own; like an unreadable entry it shows no texts.
    row.is_folder = times && times->is_directory;
    if (!times || times->is_directory) return row;
    const OleDateTime creation = LocalOleDateTime(times->creation.seconds);
    row.date_text = FormatDateText(creation);
    // From the file system's own UTC seconds: local times jump at a daylight-saving change. A file
    // written before it was made (copied with its times kept) has no duration that can be known.
    const long long span_s = times->last_write.seconds - times->creation.seconds;
    row.duration_text = span_s >= 0 ? FormatDurationSeconds(static_cast<double>(span_s)) : kUnknownDurationText;
    return row;
}

}  // namespace

int ParseLenientDecimal(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool is_negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        is_negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT_MAX) value = INT_MAX;  // saturate rather than overflow
    }
    return static_cast<int>(is_negative ? -value : value);
}

std::optional<DayDate> ParseDayFolderName(std::string_view name) {
    if (name.size() != 8) return std::nullopt;
    return DayDate{ParseLenientDecimal(name.substr(0, 4)), ParseLenientDecimal(name.substr(4, 2)),
                   ParseLenientDecimal(name.substr(6, 2))};
}

bool IsDayInRange(const DayDate& day, const DayRange& range) {
    const auto key = [](const DayDate& date) { return std::tie(date.year, date.month, date.day); };
    return key(range.from) <= key(day) && key(day) <= key(range.to);
}

OleDateTime LocalOleDateTime(long long seconds_since_1970) {
    const auto local = LocalCalendar(static_cast<std::time_t>(seconds_since_1970));
    if (!local) return {};
    const double days = CalendarToOleDate(*local);
    const auto back = OleDateToCalendar(days);
    if (!back || !SameFields(*back, *local)) return {};
    return OleDateTime{days, true};
}

std::string FormatDateText(const OleDateTime& creation) {
    const auto fields = creation.is_valid ? OleDateToCalendar(creation.days) : std::nullopt;
    if (!fields) return "Invalid DateTime";
    std::tm calendar{};
    calendar.tm_year = fields->year - 1900;
    calendar.tm_mon = fields->month - 1;
    calendar.tm_mday = fields->day;
    calendar.tm_hour = fields->hour;
    calendar.tm_min = fields->minute;
    calendar.tm_sec = fields->second;
    char text[64];
    if (std::strftime(text, sizeof text, "%Y/%m/%d - %H:%M:%S", &calendar) == 0) return "Invalid DateTime";
    return text;
}

std::string FormatDurationText(double creation_days, double last_write_days) {
    // Day values carry about a microsecond of binary noise, so a span of 59.5 s may come out as
    // 59.4999993 s; settle the span to 0.1 ms before rounding halves away from zero.
    return FormatDurationSeconds(std::round((last_write_days - creation_days) * 86400.0 * 1e4) / 1e4);
}

std::string FormatDurationSeconds(double span_s) {
    if (!std::isfinite(span_s) || std::fabs(span_s) > 1e15) return {};
    const int64_t total_s = static_cast<int64_t>(std::trunc(span_s >= 0 ? span_s + 0.5 : span_s - 0.5));
    // Whole days are dropped; each part keeps the sign of the span.
    const long h = static_cast<long>(total_s / 3600 - (total_s / 86400) * 24);
    const long m = static_cast<long>(total_s / 60 - (total_s / 3600) * 60);
    const long s = static_cast<long>(total_s - (total_s / 60) * 60);
    char text[64];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", h, m, s);
    return text;
}

std::vector<CatalogueRow> BuildCatalogue(const std::string& storage_folder, const DayRange& range,
                                         std::vector<std::string>* unlisted) {
    std::string storage = storage_folder;
    if (!storage.empty() && storage.back() != '/') storage += '/';

    std::vector<CatalogueRow> rows;
    const auto storage_entries = ListFolder(storage);
    if (!storage_entries) return rows;
    for (const std::string& candidate : *storage_entries) {
        const auto day = ParseDayFolderName(candidate);
        if (!day || !IsDayInRange(*day, range)) continue;
        const std::string day_folder_path = storage + candidate + "/";
        const auto entries = ListFolder(day_folder_path);
        if (!entries) {
            // One unreadable day must not hide the others, but the list is not whole: said.
            if (unlisted != nullptr) unlisted->push_back(ErrnoMessage("cannot list " + day_folder_path));
            continue;
        }
        for (const std::string& name : *entries) rows.push_back(MakeRow(day_folder_path, name));
    }
    return rows;
}
