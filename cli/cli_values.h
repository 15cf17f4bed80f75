#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive_ui/core/archive_catalogue.h"

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
// Why path cannot be listed as a folder ("cannot list PATH: No such file or directory"), or
// nothing when it can. A runtime failure, not a usage error: the folder may appear later.
std::optional<std::string> FolderProblem(const std::string& path);

}  // namespace cli
