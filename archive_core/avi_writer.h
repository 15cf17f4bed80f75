#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/uio.h>

#include "platform/safe_output.h"

struct AviWriterOptions {
    // A RIFF chunk is closed and an 'AVIX' chunk begun before it would grow past this size.
    // Players that only know the first RIFF chunk read up to 1 GiB.
    uint64_t riff_split_bytes = uint64_t{1} << 30;
    // Room kept in the stream header for the super index: one entry per RIFF chunk.
    uint32_t super_index_entries = 1024;
    // Files the AVI must never be written over: the archive being converted.
    std::vector<std::string> protected_paths;
};

// Writes one uncompressed 24-bit video stream at 10 frames per second as a RIFF AVI file
// with the OpenDML extension ('AVIX' chunks, 'indx' super index, 'ix00' standard indexes,
// 'dmlh' total frame count) and a legacy 'idx1' index for the first RIFF chunk.
// The file goes through CSafeOutput: it gets its name, replacing the target, only in Finish();
// an unfinished writer leaves nothing behind. A device or FIFO that can seek is written straight into.
class CAviWriter {
public:
    static constexpr uint32_t kFramesPerSecond = 10;

    CAviWriter() = default;
    ~CAviWriter();
    CAviWriter(const CAviWriter&) = delete;
    CAviWriter& operator=(const CAviWriter&) = delete;

    // Begins a file of frames width x height. False with GetError() on failure.
    bool Open(const std::string& path, int32_t width, int32_t height, const AviWriterOptions& options = {});
    // One frame of packed blue-green-red pixels, width x height x 3 bytes, row 0 on top.
    // It is stored bottom row first with rows padded to 4 bytes, as the format declares;
    // the caller's pixels are not touched.
    bool WriteFrame(const uint8_t* top_down_pixels);
    // One frame already laid out as stored: GetSampleBytes() bytes, bottom row first, rows padded.
    bool WriteSample(const uint8_t* stored_sample);
    // Completes the indexes and headers and renames the file to its target name.
    bool Finish();
    // Drops the file being written; the target is left as it was.
    void Abandon();

    bool IsOpen() const { return output_.IsOpen(); }
    const std::string& GetError() const { return error_; }
    uint32_t GetFrameCount() const { return total_frames_; }
    uint32_t GetRiffCount() const { return static_cast<uint32_t>(super_index_.size()) + (output_.IsOpen() ? 1 : 0); }

    uint32_t GetSampleBytes() const { return sample_bytes_; }

    // Bytes of one stored row: width x 3 rounded up to a multiple of 4.
    static uint32_t PaddedRowBytes(int32_t width);

private:
    struct ChunkEntry {
        uint64_t chunk_position;  // absolute position of the '00db' chunk header
    };
    struct SuperIndexEntry {
        uint64_t index_position;  // absolute position of the 'ix00' chunk header
        uint32_t index_bytes;     // chunk header included
        uint32_t frame_count;
    };

    bool Fail(std::string message);
    bool WriteBytes(const void* data, size_t size, const char* step);
    bool PatchU32(uint64_t position, uint32_t value, const char* step);
    bool WriteChunk(std::vector<struct iovec>& pieces);
    bool BeginRiff(bool is_first);
    bool EndRiff();
    uint64_t RiffBytesAfterNextFrame() const;

    CSafeOutput output_;
    std::string error_;
    AviWriterOptions options_;

    int32_t width_ = 0;
    int32_t height_ = 0;
    uint32_t row_bytes_ = 0;  // packed, as the caller holds it
    uint32_t stored_row_bytes_ = 0;
    uint32_t sample_bytes_ = 0;  // stored rows x height

    uint64_t position_ = 0;  // where the next byte goes
    uint32_t total_frames_ = 0;
    uint32_t first_riff_frames_ = 0;

    // Header fields patched when the file is finished.
    uint64_t avih_total_frames_at_ = 0;
    uint64_t strh_length_at_ = 0;
    uint64_t super_index_at_ = 0;  // the 'indx' chunk header
    uint64_t dmlh_total_frames_at_ = 0;

    // The RIFF chunk being written.
    uint64_t riff_start_ = 0;
    uint64_t movi_start_ = 0;  // the 'LIST' header of its 'movi' list
    bool is_first_riff_ = true;
    std::vector<ChunkEntry> riff_chunks_;
    std::vector<SuperIndexEntry> super_index_;

    std::vector<uint8_t> zero_padding_;
    std::vector<struct iovec> pieces_;
};
