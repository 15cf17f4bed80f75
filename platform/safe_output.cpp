#include "platform/safe_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>

namespace {

// ".<target name>.<8 hex digits>.part": a finished output never has such a name.
constexpr std::string_view kTemporarySuffix = ".part";
constexpr size_t kTemporaryHexDigits = 8;
// A temporary file younger than this may have been created a moment ago by a writer that has
// not locked it yet.
constexpr time_t kStaleAfterSeconds = 2;

bool IsTemporaryName(std::string_view name) {
    if (name.size() < 1 + 1 + kTemporaryHexDigits + kTemporarySuffix.size() || name.front() != '.' ||
        !name.ends_with(kTemporarySuffix)) {
        return false;
    }
    const std::string_view hex = name.substr(name.size() - kTemporarySuffix.size() - kTemporaryHexDigits,
                                             kTemporaryHexDigits);
    const size_t dot = name.size() - kTemporarySuffix.size() - kTemporaryHexDigits - 1;
    if (name[dot] != '.') return false;
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string TemporaryName(const std::string& target_name) {
    static std::random_device random_device;
    static std::mt19937 random(random_device());
    char hex[kTemporaryHexDigits + 1];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
    return "." + target_name + "." + hex + std::string(kTemporarySuffix);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool IsArchiveName(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() < 4) return false;
    const std::string_view extension = name.substr(name.size() - 4);
    return extension[0] == '.' && (extension[1] | 0x20) == 'c' && (extension[2] | 0x20) == 'n' &&
           (extension[3] | 0x20) == 'a';
}

void RemoveStaleOutputTemporaries(const std::string& folder) {
    DIR* directory = ::opendir(folder.empty() ? "." : folder.c_str());
    if (directory == nullptr) return;
    const time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(directory)) {
        if (!IsTemporaryName(entry->d_name)) continue;
        const std::string path = folder + entry->d_name;
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat status {};
        if (!fd.IsOpen() || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        // A running writer holds its lock; a killed one held it no longer.
        if (now - status.st_mtime < kStaleAfterSeconds || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
        ::unlink(path.c_str());
    }
    ::closedir(directory);
}

bool CSafeOutput::Fail(std::string message) {
    Abandon();
    error_ = std::move(message);
    return false;
}

namespace {

enum class TargetKind { kNewFile, kRegularFile, kFifo, kDevice };

struct OutputTarget {
    TargetKind kind = TargetKind::kNewFile;
    std::string path;  // the file to create or replace, links followed
};

// What path names and whether the rules let it be written; nothing, with error set, when not.
std::optional<OutputTarget> ExamineOutput(const std::string& path, const SafeOutputRules& rules, std::string& error) {
    if (path.empty()) {
        error = "no output file named";
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return OutputTarget{TargetKind::kNewFile, path};
        error = ErrnoMessage("cannot examine " + path);
        return std::nullopt;
    }
    for (const std::string& protected_path : rules.protected_paths) {
        struct stat protected_status {};
        if (::stat(protected_path.c_str(), &protected_status) == 0 && SameFile(status, protected_status)) {
            error = path + " is the archive being read; choose another file";
            return std::nullopt;
        }
    }
    if (S_ISDIR(status.st_mode)) error = path + " is a folder";
    else if (S_ISBLK(status.st_mode)) error = path + " is a disk device; writing into it would destroy what it holds";
    else if (S_ISSOCK(status.st_mode)) error = path + " is a socket; cannot write into it";
    if (!error.empty()) return std::nullopt;
    if (S_ISFIFO(status.st_mode)) return OutputTarget{TargetKind::kFifo, path};
    if (S_ISCHR(status.st_mode)) return OutputTarget{TargetKind::kDevice, path};
    std::error_code canonical_error;
    const std::string resolved = std::filesystem::canonical(path, canonical_error).string();
    if (canonical_error) {
        error = "cannot examine " + path + ": " + canonical_error.message();
        return std::nullopt;
    }
    if (IsArchiveName(path) || IsArchiveName(resolved)) {
        error = path + " is an archive; exports never replace archives";
        return std::nullopt;
    }
    return OutputTarget{TargetKind::kRegularFile, resolved};
}

}  // namespace

bool CheckOutputPath(const std::string& path, const SafeOutputRules& rules, std::string& error) {
    error.clear();
    return ExamineOutput(path, rules, error).has_value();
}

bool CSafeOutput::Open(const std::string& path, const SafeOutputRules& rules) {
    Abandon();
    error_.clear();
    target_ = path;
    std::string error;
    const std::optional<OutputTarget> target = ExamineOutput(path, rules, error);
    if (!target) return Fail(error);
    if (target->kind == TargetKind::kFifo || target->kind == TargetKind::kDevice) {
        return OpenStream(target->path, target->kind == TargetKind::kFifo, rules.needs_seeking);
    }
    return OpenRegular(target->path, rules.use_unnamed_file);
}

bool CSafeOutput::OpenStream(const std::string& path, bool is_fifo, bool needs_seeking) {
    // Not blocking on open: a FIFO without a reader is reported instead of waited for.
    fd_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_.IsOpen()) {
        if (is_fifo && errno == ENXIO) return Fail("no program reads from the pipe " + path);
        return Fail(ErrnoMessage("cannot open " + path));
    }
    const int flags = ::fcntl(fd_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Fail(ErrnoMessage("cannot set up " + path));
    }
    if (needs_seeking && ::lseek(fd_.Get(), 0, SEEK_CUR) < 0) {
        return Fail("cannot write into " + path + ": this file is completed at the end, so it must go to a regular file");
    }
    is_stream_ = true;
    resolved_ = path;
    return true;
}

bool CSafeOutput::OpenRegular(const std::string& path, bool use_unnamed_file) {
    resolved_ = path;
    const size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    RemoveStaleOutputTemporaries(folder_);
    if (use_unnamed_file) {
        fd_ = UniqueFd(::open(folder_.empty() ? "." : folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (fd_.IsOpen()) {
            is_unnamed_ = true;
            // Locked while it lives, in case it gets a visible name on the way to its own.
            ::flock(fd_.Get(), LOCK_EX);
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return Fail(ErrnoMessage("cannot create a file in " + (folder_.empty() ? std::string(".") : folder_)));
        }
    }
    return CreateVisibleTemporary();
}

bool CSafeOutput::CreateVisibleTemporary() {
    const std::string name = resolved_.substr(folder_.size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = folder_ + TemporaryName(name);
        UniqueFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.IsOpen()) {
            ::flock(fd.Get(), LOCK_EX);
            fd_ = std::move(fd);
            temporary_ = candidate;
            return true;
        }
        if (errno != EEXIST) {
            return Fail(ErrnoMessage("cannot create a file in " + (folder_.empty() ? std::string(".") : folder_)));
        }
    }
    return Fail("cannot find a free temporary name beside " + resolved_);
}

bool CSafeOutput::Write(const void* data, size_t size) {
    if (!fd_.IsOpen()) return Fail(error_.empty() ? "no output is open" : error_);
    if (!WriteAll(fd_.Get(), data, size)) return Fail(ErrnoMessage("cannot write " + target_));
    return true;
}

bool CSafeOutput::LinkUnnamed(const std::string& link_path) {
    if (::linkat(fd_.Get(), "", AT_FDCWD, link_path.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    // Linking by descriptor needs a privilege; the descriptor's entry under /proc does not.
    const std::string by_proc = "/proc/self/fd/" + std::to_string(fd_.Get());
    return ::linkat(AT_FDCWD, by_proc.c_str(), AT_FDCWD, link_path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool CSafeOutput::Commit() {
    if (!fd_.IsOpen()) return Fail(error_.empty() ? "no output is open" : error_);
    if (is_stream_) {
        if (!fd_.Close()) return Fail(ErrnoMessage("cannot finish writing " + target_));
        return true;
    }
    if (::fsync(fd_.Get()) != 0) return Fail(ErrnoMessage("cannot write " + target_));
    if (is_unnamed_) {
        if (LinkUnnamed(resolved_)) {
            is_unnamed_ = false;  // named now: nothing left to drop
            fd_.Close();
            SyncFolder(folder_);
            return true;
        }
        if (errno != EEXIST) return Fail(ErrnoMessage("cannot create " + target_));
        // The target exists: a visible name first, then the atomic rename over it.
        bool is_linked = false;
        const std::string name = resolved_.substr(folder_.size());
        for (int attempt = 0; attempt < 100 && !is_linked; ++attempt) {
            temporary_ = folder_ + TemporaryName(name);
            is_linked = LinkUnnamed(temporary_);
            if (!is_linked && errno != EEXIST) {
                temporary_.clear();
                return Fail(ErrnoMessage("cannot create " + target_));
            }
        }
        if (!is_linked) {
            temporary_.clear();
            return Fail("cannot find a free temporary name beside " + resolved_);
        }
        is_unnamed_ = false;
    }
    if (::rename(temporary_.c_str(), resolved_.c_str()) != 0) return Fail(ErrnoMessage("cannot replace " + target_));
    temporary_.clear();
    if (!fd_.Close()) return Fail(ErrnoMessage("cannot finish writing " + target_));
    SyncFolder(folder_);
    return true;
}

void CSafeOutput::Abandon() {
    fd_.Reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    is_stream_ = false;
    is_unnamed_ = false;
}

bool WriteOutputFile(const std::string& path, const void* data, size_t size, const SafeOutputRules& rules,
                     std::string& error) {
    CSafeOutput output;
    if (!output.Open(path, rules) || !output.Write(data, size) || !output.Commit()) {
        error = output.Error();
        return false;
    }
    error.clear();
    return true;
}
