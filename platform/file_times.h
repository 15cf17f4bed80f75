#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A file system time stamp: seconds since 1970 (UTC) and nanoseconds.
struct FileTimeStamp {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

struct FileTimes {
    FileTimeStamp creation;      // birth time, or the last status change where no birth time is kept
    FileTimeStamp last_write;    // last modification of the data
    bool is_birth_time = false;  // creation comes from the file system's birth time
    bool is_directory = false;
};

// Reads the time stamps of path without opening its data, so a file that another
// process is writing can be inspected. Nothing when the entry cannot be examined.
std::optional<FileTimes> ReadFileTimes(const std::string& path);
