#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "jpeg/jpeg_codec.h"
#include "picture/packed_picture.h"
#include "platform/posix_file.h"

// One frame index entry of an archive opened for reading.
struct cna_info_t {
    int64_t data_position = 0;  // file position of the JPEG data: record start + 12
    uint32_t data_length = 0;   // n of the record
    double time_stamp = 0.0;    // local OLE date-time of the frame
    int32_t known = 0;          // 1 for a record of the file
};

// The reading half of an archive object: frame k is the k-th record of the file, reached by
// stepping or by jumping alike; see CArchiveIndex for how damage is contained.
class CArchiveReader {
public:
    bool OpenFile(const std::string& path);
    // Records present, as many as the header counts at most while no trailer shows the file finished.
    int32_t GetFrameCount() const { return index_.Count(); }
    // The record count stored at offset 0, as it stands.
    int32_t GetStoredCount() const { return stored_count_; }
    const std::optional<archive_format::Trailer>& GetTrailer() const { return trailer_; }

    void SeekFrame(int32_t frame);
    bool LocateFrame(int32_t frame);
    bool IsFrameDecoded() const { return is_frame_decoded_; }
    BMP_File& GetFrameImage() { return frame_image_; }
    const BMP_File& GetFrameImage() const { return frame_image_; }
    double GetFrameTime() const;
    bool ReadFrameJpeg(int32_t frame, std::vector<uint8_t>& jpeg);
    // Reads frame's stored JPEG straight into the memory allocate(length) gives, without a copy
    // in between. False, with nothing allocated or the memory partly written, when the record
    // has no bytes to read or they cannot be read.
    bool ReadFrameJpegInto(int32_t frame, const std::function<uint8_t*(uint32_t length)>& allocate);
    bool SaveFrameJpeg(const std::string& path);
    int32_t GetCurrentFrame() const { return current_frame_; }
    cna_info_t GetFrameInfo(int32_t frame) const;
    std::optional<ArchiveRecord> GetRecord(int32_t frame) const { return index_.Find(frame); }
    const std::string& GetOpenPath() const { return path_; }
    int64_t GetFileLength() const { return file_length_; }
    const std::string& GetLastError() const { return last_error_; }

private:
    bool Fail(std::string message);
    // The record's JPEG bytes into buffer_; false with the reason when it has none or they cannot be read.
    bool LoadJpeg(int32_t frame);
    bool ReadInto(int32_t frame, const std::function<uint8_t*(uint32_t length)>& allocate);

    UniqueFd fd_;
    std::string path_;
    int64_t file_length_ = 0;
    int32_t stored_count_ = 0;
    std::optional<archive_format::Trailer> trailer_;
    CArchiveIndex index_;
    int32_t current_frame_ = 0;
    bool is_current_located_ = false;
    BMP_File frame_image_;
    bool is_frame_decoded_ = false;
    std::vector<uint8_t> buffer_;
    JpegCodec codec_;
    std::string last_error_;
};
