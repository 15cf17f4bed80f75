// cindral-cli avi FILE OUT.avi: the playback panel's "Convert to AVI" on the command line.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive_ui/core/avi_export.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"

namespace {

int RunAvi(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: cindral-cli avi FILE OUT.avi\n");
        return 2;
    }
    const std::string& archive_path = arguments[0];
    const std::string& avi_path = arguments[1];

    const bool is_showing_progress = ::isatty(STDERR_FILENO) == 1;
    archive_cli::InterruptCancels interrupt_cancels;
    const AviExportResult result = ConvertArchiveToAvi(archive_path, avi_path, [&](int32_t done, int32_t total) {
        if (is_showing_progress && (done % 10 == 0 || done == total)) std::fprintf(stderr, "\rframe %d of %d", done, total);
        return !interrupt_cancels.IsInterrupted();
    });
    if (is_showing_progress && result.frames_written + result.is_cancelled > 0) std::fprintf(stderr, "\n");
    if (result.is_cancelled) {
        std::fprintf(stderr, "cindral-cli avi: interrupted; %s was not written\n", avi_path.c_str());
        return 130;
    }
    if (!result.is_written) {
        std::fprintf(stderr, "cindral-cli avi: %s: %s\n", archive_path.c_str(), result.error.c_str());
        return 1;
    }
    std::printf("%s: %d frames of %dx%d at 10 frames per second", avi_path.c_str(), result.frames_written,
                result.width, result.height);
    if (result.frames_repeated > 0) {
        std::printf(", %d repeat the frame before (%d undecodable, %d damaged beyond reading)", result.frames_repeated,
                    result.frames_repeated - result.frames_missing, result.frames_missing);
    }
    if (result.frames_fitted > 0) std::printf(", %d frames of another size scaled", result.frames_fitted);
    std::printf("\n");
    if (result.stored_count > result.frames_written) {
        std::fprintf(stderr, "cindral-cli avi: %s: the header counts %d records; %d are present\n",
                     archive_path.c_str(), result.stored_count, result.frames_written);
    }
    return 0;
}

const CliCommandRegistration kAvi{{"avi", "avi FILE OUT.avi",
                                   "converts every frame of an archive into an uncompressed AVI at 10 frames per second",
                                   &RunAvi}};

}  // namespace
