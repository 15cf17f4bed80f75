#include "archive/archive_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/ole_date.h"
#include "platform/posix_file.h"
#include "platform/tick_clock.h"

namespace archive_format {

std::optional<Trailer> ReadTrailer(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return ReadTrailer(fd.Get(), status.st_size);
}

std::optional<Trailer> ReadTrailer(int fd, int64_t file_length) {
    if (file_length < kHeaderSize + kTrailerSize) return std::nullopt;
    uint8_t bytes[kTrailerSize];
    if (ReadAt(fd, file_length - kTrailerSize, bytes, sizeof bytes) != sizeof bytes) return std::nullopt;
    if (ReadU32(bytes + 8) != kEndMarker) return std::nullopt;
    return Trailer{ReadDouble(bytes), ReadI32(bytes + 12)};
}

std::string TimeText(double ole_date, char separator, bool with_milliseconds) {
    if (!std::isfinite(ole_date) || ole_date < -657434.0 || ole_date > 2958466.0) return {};
    // Whole days and time of day are taken apart first, so that the milliseconds round once, with
    // the seconds, instead of apart from seconds already rounded.
    double whole_days = std::trunc(ole_date);
    int64_t milliseconds = std::llround(std::fabs(ole_date - whole_days) * 86400000.0);
    if (!with_milliseconds) milliseconds = (milliseconds + 500) / 1000 * 1000;
    if (milliseconds >= 86400000) {
        milliseconds -= 86400000;
        whole_days += ole_date >= 0 ? 1 : -1;
    }
    const auto day = OleDateToCalendar(whole_days);
    if (!day) return {};
    char text[48];
    const int seconds = static_cast<int>(milliseconds / 1000);
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", day->year, day->month, day->day, separator,
                  seconds / 3600, seconds / 60 % 60, seconds % 60);
    std::string result = text;
    if (with_milliseconds) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(milliseconds % 1000));
        result += text;
    }
    return result;
}

}  // namespace archive_format

ArchiveClock ArchiveClock::System() {
    return ArchiveClock{&TickCountMs, [] { return std::time(nullptr); }};
}

namespace {

constexpr double kSecondsPerDay = 86400.0;

}  // namespace

double RecordStampClock::NowWholeSeconds() const {
    const auto local = LocalCalendar(clock_->wall_seconds());
    return local ? CalendarToOleDate(*local) : 0.0;
}

double RecordStampClock::StartFile(bool is_continuing) {
    const std::time_t wall_s = clock_->wall_seconds();
    const auto local = LocalCalendar(wall_s);
    if (!is_continuing || wall_s != last_wall_s_) {
        last_wall_s_ = wall_s;
        second_change_tick_ = clock_->tick_ms();
    }
    return local ? CalendarToOleDate(*local) : 0.0;
}

double RecordStampClock::NextRecordStamp() {
    const std::time_t wall_s = clock_->wall_seconds();
    const auto local = LocalCalendar(wall_s);
    if (!local) return 0.0;
    // The whole second, not the second of the minute: frames a minute apart start a second too.
    if (wall_s != last_wall_s_) {
        second_change_tick_ = clock_->tick_ms();
        last_wall_s_ = wall_s;
    }
    // The wall clock's second is seen a few milliseconds late or early against the tick, so a
    // second can last a little over 1000 ticks; the fraction then stays just below one instead of
    // starting again at 0, which would put the record before the one written just before it.
    const uint32_t elapsed_ms = std::min<uint32_t>(clock_->tick_ms() - second_change_tick_, 999);  // unsigned: wraps
    const double fraction = elapsed_ms / 1000.0;
    const double now = CalendarToOleDate(*local);
    const double half_second = 0.5 / kSecondsPerDay;
    const double days = std::trunc(now >= 0 ? now + half_second : now - half_second);
    return (local->minute * 60 + local->hour * 3600 + local->second + fraction) / kSecondsPerDay + days;
}
