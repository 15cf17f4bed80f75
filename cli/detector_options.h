#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "detection/motion_events.h"

// The motion event options `record` and `detect` share.
struct DetectorOptionValues {
    int32_t pre_roll_s = 0;
    int32_t post_roll_s = 0;
    int32_t min_blocks = 1;
    int32_t frames_in_a_row = 1;
    int32_t light_change_percent = 0;  // 0: off
    std::string mask_path;             // empty: none
};

// options followed by the detector's.
std::vector<CliOption> WithDetectorOptions(std::vector<CliOption> options);
// Usage errors (CliUsageError) for values out of range.
DetectorOptionValues ReadDetectorOptions(const CliArguments& arguments);
void ApplyDetectorOptions(const DetectorOptionValues& values, DetectorSettings& detector);
// The mask of --mask (null without one); false, with *error set, when it cannot be read.
bool LoadMaskOption(const DetectorOptionValues& values, std::shared_ptr<const BlockMask>& mask, std::string* error);
