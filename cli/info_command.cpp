// cindral-cli info: the record count, the trailer and every frame of an archive, reached in order.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"

namespace {

using namespace archive_cli;

int RunInfo(const std::vector<std::string>& arguments) {
    const auto parsed = ParseArguments("info", arguments, {"--json"});
    if (!parsed) return 2;
    if (parsed->positional.size() != 1) {
        std::fprintf(stderr, "usage: cindral-cli info FILE [--json]\n");
        return 2;
    }
    const std::string& path = parsed->positional[0];
    const bool is_json = parsed->Has("--json");
    CFrameArchive archive;
    if (!OpenArchive("info", archive, path)) return 1;
    const auto trailer = archive_format::ReadTrailer(path);

    std::string out;
    char line[256];
    if (is_json) {
        out = "{\"count\":" + std::to_string(archive.GetFrameCount()) + ",\"trailer\":";
        out += trailer ? "{\"count\":" + std::to_string(trailer->record_count) + ",\"time\":" +
                             JsonNumber(trailer->finished_time) + "}"
                       : std::string("null");
        out += ",\"frames\":[";
    } else {
        out = "file: " + path + "\ncount: " + std::to_string(archive.GetFrameCount()) + "\n";
        if (trailer) {
            std::snprintf(line, sizeof line, "trailer: count %d, time %.17g (%s)\n", trailer->record_count,
                          trailer->finished_time, FormatOleDate(trailer->finished_time, false).c_str());
            out += line;
        } else {
            out += "trailer: none\n";
        }
    }

    std::string first_problem;
    for (int32_t frame = 0; frame < archive.GetFrameCount(); ++frame) {
        const bool is_found = archive.LocateFrame(frame);
        const cna_info_t& entry = archive.GetFrameInfo(frame);
        const bool is_loadable = entry.data_length > 0 && entry.data_length <= CFrameArchive::kJpegBufferSize;
        if (first_problem.empty() && (!is_found || !is_loadable)) {
            first_problem = "frame " + std::to_string(frame) + " of " + path +
                            (is_found ? " claims a JPEG length no frame can have" : " could not be found");
        }
        if (is_json) {
            if (frame > 0) out += ",";
            out += "{\"index\":" + std::to_string(frame);
            out += is_found ? ",\"time\":" + JsonNumber(entry.time_stamp) + ",\"length\":" +
                                  std::to_string(entry.data_length) + ",\"position\":" +
                                  std::to_string(entry.data_position)
                            : std::string(",\"time\":null,\"length\":null,\"position\":null");
            out += "}";
        } else if (is_found) {
            std::snprintf(line, sizeof line, "frame %d: time %.17g (%s), length %" PRIu32 ", position %" PRId64 "%s\n",
                          frame, entry.time_stamp, FormatOleDate(entry.time_stamp, true).c_str(), entry.data_length,
                          entry.data_position, is_loadable ? "" : " (damaged)");
            out += line;
        } else {
            out += "frame " + std::to_string(frame) + ": not found\n";
        }
    }
    if (is_json) out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) return Fail("info", "cannot write the listing");
    if (!first_problem.empty()) return Fail("info", first_problem);
    return 0;
}

const CliCommandRegistration kInfo{{"info", "info FILE [--json]",
                                    "record count, trailer and every frame (time, JPEG length, position) of an archive",
                                    &RunInfo}};

}  // namespace
