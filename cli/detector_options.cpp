#include "cli/detector_options.h"

#include <climits>

#include "capture/ignored_areas_file.h"
#include "cli/cli_values.h"

std::vector<CliOption> WithDetectorOptions(std::vector<CliOption> options) {
    options.insert(
        options.end(),
        {{"pre-roll", "SECONDS",
          "motion: begin each event's archive with the frames of SECONDS before it, 0 to 10 (0)"},
         {"post-roll", "SECONDS", "motion: go on recording until SECONDS without motion have passed, 0 to 120 (0)"},
         {"min-blocks", "N", "a frame moves only when at least N blocks moved (1)"},
         {"frames-in-a-row", "K", "an event begins after K moving frames in a row, 1 to 100 (1)"},
         {"light-change", "PERCENT",
          "more than PERCENT of the blocks moving at once is a change of light, not motion, 1 to 100 (off)"},
         {"mask", "FILE",
          "a picture of the areas to ignore: a pixel that is not black ignores its block once scaled to the frame"}});
    return options;
}

DetectorOptionValues ReadDetectorOptions(const CliArguments& arguments) {
    DetectorOptionValues values;
    const auto number = [&](const char* name, int64_t low, int64_t high, int32_t& value) {
        if (!arguments.Has(name)) return;
        value = static_cast<int32_t>(cli::ParseInteger(std::string("--") + name, arguments.Value(name), low, high));
    };
    number("pre-roll", 0, kMaxPreRollS, values.pre_roll_s);
    number("post-roll", 0, kMaxPostRollS, values.post_roll_s);
    number("min-blocks", 1, INT32_MAX, values.min_blocks);
    number("frames-in-a-row", 1, kMaxFramesInARow, values.frames_in_a_row);
    number("light-change", 1, 100, values.light_change_percent);
    values.mask_path = arguments.Value("mask");
    if (arguments.Has("mask") && values.mask_path.empty()) throw CliUsageError("--mask is empty");
    return values;
}

void ApplyDetectorOptions(const DetectorOptionValues& values, DetectorSettings& detector) {
    detector.pre_roll_s = values.pre_roll_s;
    detector.post_roll_s = values.post_roll_s;
    detector.min_blocks = values.min_blocks;
    detector.frames_in_a_row = values.frames_in_a_row;
    detector.light_change_percent = values.light_change_percent;
}

bool LoadMaskOption(const DetectorOptionValues& values, std::shared_ptr<const BlockMask>& mask, std::string* error) {
    mask.reset();
    if (values.mask_path.empty()) return true;
    std::optional<BlockMask> read = ReadIgnoredAreas(values.mask_path, error);
    if (!read) return false;
    mask = std::make_shared<const BlockMask>(std::move(*read));
    return true;
}
