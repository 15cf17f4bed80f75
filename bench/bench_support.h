// Helpers the speed checks share: timing, medians, processor time, what the machine is doing,
// and a camera-like scene to record (I420 frames come from the tests' support/camera_scene.h).
#pragma once

#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "picture/camera_frame.h"
#include "picture/packed_picture.h"
#include "support/camera_scene.h"

namespace {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Processor time of the whole process (every thread, user and system) so far.
inline double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline std::string FileSystemOf(const std::string& folder) {
    struct statfs status {};
    if (::statfs(folder.c_str(), &status) != 0) return "unknown file system";
    switch (static_cast<unsigned long>(status.f_type)) {
        case 0x01021994: return "tmpfs";
        case 0xEF53: return "ext2/3/4";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x794C7630: return "overlayfs";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "fs 0x%lx", static_cast<unsigned long>(status.f_type));
            return text;
        }
    }
}

inline std::string LoadAverages() {
    double load[3] = {};
    if (::getloadavg(load, 3) != 3) return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// A smooth scene with a little sensor noise and an object crossing it.
class CameraScene {
public:
    CameraScene(int32_t width, int32_t height)
        : width_(width), height_(height), noise_(size_t(width) * height * 3 + 4096) {
        std::minstd_rand random(7);
        for (auto& value : noise_) value = static_cast<int8_t>(static_cast<int>(random() % 7) - 3);
    }

    void Paint(BMP_File& picture, int32_t frame) const {
        picture.CreateForOverwrite(width_, height_);
        uint8_t* bits = picture.GetBits();
        const int32_t object_x = 40 + frame * 8;
        const int32_t object_y = 300 + frame;
        const int8_t* noise = noise_.data() + (frame * 997) % 4096;
        for (int32_t y = 0; y < height_; ++y) {
            for (int32_t x = 0; x < width_; ++x) {
                const size_t at = (static_cast<size_t>(y) * width_ + x) * 3;
                const bool inside = x >= object_x && x < object_x + 160 && y >= object_y && y < object_y + 220;
                const int blue = inside ? 60 : 70 + x * 90 / width_;
                const int green = inside ? 70 : 90 + y * 80 / height_;
                const int red = inside ? 190 : 100 + (x + y) * 50 / (width_ + height_);
                bits[at] = static_cast<uint8_t>(std::clamp(blue + noise[at], 0, 255));
                bits[at + 1] = static_cast<uint8_t>(std::clamp(green + noise[at + 1], 0, 255));
                bits[at + 2] = static_cast<uint8_t>(std::clamp(red + noise[at + 2], 0, 255));
            }
        }
    }

private:
    int32_t width_;
    int32_t height_;
    std::vector<int8_t> noise_;
};

}  // namespace
