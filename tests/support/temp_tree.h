#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

// A temporary folder (mkdtemp) removed with everything in it at the end of the test.
class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-browse-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // Program folder as the program holds it: ending with '/'.
    std::string ProgramFolder() const { return root_.string() + "/"; }
    std::filesystem::path Storage() const { return root_ / "Storage"; }
    // The storage folder as the program holds it: ending with '/'.
    std::string StorageFolder() const { return (root_ / "Storage").string() + "/"; }

    std::filesystem::path MakeFolder(const std::filesystem::path& relative) const {
        std::filesystem::create_directories(root_ / relative);
        return root_ / relative;
    }
    std::filesystem::path WriteFile(const std::filesystem::path& relative, const std::string& bytes = "x") const {
        std::filesystem::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << bytes;
        return root_ / relative;
    }

private:
    std::filesystem::path root_;
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
