#include "platform/file_times.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

FileTimeStamp ToStamp(const struct statx_timestamp& stamp) {
    return FileTimeStamp{static_cast<int64_t>(stamp.tv_sec), stamp.tv_nsec};
}

}  // namespace

std::optional<FileTimes> ReadFileTimes(const std::string& path) {
    struct statx attributes {};
    // statx reads the inode only; AT_STATX_SYNC_AS_STAT keeps network file systems cheap.
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_MTIME | STATX_CTIME | STATX_BTIME,
                &attributes) != 0) {
        return std::nullopt;
    }
    if ((attributes.stx_mask & STATX_MTIME) == 0) return std::nullopt;
    FileTimes times;
    times.last_write = ToStamp(attributes.stx_mtime);
    if ((attributes.stx_mask & STATX_BTIME) != 0) {
        times.creation = ToStamp(attributes.stx_btime);
        times.is_birth_time = true;
    } else if ((attributes.stx_mask & STATX_CTIME) != 0) {
        times.creation = ToStamp(attributes.stx_ctime);
    } else {
        return std::nullopt;
    }
    times.is_directory = (attributes.stx_mask & STATX_TYPE) != 0 && S_ISDIR(attributes.stx_mode);
    return times;
}
