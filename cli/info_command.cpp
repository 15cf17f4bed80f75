// cindral-cli info: the record count, the trailer and every frame of an archive, reached in order.
#include <QJsonObject>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"

namespace {

using namespace archive_cli;

int RunInfo(const CliArguments& arguments) {
    const std::string& path = arguments.Positional(0);
    const bool is_json = arguments.Has("json");
    CArchiveReader archive;
    if (!OpenArchive("info", archive, path)) return kCliFailure;
    const auto trailer = archive_format::ReadTrailer(path);
    const int32_t frame_count = archive.GetFrameCount();

    // Frames are written as they are read: a long archive costs no memory.
    std::optional<cli::JsonListWriter> json;
    if (is_json) {
        const QJsonValue trailer_json =
            trailer ? QJsonObject{{"count", trailer->record_count}, {"time", trailer->finished_time}} : QJsonValue();
        json.emplace(QJsonObject{{"count", archive.GetStoredCount()}, {"trailer", trailer_json}}, "frames");
    } else {
        std::printf("file: %s\ncount: %d\nrecords: %d\n", cli::EscapeForTerminal(path).c_str(),
                    archive.GetStoredCount(), frame_count);
        if (trailer) {
            std::printf("trailer: count %d, time %.17g (%s)\n", trailer->record_count, trailer->finished_time,
                        FormatOleDate(trailer->finished_time, false).c_str());
        } else {
            std::printf("trailer: none\n");
        }
    }

    // What makes the file unsound, first found first: damaged records, or counts the records do not bear out.
    std::string first_problem;
    // Records lost in one damaged stretch are said in one line (one JSON entry with their count):
    // the output grows with what the file holds, not with what it claims.
    int32_t run_first = -1;
    int32_t run_count = 0;
    int64_t run_start = -1;
    const auto say_run = [&] {
        if (run_count == 0) return;
        if (json) {
            json->Add(QJsonObject{{"index", run_first},
                                  {"count", run_count},
                                  {"time", 0.0},
                                  {"length", 0},
                                  {"position", static_cast<qint64>(run_start + archive_format::kRecordHeadSize)},
                                  {"condition", RecordConditionName(RecordCondition::kLost)}});
        } else {
            std::printf("frames %d to %d: lost, %d records of the damaged stretch at %" PRId64 "\n", run_first,
                        run_first + run_count - 1, run_count, run_start);
        }
        run_count = 0;
    };
    int64_t previous_start = -1;
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
        const bool is_same_stretch = record->condition == RecordCondition::kLost && record->start == previous_start;
        previous_start = record->start;
        if (is_same_stretch) {
            if (run_count++ == 0) {
                run_first = frame;
                run_start = record->start;
            }
            continue;
        }
        say_run();
        if (json) {
            json->Add(QJsonObject{{"index", frame},
                                  {"time", record->time_stamp},
                                  {"length", static_cast<qint64>(record->length)},
                                  {"position", static_cast<qint64>(record->DataPosition())},
                                  {"condition", condition}});
        } else {
            std::printf("frame %d: time %.17g (%s), length %" PRIu32 ", position %" PRId64 "%s%s%s\n", frame,
                        record->time_stamp, FormatOleDate(record->time_stamp, true).c_str(), record->length,
                        record->DataPosition(), is_intact ? "" : " (", is_intact ? "" : condition,
                        is_intact ? "" : ")");
        }
    }
    say_run();
    if (!(json ? json->Finish() : cli::FlushOutput())) return kCliFailure;
    if (first_problem.empty() && archive.GetStoredCount() != frame_count) {
        first_problem = path + ": the header counts " + std::to_string(archive.GetStoredCount()) + " records, " +
                        std::to_string(frame_count) + " are present";
    }
    if (first_problem.empty() && trailer && trailer->record_count != frame_count) {
        first_problem = path + ": the trailer counts " + std::to_string(trailer->record_count) + " records, " +
                        std::to_string(frame_count) + " are present";
    }
    if (!first_problem.empty()) return cli::Fail("info", first_problem);
    return kCliSuccess;
}

const CliCommandRegistration kInfo{{
    .name = "info",
    .summary = "stored record count, trailer and every record found (time, JPEG length, position, condition)",
    .arguments = {{"FILE", "an archive file (.CNA)"}},
    .options = {{"json", "",
                 "print one line of JSON: count, trailer (count, time) and frames (index, time, "
                 "length, position, condition; the records lost in one damaged stretch after its first are one "
                 "entry with their count)"}},
    .run = &RunInfo,
}};

}  // namespace
