#include "web/web_stream_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "archive_core/video_export.h"

CStreamedExport::~CStreamedExport() {
    if (!worker_.joinable()) return;
    is_cancelled_.store(true);
    // The muxer may be waiting for room in the pipe: drain it until the export has stopped, so
    // that it never writes into a pipe nobody reads.
    const int flags = ::fcntl(read_fd_.Get(), F_GETFL);
    if (flags >= 0) ::fcntl(read_fd_.Get(), F_SETFL, flags & ~O_NONBLOCK);
    char sink[16384];
    while (true) {
        const ssize_t got = ::read(read_fd_.Get(), sink, sizeof sink);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
    worker_.join();
}

bool CStreamedExport::Start(const std::string& archive_path, uint64_t duration_ns, std::string& error) {
    if (duration_ns > 0) duration_inserter_ = std::make_unique<CMatroskaDurationInserter>(duration_ns);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = ErrnoMessage("cannot make a pipe for the video");
        return false;
    }
    read_fd_ = UniqueFd(fds[0]);
    const int flags = ::fcntl(fds[0], F_GETFL);
    ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
    const int write_fd = fds[1];
    worker_ = std::thread([this, archive_path, write_fd] {
        VideoExportOptions options;
        options.container = VideoContainer::kMatroska;
        options.codec = VideoCodec::kMotionJpeg;
        const VideoExportResult result = ExportVideoToStream(
            {archive_path}, write_fd, options, [this](int64_t, int64_t) { return !is_cancelled_.load(); });
        ::close(write_fd);  // the reader sees the end
        const std::lock_guard<std::mutex> lock(mutex_);
        is_written_ = result.is_written;
        error_ = result.is_cancelled ? "cancelled" : result.error;
    });
    return true;
}

CStreamedExport::ReadResult CStreamedExport::Read(std::vector<uint8_t>& chunk, size_t max_bytes) {
    chunk.clear();
    piped_.resize(max_bytes);
    ssize_t got;
    do {
        got = ::read(read_fd_.Get(), piped_.data(), max_bytes);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        if (duration_inserter_) {
            duration_inserter_->Feed(piped_.data(), static_cast<size_t>(got), chunk);
        } else {
            chunk.assign(piped_.begin(), piped_.begin() + got);
        }
        // The header is held until it is whole: a few hundred bytes, there in a moment.
        return chunk.empty() ? ReadResult::kWait : ReadResult::kData;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadResult::kWait;
    if (got < 0) {
        const std::string reason = ErrnoMessage("cannot read the video");
        Finish();
        const std::lock_guard<std::mutex> lock(mutex_);
        error_ = reason;
        return ReadResult::kFailed;
    }
    if (duration_inserter_) {
        duration_inserter_->Flush(chunk);
        duration_inserter_.reset();
        if (!chunk.empty()) return ReadResult::kData;
    }
    Finish();
    const std::lock_guard<std::mutex> lock(mutex_);
    return is_written_ ? ReadResult::kEnd : ReadResult::kFailed;
}

void CStreamedExport::Finish() {
    if (worker_.joinable()) worker_.join();
}

std::string CStreamedExport::Error() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}
