#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_folder.h"

// A program folder with its storage folder in a temporary folder, removed with everything in it.
class TempTree {
public:
    // Program folder as the program holds it: ending with '/'.
    std::string ProgramFolder() const { return folder_.Folder(); }
    std::filesystem::path Storage() const { return folder_.Path() / "Storage"; }
    // The storage folder as the program holds it: ending with '/'.
    std::string StorageFolder() const { return (folder_.Path() / "Storage").string() + "/"; }

    std::filesystem::path MakeFolder(const std::filesystem::path& relative) const {
        std::filesystem::create_directories(folder_.Path() / relative);
        return folder_.Path() / relative;
    }
    std::filesystem::path WriteFile(const std::filesystem::path& relative, const std::string& bytes = "x") const {
        std::filesystem::create_directories((folder_.Path() / relative).parent_path());
        std::ofstream(folder_.Path() / relative, std::ios::binary) << bytes;
        return folder_.Path() / relative;
    }

private:
    TempFolder folder_;
};

// Sets the last-write time of path to the given seconds since 1970.
inline bool SetLastWriteTime(const std::filesystem::path& path, long long seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}
