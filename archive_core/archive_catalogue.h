#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A calendar day as the catalogue compares it: only year, month and day count.
struct DayDate {
    int year = 0;
    int month = 0;
    int day = 0;
    friend bool operator==(const DayDate&, const DayDate&) = default;
};

struct DayRange {
    DayDate from;
    DayDate to;
};

// A local date-time in OLE form with its validity.
struct OleDateTime {
    double days = 0.0;
    bool is_valid = false;
};

// One listed entry of a day folder.
// The Duration of an archive whose times give none: an em dash.
inline constexpr const char* kUnknownDurationText = "\u2014";

struct CatalogueRow {
    std::string full_path;      // storage folder + day folder + "/" + name
    std::string name;           // as the file system returns it
    std::string date_text;      // empty when the entry's times cannot be read
    std::string duration_text;  // from the UTC file times; empty when they cannot be read, and
                                // kUnknownDurationText when the file was written before it was made
    bool is_folder = false;     // a sub-folder: listed, but no archive whatever its name
};

// Decimal number the lenient way: optional leading white space and sign, then digits up to
// the first non-digit; no digits gives 0.
int ParseLenientDecimal(std::string_view text);
// Year, month and day of an 8-character day-folder name ("2009031x" is 2009-03-01).
// Nothing for names of another length.
std::optional<DayDate> ParseDayFolderName(std::string_view name);
// Whole-date comparison: from <= day <= to.
bool IsDayInRange(const DayDate& day, const DayRange& range);

// Local time of a file time stamp (seconds since 1970) in OLE form, milliseconds dropped;
// invalid when the conversion fails or does not convert back to the same fields.
OleDateTime LocalOleDateTime(long long seconds_since_1970);
// "%Y/%m/%d - %H:%M:%S", or "Invalid DateTime".
std::string FormatDateText(const OleDateTime& creation);
// "%H:%M:%S" of last_write - creation rounded to whole seconds, whole days dropped;
// negative spans keep the sign in every part ("-1:-2:-5").
std::string FormatDurationText(double creation_days, double last_write_days);
// The same for a span in seconds.
std::string FormatDurationSeconds(double span_s);

// The rows of every day folder of storage_folder inside the range, in the
// file system's listing order. A missing storage folder gives no rows; a day folder that
// cannot be listed is skipped, and said in unlisted when given ("cannot list FOLDER: <system's
// text>"). Never changes the current folder.
std::vector<CatalogueRow> BuildCatalogue(const std::string& storage_folder, const DayRange& range,
                                         std::vector<std::string>* unlisted = nullptr);
