#include "cli/cli_values.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>

#include "cli/cli_command.h"
#include "platform/posix_file.h"
#include "storage/byte_size.h"
#include "storage/storage_folder.h"

namespace cli {

namespace {

bool IsDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

[[noreturn]] void Reject(std::string_view what, std::string_view text, const std::string& wanted) {
    throw CliUsageError(std::string(what) + " takes " + wanted + ", not '" + std::string(text) + "'");
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int DateOrder(const DayDate& date) { return (date.year * 12 + date.month) * 31 + date.day; }

std::string DateText(const DayDate& date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
    return text;
}

}  // namespace

int64_t ParseInteger(std::string_view what, std::string_view text, int64_t minimum, int64_t maximum) {
    const std::string wanted = "a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
    const std::string_view digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
    int64_t value = 0;
    if (!IsDigits(digits)) Reject(what, text, wanted);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum || value > maximum) {
        Reject(what, text, wanted);
    }
    return value;
}

uint64_t ParseByteSize(std::string_view what, std::string_view text) {
    const std::optional<uint64_t> bytes = ::ParseByteSize(text);
    if (!bytes) Reject(what, text, "a size in bytes, or with K, M, G or T");
    return *bytes;
}

DayDate ParseDate(std::string_view what, std::string_view text) {
    const bool is_shaped = text.size() == 10 && text[4] == '-' && text[7] == '-' && IsDigits(text.substr(0, 4)) &&
                           IsDigits(text.substr(5, 2)) && IsDigits(text.substr(8, 2));
    if (!is_shaped) Reject(what, text, "a date written YYYY-MM-DD");
    const auto number = [&](size_t at, size_t length) {
        int value = 0;
        std::from_chars(text.data() + at, text.data() + at + length, value);
        return value;
    };
    const DayDate date{number(0, 4), number(5, 2), number(8, 2)};
    if (date.year < 1 || date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > DaysInMonth(date.year, date.month)) {
        throw CliUsageError(std::string(what) + ": there is no day " + std::string(text));
    }
    return date;
}

DayRange ParseDayRange(std::string_view from_text, std::string_view to_text) {
    const DayRange range{ParseDate("FROM", from_text), ParseDate("TO", to_text)};
    if (DateOrder(range.from) > DateOrder(range.to)) {
        throw CliUsageError("the range ends before it begins: " + DateText(range.from) + " is after " +
                            DateText(range.to));
    }
    return range;
}

std::string ParseFolder(std::string_view what, std::string_view text) {
    if (text.empty()) Reject(what, text, "a folder");
    std::string folder(text);
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::vector<CliOption> StorageFolderOptions() {
    return {{"storage", "DIR", "the folder that holds the day folders"},
            {"program-folder", "DIR", "the program's folder: the day folders are in DIR/Storage"}};
}

std::string ParseStorageFolder(const CliArguments& arguments, const std::string* program_folder_argument) {
    const int given = arguments.Has("storage") + arguments.Has("program-folder") + (program_folder_argument != nullptr);
    if (given != 1) throw CliUsageError("give one of --storage DIR or --program-folder DIR");
    if (arguments.Has("storage")) return WithTrailingSlash(ParseFolder("--storage", arguments.Value("storage")));
    const std::string& folder = program_folder_argument ? *program_folder_argument : arguments.Value("program-folder");
    return StorageBesideProgram(ParseFolder(program_folder_argument ? "PROGRAM_FOLDER" : "--program-folder", folder));
}

std::optional<std::string> FolderProblem(const std::string& path) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), &::closedir);
    if (!folder) return ErrnoMessage("cannot list " + path);
    return std::nullopt;
}

}  // namespace cli
