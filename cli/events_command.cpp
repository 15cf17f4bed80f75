// cindral-cli events: the motion events of the storage folder's events database.
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "platform/ole_date.h"
#include "storage/events_database.h"
#include "storage/storage_folder.h"

namespace {

using namespace archive_cli;

double DayStart(const DayDate& day) { return CalendarToOleDate(CalendarTime{day.year, day.month, day.day, 0, 0, 0}); }

int RunEvents(const CliArguments& arguments) {
    const std::string storage_folder = cli::ParseStorageFolder(arguments);
    const std::vector<std::string>& positional = arguments.AllPositional();
    // No day: every event; one day: that day's; two: from the first to the last, whole days.
    double from_ole = -1e9;
    double to_ole = 1e9;
    if (!positional.empty()) {
        const DayRange range = cli::ParseDayRange(positional[0], positional.size() > 1 ? positional[1] : positional[0]);
        from_ole = DayStart(range.from);
        to_ole = DayStart(range.to) + 1.0;
    }
    if (const auto problem = cli::FolderProblem(storage_folder)) return cli::Fail("events", *problem);
    // Listing makes no database: a folder without one is said, with how to make it.
    struct stat info {};
    if (::lstat((WithTrailingSlash(storage_folder) + CEventsDatabase::kFileName).c_str(), &info) != 0) {
        return cli::Fail("events", "no events database in " + storage_folder + " (cindral-cli detect --index " +
                                       storage_folder + " makes one from the archives)");
    }
    CEventsDatabase database;
    std::string error;
    std::string set_aside;
    if (!database.Open(storage_folder, error, &set_aside)) return cli::Fail("events", error);
    if (!set_aside.empty()) {
        cli::PrintError("events", "the damaged events database was set aside as " + set_aside +
                                      "; cindral-cli detect --index makes it again from the archives");
    }
    const auto events = database.Between(from_ole, to_ole, error);
    if (!events) return cli::Fail("events", error);
    if (arguments.Has("json")) {
        QJsonArray list;
        for (const StoredEvent& event : *events) {
            list.append(QJsonObject{{"start", QString::fromStdString(FormatOleDate(event.start_ole, true))},
                                    {"end", QString::fromStdString(FormatOleDate(event.end_ole, true))},
                                    {"archive", cli::JsonName(event.archive)},
                                    {"label", QString::fromStdString(event.label)},
                                    {"best_frame", event.best_frame}});
        }
        return cli::PrintJsonLine(list) ? kCliSuccess : kCliFailure;
    }
    for (const StoredEvent& event : *events) {
        std::printf("%s\t%s\t%s\t%s\t%d\n", FormatOleDate(event.start_ole, true).c_str(),
                    FormatOleDate(event.end_ole, true).c_str(), cli::EscapeForTerminal(event.archive).c_str(),
                    cli::EscapeForTerminal(event.label).c_str(), event.best_frame);
    }
    return cli::FlushOutput() ? kCliSuccess : kCliFailure;
}

const CliCommandRegistration kEvents{{
    .name = "events",
    .synopsis = "(--storage DIR | --program-folder DIR) [FROM [TO]] [--json]",
    .summary = "the motion events of the storage folder's events database from FROM to TO: start, end, archive, "
               "label, best frame",
    .arguments = {{"FROM", "the first day, YYYY-MM-DD (none: every event)", false, true},
                  {"TO", "the last day, YYYY-MM-DD, not before FROM (none: FROM's day only)", false, true}},
    .options = {cli::StorageFolderOptions()[0],
                cli::StorageFolderOptions()[1],
                {"json", "", "print one line of JSON: a list of {start, end, archive, label, best_frame}"}},
    .run = &RunEvents,
}};

}  // namespace
