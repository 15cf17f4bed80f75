// cindral-cli decode: one archive frame decoded to a binary PPM picture.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "platform/safe_output.h"

namespace {

using namespace archive_cli;

// The picture as a binary PPM (P6: red, green, blue samples; the frame image holds blue, green,
// red), converted and written a band of rows at a time so that no second copy of it is held.
bool WritePpm(const BMP_File& image, CSafeOutput& output) {
    const std::string header =
        "P6\n" + std::to_string(image.GetWidth()) + " " + std::to_string(image.GetHeight()) + "\n255\n";
    if (!output.Write(header.data(), header.size())) return false;
    constexpr size_t kBandPixels = 1 << 18;
    const size_t pixel_count = image.GetPixelCount();
    std::vector<uint8_t> band(std::min(kBandPixels, pixel_count) * 3);
    for (size_t first = 0; first < pixel_count; first += kBandPixels) {
        const size_t count = std::min(kBandPixels, pixel_count - first);
        const uint8_t* from = image.GetBits() + first * 3;
        for (size_t i = 0; i < count; ++i) {
            band[3 * i] = from[3 * i + 2];
            band[3 * i + 1] = from[3 * i + 1];
            band[3 * i + 2] = from[3 * i];
        }
        if (!output.Write(band.data(), count * 3)) return false;
    }
    return true;
}

int RunDecode(const CliArguments& arguments) {
    CArchiveReader archive;
    if (!OpenAtFrame(arguments, archive)) return kCliFailure;
    archive.SeekFrame(archive.GetCurrentFrame());  // located already: loads and decodes that record
    if (!archive.IsFrameDecoded()) return cli::Fail("decode", archive.GetLastError());
    CSafeOutput output;
    SafeOutputRules rules;
    rules.protected_paths.push_back(arguments.Positional(0));
    if (!output.Open(arguments.Positional(2), rules) || !WritePpm(archive.GetFrameImage(), output) ||
        !output.Commit()) {
        return cli::Fail("decode", output.Error());
    }
    return kCliSuccess;
}

const CliCommandRegistration kDecode{{
    .name = "decode",
    .summary = "decodes frame N to a binary PPM picture (stepping to it, or jumping)",
    .arguments = FrameArguments({"OUT.ppm", "the picture to write; never an archive"}),
    .options = {JumpOption()},
    .run = &RunDecode,
}};

}  // namespace
