// cindral-cli frame: the stored JPEG stream of one archive frame, byte for byte.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"

namespace {

using namespace archive_cli;

int RunFrame(const std::vector<std::string>& arguments) {
    const auto parsed = ParseArguments("frame", arguments, {"--jump"});
    if (!parsed) return 2;
    if (parsed->positional.size() != 3) {
        std::fprintf(stderr, "usage: cindral-cli frame FILE N OUT.jpg [--jump]\n");
        return 2;
    }
    const auto frame = ParseFrameNumber(parsed->positional[1]);
    if (!frame) return Fail("frame", "'" + parsed->positional[1] + "' is not a frame number");
    CFrameArchive archive;
    if (!OpenArchive("frame", archive, parsed->positional[0])) return 1;
    if (!ReachFrame("frame", archive, *frame, parsed->Has("--jump"))) return 1;
    if (!archive.SaveFrameJpeg(parsed->positional[2])) return Fail("frame", archive.GetLastError());
    return 0;
}

const CliCommandRegistration kFrame{{"frame", "frame FILE N OUT.jpg [--jump]",
                                     "saves frame N as it is stored (stepping to it, or jumping like the playback slider)",
                                     &RunFrame}};

}  // namespace
