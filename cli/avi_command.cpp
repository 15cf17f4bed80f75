// cindral-cli avi FILE OUT.avi: the playback panel's "Convert to AVI" on the command line.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "archive_core/avi_export.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"

namespace {

int RunAvi(const CliArguments& arguments) {
    const std::string& archive_path = arguments.Positional(0);
    const std::string& avi_path = arguments.Positional(1);

    const bool is_showing_progress = ::isatty(STDERR_FILENO) == 1;
    archive_cli::InterruptCancels interrupt_cancels;
    const AviExportResult result = ConvertArchiveToAvi(archive_path, avi_path, [&](int32_t done, int32_t total) {
        if (is_showing_progress && (done % 10 == 0 || done == total))
            std::fprintf(stderr, "\rframe %d of %d", done, total);
        return !interrupt_cancels.IsInterrupted();
    });
    if (is_showing_progress && result.frames_written + result.is_cancelled > 0) std::fprintf(stderr, "\n");
    if (result.is_cancelled) {
        cli::PrintError("avi", "interrupted; " + avi_path + " was not written");
        return 130;
    }
    if (!result.is_written) {
        // The reader's messages name the archive already; the others get it in front.
        const bool names_archive = result.error.find(archive_path) != std::string::npos;
        return cli::Fail("avi", names_archive ? result.error : archive_path + ": " + result.error);
    }
    std::printf("%s: %d frames of %dx%d at 10 frames per second", cli::EscapeForTerminal(avi_path).c_str(),
                result.frames_written, result.width, result.height);
    if (result.frames_repeated > 0) {
        std::printf(", %d repeat the frame before (%d undecodable, %d damaged beyond reading)", result.frames_repeated,
                    result.frames_repeated - result.frames_missing, result.frames_missing);
    }
    if (result.frames_fitted > 0) std::printf(", %d frames of another size scaled", result.frames_fitted);
    std::printf("\n");
    if (!cli::FlushOutput()) return kCliFailure;
    if (result.stored_count > result.frames_written) {
        cli::PrintError("avi", archive_path + ": the header counts " + std::to_string(result.stored_count) +
                                   " records; " + std::to_string(result.frames_written) + " are present");
    }
    return kCliSuccess;
}

const CliCommandRegistration kAvi{{
    .name = "avi",
    .summary = "converts every frame of an archive into an uncompressed AVI at 10 frames per second",
    .arguments = {{"FILE", "an archive file (.CNA)"}, {"OUT.avi", "the video file to write; never an archive"}},
    .run = &RunAvi,
}};

}  // namespace
