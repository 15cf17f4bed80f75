#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_file.h"
#include "web/matroska_duration.h"

// One archive copied into Matroska (its stored JPEGs unchanged) on a thread of its own, read
// as it is made through a pipe: a download starts at once and memory stays at the pipe's size.
class CStreamedExport {
public:
    enum class ReadResult { kData, kWait, kEnd, kFailed };

    CStreamedExport() = default;
    // Cancels an export still running and waits for its thread.
    ~CStreamedExport();
    CStreamedExport(const CStreamedExport&) = delete;
    CStreamedExport& operator=(const CStreamedExport&) = delete;

    // duration_ns: the video's length when known (0: not), written into its header.
    bool Start(const std::string& archive_path, uint64_t duration_ns, std::string& error);
    // Never blocks: kData with up to max_bytes in chunk, kWait while nothing new is written,
    // kEnd once the video is complete, kFailed with Error() when it cannot be.
    ReadResult Read(std::vector<uint8_t>& chunk, size_t max_bytes);
    std::string Error() const;

private:
    void Finish();

    UniqueFd read_fd_;
    std::unique_ptr<CMatroskaDurationInserter> duration_inserter_;
    std::vector<uint8_t> piped_;
    std::thread worker_;
    std::atomic<bool> is_cancelled_{false};
    mutable std::mutex mutex_;
    bool is_written_ = false;
    std::string error_;
};
