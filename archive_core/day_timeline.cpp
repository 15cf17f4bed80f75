#include "archive_core/day_timeline.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "archive/archive_format.h"
#include "platform/file_times.h"
#include "platform/ole_date.h"
#include "platform/posix_file.h"
#include "storage/retention.h"

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

// A time stamp that is a date, not damage or an unset 0.
std::optional<double> AsDate(double ole_day) {
    if (ole_day == 0.0 || !OleDateToCalendar(ole_day)) return std::nullopt;
    return ole_day;
}

// The time of the record at offset 8, when one begins there.
std::optional<double> FirstRecordTime(int fd) {
    namespace fmt = archive_format;
    uint8_t head[fmt::kHeaderSize + fmt::kTagOffsetInRecord + sizeof fmt::kJfifTag] = {};
    if (ReadAt(fd, 0, head, sizeof head) != sizeof head || fmt::ReadI32(head) <= 0) return std::nullopt;
    if (std::memcmp(head + fmt::kHeaderSize + fmt::kTagOffsetInRecord, fmt::kJfifTag, sizeof fmt::kJfifTag) != 0) {
        return std::nullopt;
    }
    return AsDate(fmt::ReadDouble(head + fmt::kHeaderSize));
}

double ClampToDay(double second) { return std::clamp(second, 0.0, TimelineScale::kDaySeconds); }

}  // namespace

std::optional<ArchiveTimes> ReadArchiveTimes(const std::string& path) {
    const std::optional<FileTimes> file_times = ReadFileTimes(path);
    if (!file_times || file_times->is_directory) return std::nullopt;
    std::optional<double> first;
    std::optional<double> last;
    // Not blocking: a FIFO listed in a day folder must not hang the dialog.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (fd.IsOpen() && ::fstat(fd.Get(), &status) == 0 && S_ISREG(status.st_mode)) {
        first = FirstRecordTime(fd.Get());
        if (const auto trailer = archive_format::ReadTrailer(fd.Get(), status.st_size))
            last = AsDate(trailer->finished_time);
    }
    if (!first) first = AsDate(LocalOleDateTime(file_times->creation.seconds).days);
    if (!last) last = AsDate(LocalOleDateTime(file_times->last_write.seconds).days);
    if (!first) return std::nullopt;
    // A copied file may have been written before it was created here.
    return ArchiveTimes{*first, std::max(*first, last.value_or(*first))};
}

std::vector<TimelineDay> BuildTimelineDays(const std::vector<CatalogueRow>& rows) {
    const auto key = [](const DayDate& day) { return std::make_tuple(day.year, day.month, day.day); };
    std::map<std::tuple<int, int, int>, TimelineDay> days;
    for (const CatalogueRow& row : rows) {
        const std::optional<DayDate> day = DayOfRow(row);
        if (!day) continue;
        TimelineDay& strip = days[key(*day)];
        strip.day = *day;
        const std::optional<ArchiveTimes> times = ReadArchiveTimes(row.full_path);
        if (!times) continue;
        const double midnight = CalendarToOleDate(CalendarTime{day->year, day->month, day->day, 0, 0, 0});
        TimelineBlock block;
        block.full_path = row.full_path;
        block.name = row.name;
        block.times = *times;
        block.start_of_day_s = ClampToDay((times->first_day - midnight) * TimelineScale::kDaySeconds);
        block.end_of_day_s = ClampToDay((times->last_day - midnight) * TimelineScale::kDaySeconds);
        block.is_pinned = IsArchivePinned(row.full_path);
        strip.blocks.push_back(std::move(block));
    }
    std::vector<TimelineDay> ordered;
    for (auto& [unused, strip] : days) {
        std::stable_sort(strip.blocks.begin(), strip.blocks.end(), [](const TimelineBlock& a, const TimelineBlock& b) {
            return a.times.first_day < b.times.first_day;
        });
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
