#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture/packed_picture.h"
#include "support/cli_runner.h"
#include "support/file_size_limit.h"
#include "support/files.h"
#include "support/temp_folder.h"

class CArchiveReader;

namespace export_test {

using ::TempFolder;

// What ffprobe reports about the first video stream, frames counted by decoding.
struct ProbedStream {
    std::string codec_name;
    std::string pix_fmt;
    int width = 0;
    int height = 0;
    std::string frame_rate;
    long frame_count = -1;
};
bool ProbeVideo(const std::string& path, ProbedStream& stream);
// Every frame as ffmpeg decodes it, packed blue-green-red, row 0 on top.
std::vector<uint8_t> DecodeWithFfmpeg(const std::string& path);

bool FileExists(const std::string& path);

// A picture whose every byte depends on x, y, channel and seed: a flipped, shifted or
// sheared frame never matches it.
void PaintPattern(BMP_File& picture, int32_t width, int32_t height, uint32_t seed);
// A camera-like picture (smooth gradient, an object at a place depending on seed, a little noise).
void PaintScene(BMP_File& picture, int32_t width, int32_t height, uint32_t seed);

// Records the pictures into a new archive under folder with the program's recorder; returns its path.
std::string RecordPictures(const std::string& folder, const std::vector<const BMP_File*>& pictures);
// Records count camera-like pictures of one size.
std::string RecordScenes(const std::string& folder, int32_t width, int32_t height, int count);
// Writes a finished archive of camera-like pictures at path, one record per time stamp (local
// OLE days); returns the stored JPEG of each record.
std::vector<std::vector<uint8_t>> WriteStampedArchive(const std::string& path, const std::vector<double>& stamps,
                                                      int32_t width, int32_t height, uint32_t seed);
// The OLE day of a local date and time, seconds with a fraction.
double OleDay(int year, int month, int day, int hour, int minute, double second);
// Every packet's presentation time in seconds, in file order, as ffprobe reads them.
std::vector<double> PacketTimes(const std::string& video_path);
// Every packet of the video as stored, through ffmpeg's stream copy into single JPEG files.
std::vector<std::vector<uint8_t>> CopiedJpegPackets(const std::string& video_path, const std::string& scratch_folder);
// What ffmpeg says while decoding every frame: empty for a clean decode.
std::string DecodeComplaints(const std::string& video_path);

// Every frame as the reader decodes it, concatenated; empty pictures for frames that do not decode.
std::vector<uint8_t> DecodeArchive(CArchiveReader& reader);
// The stored JPEG bytes of one frame, read from the archive file itself.
std::vector<uint8_t> StoredJpeg(const std::string& archive_path, int32_t frame);
// Makes the JPEG of one frame undecodable while its record stays findable.
void DamageFrame(const std::string& archive_path, int32_t frame);

}  // namespace export_test
