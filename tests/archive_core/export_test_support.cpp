#include "archive_core/export_test_support.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "archive/archive_format.h"
#include "jpeg/jpeg_codec.h"
#include "platform/ole_date.h"
#include "recorder/frame_archive.h"
#include "support/recorded_archive.h"

namespace export_test {

namespace {

// ffmpeg's output options that pass every frame on once at its own time: a video of frames at
// their recorded times has no constant rate to fill up to.
const std::string kEveryFrameOnce = "-fps_mode passthrough -enc_time_base -1";

}  // namespace

bool ProbeVideo(const std::string& path, ProbedStream& stream) {
    const CommandResult probe = RunShell(
        "ffprobe -v error -select_streams v:0 -count_frames "
        "-show_entries stream=codec_name,pix_fmt,width,height,r_frame_rate,nb_read_frames "
        "-of default=noprint_wrappers=1 '" +
        path + "'");
    if (probe.exit_code != 0) return false;
    std::istringstream lines(probe.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "codec_name") stream.codec_name = value;
        if (key == "pix_fmt") stream.pix_fmt = value;
        if (key == "width") stream.width = std::atoi(value.c_str());
        if (key == "height") stream.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") stream.frame_rate = value;
        if (key == "nb_read_frames") stream.frame_count = value == "N/A" ? -1 : std::atol(value.c_str());
    }
    return true;
}

std::vector<uint8_t> DecodeWithFfmpeg(const std::string& path) {
    const CommandResult decoded =
        RunShell("ffmpeg -nostdin -v error -i '" + path + "' " + kEveryFrameOnce + " -f rawvideo -pix_fmt bgr24 -");
    if (decoded.exit_code != 0) return {};
    return std::vector<uint8_t>(decoded.out.begin(), decoded.out.end());
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

void PaintPattern(BMP_File& picture, int32_t width, int32_t height, uint32_t seed) {
    picture.Create(width, height);
    uint8_t* bits = picture.GetBits();
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = bits + (static_cast<size_t>(y) * width + x) * 3;
            pixel[0] = static_cast<uint8_t>(x * 7 + seed * 13);
            pixel[1] = static_cast<uint8_t>(y * 5 + seed * 29);
            pixel[2] = static_cast<uint8_t>((x ^ y) + seed * 3 + 1);
        }
    }
}

void PaintScene(BMP_File& picture, int32_t width, int32_t height, uint32_t seed) {
    picture.Create(width, height);
    std::minstd_rand noise(seed + 1);
    const int32_t object_x = static_cast<int32_t>((seed * 37) % static_cast<uint32_t>(std::max(1, width - width / 8)));
    const int32_t object_y = height / 3;
    uint8_t* bits = picture.GetBits();
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = bits + (static_cast<size_t>(y) * width + x) * 3;
            const bool inside = x >= object_x && x < object_x + width / 8 && y >= object_y && y < object_y + height / 6;
            const int jitter = static_cast<int>(noise() % 7) - 3;
            const int base_blue = inside ? 40 : 60 + x * 120 / std::max(1, width);
            const int base_green = inside ? 50 : 80 + y * 100 / std::max(1, height);
            const int base_red = inside ? 200 : 90 + (x + y) * 60 / std::max(1, width + height);
            pixel[0] = static_cast<uint8_t>(std::clamp(base_blue + jitter, 0, 255));
            pixel[1] = static_cast<uint8_t>(std::clamp(base_green + jitter, 0, 255));
            pixel[2] = static_cast<uint8_t>(std::clamp(base_red + jitter, 0, 255));
        }
    }
}

std::string RecordPictures(const std::string& folder, const std::vector<const BMP_File*>& pictures) {
    return RecordArchive(folder + "/Storage/", static_cast<int>(pictures.size()),
                         [&](int i) -> const BMP_File& { return *pictures[static_cast<size_t>(i)]; });
}

std::string RecordScenes(const std::string& folder, int32_t width, int32_t height, int count) {
    std::vector<BMP_File> scenes(static_cast<size_t>(count));
    std::vector<const BMP_File*> pictures;
    for (int i = 0; i < count; ++i) {
        PaintScene(scenes[i], width, height, static_cast<uint32_t>(i));
        pictures.push_back(&scenes[i]);
    }
    return RecordPictures(folder, pictures);
}

std::vector<std::vector<uint8_t>> WriteStampedArchive(const std::string& path, const std::vector<double>& stamps,
                                                      int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> bytes(8, 0);
    archive_format::WriteU32(bytes.data(), static_cast<uint32_t>(stamps.size()));
    std::vector<std::vector<uint8_t>> jpegs;
    JpegCodec codec;
    std::vector<uint8_t> buffer(CFrameArchive::kJpegBufferSize);
    uint8_t head[12];
    for (size_t i = 0; i < stamps.size(); ++i) {
        BMP_File picture;
        PaintScene(picture, width, height, seed + static_cast<uint32_t>(i));
        const uint32_t length = codec.EncodeJpeg(picture, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (length == 0) throw std::runtime_error("encode failed: " + codec.LastError());
        jpegs.emplace_back(buffer.begin(), buffer.begin() + length);
        archive_format::WriteDouble(head, stamps[i]);
        archive_format::WriteU32(head + 8, length);
        bytes.insert(bytes.end(), head, head + sizeof head);
        bytes.insert(bytes.end(), jpegs.back().begin(), jpegs.back().end());
    }
    uint8_t trailer[16];
    archive_format::WriteDouble(trailer, std::floor(stamps.empty() ? 0.0 : stamps.back() * 86400.0) / 86400.0);
    archive_format::WriteU32(trailer + 8, archive_format::kEndMarker);
    archive_format::WriteU32(trailer + 12, static_cast<uint32_t>(stamps.size()));
    bytes.insert(bytes.end(), trailer, trailer + sizeof trailer);
    WriteBytes(path, bytes);
    return jpegs;
}

double OleDay(int year, int month, int day, int hour, int minute, double second) {
    CalendarTime fields;
    fields.year = year;
    fields.month = month;
    fields.day = day;
    return CalendarToOleDate(fields) + (hour * 3600 + minute * 60 + second) / 86400.0;
}

std::vector<double> PacketTimes(const std::string& video_path) {
    const CommandResult probe =
        RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" + video_path + "'");
    std::vector<double> times;
    std::istringstream lines(probe.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) times.push_back(std::atof(line.c_str()));
    }
    return times;
}

std::vector<std::vector<uint8_t>> CopiedJpegPackets(const std::string& video_path, const std::string& scratch_folder) {
    std::filesystem::create_directories(scratch_folder);
    RunShell("ffmpeg -nostdin -v error -i '" + video_path + "' -c:v copy " + kEveryFrameOnce + " -f image2 '" +
             scratch_folder + "/%06d.jpg'");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_folder))
        names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    std::vector<std::vector<uint8_t>> packets;
    for (const std::string& name : names) packets.push_back(ReadBytes(name));
    return packets;
}

std::string DecodeComplaints(const std::string& video_path) {
    const CommandResult decoded =
        RunShell("ffmpeg -nostdin -v error -i '" + video_path + "' " + kEveryFrameOnce + " -f null - 2>&1");
    return decoded.exit_code == 0 ? decoded.out : "exit " + std::to_string(decoded.exit_code) + ": " + decoded.out;
}

std::vector<uint8_t> DecodeArchive(CArchiveReader& reader) {
    std::vector<uint8_t> frames;
    for (int32_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
        reader.SeekFrame(frame);
        if (!reader.IsFrameDecoded()) continue;
        const BMP_File& image = reader.GetFrameImage();
        frames.insert(frames.end(), image.GetBits(), image.GetBits() + image.GetBitsSize());
    }
    return frames;
}

namespace {

// Locates frames 0 to frame in order, so that each record is found from the one before
// and never by a jump's estimate.
bool LocateInOrder(CFrameArchive& reader, int32_t frame) {
    for (int32_t k = 0; k <= frame; ++k) {
        if (!reader.LocateFrame(k)) return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> StoredJpeg(const std::string& archive_path, int32_t frame) {
    CFrameArchive reader;
    if (!reader.OpenFile(archive_path) || !LocateInOrder(reader, frame)) return {};
    const cna_info_t& info = reader.GetFrameInfo(frame);
    const std::vector<uint8_t> file = ReadBytes(archive_path);
    if (info.data_position + info.data_length > static_cast<int64_t>(file.size())) return {};
    return std::vector<uint8_t>(file.begin() + info.data_position,
                                file.begin() + info.data_position + info.data_length);
}

void DamageFrame(const std::string& archive_path, int32_t frame) {
    CFrameArchive reader;
    if (!reader.OpenFile(archive_path) || !LocateInOrder(reader, frame)) throw std::runtime_error("no such frame");
    const cna_info_t info = reader.GetFrameInfo(frame);
    std::vector<uint8_t> file = ReadBytes(archive_path);
    // Keep SOI and the JFIF segment, so the record is still found; wipe the tables and frame header.
    std::fill(file.begin() + info.data_position + 20, file.begin() + info.data_position + 200, uint8_t{0});
    WriteBytes(archive_path, file);
}

}  // namespace export_test
