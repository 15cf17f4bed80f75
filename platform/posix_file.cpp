#include "platform/posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string_view>

namespace {

// ".<target name>.<8 hex digits>.part": a finished file never has such a name.
constexpr std::string_view kTemporarySuffix = ".part";
constexpr size_t kTemporaryHexDigits = 8;
// A temporary file younger than this may have been created a moment ago by a writer that has
// not locked it yet.
constexpr time_t kStaleAfterSeconds = 2;
// Writes at the descriptor's own position instead of at an offset.
constexpr int64_t kAtPosition = -1;

// The one write loop: pieces written back to back at offset (or at the descriptor's position),
// going on after interrupted and partial writes; a piece written in part is shortened in place.
bool WritePieces(int fd, int64_t offset, iovec* pieces, size_t count) {
    size_t piece = 0;
    while (piece < count) {
        if (pieces[piece].iov_len == 0) {
            ++piece;
            continue;
        }
        const int batch = static_cast<int>(std::min<size_t>(count - piece, IOV_MAX));
        const ssize_t written = offset == kAtPosition
                                    ? ::writev(fd, pieces + piece, batch)
                                    : ::pwritev(fd, pieces + piece, batch, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        if (offset != kAtPosition) offset += written;
        auto left = static_cast<size_t>(written);
        while (piece < count && left >= pieces[piece].iov_len) {
            left -= pieces[piece].iov_len;
            pieces[piece].iov_len = 0;
            ++piece;
        }
        if (piece < count) {
            pieces[piece].iov_base = static_cast<uint8_t*>(pieces[piece].iov_base) + left;
            pieces[piece].iov_len -= left;
        }
    }
    return true;
}

bool IsTemporaryName(std::string_view name) {
    if (name.size() < 1 + 1 + kTemporaryHexDigits + kTemporarySuffix.size() || name.front() != '.' ||
        !name.ends_with(kTemporarySuffix)) {
        return false;
    }
    const std::string_view hex =
        name.substr(name.size() - kTemporarySuffix.size() - kTemporaryHexDigits, kTemporaryHexDigits);
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

std::string FolderOrDot(const std::string& folder) { return folder.empty() ? std::string(".") : folder; }

// Owns an open directory stream.
struct DirCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool UniqueFd::Close() {
    if (fd_ < 0) return true;
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
}

std::optional<std::vector<std::string>> ListFolder(const std::string& folder) {
    UniqueDir directory(::opendir(folder.c_str()));
    if (!directory) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    return names;
}

size_t ReadAt(int fd, int64_t offset, void* buffer, size_t size) {
    if (offset < 0) return 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

bool WriteAllAt(int fd, int64_t offset, const void* first, size_t first_size, const void* second, size_t second_size) {
    if (offset < 0) {
        errno = EINVAL;
        return false;
    }
    iovec pieces[2] = {{const_cast<void*>(first), first_size}, {const_cast<void*>(second), second_size}};
    return WritePieces(fd, offset, pieces, 2);
}

bool WriteAllAt(int fd, int64_t offset, const void* buffer, size_t size) {
    return WriteAllAt(fd, offset, buffer, size, nullptr, 0);
}

bool WriteAll(int fd, const void* buffer, size_t size) {
    iovec piece{const_cast<void*>(buffer), size};
    return WritePieces(fd, kAtPosition, &piece, 1);
}

bool WriteAllPieces(int fd, iovec* pieces, size_t count) { return WritePieces(fd, kAtPosition, pieces, count); }

bool SyncFolder(const std::string& folder) {
    UniqueFd directory(::open(FolderOrDot(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.IsOpen() && ::fsync(directory.Get()) == 0;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

FileSync FileSync::System() {
    return FileSync{[](int fd) { return ::fdatasync(fd) == 0; },
                    [](const std::string& folder) { return SyncFolder(folder); }};
}

// ---------------------------------------------------------------------------------------------

bool CReplacingFile::Create(const std::string& path, bool use_unnamed_file, std::string* error) {
    Abandon();
    path_ = path;
    folder_ = FolderOf(path);
    RemoveStaleTemporaries(folder_);
    if (use_unnamed_file) {
        fd_ = UniqueFd(::open(FolderOrDot(folder_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (fd_.IsOpen()) {
            is_unnamed_ = true;
            // Locked while it lives, in case it gets a visible name on the way to its own.
            ::flock(fd_.Get(), LOCK_EX);
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            if (error) *error = ErrnoMessage("cannot create a file in " + FolderOrDot(folder_));
            return false;
        }
    }
    return CreateVisibleTemporary(error);
}

bool CReplacingFile::CreateVisibleTemporary(std::string* error) {
    const std::string name = path_.substr(folder_.size());
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
            if (error) *error = ErrnoMessage("cannot create a file in " + FolderOrDot(folder_));
            return false;
        }
    }
    if (error) *error = "cannot find a free temporary name beside " + path_;
    return false;
}

bool CReplacingFile::LinkUnnamed(const std::string& link_path) {
    if (::linkat(fd_.Get(), "", AT_FDCWD, link_path.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    // Linking by descriptor needs a privilege; the descriptor's entry under /proc does not.
    const std::string by_proc = "/proc/self/fd/" + std::to_string(fd_.Get());
    return ::linkat(AT_FDCWD, by_proc.c_str(), AT_FDCWD, link_path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool CReplacingFile::Commit(std::string* error) {
    const auto fail = [&](const std::string& message) {
        if (error) *error = message;
        Abandon();
        return false;
    };
    if (!fd_.IsOpen()) return fail("no file is open for " + path_);
    if (!sync_.data_sync(fd_.Get())) return fail(ErrnoMessage("cannot write " + path_));
    if (is_unnamed_) {
        if (LinkUnnamed(path_)) {
            is_unnamed_ = false;  // named now: nothing left to drop
            fd_.Close();
            sync_.sync_folder(folder_);
            return true;
        }
        if (errno != EEXIST) return fail(ErrnoMessage("cannot create " + path_));
        // The target exists: a visible name first, then the atomic rename over it.
        bool is_linked = false;
        const std::string name = path_.substr(folder_.size());
        for (int attempt = 0; attempt < 100 && !is_linked; ++attempt) {
            temporary_ = folder_ + TemporaryName(name);
            is_linked = LinkUnnamed(temporary_);
            if (!is_linked && errno != EEXIST) {
                temporary_.clear();
                return fail(ErrnoMessage("cannot create " + path_));
            }
        }
        if (!is_linked) {
            temporary_.clear();
            return fail("cannot find a free temporary name beside " + path_);
        }
        is_unnamed_ = false;
    }
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return fail(ErrnoMessage("cannot replace " + path_));
    temporary_.clear();
    if (!fd_.Close()) return fail(ErrnoMessage("cannot finish writing " + path_));
    sync_.sync_folder(folder_);
    return true;
}

void CReplacingFile::Abandon() {
    fd_.Reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    is_unnamed_ = false;
}

bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size, std::string* error) {
    CReplacingFile file;
    if (!file.Create(path, true, error)) return false;
    if (!WriteAll(file.Fd(), data, size)) {
        if (error) *error = ErrnoMessage("cannot write " + path);
        return false;
    }
    return file.Commit(error);
}

void RemoveStaleTemporaries(const std::string& folder) {
    const time_t now = std::time(nullptr);
    for (const std::string& name : ListFolder(FolderOrDot(folder)).value_or(std::vector<std::string>())) {
        if (!IsTemporaryName(name)) continue;
        const std::string path = folder + name;
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat status {};
        if (!fd.IsOpen() || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        // A running writer holds its lock; a killed one held it no longer.
        if (now - status.st_mtime < kStaleAfterSeconds || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
        ::unlink(path.c_str());
    }
}

std::string ErrnoText(int error_number) {
    char buffer[256];
    // The GNU variant: returns the text, in buffer or a static string.
    return ::strerror_r(error_number, buffer, sizeof buffer);
}

std::string ErrnoMessage(const std::string& what) {
    const int error_number = errno;
    return what + ": " + ErrnoText(error_number);
}
