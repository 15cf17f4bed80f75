#include "storage/retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "archive/archive_format.h"
#include "platform/ole_date.h"
#include "platform/posix_file.h"
#include "platform/safe_output.h"
#include "storage/events_database.h"
#include "storage/storage_folder.h"

namespace {

// An archive without its trailer written to this recently may be one another program records.
constexpr int64_t kRecordingQuietSeconds = 60;

// Names in folder; none when it cannot be listed.
std::vector<std::string> Names(const std::string& folder) {
    return ListFolder(folder).value_or(std::vector<std::string>());
}

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
    const std::string folder =
        storage_folder.empty() || storage_folder.back() == '/' ? storage_folder : storage_folder + "/";
    std::vector<std::string> days = Names(folder);
    std::sort(days.begin(), days.end());
    std::vector<StoredArchive> archives;
    for (const std::string& day : days) {
        const std::string day_folder = folder + day + "/";
        struct stat day_status {};
        if (!IsDayFolderName(day) || ::lstat((folder + day).c_str(), &day_status) != 0 ||
            !S_ISDIR(day_status.st_mode)) {
            continue;
        }
        std::vector<StoredArchive> of_day;
        for (const std::string& name : Names(day_folder)) {
            const std::string path = day_folder + name;
            struct stat status {};
            if (!IsArchiveName(name) || ::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
            of_day.push_back({path, static_cast<uint64_t>(status.st_size), static_cast<int64_t>(status.st_mtime),
                              (status.st_mode & S_IWUSR) == 0, static_cast<uint64_t>(status.st_dev),
                              static_cast<uint64_t>(status.st_ino), static_cast<uint64_t>(status.st_nlink)});
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

namespace {

// A file, whatever names it has.
using FileKey = std::pair<uint64_t, uint64_t>;
FileKey KeyOf(const StoredArchive& archive) { return {archive.device, archive.inode}; }

// When the archive was last written, in seconds since 1970: its trailer's stamp, which follows
// its last record, or its file time when it has no trailer. Never its day folder's name.
int64_t WrittenAt(const StoredArchive& archive) {
    const auto trailer = archive_format::ReadTrailer(archive.path);
    const auto calendar = trailer ? OleDateToCalendar(trailer->finished_time) : std::nullopt;
    if (!calendar) return archive.modified_s;
    std::tm local{};
    local.tm_year = calendar->year - 1900;
    local.tm_mon = calendar->month - 1;
    local.tm_mday = calendar->day;
    local.tm_hour = calendar->hour;
    local.tm_min = calendar->minute;
    local.tm_sec = calendar->second;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    return seconds == static_cast<std::time_t>(-1) ? archive.modified_s : static_cast<int64_t>(seconds);
}

// The archives retention may delete: none being recorded, none pinned, and never the newest
// finished one, which may be the recording just made. Written longest ago first.
struct Candidates {
    std::vector<StoredArchive> archives;  // the pinned ones too, passed over when deleting
    // Every file of the day folders: its size, and its names there that retention may delete.
    struct File {
        uint64_t size_bytes = 0;
        uint64_t link_count = 1;
        size_t names_listed = 0;
        size_t names_deletable = 0;
        bool is_pinned = false;
        // Every name listed may go: deleting them all takes the file out of the recordings.
        bool IsDeletable() const { return !is_pinned && names_deletable == names_listed; }
        // And it has no name elsewhere: deleting them all frees its bytes.
        bool IsFreeable() const { return IsDeletable() && link_count <= names_listed; }
    };
    std::map<FileKey, File> files;
    uint64_t deletable_bytes = 0;  // of the files IsDeletable
    uint64_t freeable_bytes = 0;   // of the files IsFreeable
};

// Slack for a stamp a little ahead of the clock (a zone or daylight-saving change since).
constexpr int64_t kFutureSlackSeconds = 86400;

Candidates FindCandidates(const std::vector<StoredArchive>& archives, const std::vector<std::string>& open_paths,
                          const std::function<int64_t()>& now) {
    std::set<FileId> open_ids;
    for (const std::string& path : open_paths) {
        if (const auto id = IdOf(path)) open_ids.insert(*id);
    }
    const int64_t now_s = now ? now() : static_cast<int64_t>(std::time(nullptr));
    const auto is_recording = [&](const StoredArchive& archive) {
        if (open_ids.count(FileId{static_cast<dev_t>(archive.device), static_cast<ino_t>(archive.inode)}) != 0)
            return true;
        return now_s - archive.modified_s < kRecordingQuietSeconds && !archive_format::ReadTrailer(archive.path);
    };
    // A stamp after now is from a clock that was wrong: when it was written is not known, and it
    // ranks before every stamp that can be true.
    std::vector<int64_t> written_s(archives.size());
    for (size_t i = 0; i < archives.size(); ++i) {
        const int64_t at = WrittenAt(archives[i]);
        written_s[i] = at > now_s + kFutureSlackSeconds ? std::numeric_limits<int64_t>::min() : at;
    }
    std::vector<bool> is_kept(archives.size(), false);
    std::optional<size_t> newest;
    for (size_t i = 0; i < archives.size(); ++i) {
        if (is_recording(archives[i])) {
            is_kept[i] = true;
        } else if (!newest || written_s[i] >= written_s[*newest]) {
            newest = i;  // on a tie, the later in the listing
        }
    }
    if (newest) is_kept[*newest] = true;

    Candidates candidates;
    for (size_t i = 0; i < archives.size(); ++i) {
        Candidates::File& file = candidates.files[KeyOf(archives[i])];
        file.size_bytes = archives[i].size_bytes;
        file.link_count = archives[i].link_count;
        file.is_pinned = archives[i].is_pinned;
        ++file.names_listed;
        if (!is_kept[i]) ++file.names_deletable;
    }
    std::vector<size_t> order;
    for (size_t i = 0; i < archives.size(); ++i) {
        if (!is_kept[i]) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return written_s[a] < written_s[b]; });
    for (const size_t i : order) candidates.archives.push_back(archives[i]);
    for (const auto& [key, file] : candidates.files) {
        if (file.IsDeletable()) candidates.deletable_bytes += file.size_bytes;
        if (file.IsFreeable()) candidates.freeable_bytes += file.size_bytes;
    }
    return candidates;
}

}  // namespace

namespace {

// The events of deleted archives go from the events database, where there is one: retention
// never makes a database only to change it.
bool ForgetEvents(const std::string& storage_folder, const std::vector<std::string>& deleted, std::string* error) {
    if (deleted.empty()) return true;
    struct stat info {};
    if (::lstat((WithTrailingSlash(storage_folder) + CEventsDatabase::kFileName).c_str(), &info) != 0) return true;
    CEventsDatabase database;
    std::string failure;
    bool is_done = database.Open(storage_folder, failure);
    for (const std::string& path : deleted) {
        if (!is_done) break;
        const std::string archive = ArchiveWithinStorage(storage_folder, path);
        if (!archive.empty()) is_done = database.RemoveArchive(archive, failure);
    }
    if (!is_done && error != nullptr) *error = "the events of deleted archives stay listed: " + failure;
    return is_done;
}

}  // namespace

RetentionResult ApplyRetention(const std::string& storage_folder, const RetentionRun& run) {
    RetentionResult result;
    // Not made yet (it is made with the first archive): nothing is stored, nothing to read.
    struct stat folder_status {};
    if (::stat(storage_folder.c_str(), &folder_status) != 0 && errno == ENOENT) return result;
    const std::vector<StoredArchive> archives = ListStoredArchives(storage_folder);
    std::set<FileKey> counted;
    for (const StoredArchive& archive : archives) {
        if (counted.insert(KeyOf(archive)).second) result.total_bytes += archive.size_bytes;
    }
    const uint64_t all_archive_bytes = result.total_bytes;

    const auto read_free = [&]() -> std::optional<uint64_t> {
        return run.free_bytes ? run.free_bytes(storage_folder) : FreeBytes(storage_folder);
    };
    std::optional<uint64_t> free_bytes;
    if (run.limits.min_free_bytes) {
        free_bytes = read_free();
        if (!free_bytes) result.errors.push_back(ErrnoMessage("cannot read the free space of " + storage_folder));
    }
    const std::optional<uint64_t> free_before = free_bytes;
    const auto is_size_over = [&] {
        return run.limits.max_total_bytes && result.total_bytes > *run.limits.max_total_bytes;
    };
    const auto is_free_short = [&] { return free_bytes && *free_bytes < *run.limits.min_free_bytes; };
    if (!is_size_over() && !is_free_short()) return result;

    Candidates candidates = FindCandidates(archives, run.open_paths, run.now_s);
    // A limit that deleting every candidate cannot meet deletes nothing: that would only lose
    // recordings and still leave the limit passed.
    const uint64_t kept_bytes = result.total_bytes - candidates.deletable_bytes;
    const bool is_size_reachable = !is_size_over() || kept_bytes <= *run.limits.max_total_bytes;
    const bool is_free_reachable =
        !is_free_short() || *free_bytes + candidates.freeable_bytes >= *run.limits.min_free_bytes;
    // Free space as the files deleted promise it: a deleted file that is still held open frees
    // nothing, and must not make retention delete on and on.
    std::optional<uint64_t> promised_free = free_bytes;
    const auto is_deleting_for_size = [&] { return is_size_reachable && is_size_over(); };
    const auto is_deleting_for_free = [&] {
        return is_free_reachable && is_free_short() && *promised_free < *run.limits.min_free_bytes;
    };

    bool has_failed_deletion = false;
    std::set<std::string> emptied_day_folders;
    for (const StoredArchive& archive : candidates.archives) {
        const bool is_for_size = is_deleting_for_size();
        const bool is_for_free = is_deleting_for_free();
        if (!is_for_size && !is_for_free) break;
        if (archive.is_pinned) {
            result.pinned.push_back(archive.path);
            continue;
        }
        Candidates::File& file = candidates.files.at(KeyOf(archive));
        // A name whose file stays all the same helps no limit: it is left as it is.
        if (!file.IsDeletable() || (!is_for_size && !file.IsFreeable())) continue;
        if (!run.is_dry_run && ::unlink(archive.path.c_str()) != 0) {
            result.errors.push_back(ErrnoMessage("cannot delete " + archive.path));
            has_failed_deletion = true;
            continue;
        }
        result.deleted.push_back(archive.path);
        emptied_day_folders.insert(FolderOf(archive.path));
        --file.names_listed;
        --file.names_deletable;
        --file.link_count;
        // Only the file's last name takes it out of the recordings, and off the disk.
        if (file.names_listed == 0) result.total_bytes -= file.size_bytes;
        if (file.link_count != 0) continue;  // freed nothing: on to the next
        if (promised_free) *promised_free += file.size_bytes;
        if (run.is_dry_run) {
            if (free_bytes) *free_bytes += file.size_bytes;
        } else if (free_bytes) {
            // What the file system says now, not what the file's size promised.
            if (const auto measured = read_free()) free_bytes = measured;
        }
    }
    if (free_before && free_bytes) {
        result.freed_bytes = *free_bytes > *free_before ? *free_bytes - *free_before : 0;
    } else {
        result.freed_bytes = all_archive_bytes - result.total_bytes;  // the sizes deleted
    }
    // Only folders that are empty now go; anything else in them keeps them.
    if (!run.is_dry_run) {
        for (const std::string& day_folder : emptied_day_folders) ::rmdir(day_folder.c_str());
        ForgetEvents(storage_folder, result.deleted, &result.events_error);
    }

    result.is_limit_met = !is_size_over() && !is_free_short();
    if (!result.is_limit_met) {
        // Every pinned archive stands in the way of the unmet limit.
        result.pinned.clear();
        for (const StoredArchive& archive : candidates.archives) {
            if (archive.is_pinned) result.pinned.push_back(archive.path);
        }
        std::vector<std::string> problems;
        if (is_free_short()) {
            std::string why;
            if (has_failed_deletion) {
                why = result.errors.back();
            } else if (!is_free_reachable) {
                why = *run.limits.min_free_bytes - *free_before > all_archive_bytes
                          ? "other files fill the disk"
                          : "the archives that could go are pinned, being recorded, the newest or linked elsewhere";
            } else {
                why = "a deleted archive is still open or linked elsewhere";
            }
            problems.push_back("cannot keep " + FormatByteSize(*run.limits.min_free_bytes) + " free: only " +
                               FormatByteSize(*free_bytes) + " free; " + why);
            result.problem_cause += "free: " + why + "; ";
        }
        if (is_size_over()) {
            problems.push_back("cannot keep recordings under " + FormatByteSize(*run.limits.max_total_bytes) + ": " +
                               (has_failed_deletion ? result.errors.back()
                                                    : "the newest, pinned and recording archives alone take " +
                                                          FormatByteSize(kept_bytes)));
            result.problem_cause +=
                "size: " + (has_failed_deletion ? result.errors.back() : std::string("kept")) + "; ";
        }
        for (const std::string& problem : problems) result.problem += (result.problem.empty() ? "" : "; ") + problem;
    }
    return result;
}

std::optional<std::string> DeleteOldestArchive(const std::string& storage_folder,
                                               const std::vector<std::string>& open_paths, std::string* error) {
    const Candidates candidates = FindCandidates(ListStoredArchives(storage_folder), open_paths, nullptr);
    for (const StoredArchive& archive : candidates.archives) {
        // A file with another name would free nothing: the disk stays full.
        if (archive.is_pinned || archive.link_count > 1) continue;
        if (::unlink(archive.path.c_str()) == 0) {
            ::rmdir(FolderOf(archive.path).c_str());  // only when it is empty now
            std::string events_error;
            if (!ForgetEvents(storage_folder, {archive.path}, &events_error))
                std::fprintf(stderr, "cindral: %s\n", events_error.c_str());
            return archive.path;
        }
        if (error) *error = ErrnoMessage("cannot delete " + archive.path);
    }
    return std::nullopt;
}
