#include "storage/retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "platform/posix_file.h"
#include "platform/safe_output.h"
#include "recording/archive_format.h"

namespace {

// An archive without its trailer written to this recently may be one another program records.
constexpr int64_t kRecordingQuietSeconds = 60;

// Names in folder; none when it cannot be listed.
std::vector<std::string> Names(const std::string& folder) { return ListFolder(folder).value_or(std::vector<std::string>()); }

bool IsDayFolderName(const std::string& name) {
    return name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

using FileId = std::pair<dev_t, ino_t>;

std::optional<FileId> IdOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileId{status.st_dev, status.st_ino};
}

}  // namespace

bool IsArchivePinned(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0;
}

bool SetArchivePinned(const std::string& path, bool is_pinned, std::string* error) {
    // Through a descriptor opened without following a link: the archive itself changes, nothing it points to.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &status) != 0) {
        if (error) *error = ErrnoMessage("cannot change " + path);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        if (error) *error = path + " is not an archive file";
        return false;
    }
    const mode_t mode = is_pinned ? (status.st_mode & ~S_IWUSR) : (status.st_mode | S_IWUSR);
    if (::fchmod(fd.Get(), mode & 07777) != 0) {
        if (error) *error = ErrnoMessage("cannot change " + path);
        return false;
    }
    return true;
}

std::vector<StoredArchive> ListStoredArchives(const std::string& storage_folder) {
    const std::string folder = storage_folder.empty() || storage_folder.back() == '/' ? storage_folder : storage_folder + "/";
    std::vector<std::string> days = Names(folder);
    std::sort(days.begin(), days.end());
    std::vector<StoredArchive> archives;
    for (const std::string& day : days) {
        const std::string day_folder = folder + day + "/";
        struct stat day_status {};
        if (!IsDayFolderName(day) || ::lstat((folder + day).c_str(), &day_status) != 0 || !S_ISDIR(day_status.st_mode)) {
            continue;
        }
        std::vector<StoredArchive> of_day;
        for (const std::string& name : Names(day_folder)) {
            const std::string path = day_folder + name;
            struct stat status {};
            if (!IsArchiveName(name) || ::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
            of_day.push_back({path, static_cast<uint64_t>(status.st_size), static_cast<int64_t>(status.st_mtime),
                              (status.st_mode & S_IWUSR) == 0});
        }
        std::sort(of_day.begin(), of_day.end(), [](const StoredArchive& a, const StoredArchive& b) {
            return std::tie(a.modified_s, a.path) < std::tie(b.modified_s, b.path);
        });
        archives.insert(archives.end(), of_day.begin(), of_day.end());
    }
    return archives;
}

std::optional<uint64_t> FreeBytes(const std::string& folder) {
    struct statvfs status {};
    if (::statvfs(folder.c_str(), &status) != 0) return std::nullopt;
    return static_cast<uint64_t>(status.f_bavail) * status.f_frsize;
}

RetentionResult ApplyRetention(const std::string& storage_folder, const RetentionRun& run) {
    RetentionResult result;
    // Not made yet (it is made with the first archive): nothing is stored, nothing to read.
    struct stat folder_status {};
    if (::stat(storage_folder.c_str(), &folder_status) != 0 && errno == ENOENT) return result;
    const std::vector<StoredArchive> archives = ListStoredArchives(storage_folder);
    for (const StoredArchive& archive : archives) result.total_bytes += archive.size_bytes;

    std::optional<uint64_t> free_bytes;
    if (run.limits.min_free_bytes) {
        free_bytes = run.free_bytes ? run.free_bytes(storage_folder) : FreeBytes(storage_folder);
        if (!free_bytes) result.errors.push_back(ErrnoMessage("cannot read the free space of " + storage_folder));
    }
    const auto is_size_over = [&] { return run.limits.max_total_bytes && result.total_bytes > *run.limits.max_total_bytes; };
    const auto is_free_short = [&] { return free_bytes && *free_bytes < *run.limits.min_free_bytes; };
    if (!is_size_over() && !is_free_short()) return result;

    std::set<FileId> open_ids;
    for (const std::string& path : run.open_paths) {
        if (const auto id = IdOf(path)) open_ids.insert(*id);
    }
    const int64_t now_s = run.now_s ? run.now_s() : static_cast<int64_t>(std::time(nullptr));
    const auto is_recording = [&](const StoredArchive& archive) {
        const auto id = IdOf(archive.path);
        if (id && open_ids.count(*id) != 0) return true;
        return now_s - archive.modified_s < kRecordingQuietSeconds && !archive_format::ReadTrailer(archive.path);
    };

    bool has_failed_deletion = false;
    std::set<std::string> emptied_day_folders;
    for (const StoredArchive& archive : archives) {
        if (!is_size_over() && !is_free_short()) break;
        if (is_recording(archive)) continue;
        if (archive.is_pinned) {
            result.pinned.push_back(archive.path);
            continue;
        }
        if (!run.is_dry_run && ::unlink(archive.path.c_str()) != 0) {
            result.errors.push_back(ErrnoMessage("cannot delete " + archive.path));
            has_failed_deletion = true;
            continue;
        }
        result.deleted.push_back(archive.path);
        result.freed_bytes += archive.size_bytes;
        result.total_bytes -= archive.size_bytes;
        if (free_bytes) *free_bytes += archive.size_bytes;
        emptied_day_folders.insert(FolderOf(archive.path));
    }
    // Only folders that are empty now go; anything else in them keeps them.
    if (!run.is_dry_run) {
        for (const std::string& day_folder : emptied_day_folders) ::rmdir(day_folder.c_str());
    }

    result.is_limit_met = !is_size_over() && !is_free_short();
    if (!result.is_limit_met) {
        const std::string which = is_free_short() ? "cannot keep " + FormatByteSize(*run.limits.min_free_bytes) + " free"
                                                  : "cannot keep recordings under " +
                                                        FormatByteSize(*run.limits.max_total_bytes);
        result.problem = which + (has_failed_deletion ? ": " + result.errors.back()
                                                      : std::string(": only pinned or recording archives are left"));
    }
    return result;
}
