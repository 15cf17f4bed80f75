// cindral-cli decode: one archive frame decoded to a binary PPM picture.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "recording/archive_file_io.h"

namespace {

using namespace archive_cli;

// P6 with red, green, blue samples; the frame image holds blue, green, red.
std::vector<uint8_t> ToPpm(const BMP_File& image) {
    const std::string header =
        "P6\n" + std::to_string(image.GetWidth()) + " " + std::to_string(image.GetHeight()) + "\n255\n";
    std::vector<uint8_t> ppm(header.begin(), header.end());
    const size_t pixel_count = image.GetPixelCount();
    ppm.reserve(header.size() + pixel_count * 3);
    const uint8_t* bits = image.GetBits();
    for (size_t i = 0; i < pixel_count; ++i) {
        ppm.push_back(bits[3 * i + 2]);
        ppm.push_back(bits[3 * i + 1]);
        ppm.push_back(bits[3 * i]);
    }
    return ppm;
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
    const std::vector<uint8_t> ppm = ToPpm(archive.GetFrameImage());
    std::string error;
    if (!WriteFileAtomically(parsed->positional[2], ppm.data(), ppm.size(), &error)) return Fail("decode", error);
    return 0;
}

const CliCommandRegistration kDecode{{"decode", "decode FILE N OUT.ppm [--jump]",
                                      "decodes frame N to a binary PPM picture (stepping to it, or jumping)",
                                      &RunDecode}};

}  // namespace
