// cindral-cli list: the archive catalogue of a date range, as the selection dialog shows it.
#include <cstdio>
#include <string>
#include <vector>

#include "archive_ui/core/archive_catalogue.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"

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

// A JSON string of text, whose bytes are decoded as UTF-8 with invalid ones replaced.
std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : archive_cli::ValidUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\b': quoted += "\\b"; break;
            case '\f': quoted += "\\f"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    quoted += escaped;
                } else {
                    quoted += c;  // valid UTF-8 passes through unchanged
                }
        }
    }
    return quoted + "\"";
}

int RunList(const std::vector<std::string>& arguments) {
    std::vector<std::string> positional;
    bool is_json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            is_json = true;
        } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
            std::fprintf(stderr, "cindral-cli list: unknown option '%s'\n", argument.c_str());
            return 2;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 3) {
        std::fprintf(stderr, "usage: cindral-cli list PROGRAM_FOLDER FROM TO [--json]\n");
        return 2;
    }
    const auto from = ParseIsoDate(positional[1]);
    const auto to = ParseIsoDate(positional[2]);
    if (!from || !to) {
        std::fprintf(stderr, "cindral-cli list: dates must be written YYYY-MM-DD (got '%s', '%s')\n",
                     positional[1].c_str(), positional[2].c_str());
        return 2;
    }
    const std::vector<CatalogueRow> rows = BuildCatalogue(positional[0], DayRange{*from, *to});
    if (is_json) {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i > 0) out += ",";
            out += "{\"path\":" + JsonString(rows[i].full_path) + ",\"name\":" + JsonString(rows[i].name) +
                   ",\"date\":" + JsonString(rows[i].date_text) + ",\"duration\":" +
                   JsonString(rows[i].duration_text) + "}";
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

const CliCommandRegistration kList{{"list", "list PROGRAM_FOLDER FROM TO [--json]",
                                    "archives of the day folders from FROM to TO (YYYY-MM-DD): path, name, date, "
                                    "duration",
                                    &RunList}};

}  // namespace
