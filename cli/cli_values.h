#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive_core/archive_catalogue.h"
#include "cli/cli_command.h"

// Values of cindral-cli's arguments. what names the argument in the message ("N", "--frames");
// a value that does not fit is a usage error (CliUsageError).
namespace cli {

// A whole decimal number (digits, after an optional minus) within minimum .. maximum.
int64_t ParseInteger(std::string_view what, std::string_view text, int64_t minimum, int64_t maximum);
// A size in bytes: a whole number, optionally followed by K, M, G or T (powers of 1024).
uint64_t ParseByteSize(std::string_view what, std::string_view text);
// YYYY-MM-DD, a day the calendar has.
DayDate ParseDate(std::string_view what, std::string_view text);
// FROM and TO as above, FROM not after TO.
DayRange ParseDayRange(std::string_view from_text, std::string_view to_text);

// A folder as the core takes it: ending with '/'.
std::string ParseFolder(std::string_view what, std::string_view text);
// The options that name where the day folders are: --storage DIR (DIR itself) or
// --program-folder DIR (its Storage).
std::vector<CliOption> StorageFolderOptions();
// The folder that holds the day folders, from exactly one of those options or, where a command
// still takes one, a program folder given as its first argument; a usage error otherwise.
std::string ParseStorageFolder(const CliArguments& arguments, const std::string* program_folder_argument = nullptr);

// Why path cannot be listed as a folder ("cannot list PATH: No such file or directory"), or
// nothing when it can. A runtime failure, not a usage error: the folder may appear later.
std::optional<std::string> FolderProblem(const std::string& path);

}  // namespace cli
