// cindral-cli prune: retention once, by the same rules as the recorder.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "storage/byte_size.h"
#include "storage/retention.h"
#include "storage/storage_folder.h"

namespace {

constexpr char kPruneUsage[] =
    "prune (--program-folder DIR | --storage DIR) [--max-size SIZE] [--min-free SIZE] [--dry-run] [--json]";

struct PruneOptions {
    std::string storage_folder;
    RetentionLimits limits;
    bool is_dry_run = false;
    bool is_json = false;
};

std::optional<PruneOptions> ParsePruneOptions(const std::vector<std::string>& arguments) {
    PruneOptions options;
    auto fail = [](const std::string& why) -> std::optional<PruneOptions> {
        std::fprintf(stderr, "cindral-cli prune: %s\nusage: cindral-cli %s\n", why.c_str(), kPruneUsage);
        return std::nullopt;
    };
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--dry-run") {
            options.is_dry_run = true;
            continue;
        }
        if (option == "--json") {
            options.is_json = true;
            continue;
        }
        if (option != "--program-folder" && option != "--storage" && option != "--max-size" && option != "--min-free") {
            return fail("unknown argument '" + option + "'");
        }
        if (i + 1 >= arguments.size()) return fail("missing value after " + option);
        const std::string& value = arguments[++i];
        if (option == "--program-folder" || option == "--storage") {
            if (!options.storage_folder.empty()) return fail("give either --program-folder or --storage, once");
            options.storage_folder = option == "--storage" ? WithTrailingSlash(value) : StorageBesideProgram(value);
            continue;
        }
        const std::optional<uint64_t> bytes = ParseByteSize(value);
        if (!bytes) return fail(option + " takes a size in bytes or with K, M, G or T (got '" + value + "')");
        (option == "--max-size" ? options.limits.max_total_bytes : options.limits.min_free_bytes) = *bytes;
    }
    if (options.storage_folder.empty()) return fail("--program-folder or --storage is required");
    // Deleting recordings is asked for, never assumed.
    if (!options.limits.IsAnySet()) return fail("give --max-size, --min-free or both");
    return options;
}

std::string JsonList(const std::vector<std::string>& paths) {
    std::string out = "[";
    for (size_t i = 0; i < paths.size(); ++i) out += (i ? "," : "") + archive_cli::JsonString(paths[i]);
    return out + "]";
}

int Prune(const PruneOptions& options) {
    RetentionRun run;
    run.limits = options.limits;
    run.is_dry_run = options.is_dry_run;
    const RetentionResult result = ApplyRetention(options.storage_folder, run);
    for (const std::string& error : result.errors) std::fprintf(stderr, "cindral-cli prune: %s\n", error.c_str());
    if (!result.problem.empty()) std::fprintf(stderr, "cindral-cli prune: %s\n", result.problem.c_str());
    if (options.is_json) {
        std::printf("{\"deleted\":%s,\"freed\":%llu,\"pinned\":%s,\"total\":%llu}\n", JsonList(result.deleted).c_str(),
                    static_cast<unsigned long long>(result.freed_bytes), JsonList(result.pinned).c_str(),
                    static_cast<unsigned long long>(result.total_bytes));
    } else {
        const char* verb = options.is_dry_run ? "would delete" : "deleted";
        for (const std::string& path : result.deleted) {
            std::printf("%s\t%s\n", verb, archive_cli::EscapeForTerminal(path).c_str());
        }
        for (const std::string& path : result.pinned) {
            std::printf("kept, pinned\t%s\n", archive_cli::EscapeForTerminal(path).c_str());
        }
        std::printf("%s %s; %s of recordings left\n", options.is_dry_run ? "would free" : "freed",
                    FormatByteSize(result.freed_bytes).c_str(), FormatByteSize(result.total_bytes).c_str());
    }
    if (std::fflush(stdout) != 0) return 1;
    return result.is_limit_met && result.errors.empty() ? 0 : 1;
}

int RunPrune(const std::vector<std::string>& arguments) {
    const std::optional<PruneOptions> options = ParsePruneOptions(arguments);
    return options ? Prune(*options) : 2;
}

const CliCommandRegistration kPrune{{"prune", kPruneUsage,
                                     "delete the oldest archives until the recordings take at most --max-size and "
                                     "--min-free is left free; pinned archives are kept (SIZE: bytes, or K, M, G, T)",
                                     &RunPrune}};

}  // namespace
