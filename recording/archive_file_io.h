#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>

// Owns a POSIX file descriptor; closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Closes the descriptor; false (with errno set) when close reports an error.
    bool Close();
    void Reset() { Close(); }

private:
    int fd_ = -1;
};

// Reads up to size bytes at offset, retrying interrupted and partial reads.
// Returns the number of bytes read: less than size at the end of the file or on an error.
size_t ReadAt(int fd, int64_t offset, void* buffer, size_t size);

// Writes all size bytes at offset. False on a short write or an error (errno tells which;
// ENOSPC is reported for a write that made no progress without an error).
bool WriteAllAt(int fd, int64_t offset, const void* buffer, size_t size);
// Same for two pieces written back to back (a record head and its payload) in one system call.
bool WriteAllAt(int fd, int64_t offset, const void* first, size_t first_size, const void* second, size_t second_size);

// Writes data to path through a temporary file in the same folder that is renamed over path,
// so that readers never see a half-written file and a failure leaves nothing behind.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, std::string* error);

// "what: strerror(errno)"
std::string ErrnoMessage(const std::string& what);
