// cindral-cli prune: retention once, by the same rules as the recorder.
#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "storage/byte_size.h"
#include "storage/retention.h"

namespace {

struct PruneOptions {
    std::string storage_folder;
    RetentionLimits limits;
    bool is_dry_run = false;
    bool is_json = false;
};

PruneOptions ReadPruneOptions(const CliArguments& arguments) {
    PruneOptions options;
    options.storage_folder = cli::ParseStorageFolder(arguments);
    if (arguments.Has("max-size"))
        options.limits.max_total_bytes = cli::ParseByteSize("--max-size", arguments.Value("max-size"));
    if (arguments.Has("min-free"))
        options.limits.min_free_bytes = cli::ParseByteSize("--min-free", arguments.Value("min-free"));
    // Deleting recordings is asked for, never assumed.
    if (!options.limits.IsAnySet()) throw CliUsageError("give --max-size, --min-free or both");
    options.is_dry_run = arguments.Has("dry-run");
    options.is_json = arguments.Has("json");
    return options;
}

QJsonArray JsonPaths(const std::vector<std::string>& paths) {
    QJsonArray list;
    for (const std::string& path : paths) list.append(cli::JsonName(path));
    return list;
}

int Prune(const PruneOptions& options) {
    if (const auto problem = cli::FolderProblem(options.storage_folder)) return cli::Fail("prune", *problem);
    RetentionRun run;
    run.limits = options.limits;
    run.is_dry_run = options.is_dry_run;
    const RetentionResult result = ApplyRetention(options.storage_folder, run);
    for (const std::string& error : result.errors) cli::PrintError("prune", error);
    if (!result.problem.empty()) cli::PrintError("prune", result.problem);
    if (options.is_json) {
        const QJsonObject summary{{"deleted", JsonPaths(result.deleted)},
                                  {"freed", static_cast<qint64>(result.freed_bytes)},
                                  {"pinned", JsonPaths(result.pinned)},
                                  {"total", static_cast<qint64>(result.total_bytes)}};
        if (!cli::PrintJsonLine(summary)) return kCliFailure;
    } else {
        const char* verb = options.is_dry_run ? "would delete" : "deleted";
        for (const std::string& path : result.deleted)
            std::printf("%s\t%s\n", verb, cli::EscapeForTerminal(path).c_str());
        for (const std::string& path : result.pinned)
            std::printf("kept, pinned\t%s\n", cli::EscapeForTerminal(path).c_str());
        std::printf("%s %s; %s of recordings left\n", options.is_dry_run ? "would free" : "freed",
                    FormatByteSize(result.freed_bytes).c_str(), FormatByteSize(result.total_bytes).c_str());
        if (!cli::FlushOutput()) return kCliFailure;
    }
    return result.is_limit_met && result.errors.empty() ? kCliSuccess : kCliFailure;
}

int RunPrune(const CliArguments& arguments) { return Prune(ReadPruneOptions(arguments)); }

const CliCommandRegistration kPrune{{
    .name = "prune",
    .synopsis = "(--storage DIR | --program-folder DIR) [--max-size SIZE] [--min-free SIZE] [--dry-run] [--json]",
    .summary = "deletes the oldest archives until the recordings take at most --max-size and --min-free is left "
               "free; pinned archives are kept",
    .options = {cli::StorageFolderOptions()[0],
                cli::StorageFolderOptions()[1],
                {"max-size", "SIZE", "the most the recordings may take: bytes, or with K, M, G, T (powers of 1024)"},
                {"min-free", "SIZE", "the least to leave free on the disk: bytes, or with K, M, G, T"},
                {"dry-run", "", "delete nothing; say what would be deleted"},
                {"json", "", "print one line of JSON: {deleted, freed, pinned, total}"}},
    .run = &RunPrune,
}};

}  // namespace
