#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage_settings.h"

// An archive file is pinned ("Keep") when its owner may not write it; retention never deletes it.
bool IsArchivePinned(const std::string& path);
// Takes the owner's write permission away (pinned) or gives it back. False with error set.
bool SetArchivePinned(const std::string& path, bool is_pinned, std::string* error);

// One archive of a day folder.
struct StoredArchive {
    std::string path;
    uint64_t size_bytes = 0;
    int64_t modified_s = 0;  // last write, seconds since 1970
    bool is_pinned = false;
    // The file itself: hard links of one file share these, and count once.
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t link_count = 1;  // names of the file, here and anywhere else on its file system
};

// Every archive (*.CNA, a regular file) of the day folders (eight digits, YYYYMMDD) of
// storage_folder, oldest day folder first and, within a day, the archive written to longest ago
// first. Anything else is not an archive and is not listed; links are not followed.
std::vector<StoredArchive> ListStoredArchives(const std::string& storage_folder);

// Bytes the user may still write on the file system of folder; nothing when it cannot be read.
std::optional<uint64_t> FreeBytes(const std::string& folder);

struct RetentionRun {
    RetentionLimits limits;
    // Archives being recorded, never deleted. An archive without its trailer that was written to
    // in the last minute counts as being recorded too (by another program, perhaps).
    std::vector<std::string> open_paths;
    bool is_dry_run = false;  // decides and reports, deletes nothing
    std::function<std::optional<uint64_t>(const std::string& folder)> free_bytes = FreeBytes;
    std::function<int64_t()> now_s;  // seconds since 1970; the system clock when empty
};

struct RetentionResult {
    std::vector<std::string> deleted;  // in the order deleted
    // Free space gained, as measured after the deletions (their sizes when it cannot be read).
    uint64_t freed_bytes = 0;
    std::vector<std::string> pinned;  // passed over because pinned while a limit was still passed
    uint64_t total_bytes = 0;         // the archives that are left, each file once however many names it has
    bool is_limit_met = true;         // false: a limit is still passed
    // What an unmet limit means for the user ("cannot keep 1.0 GB free: only 800 MB free; other
    // files fill the disk"); empty when the limits are met.
    std::string problem;
    // The problem without its figures: the same cause measured again reads the same, so that it
    // is said once while it lasts.
    std::string problem_cause;
    std::vector<std::string> errors;  // deletions that failed; free space that could not be read
    // The events database could not forget the deleted archives' events (they are listed until
    // it is rebuilt); empty when it did or there is none.
    std::string events_error;
};

// Deletes the archives written longest ago until both limits hold again (their events go from
// the events database with them, where there is one): the archives' total
// size at most max_total_bytes and at least min_free_bytes free. An archive was written when its
// trailer was stamped, after its last record (its file time when it has no trailer); a time
// after now comes from a clock that was wrong and counts as the oldest. Ties keep the order of
// ListStoredArchives. Pinned and open archives are passed over, and so is the newest finished
// archive, always, whatever its day folder is called. A limit that deleting every other archive
// cannot meet deletes nothing and is reported in problem.
//
// A file with several names (hard links) counts once. Deleting a name frees its bytes only with
// the file's last name, so retention goes on to the next archive after one that frees nothing;
// a name whose file can free nothing the limits need (its other name is kept, or only free
// space is short and it has names outside the day folders) is not deleted. A dry run reckons
// the same way and says what the run will do. The free space is read again after each
// deletion; deleting stops once the bytes the deleted files promised would have met the limit,
// so a file that a reader still holds open does not make it delete on and on. Day folders left
// empty are removed.
RetentionResult ApplyRetention(const std::string& storage_folder, const RetentionRun& run);

// A full disk: deletes the archive written longest ago that retention may delete (never one of
// open_paths, a pinned one, the newest finished one, or one whose file has other names, as
// deleting it would free nothing) and returns its path, its events gone from the events database
// as well; nothing when none may go, with error set when a deletion failed.
std::optional<std::string> DeleteOldestArchive(const std::string& storage_folder,
                                               const std::vector<std::string>& open_paths, std::string* error);
