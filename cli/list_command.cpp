// cindral-cli list: the archive catalogue of a date range, as the selection dialog shows it.
#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <string>
#include <vector>

#include "archive_core/archive_catalogue.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"

namespace {

int RunList(const CliArguments& arguments) {
    // The program folder may still come first, as it always could.
    const std::vector<std::string>& positional = arguments.AllPositional();
    const bool has_program_folder = positional.size() == 3;
    const std::string storage_folder =
        cli::ParseStorageFolder(arguments, has_program_folder ? &positional[0] : nullptr);
    const DayRange range = cli::ParseDayRange(positional[positional.size() - 2], positional.back());
    // The catalogue shows nothing for a folder it cannot list; here that is said.
    if (const auto problem = cli::FolderProblem(storage_folder)) return cli::Fail("list", *problem);
    // A day folder that cannot be listed is said; the other days are still listed, and the
    // exit status tells a script that the list is not whole.
    std::vector<std::string> unlisted;
    std::vector<CatalogueRow> rows = BuildCatalogue(storage_folder, range, &unlisted);
    // The dialog shows sub-folders too; a list of archives leaves them out, whatever their names.
    std::erase_if(rows, [](const CatalogueRow& row) { return row.is_folder; });
    for (const std::string& problem : unlisted) cli::PrintError("list", problem);
    const int status = unlisted.empty() ? kCliSuccess : kCliFailure;
    if (arguments.Has("json")) {
        QJsonArray list;
        for (const CatalogueRow& row : rows) {
            list.append(QJsonObject{{"path", cli::JsonName(row.full_path)},
                                    {"name", cli::JsonName(row.name)},
                                    {"date", QString::fromStdString(row.date_text)},
                                    {"duration", QString::fromStdString(row.duration_text)}});
        }
        return cli::PrintJsonLine(list) ? status : kCliFailure;
    }
    for (const CatalogueRow& row : rows) {
        std::printf("%s\t%s\t%s\t%s\n", cli::EscapeForTerminal(row.full_path).c_str(),
                    cli::EscapeForTerminal(row.name).c_str(), row.date_text.c_str(), row.duration_text.c_str());
    }
    return cli::FlushOutput() ? status : kCliFailure;
}

const CliCommandRegistration kList{{
    .name = "list",
    .summary = "archives of the day folders from FROM to TO (their files; no sub-folder): path, name, date, duration",
    .arguments = {{"PROGRAM_FOLDER", "the folder whose Storage holds the day folders (or --storage, --program-folder)",
                   false, true},
                  {"FROM", "the first day, YYYY-MM-DD"},
                  {"TO", "the last day, YYYY-MM-DD, not before FROM"}},
    .options = {cli::StorageFolderOptions()[0],
                cli::StorageFolderOptions()[1],
                {"json", "", "print one line of JSON: a list of {path, name, date, duration}"}},
    .run = &RunList,
}};

}  // namespace
