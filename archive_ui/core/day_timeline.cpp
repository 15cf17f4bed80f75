#include "archive_ui/core/day_timeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <tuple>

#include "platform/file_times.h"

namespace {

// The day folder a row's path names: the name of its parent folder.
std::optional<DayDate> DayOfRow(const CatalogueRow& row) {
    const size_t name_start = row.full_path.size() - row.name.size();
    if (row.name.empty() || name_start < 2 || row.full_path.compare(name_start, std::string::npos, row.name) != 0) {
        return std::nullopt;
    }
    const std::string folder = row.full_path.substr(0, name_start - 1);
    return ParseDayFolderName(folder.substr(folder.rfind('/') + 1));
}

// Seconds since 1970 of the day's local midnight.
std::optional<int64_t> LocalMidnight(const DayDate& day) {
    std::tm fields{};
    fields.tm_year = day.year - 1900;
    fields.tm_mon = day.month - 1;
    fields.tm_mday = day.day;
    fields.tm_isdst = -1;
    const std::time_t midnight = std::mktime(&fields);
    if (midnight == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<int64_t>(midnight);
}

double ClampToDay(double second) { return std::clamp(second, 0.0, TimelineScale::kDaySeconds); }

}  // namespace

bool IsArchivePinned(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0;
}

std::vector<TimelineDay> BuildTimelineDays(const std::vector<CatalogueRow>& rows) {
    const auto key = [](const DayDate& day) { return std::make_tuple(day.year, day.month, day.day); };
    std::map<std::tuple<int, int, int>, TimelineDay> days;
    for (const CatalogueRow& row : rows) {
        const std::optional<DayDate> day = DayOfRow(row);
        if (!day) continue;
        TimelineDay& strip = days[key(*day)];
        strip.day = *day;
        const std::optional<FileTimes> times = ReadFileTimes(row.full_path);
        const std::optional<int64_t> midnight = LocalMidnight(*day);
        if (!times || times->is_directory || !midnight) continue;
        TimelineBlock block;
        block.full_path = row.full_path;
        block.name = row.name;
        block.start_s = times->creation.seconds;
        // A copied file may have been written before it was created here.
        block.end_s = std::max(times->creation.seconds, times->last_write.seconds);
        block.start_of_day_s = ClampToDay(static_cast<double>(block.start_s - *midnight));
        block.end_of_day_s = ClampToDay(static_cast<double>(block.end_s - *midnight));
        block.is_pinned = IsArchivePinned(row.full_path);
        strip.blocks.push_back(std::move(block));
    }
    std::vector<TimelineDay> ordered;
    for (auto& [unused, strip] : days) {
        std::stable_sort(strip.blocks.begin(), strip.blocks.end(),
                         [](const TimelineBlock& a, const TimelineBlock& b) { return a.start_s < b.start_s; });
        ordered.push_back(std::move(strip));
    }
    return ordered;
}

void TimelineScale::SetWidth(double width_px) { width_px_ = std::max(1.0, width_px); }

double TimelineScale::XOf(double second_of_day) const { return (second_of_day - first_s_) * width_px_ / span_s_; }

double TimelineScale::SecondAt(double x) const { return first_s_ + x * span_s_ / width_px_; }

void TimelineScale::ZoomAround(double x, double factor) {
    if (!(factor > 0)) return;
    const double anchor_s = SecondAt(x);
    span_s_ = std::clamp(span_s_ / factor, kMinSpanSeconds, kDaySeconds);
    first_s_ = anchor_s - x * span_s_ / width_px_;
    Clamp();
}

void TimelineScale::Pan(double dx_px) {
    first_s_ -= dx_px * span_s_ / width_px_;
    Clamp();
}

void TimelineScale::Clamp() { first_s_ = std::clamp(first_s_, 0.0, kDaySeconds - span_s_); }

std::optional<size_t> BlockAt(const TimelineDay& day, const TimelineScale& scale, double x, double min_block_px) {
    std::optional<size_t> found;
    for (size_t i = 0; i < day.blocks.size(); ++i) {
        const double left = scale.XOf(day.blocks[i].start_of_day_s);
        const double right = std::max(scale.XOf(day.blocks[i].end_of_day_s), left + min_block_px);
        if (x >= left && x < right) found = i;
    }
    return found;
}
