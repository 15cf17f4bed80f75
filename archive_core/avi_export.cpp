#include "archive_core/avi_export.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "archive/archive_reader.h"
#include "jpeg/jpeg_codec.h"

namespace {

// Hands laid-out frames to a thread that writes them, so that writing one frame overlaps
// decoding the next. Unlike the live picture, no frame may be dropped here: the buffers are
// few and the converting thread waits for a free one.
// Buffers start zeroed, and the row padding of a sample is never written with anything else,
// so frames decoded straight into a buffer need not clear it.
class CSampleWriteThread {
public:
    CSampleWriteThread(CAviWriter& writer, size_t buffer_count) : writer_(writer), buffers_(buffer_count) {
        for (Buffer& buffer : buffers_) buffer.bytes.reset(new uint8_t[writer.GetSampleBytes()]());
        thread_ = std::thread([this] { Run(); });
    }
    ~CSampleWriteThread() { Stop(); }
    CSampleWriteThread(const CSampleWriteThread&) = delete;
    CSampleWriteThread& operator=(const CSampleWriteThread&) = delete;

    // A buffer of the writer's sample size to fill; nullptr once a write has failed.
    uint8_t* Acquire() {
        std::unique_lock lock(mutex_);
        int free_buffer = -1;
        wake_producer_.wait(lock, [&] {
            free_buffer = FindFree();
            return has_failed_ || free_buffer >= 0;
        });
        if (has_failed_) return nullptr;
        filling_ = free_buffer;
        return buffers_[free_buffer].bytes.get();
    }
    // Takes back the buffer handed out by Acquire without writing it.
    void Discard() {
        std::lock_guard lock(mutex_);
        if (filling_ >= 0) buffers_[filling_].freed_at = ++free_count_;
        filling_ = -1;
    }
    // Queues the buffer handed out by Acquire.
    bool Submit() {
        std::lock_guard lock(mutex_);
        if (has_failed_ || filling_ < 0) return false;
        Queue(filling_);
        last_ = filling_;
        filling_ = -1;
        return true;
    }
    // Queues the buffer submitted last once more.
    bool SubmitAgain() {
        std::lock_guard lock(mutex_);
        if (has_failed_ || last_ < 0) return false;
        Queue(last_);
        return true;
    }
    // Waits until every queued frame is written; false when a write failed.
    bool Drain() {
        std::unique_lock lock(mutex_);
        wake_producer_.wait(lock, [&] { return has_failed_ || (queue_.empty() && !is_writing_); });
        return !has_failed_;
    }
    // Drops what is still queued and ends the thread.
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            is_stopping_ = true;
        }
        wake_writer_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    struct Buffer {
        std::unique_ptr<uint8_t[]> bytes;
        int pending_writes = 0;
        uint64_t freed_at = 0;  // free_count_ when it was last given back
    };

    // The buffer freed last, whose bytes are the likeliest to be in the processor's cache still.
    int FindFree() const {
        int found = -1;
        for (size_t i = 0; i < buffers_.size(); ++i) {
            const int index = static_cast<int>(i);
            if (buffers_[i].pending_writes == 0 && index != last_ && index != filling_ &&
                (found < 0 || buffers_[i].freed_at > buffers_[found].freed_at)) {
                found = index;
            }
        }
        return found;
    }
    void Queue(int buffer) {
        ++buffers_[buffer].pending_writes;
        queue_.push_back(buffer);
        wake_writer_.notify_one();
    }
    void Run() {
        for (;;) {
            int buffer = -1;
            {
                std::unique_lock lock(mutex_);
                wake_writer_.wait(lock, [&] { return is_stopping_ || !queue_.empty(); });
                if (is_stopping_) return;
                buffer = queue_.front();
                queue_.pop_front();
                is_writing_ = true;
            }
            bool is_written = false;
            try {
                is_written = writer_.WriteSample(buffers_[buffer].bytes.get());
            } catch (const std::exception&) {
                writer_.Abandon();  // nothing may escape the thread; the writer reports no file
            }
            {
                std::lock_guard lock(mutex_);
                if (--buffers_[buffer].pending_writes == 0) buffers_[buffer].freed_at = ++free_count_;
                is_writing_ = false;
                if (!is_written) has_failed_ = true;
            }
            wake_producer_.notify_one();
            if (!is_written) return;
        }
    }

    CAviWriter& writer_;  // used by the thread alone while it runs
    std::vector<Buffer> buffers_;
    std::deque<int> queue_;
    int filling_ = -1;  // handed out by Acquire, not yet submitted
    int last_ = -1;     // submitted last, kept for repeats
    bool is_writing_ = false;
    bool is_stopping_ = false;
    bool has_failed_ = false;
    uint64_t free_count_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_writer_;
    std::condition_variable wake_producer_;
    std::thread thread_;
};

// Frames in flight between decoding and writing: three where they are small, two (the one written
// last, kept for repeats, and the one being filled) where three would hold too much memory.
size_t WriteBufferCount(uint32_t sample_bytes) {
    constexpr uint64_t kBufferBudgetBytes = 96 * 1024 * 1024;
    return uint64_t{3} * sample_bytes <= kBufferBudgetBytes ? 3 : 2;
}

}  // namespace

void FitPictureRows(const BMP_File& source, int32_t width, int32_t height, uint8_t* out, size_t pitch_bytes,
                    bool bottom_up) {
    const int32_t source_width = source.GetWidth();
    const int32_t source_height = source.GetHeight();
    if (width <= 0 || height <= 0) return;
    const bool is_source_whole =
        source_width > 0 && source_height > 0 &&
        source.GetPixelCount() == static_cast<size_t>(source_width) * static_cast<size_t>(source_height);
    std::vector<size_t> source_column(static_cast<size_t>(width));
    for (int32_t x = 0; x < width && is_source_whole; ++x) {
        source_column[x] = static_cast<size_t>(int64_t{x} * source_width / width) * 3;
    }
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* target_row = out + static_cast<size_t>(bottom_up ? height - 1 - y : y) * pitch_bytes;
        if (!is_source_whole) {
            std::memset(target_row, 0, static_cast<size_t>(width) * 3);
            continue;
        }
        const int64_t source_y = int64_t{y} * source_height / height;
        const uint8_t* source_row = source.GetBits() + static_cast<size_t>(source_y) * source_width * 3;
        for (int32_t x = 0; x < width; ++x) std::memcpy(target_row + x * 3, source_row + source_column[x], 3);
    }
}

void FitPicture(const BMP_File& source, BMP_File& target) {
    FitPictureRows(source, target.GetWidth(), target.GetHeight(), target.GetBits(),
                   static_cast<size_t>(target.GetWidth()) * 3, false);
}

namespace {

AviExportResult Convert(const std::string& archive_path, const std::string& avi_path,
                        const AviExportProgress& on_progress, AviWriterOptions options) {
    AviExportResult result;
    // A reader of its own: what the playback panel shows has no say in what is converted.
    CArchiveReader reader;
    if (!reader.OpenFile(archive_path)) {
        result.error = reader.GetLastError();
        return result;
    }
    result.stored_count = reader.GetStoredCount();
    const int32_t frame_count = reader.GetFrameCount();
    if (frame_count <= 0) {
        result.error = "the archive holds no frames";
        return result;
    }
    options.protected_paths.push_back(archive_path);
    std::string refusal;
    if (!CheckOutputPath(avi_path, SafeOutputRules{options.protected_paths, true}, refusal)) {
        result.error = refusal;
        return result;
    }

    CAviWriter writer;
    std::optional<CSampleWriteThread> write_thread;  // ends before the writer does
    JpegCodec codec;
    std::vector<uint8_t> jpeg;
    BMP_File picture;                 // frames of another size, before they are scaled
    int32_t leading_undecodable = 0;  // frames before the first decodable one, written black
    bool has_sample = false;          // a sample was submitted that a repeat can use

    auto fail = [&](const std::string& error) {
        write_thread.reset();
        result.error = error.empty() ? writer.GetError() : error;
        if (result.error.empty()) result.error = "writing the AVI file failed";
        result.frames_written = 0;
        return result;
    };
    auto submit_black = [&](int32_t count) {
        uint8_t* sample = write_thread->Acquire();
        if (sample == nullptr) return false;
        std::memset(sample, 0, writer.GetSampleBytes());
        bool is_ok = write_thread->Submit();
        for (int32_t i = 1; i < count && is_ok; ++i) is_ok = write_thread->SubmitAgain();
        result.frames_written += count;
        result.frames_repeated += count;
        has_sample = true;
        return is_ok;
    };
    // One frame into a free sample buffer, decoded bottom row first straight into the padded
    // rows when it has the stream's size; otherwise decoded aside and scaled into it. A frame
    // that does not decode repeats the sample written before, which is upright already.
    auto submit_frame = [&](bool has_jpeg) {
        uint8_t* sample = write_thread->Acquire();
        if (sample == nullptr) return false;
        const auto length = static_cast<uint32_t>(jpeg.size());
        const int pitch = static_cast<int>(CAviWriter::PaddedRowBytes(result.width));
        bool is_decoded =
            has_jpeg && codec.DecodeJpegInto(jpeg.data(), length, sample, result.width, result.height, pitch, true);
        if (!is_decoded && has_jpeg && codec.DecodeJpegWithin(jpeg.data(), length, kMaxFittedPictureBytes, picture)) {
            FitPictureRows(picture, result.width, result.height, sample, static_cast<size_t>(pitch), true);
            if (picture.GetWidth() != result.width || picture.GetHeight() != result.height) ++result.frames_fitted;
            if (picture.GetPixelCount() * 3 > kMaxFittedPictureBytes / 4) picture = BMP_File();
            is_decoded = true;
        }
        ++result.frames_written;
        if (is_decoded) {
            has_sample = true;
            return write_thread->Submit();
        }
        ++result.frames_repeated;
        if (!has_sample) {
            // Nothing to repeat yet: black, like the frames before the first decodable one.
            std::memset(sample, 0, writer.GetSampleBytes());
            has_sample = true;
            return write_thread->Submit();
        }
        write_thread->Discard();
        return write_thread->SubmitAgain();
    };

    for (int32_t frame = 0; frame < frame_count; ++frame) {
        const bool has_jpeg = reader.ReadFrameJpeg(frame, jpeg);
        if (!has_jpeg) ++result.frames_missing;
        int width = 0;
        int height = 0;
        bool is_ok = true;
        if (write_thread) {
            is_ok = submit_frame(has_jpeg);
        } else if (has_jpeg &&
                   codec.ReadDecodableHeader(jpeg.data(), static_cast<uint32_t>(jpeg.size()), width, height)) {
            // The first decodable frame fixes the format of the whole stream. While the thread
            // runs, only it touches the writer.
            if (!writer.Open(avi_path, width, height, options)) return fail({});
            result.width = width;
            result.height = height;
            write_thread.emplace(writer, WriteBufferCount(writer.GetSampleBytes()));
            if (leading_undecodable > 0 && !submit_black(leading_undecodable)) return fail({});
            is_ok = submit_frame(true);
        } else {
            ++leading_undecodable;
        }
        if (!is_ok) return fail({});

        if (on_progress && !on_progress(frame + 1, frame_count)) {
            write_thread.reset();
            writer.Abandon();
            result.is_cancelled = true;
            result.frames_written = 0;
            return result;
        }
    }
    if (!write_thread) return fail("no frame of the archive can be decoded");
    if (!write_thread->Drain()) return fail({});
    write_thread.reset();
    if (!writer.Finish()) return fail({});
    result.is_written = true;
    return result;
}

}  // namespace

AviExportResult ConvertArchiveToAvi(const std::string& archive_path, const std::string& avi_path,
                                    const AviExportProgress& on_progress, const AviWriterOptions& options) {
    try {
        return Convert(archive_path, avi_path, on_progress, options);
    } catch (const std::exception& error) {
        // Out of memory for the frame buffers, or no thread to write with; the partial file is gone.
        AviExportResult result;
        result.error = std::string("the conversion stopped: ") + error.what();
        return result;
    }
}

bool SaveSnapshotJpeg(CArchiveReader& reader, const std::string& jpeg_path, std::string& error) {
    if (reader.SaveFrameJpeg(jpeg_path)) {
        error.clear();
        return true;
    }
    error = reader.GetLastError().empty() ? std::string("the frame could not be saved") : reader.GetLastError();
    return false;
}
