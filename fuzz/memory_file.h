#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix_file.h"

// A file in memory that code opening paths reads through /proc: an input becomes a file without
// touching the disk. Each Fill replaces the whole content.
class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
        if (!fd_.IsOpen()) Die("memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_.Get());
    }

    void Fill(const uint8_t* data, size_t size) {
        if (::ftruncate(fd_.Get(), 0) != 0) Die("ftruncate");
        size_t written = 0;
        while (written < size) {
            const ssize_t n = ::pwrite(fd_.Get(), data + written, size - written, static_cast<off_t>(written));
            if (n <= 0) Die("pwrite");
            written += static_cast<size_t>(n);
        }
    }

    const std::string& Path() const { return path_; }

private:
    // The harness cannot go on without its file; the fuzzer reports the abort.
    [[noreturn]] static void Die(const char* step) {
        std::perror(step);
        std::abort();
    }

    UniqueFd fd_;
    std::string path_;
};

// A property the input broke: printed, then the fuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (false)
