#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix_file.h"

struct SafeOutputRules {
    // Files that must never be written over, through any of their names: the input being exported.
    std::vector<std::string> protected_paths;
    // The writer goes back to fill in headers: outputs that cannot seek (pipes, terminals) are refused.
    bool needs_seeking = false;
    // False takes the path of file systems without unnamed files: a visible temporary name.
    bool use_unnamed_file = true;
};

// An output file that never destroys what its path names. A device, FIFO or socket is written
// straight into (a disk device or a socket is refused); the input, any existing archive and
// any new file named like one (*.CNA in any letter case) are refused. A regular file is written without a name (or
// under a hidden temporary name that a later run removes if this one is killed), flushed, and only then given its name,
// replacing what was there; its folder is flushed after. A symbolic link is followed: the file it points to is
// replaced, the link stays.
class CSafeOutput {
public:
    CSafeOutput() = default;
    ~CSafeOutput() { Abandon(); }
    CSafeOutput(const CSafeOutput&) = delete;
    CSafeOutput& operator=(const CSafeOutput&) = delete;

    // False with Error() when path cannot or must not be written.
    bool Open(const std::string& path, const SafeOutputRules& rules = {});
    bool IsOpen() const { return is_stream_ ? stream_.IsOpen() : file_.IsOpen(); }
    int Fd() const { return is_stream_ ? stream_.Get() : file_.Fd(); }
    // Written straight into a device or FIFO: nothing to name at the end.
    bool IsStream() const { return is_stream_; }
    // Appends at the descriptor's position.
    bool Write(const void* data, size_t size);
    // Flushes the file and gives it its name. False with Error(); nothing is left behind then.
    bool Commit();
    // Drops what was written; the target stays as it was.
    void Abandon();
    const std::string& Error() const { return error_; }

private:
    bool Fail(std::string message);
    bool OpenStream(const std::string& path, bool is_fifo, bool needs_seeking);

    UniqueFd stream_;      // a device or FIFO written straight into
    CReplacingFile file_;  // a regular file, named only when complete
    bool is_stream_ = false;
    std::string target_;  // what the caller named
    std::string error_;
};

// Writes data to path through CSafeOutput. False with error set when nothing was written.
bool WriteOutputFile(const std::string& path, const void* data, size_t size, const SafeOutputRules& rules,
                     std::string& error);

// Whether Open would accept path, without creating anything; false with error set when not.
// A FIFO without a reader is found out only when it is opened.
bool CheckOutputPath(const std::string& path, const SafeOutputRules& rules, std::string& error);

// True when the file name ends in ".CNA" in any letter case.
bool IsArchiveName(std::string_view path);
