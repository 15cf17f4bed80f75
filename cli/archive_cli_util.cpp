#include "cli/archive_cli_util.h"

#include <cmath>
#include <csignal>
#include <cstdio>

#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "platform/ole_date.h"

namespace archive_cli {

namespace {

volatile std::sig_atomic_t g_is_interrupted = 0;

void OnInterrupt(int) { g_is_interrupted = 1; }

bool ReachFrame(const std::string& command, CArchiveReader& archive, int32_t frame, bool is_jump) {
    if (frame >= archive.GetFrameCount()) {
        cli::Fail(command, "frame " + std::to_string(frame) + " is out of range: " + archive.GetOpenPath() + " has " +
                               std::to_string(archive.GetFrameCount()) + " frames");
        return false;
    }
    for (int32_t step = is_jump ? frame : 0; step <= frame; ++step) {
        // Every record is indexed when the file opens: each step is a look-up, not a read.
        if (!archive.LocateFrame(step)) {
            cli::Fail(command, archive.GetLastError());
            return false;
        }
    }
    return true;
}

}  // namespace

InterruptCancels::InterruptCancels() {
    g_is_interrupted = 0;
    previous_int_ = std::signal(SIGINT, OnInterrupt);
    previous_term_ = std::signal(SIGTERM, OnInterrupt);
}

InterruptCancels::~InterruptCancels() {
    std::signal(SIGINT, previous_int_);
    std::signal(SIGTERM, previous_term_);
}

bool InterruptCancels::IsInterrupted() const { return g_is_interrupted != 0; }

bool OpenArchive(const std::string& command, CArchiveReader& archive, const std::string& path) {
    if (archive.OpenFile(path)) return true;
    cli::Fail(command, archive.GetLastError());
    return false;
}

std::vector<CliArgument> FrameArguments(CliArgument output) {
    return {{"FILE", "an archive file (.CNA)"}, {"N", "the frame, counted from 0"}, std::move(output)};
}

CliOption JumpOption() {
    return {"jump", "", "reach the frame with one jump, as the playback slider does, instead of stepping"};
}

bool OpenAtFrame(const CliArguments& arguments, CArchiveReader& archive) {
    const auto frame = static_cast<int32_t>(cli::ParseInteger("N", arguments.Positional(1), 0, INT32_MAX));
    return OpenArchive(arguments.Command(), archive, arguments.Positional(0)) &&
           ReachFrame(arguments.Command(), archive, frame, arguments.Has("jump"));
}

std::string FormatOleDate(double ole_date, bool with_milliseconds) {
    const std::string text = archive_format::TimeText(ole_date, ' ', with_milliseconds);
    return text.empty() ? "invalid" : text;
}

}  // namespace archive_cli
