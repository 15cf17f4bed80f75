#include "archive_ui/core/archive_catalogue.h"

int ParseLenientDecimal(std::string_view) { return 0; }
std::optional<DayDate> ParseDayFolderName(std::string_view) { return std::nullopt; }
bool IsDayInRange(const DayDate&, const DayRange&) { return false; }
OleDateTime LocalOleDateTime(long long) { return {}; }
std::string FormatDateText(const OleDateTime&) { return "Invalid DateTime"; }
std::string FormatDurationText(double, double) { return {}; }
std::vector<CatalogueRow> BuildCatalogue(const std::string&, const DayRange&) { return {}; }
