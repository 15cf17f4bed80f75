// cindral-cli export OUT FILE... [--codec copy|h264]: recorded episodes joined into one compact video.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "archive_core/video_export.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"

namespace {

struct ExportCommandOptions {
    std::string out_path;
    std::vector<std::string> archive_paths;
    VideoExportOptions video;
};

// The options of a command line that fits the declaration; CliUsageError when its values do not
// make a command.
ExportCommandOptions ParseExportOptions(const CliArguments& arguments) {
    ExportCommandOptions options;
    const std::vector<std::string>& positional = arguments.AllPositional();
    options.out_path = positional.front();
    options.archive_paths.assign(positional.begin() + 1, positional.end());
    const std::optional<VideoContainer> container = ContainerForPath(options.out_path);
    if (!container) {
        throw CliUsageError(cli::EscapeForTerminal(options.out_path) +
                            ": the video's name must end in .mkv, .avi or .mp4");
    }
    options.video.container = *container;
    options.video.codec = DefaultCodec(*container);
    if (arguments.Has("codec")) {
        const std::string& codec = arguments.Value("codec");
        if (codec == "copy") {
            options.video.codec = VideoCodec::kMotionJpeg;
        } else if (codec == "h264") {
            options.video.codec = VideoCodec::kH264;
        } else {
            throw CliUsageError("--codec takes copy or h264, not '" + cli::EscapeForTerminal(codec) + "'");
        }
    }
    if (const std::string refusal = CombinationRefusal(options.video.container, options.video.codec);
        !refusal.empty()) {
        throw CliUsageError(refusal);
    }
    return options;
}

int RunExportCommand(const ExportCommandOptions& options) {
    const bool is_showing_progress = ::isatty(STDERR_FILENO) == 1;
    archive_cli::InterruptCancels interrupt_cancels;
    const VideoExportResult result =
        ExportVideo(options.archive_paths, options.out_path, options.video, [&](int64_t done, int64_t total) {
            if (is_showing_progress && (done % 10 == 0 || done == total)) {
                std::fprintf(stderr, "\rframe %" PRId64 " of %" PRId64, done, total);
            }
            return !interrupt_cancels.IsInterrupted();
        });
    if (is_showing_progress && result.frames_written + result.is_cancelled > 0) std::fprintf(stderr, "\n");
    if (result.is_cancelled) {
        cli::PrintError("export", "interrupted; " + options.out_path + " was not written");
        return 130;
    }
    if (!result.is_written) return cli::Fail("export", result.error);
    std::printf("%s: %" PRId64 " frames of %dx%d, %s in %s, %.3f s", cli::EscapeForTerminal(options.out_path).c_str(),
                result.frames_written, result.width, result.height, CodecName(options.video.codec),
                ContainerName(options.video.container), result.span_s);
    if (result.frames_repeated > 0)
        std::printf(", %" PRId64 " without a picture repeat the frame before", result.frames_repeated);
    if (result.frames_fitted > 0) std::printf(", %" PRId64 " of another size scaled", result.frames_fitted);
    std::printf("\n");
    return cli::FlushOutput() ? kCliSuccess : kCliFailure;
}

int RunExport(const CliArguments& arguments) { return RunExportCommand(ParseExportOptions(arguments)); }

const CliCommandRegistration kExport{{
    .name = "export",
    .summary = "joins the frames of archives, in time order and each at its recorded time, into one video: the "
               "stored JPEGs copied (.mkv, .avi) or H.264 (.mp4)",
    .arguments = {{"OUT", "the video to write (.mkv, .avi or .mp4); never an archive"},
                  {"FILE", "an archive file (.CNA)", true}},
    .options = {{"codec", "copy|h264",
                 "copy the stored JPEGs, or encode H.264 (default: copy for .mkv and .avi, "
                 "H.264 for .mp4)"}},
    .run = &RunExport,
}};

}  // namespace
