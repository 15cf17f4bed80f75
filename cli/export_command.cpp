// cindral-cli export OUT FILE... [--codec copy|h264]: recorded episodes joined into one compact video.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "archive_ui/core/video_export.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"

namespace {

constexpr char kUsage[] = "export OUT.mkv|OUT.avi|OUT.mp4 FILE... [--codec copy|h264]";

struct ExportCommandOptions {
    std::string out_path;
    std::vector<std::string> archive_paths;
    VideoExportOptions video;
};

// Fills the options from the arguments; says why on standard error and gives nothing when they
// do not make a command.
std::optional<ExportCommandOptions> ParseExportOptions(const std::vector<std::string>& arguments) {
    auto fail = [](const std::string& why) -> std::optional<ExportCommandOptions> {
        std::fprintf(stderr, "cindral-cli export: %s\nusage: cindral-cli %s\n", why.c_str(), kUsage);
        return std::nullopt;
    };
    ExportCommandOptions options;
    std::optional<std::string> codec;
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--codec") {
            if (i + 1 >= arguments.size()) return fail("missing value after --codec");
            codec = arguments[++i];
        } else if (argument.rfind("--codec=", 0) == 0) {
            codec = argument.substr(8);
        } else if (argument.size() > 2 && argument.rfind("--", 0) == 0) {
            return fail("unknown option '" + argument + "'");
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() < 2) return fail("give the video to write and at least one archive");
    options.out_path = positional.front();
    options.archive_paths.assign(positional.begin() + 1, positional.end());
    const std::optional<VideoContainer> container = ContainerForPath(options.out_path);
    if (!container) return fail(options.out_path + ": the video's name must end in .mkv, .avi or .mp4");
    options.video.container = *container;
    options.video.codec = DefaultCodec(*container);
    if (codec == "copy") {
        options.video.codec = VideoCodec::kMotionJpeg;
    } else if (codec == "h264") {
        options.video.codec = VideoCodec::kH264;
    } else if (codec) {
        return fail("--codec takes copy or h264, not '" + *codec + "'");
    }
    if (const std::string refusal = CombinationRefusal(options.video.container, options.video.codec); !refusal.empty()) {
        return fail(refusal);
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
        std::fprintf(stderr, "cindral-cli export: interrupted; %s was not written\n", options.out_path.c_str());
        return 130;
    }
    if (!result.is_written) return archive_cli::Fail("export", result.error);
    std::printf("%s: %" PRId64 " frames of %dx%d, %s in %s, %.3f s", options.out_path.c_str(), result.frames_written,
                result.width, result.height, CodecName(options.video.codec), ContainerName(options.video.container),
                result.span_s);
    if (result.frames_repeated > 0) std::printf(", %" PRId64 " without a picture repeat the frame before", result.frames_repeated);
    if (result.frames_fitted > 0) std::printf(", %" PRId64 " of another size scaled", result.frames_fitted);
    std::printf("\n");
    return 0;
}

int RunExport(const std::vector<std::string>& arguments) {
    const std::optional<ExportCommandOptions> options = ParseExportOptions(arguments);
    return options ? RunExportCommand(*options) : 2;
}

const CliCommandRegistration kExport{
    {"export", kUsage,
     "joins the frames of archives, in time order and each at its recorded time, into one video: the stored JPEGs "
     "copied (.mkv, .avi) or H.264 (.mp4)",
     &RunExport}};

}  // namespace
