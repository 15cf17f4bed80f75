#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The small POSIX helpers every part of the program shares: the one owner of a file
// descriptor, the one write-all loop, the one atomic replace and the one errno text.

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
    // Gives the descriptor up to a new owner, unclosed.
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Entry names of a folder in the file system's order, "." and ".." left out; nothing when the
// folder cannot be listed (errno tells why).
std::optional<std::vector<std::string>> ListFolder(const std::string& folder);

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
// Writes count pieces back to back at the descriptor's position; the pieces are used up.
bool WriteAllPieces(int fd, iovec* pieces, size_t count);

// Flushes a folder, so that a rename or a new name in it survives a power cut. False with
// errno set when the folder cannot be opened or flushed.
bool SyncFolder(const std::string& folder);

// The folder part of path with its trailing '/'; empty for a bare name.
std::string FolderOf(const std::string& path);

// Where durable writes flush to the disk; tests replace it to see what is flushed and when.
struct FileSync {
    std::function<bool(int fd)> data_sync;                       // fdatasync
    std::function<bool(const std::string& folder)> sync_folder;  // SyncFolder
    static FileSync System();
};

// A new file that takes the place of path only once it is complete. It is written without a
// name (O_TMPFILE) or, where the file system has no unnamed files, under a hidden temporary
// name ".<name>.<8 hex digits>.part", locked while it lives; Commit flushes it, gives it its
// name (replacing what path named: a symbolic link at path is replaced, not followed) and
// flushes the folder. Dropped without a trace when not committed.
class CReplacingFile {
public:
    explicit CReplacingFile(FileSync sync = FileSync::System()) : sync_(std::move(sync)) {}
    ~CReplacingFile() { Abandon(); }
    CReplacingFile(const CReplacingFile&) = delete;
    CReplacingFile& operator=(const CReplacingFile&) = delete;

    // False with error set when no file can be created beside path.
    bool Create(const std::string& path, bool use_unnamed_file, std::string* error);
    bool IsOpen() const { return fd_.IsOpen(); }
    int Fd() const { return fd_.Get(); }
    // False with error set; nothing is left behind then and path is as it was.
    bool Commit(std::string* error);
    void Abandon();

private:
    bool CreateVisibleTemporary(std::string* error);
    bool LinkUnnamed(const std::string& link_path);

    FileSync sync_;
    UniqueFd fd_;
    bool is_unnamed_ = false;
    std::string path_;
    std::string folder_;     // of path_, with its trailing '/'
    std::string temporary_;  // visible temporary name, while one exists
};

// Replaces the file at path with data through CReplacingFile. False with error set on
// failure; nothing is left behind then.
bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size, std::string* error);

// Removes the temporary files of CReplacingFile in folder that no running program holds any more.
void RemoveStaleTemporaries(const std::string& folder);

// What the system says about an errno value ("No space left on device").
std::string ErrnoText(int error_number);
// "what: <text of errno>"
std::string ErrnoMessage(const std::string& what);
