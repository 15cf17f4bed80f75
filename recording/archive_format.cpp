#include "recording/archive_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cmath>

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
    const auto local = LocalCalendar(clock_->wall_seconds());
    const int32_t second = local ? local->second : -1;
    if (!is_continuing || second != last_second_) {
        last_second_ = second;
        second_change_tick_ = clock_->tick_ms();
    }
    return local ? CalendarToOleDate(*local) : 0.0;
}

double RecordStampClock::NextRecordStamp() {
    const auto local = LocalCalendar(clock_->wall_seconds());
    if (!local) return 0.0;
    if (local->second != last_second_) {
        second_change_tick_ = clock_->tick_ms();
        last_second_ = local->second;
    }
    const uint32_t elapsed_ms = clock_->tick_ms() - second_change_tick_;  // correct across the wrap
    const double elapsed_s = elapsed_ms / 1000.0;
    const double fraction = elapsed_s - std::trunc(elapsed_s);
    const double now = CalendarToOleDate(*local);
    const double half_second = 0.5 / kSecondsPerDay;
    const double days = std::trunc(now >= 0 ? now + half_second : now - half_second);
    return (local->minute * 60 + local->hour * 3600 + local->second + fraction) / kSecondsPerDay + days;
}
