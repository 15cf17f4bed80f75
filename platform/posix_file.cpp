#include "platform/posix_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

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
    int piece = 0;
    while (piece < 2) {
        if (pieces[piece].iov_len == 0) {
            ++piece;
            continue;
        }
        const ssize_t written = ::pwritev(fd, pieces + piece, 2 - piece, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        offset += written;
        auto left = static_cast<size_t>(written);
        while (piece < 2 && left >= pieces[piece].iov_len) {
            left -= pieces[piece].iov_len;
            pieces[piece].iov_len = 0;
            ++piece;
        }
        if (piece < 2) {
            pieces[piece].iov_base = static_cast<uint8_t*>(pieces[piece].iov_base) + left;
            pieces[piece].iov_len -= left;
        }
    }
    return true;
}

bool WriteAllAt(int fd, int64_t offset, const void* buffer, size_t size) {
    return WriteAllAt(fd, offset, buffer, size, nullptr, 0);
}

std::string ErrnoMessage(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const void* buffer, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void SyncFolder(const std::string& folder) {
    UniqueFd directory(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.IsOpen()) ::fsync(directory.Get());
}

bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size, std::string* error) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp_path;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.IsOpen(); ++attempt) {
        temp_path = folder + "." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = UniqueFd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd.IsOpen() && errno != EEXIST) break;
    }
    if (!fd.IsOpen()) {
        if (error) *error = ErrnoMessage("cannot create " + path);
        return false;
    }
    const char* failed_step = nullptr;
    if (!WriteAllAt(fd.Get(), 0, data, size)) failed_step = "cannot write ";
    else if (::fsync(fd.Get()) != 0) failed_step = "cannot flush ";
    else if (!fd.Close()) failed_step = "cannot write ";
    else if (::rename(temp_path.c_str(), path.c_str()) != 0) failed_step = "cannot replace ";
    if (failed_step != nullptr) {
        if (error) *error = ErrnoMessage(failed_step + path);
        ::unlink(temp_path.c_str());
        return false;
    }
    SyncFolder(folder);
    return true;
}
