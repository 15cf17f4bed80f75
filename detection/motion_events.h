#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/key_store.h"

// What turns moving frames into events. With every value at its default a frame with one moving
// block is recorded and the first still frame ends the archive.

inline constexpr const char* kDetectorKeyPath = "Software\\Tovamesh\\Cindral\\Detector";
inline constexpr int32_t kMaxPreRollS = 10;
inline constexpr int32_t kMaxPostRollS = 120;
inline constexpr int32_t kMaxFramesInARow = 100;
// What "Ignore light changes" starts at when it is turned on.
inline constexpr int32_t kRecommendedLightChangePercent = 60;
// Held frames never take more memory than this; a longer span is cut short.
inline constexpr uint64_t kPreRollByteLimit = 256ull * 1024 * 1024;

// The rules of one frame, in plain values.
struct MotionRules {
    int64_t pre_roll_ms = 0;
    int64_t post_roll_ms = 0;
    int32_t min_blocks = 1;
    int32_t frames_in_a_row = 1;
    int32_t light_change_percent = 0;  // 0: light changes count as motion
};

// The detector's settings of our own. Those the streaming thread reads are atomics.
struct DetectorSettings {
    std::atomic<int32_t> pre_roll_s{0};            // "Record before motion", 0 to 10
    std::atomic<int32_t> post_roll_s{0};           // "Record after motion", 0 to 120
    std::atomic<int32_t> min_blocks{1};            // "Smallest motion", blocks
    std::atomic<int32_t> frames_in_a_row{1};       // "Frames in a row"
    std::atomic<int32_t> light_change_percent{0};  // "Ignore light changes"; 0: off
    bool is_notifying = true;                      // a desktop notification when an event begins
    std::string event_command;                     // run at every event's start and end; empty: none

    // Out-of-range values are brought within their limits.
    MotionRules Rules() const;
};

// Missing values keep their defaults; the key is not created by reading.
void LoadDetectorSettings(CKeyStore& store, DetectorSettings& settings);
// False when the settings file could not be written.
bool SaveDetectorSettings(CKeyStore& store, const DetectorSettings& settings);

// Blocks that never count as motion: one byte per 4x4 block, rows of blocks top first, nonzero
// for an ignored block.
class BlockMask {
public:
    BlockMask() = default;
    BlockMask(int32_t across, int32_t down, std::vector<uint8_t> ignored);

    int32_t Across() const { return across_; }
    int32_t Down() const { return down_; }
    const std::vector<uint8_t>& Bytes() const { return ignored_; }
    bool IsIgnored(size_t block) const { return block < ignored_.size() && ignored_[block] != 0; }
    int64_t IgnoredCount() const;
    // The same areas over a grid of another size: a block is ignored when any mask cell it
    // overlaps is (so a picture of the frame's size ignores every block one of its pixels marks).
    BlockMask ScaledTo(int32_t across, int32_t down) const;
    // Painting by hand: every block a square brush of brush_blocks a side covers, centred on each
    // block of the connected line from (from_x, from_y) to (to_x, to_y), set ignored or counted
    // again. Blocks outside the grid are left out.
    void PaintLine(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y, int32_t brush_blocks, bool is_ignored);
    // Every block of the rectangle with the two corner blocks, set ignored or counted again.
    void PaintRectangle(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y, bool is_ignored);

private:
    int32_t across_ = 0;
    int32_t down_ = 0;
    std::vector<uint8_t> ignored_;
};

// What one frame means for the event in progress.
struct MotionStep {
    bool is_moving = false;        // enough blocks moved, and not all at once
    bool is_light_change = false;  // more than the light change share of the blocks moved
    bool ends = false;             // the event in progress ended before this frame
    bool begins = false;           // an event begins with this frame
    bool is_recorded = false;      // this frame belongs to an event
    int64_t first_moving_ms = -1;  // begins: when the run of moving frames that began it started
};

// The event logic, fed by the frame pass's count of moving blocks, one frame at a time. No clock
// of its own: each frame brings its time, so recorded archives are replayed as they were lived.
class CMotionEvents {
public:
    // counted_blocks: the blocks that could have moved (the ignored ones left out).
    MotionStep Next(int64_t moving_blocks, int64_t counted_blocks, int64_t time_ms, const MotionRules& rules);
    // Forgets the event and the run in progress; true when an event was in progress.
    bool Reset();
    bool IsInEvent() const { return is_in_event_; }
    // While moving frames run without an event yet, the time of the first of them; else -1.
    int64_t RunStartMs() const { return run_length_ > 0 && !is_in_event_ ? run_start_ms_ : -1; }

private:
    bool is_in_event_ = false;
    int32_t run_length_ = 0;
    int64_t run_start_ms_ = 0;
    int64_t last_motion_ms_ = 0;
};
