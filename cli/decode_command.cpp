// cindral-cli decode: one archive frame decoded to a binary PPM picture.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
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

int RunDecode(const std::vector<std::string>& arguments) {
    const auto parsed = ParseArguments("decode", arguments, {"--jump"});
    if (!parsed) return 2;
    if (parsed->positional.size() != 3) {
        std::fprintf(stderr, "usage: cindral-cli decode FILE N OUT.ppm [--jump]\n");
        return 2;
    }
    const auto frame = ParseFrameNumber(parsed->positional[1]);
    if (!frame) return Fail("decode", "'" + parsed->positional[1] + "' is not a frame number");
    CFrameArchive archive;
    if (!OpenArchive("decode", archive, parsed->positional[0])) return 1;
    if (!ReachFrame("decode", archive, *frame, parsed->Has("--jump"))) return 1;
    archive.SeekFrame(*frame);  // located already: loads and decodes that record
    if (!archive.IsFrameDecoded()) return Fail("decode", archive.GetLastError());
    CSafeOutput output;
    SafeOutputRules rules;
    rules.protected_paths.push_back(parsed->positional[0]);
    if (!output.Open(parsed->positional[2], rules) || !WritePpm(archive.GetFrameImage(), output) || !output.Commit()) {
        return Fail("decode", output.Error());
    }
    return 0;
}

const CliCommandRegistration kDecode{{"decode", "decode FILE N OUT.ppm [--jump]",
                                      "decodes frame N to a binary PPM picture (stepping to it, or jumping)",
                                      &RunDecode}};

}  // namespace
