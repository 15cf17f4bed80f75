#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>

// The small POSIX helpers every part of the program shares.

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
// Writes all size bytes at the descriptor's own position (files that cannot seek included).
bool WriteAll(int fd, const void* buffer, size_t size);

// Replaces the file at path with data: written to a temporary file in the same folder, flushed,
// then renamed over path, so that readers see the old file or the new one and never a part.
// A symbolic link at path is replaced, not followed. False with error set on failure; nothing
// is left behind then.
bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size, std::string* error);

// Flushes a folder, so that a rename or a new name in it survives a power cut.
void SyncFolder(const std::string& folder);

// "what: strerror(errno)"
std::string ErrnoMessage(const std::string& what);
