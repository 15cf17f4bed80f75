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
    const int32_t frame_count = archive.GetFrameCount();

    std::string out;
    char line[256];
    if (is_json) {
        out = "{\"count\":" + std::to_string(archive.GetStoredCount()) + ",\"trailer\":";
        out += trailer ? "{\"count\":" + std::to_string(trailer->record_count) + ",\"time\":" +
                             JsonNumber(trailer->finished_time) + "}"
                       : std::string("null");
        out += ",\"frames\":[";
    } else {
        out = "file: " + EscapeForTerminal(path) + "\ncount: " + std::to_string(archive.GetStoredCount()) +
              "\nrecords: " + std::to_string(frame_count) + "\n";
        if (trailer) {
            std::snprintf(line, sizeof line, "trailer: count %d, time %.17g (%s)\n", trailer->record_count,
                          trailer->finished_time, FormatOleDate(trailer->finished_time, false).c_str());
            out += line;
        } else {
            out += "trailer: none\n";
        }
    }

    // What makes the file unsound, first found first: damaged records, or counts the records do not bear out.
    std::string first_problem;
    for (int32_t frame = 0; frame < frame_count; ++frame) {
        const std::optional<ArchiveRecord> record = archive.GetRecord(frame);
        if (!record) {
            first_problem = path + " changed while it was read";
            break;
        }
        const bool is_intact = record->condition == RecordCondition::kIntact;
        const char* condition = RecordConditionName(record->condition);
        if (first_problem.empty() && !is_intact) {
            first_problem = "frame " + std::to_string(frame) + " of " + path + ": " + condition + " record at " +
                            std::to_string(record->start);
        }
        if (is_json) {
            if (frame > 0) out += ",";
            out += "{\"index\":" + std::to_string(frame) + ",\"time\":" + JsonNumber(record->time_stamp) +
                   ",\"length\":" + std::to_string(record->length) + ",\"position\":" +
                   std::to_string(record->DataPosition()) + ",\"condition\":\"" + condition + "\"}";
        } else {
            std::snprintf(line, sizeof line, "frame %d: time %.17g (%s), length %" PRIu32 ", position %" PRId64 "%s%s%s\n",
                          frame, record->time_stamp, FormatOleDate(record->time_stamp, true).c_str(), record->length,
                          record->DataPosition(), is_intact ? "" : " (", is_intact ? "" : condition,
                          is_intact ? "" : ")");
            out += line;
        }
    }
    if (is_json) out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) return Fail("info", "cannot write the listing");
    if (first_problem.empty() && archive.GetStoredCount() != frame_count) {
        first_problem = path + ": the header counts " + std::to_string(archive.GetStoredCount()) + " records, " +
                        std::to_string(frame_count) + " are present";
    }
    if (first_problem.empty() && trailer && trailer->record_count != frame_count) {
        first_problem = path + ": the trailer counts " + std::to_string(trailer->record_count) + " records, " +
                        std::to_string(frame_count) + " are present";
    }
    if (!first_problem.empty()) return Fail("info", first_problem);
    return 0;
}

const CliCommandRegistration kInfo{{"info", "info FILE [--json]",
                                    "stored record count, trailer and every record found (time, JPEG length, position, condition)",
                                    &RunInfo}};

}  // namespace
