#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "jpeg/jpeg_codec.h"
#include "picture/camera_frame.h"
#include "picture/packed_picture.h"
#include "support/camera_scene.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace archive_test {

using ::TempFolder;

using ::I420Frame;
using ::PaintScene;
using ::ReadBytes;
using ::WriteBytes;

// Sensor noise: every byte drawn anew, the worst case for the JPEG coder.
inline void PaintNoise(BMP_File& image, int32_t width, int32_t height, uint32_t seed) {
    image.Create(width, height);
    uint32_t state = seed;
    for (int32_t i = 0; i < image.GetBitsSize(); ++i) {
        state = state * 1664525u + 1013904223u;
        image.GetBits()[i] = static_cast<uint8_t>(state >> 24);
    }
}

inline std::vector<uint8_t> EncodeScene(int32_t width, int32_t height, int frame_number) {
    BMP_File image;
    PaintScene(image, width, height, frame_number);
    JpegCodec codec;
    std::vector<uint8_t> buffer(655360);
    const uint32_t length = codec.EncodeJpeg(image, buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (length == 0) throw std::runtime_error("encode failed: " + codec.LastError());
    buffer.resize(length);
    return buffer;
}

inline void AppendU32(std::vector<uint8_t>& bytes, uint32_t value) {
    uint8_t raw[4];
    archive_format::WriteU32(raw, value);
    bytes.insert(bytes.end(), raw, raw + 4);
}
inline void AppendDouble(std::vector<uint8_t>& bytes, double value) {
    uint8_t raw[8];
    archive_format::WriteDouble(raw, value);
    bytes.insert(bytes.end(), raw, raw + 8);
}

// An archive built byte by byte, independently of the writer.
struct ArchiveBytes {
    std::vector<uint8_t> bytes;
    std::vector<int64_t> record_starts;

    explicit ArchiveBytes(int32_t count, uint32_t creation_high_half = 0x40E6A000) {
        AppendU32(bytes, static_cast<uint32_t>(count));
        AppendU32(bytes, creation_high_half);
    }
    void AddRecord(double time_stamp, const std::vector<uint8_t>& jpeg) {
        record_starts.push_back(static_cast<int64_t>(bytes.size()));
        AppendDouble(bytes, time_stamp);
        AppendU32(bytes, static_cast<uint32_t>(jpeg.size()));
        bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
    }
    void AddTrailer(double time_stamp, int32_t count) {
        AppendDouble(bytes, time_stamp);
        AppendU32(bytes, archive_format::kEndMarker);
        AppendU32(bytes, static_cast<uint32_t>(count));
    }
};

// A clock the tests move by hand.
struct ManualClock {
    uint32_t tick_ms = 1000;
    std::time_t wall_seconds = 1230829200;  // 2009-01-01 17:00 UTC

    ArchiveClock Make() {
        return ArchiveClock{[this] { return tick_ms; }, [this] { return wall_seconds; }};
    }
    void Advance(uint32_t ms) {
        const uint64_t total = static_cast<uint64_t>(sub_second_ms) + ms;
        wall_seconds += static_cast<std::time_t>(total / 1000);
        sub_second_ms = static_cast<uint32_t>(total % 1000);
        tick_ms += ms;
    }
    uint32_t sub_second_ms = 0;
};

}  // namespace archive_test

namespace archive_test {

// The same JPEG with a comment segment after its JFIF segment, grown to exactly total_size bytes.
inline std::vector<uint8_t> PadJpeg(const std::vector<uint8_t>& jpeg, size_t total_size) {
    if (total_size < jpeg.size() + 4 || total_size - jpeg.size() > 65535) throw std::runtime_error("bad padding");
    const size_t segment_length = total_size - jpeg.size() - 2;    // counts itself, not the marker
    std::vector<uint8_t> padded(jpeg.begin(), jpeg.begin() + 20);  // SOI + APP0
    padded.push_back(0xFF);
    padded.push_back(0xFE);
    padded.push_back(static_cast<uint8_t>(segment_length >> 8));
    padded.push_back(static_cast<uint8_t>(segment_length & 0xFF));
    padded.resize(padded.size() + segment_length - 2, 'x');
    padded.insert(padded.end(), jpeg.begin() + 20, jpeg.end());
    return padded;
}

}  // namespace archive_test

namespace archive_test {

// The same JPEG with its frame header claiming width x height, grown with comment segments to
// total_size bytes so that the claim looks plausible for the stream's length.
inline std::vector<uint8_t> ClaimSize(const std::vector<uint8_t>& jpeg, uint16_t width, uint16_t height,
                                      size_t total_size) {
    std::vector<uint8_t> claimed(jpeg.begin(), jpeg.begin() + 20);  // SOI + APP0
    while (claimed.size() + (jpeg.size() - 20) + 4 <= total_size) {
        const size_t segment = std::min<size_t>(65535, total_size - claimed.size() - (jpeg.size() - 20) - 2);
        claimed.insert(claimed.end(), {0xFF, 0xFE, static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
        claimed.resize(claimed.size() + segment - 2, 'x');
    }
    const size_t body = claimed.size();
    claimed.insert(claimed.end(), jpeg.begin() + 20, jpeg.end());
    for (size_t at = body; at + 9 < claimed.size(); ++at) {
        if (claimed[at] == 0xFF && claimed[at + 1] == 0xC0) {
            claimed[at + 5] = static_cast<uint8_t>(height >> 8);
            claimed[at + 6] = static_cast<uint8_t>(height);
            claimed[at + 7] = static_cast<uint8_t>(width >> 8);
            claimed[at + 8] = static_cast<uint8_t>(width);
            return claimed;
        }
    }
    throw std::runtime_error("no frame header");
}

}  // namespace archive_test

namespace archive_test {

// records, then a hole of hole_bytes (cheap on disk), then a trailer counting trailer_count; the
// header is set to trailer_count too, so that header and trailer agree.
inline void WriteSparseArchive(const std::string& path, ArchiveBytes records, int64_t hole_bytes,
                               int32_t trailer_count) {
    archive_format::WriteU32(records.bytes.data(), static_cast<uint32_t>(trailer_count));
    WriteBytes(path, records.bytes);
    std::filesystem::resize_file(path, records.bytes.size() + static_cast<uint64_t>(hole_bytes));
    ArchiveBytes trailer(0);
    trailer.bytes.clear();
    trailer.AddTrailer(200.0, trailer_count);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(trailer.bytes.data()), static_cast<std::streamsize>(trailer.bytes.size()));
}

}  // namespace archive_test
