// cindral-cli frame: the stored JPEG stream of one archive frame, byte for byte.
#include <cstdint>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"

namespace {

using namespace archive_cli;

int RunFrame(const CliArguments& arguments) {
    const auto frame = static_cast<int32_t>(cli::ParseInteger("N", arguments.Positional(1), 0, INT32_MAX));
    CFrameArchive archive;
    if (!OpenArchive("frame", archive, arguments.Positional(0))) return kCliFailure;
    if (!ReachFrame("frame", archive, frame, arguments.Has("jump"))) return kCliFailure;
    if (!archive.SaveFrameJpeg(arguments.Positional(2))) return cli::Fail("frame", archive.GetLastError());
    return kCliSuccess;
}

const CliCommandRegistration kFrame{{
    .name = "frame",
    .summary = "saves frame N as it is stored (stepping to it, or jumping like the playback slider)",
    .arguments = {{"FILE", "an archive file (.CNA)"},
                  {"N", "the frame, counted from 0"},
                  {"OUT.jpg", "the JPEG file to write; never an archive"}},
    .options = {{"jump", "", "reach the frame with one jump, as the playback slider does, instead of stepping"}},
    .run = &RunFrame,
}};

}  // namespace
