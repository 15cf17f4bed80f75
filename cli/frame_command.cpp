// cindral-cli frame: the stored JPEG stream of one archive frame, byte for byte.
#include <cstdint>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"

namespace {

using namespace archive_cli;

int RunFrame(const CliArguments& arguments) {
    CArchiveReader archive;
    if (!OpenAtFrame(arguments, archive)) return kCliFailure;
    if (!archive.SaveFrameJpeg(arguments.Positional(2))) return cli::Fail("frame", archive.GetLastError());
    return kCliSuccess;
}

const CliCommandRegistration kFrame{{
    .name = "frame",
    .summary = "saves frame N as it is stored (stepping to it, or jumping like the playback slider)",
    .arguments = FrameArguments({"OUT.jpg", "the JPEG file to write; never an archive"}),
    .options = {JumpOption()},
    .run = &RunFrame,
}};

}  // namespace
