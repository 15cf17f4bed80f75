// cindral-cli list: the archive catalogue of a date range, as the selection dialog shows it.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "archive_ui/core/archive_catalogue.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "storage/storage_folder.h"

namespace {

// YYYY-MM-DD with a real month and day.
std::optional<DayDate> ParseIsoDate(const std::string& text) {
    int year = 0, month = 0, day = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3) {
        return std::nullopt;
    }
    if (text[4] != '-' || text[7] != '-' || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    return DayDate{year, month, day};
}

constexpr char kListUsage[] = "list (PROGRAM_FOLDER | --program-folder DIR | --storage DIR) FROM TO [--json]";

struct ListOptions {
    std::string storage_folder;  // the day folders are directly in it
    DayRange range;
    bool is_json = false;
};

std::optional<ListOptions> ParseListOptions(const std::vector<std::string>& arguments) {
    ListOptions options;
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--json") {
            options.is_json = true;
        } else if (argument == "--storage" || argument == "--program-folder") {
            if (i + 1 >= arguments.size() || !options.storage_folder.empty()) {
                std::fprintf(stderr, "usage: cindral-cli %s\n", kListUsage);
                return std::nullopt;
            }
            const std::string& folder = arguments[++i];
            options.storage_folder = argument == "--storage" ? WithTrailingSlash(folder) : StorageBesideProgram(folder);
        } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
            std::fprintf(stderr, "cindral-cli list: unknown option '%s'\n", argument.c_str());
            return std::nullopt;
        } else {
            positional.push_back(argument);
        }
    }
    // The program folder may also come first, as it always could.
    if (options.storage_folder.empty() && positional.size() == 3) {
        options.storage_folder = StorageBesideProgram(positional.front());
        positional.erase(positional.begin());
    }
    if (options.storage_folder.empty() || positional.size() != 2) {
        std::fprintf(stderr, "usage: cindral-cli %s\n", kListUsage);
        return std::nullopt;
    }
    const auto from = ParseIsoDate(positional[0]);
    const auto to = ParseIsoDate(positional[1]);
    if (!from || !to) {
        std::fprintf(stderr, "cindral-cli list: dates must be written YYYY-MM-DD (got '%s', '%s')\n",
                     positional[0].c_str(), positional[1].c_str());
        return std::nullopt;
    }
    options.range = DayRange{*from, *to};
    return options;
}

int List(const ListOptions& options) {
    const std::vector<CatalogueRow> rows = BuildCatalogue(options.storage_folder, options.range);
    if (options.is_json) {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i > 0) out += ",";
            out += "{\"path\":" + archive_cli::JsonString(rows[i].full_path) + ",\"name\":" + archive_cli::JsonString(rows[i].name) +
                   ",\"date\":" + archive_cli::JsonString(rows[i].date_text) + ",\"duration\":" +
                   archive_cli::JsonString(rows[i].duration_text) + "}";
        }
        out += "]\n";
        std::fputs(out.c_str(), stdout);
    } else {
        // Names may hold any byte: escaped, so that none reaches the terminal as a control character.
        for (const CatalogueRow& row : rows) {
            std::printf("%s\t%s\t%s\t%s\n", archive_cli::EscapeForTerminal(row.full_path).c_str(),
                        archive_cli::EscapeForTerminal(row.name).c_str(), row.date_text.c_str(),
                        row.duration_text.c_str());
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int RunList(const std::vector<std::string>& arguments) {
    const std::optional<ListOptions> options = ParseListOptions(arguments);
    return options ? List(*options) : 2;
}

const CliCommandRegistration kList{{"list", kListUsage,
                                    "archives of the day folders from FROM to TO (YYYY-MM-DD): path, name, date, "
                                    "duration",
                                    &RunList}};

}  // namespace
