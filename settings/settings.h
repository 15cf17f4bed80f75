#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Saving modes of the "Save Flag" setting; any other value records nothing.
enum SavingMode : int32_t {
    kSavingOff = 0,
    kSavingMotionDetector = 1,
    kSavingAlways = 2,
};

// The program's eight settings, held by the main frame for the whole run.
// Those that the streaming thread reads or writes are atomics, read afresh at each use.
struct CindralSettings {
    std::string camera_name;                       // "Camera DShow Src"; user-interface thread only
    std::atomic<int32_t> frame_width{640};         // "WEB Camera Size X", pixels
    std::atomic<int32_t> frame_height{480};        // "WEB Camera Size Y", pixels; negative = top-down rows
    std::atomic<int64_t> frame_duration_100ns{0};  // "WEB Camera Frequency"; <= 0 keeps the camera's rate
    std::atomic<uint16_t> detector_colour{0};      // "Motion Detector", packed 5-5-5 (bit 10 unused)
    std::atomic<int32_t> saving_mode{kSavingOff};  // "Save Flag"
    std::atomic<int32_t> show_detector{0};         // "Motion Detector Show"
    std::atomic<int32_t> threshold{20};            // "Treshold"
};

// The 16-bit detector colour widened to a pixel: each 5-bit field shifted left by 3.
struct DetectorColour {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
};
inline DetectorColour ExpandDetectorColour(uint16_t word) {
    return DetectorColour{static_cast<uint8_t>((word & 0x1F) << 3), static_cast<uint8_t>(((word >> 5) & 0x1F) << 3),
                          static_cast<uint8_t>(((word >> 11) & 0x1F) << 3)};
}
inline uint16_t PackDetectorColour(uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<uint16_t>(((red >> 3) << 11) | ((green >> 3) << 5) | (blue >> 3));
}
