#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "archive_core/archive_catalogue.h"
#include "platform/file_times.h"
#include "platform/ole_date.h"
#include "support/temp_tree.h"

namespace {

// Runs a block with TZ set, restoring the previous zone afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

double OleOf(int year, int month, int day, int hour, int minute, int second) {
    return CalendarToOleDate(CalendarTime{year, month, day, hour, minute, second});
}

const DayRange kAllDays{{0, 0, 0}, {9999, 12, 31}};

std::vector<std::string> NamesOf(const std::vector<CatalogueRow>& rows) {
    std::vector<std::string> names;
    for (const CatalogueRow& row : rows) names.push_back(row.name);
    return names;
}

}  // namespace

TEST(CatalogueParsing, LenientDecimalStopsAtFirstNonDigit) {
    EXPECT_EQ(ParseLenientDecimal("2009"), 2009);
    EXPECT_EQ(ParseLenientDecimal("03"), 3);
    EXPECT_EQ(ParseLenientDecimal("1x"), 1);
    EXPECT_EQ(ParseLenientDecimal("x1"), 0);
    EXPECT_EQ(ParseLenientDecimal(""), 0);
    EXPECT_EQ(ParseLenientDecimal("  7"), 7);
    EXPECT_EQ(ParseLenientDecimal("-4"), -4);
    EXPECT_EQ(ParseLenientDecimal("+12"), 12);
    EXPECT_EQ(ParseLenientDecimal("- 1"), 0);
    EXPECT_EQ(ParseLenientDecimal("99999999999999"), 2147483647);
}

TEST(CatalogueParsing, DayFolderNamesMustHaveEightCharacters) {
    EXPECT_EQ(ParseDayFolderName("20090315"), (DayDate{2009, 3, 15}));
    EXPECT_EQ(ParseDayFolderName("2009031x"), (DayDate{2009, 3, 1}));
    EXPECT_EQ(ParseDayFolderName("abcdefgh"), (DayDate{0, 0, 0}));
    EXPECT_EQ(ParseDayFolderName("2009 3 7"), (DayDate{2009, 3, 7}));
    EXPECT_FALSE(ParseDayFolderName("2009031").has_value());
    EXPECT_FALSE(ParseDayFolderName("200903150").has_value());
    EXPECT_FALSE(ParseDayFolderName("").has_value());
}

TEST(CatalogueRange, ComparesWholeDatesAcrossMonthAndYearBoundaries) {
    const DayRange jan20_to_feb5{{2009, 1, 20}, {2009, 2, 5}};
    EXPECT_TRUE(IsDayInRange({2009, 1, 20}, jan20_to_feb5));
    EXPECT_TRUE(IsDayInRange({2009, 1, 31}, jan20_to_feb5));
    EXPECT_TRUE(IsDayInRange({2009, 2, 1}, jan20_to_feb5));  // day 1 < 20 must not exclude it
    EXPECT_TRUE(IsDayInRange({2009, 2, 5}, jan20_to_feb5));
    EXPECT_FALSE(IsDayInRange({2009, 1, 19}, jan20_to_feb5));
    EXPECT_FALSE(IsDayInRange({2009, 2, 6}, jan20_to_feb5));
    EXPECT_FALSE(IsDayInRange({2008, 1, 25}, jan20_to_feb5));

    const DayRange new_year{{2008, 12, 30}, {2009, 1, 2}};
    EXPECT_TRUE(IsDayInRange({2008, 12, 31}, new_year));
    EXPECT_TRUE(IsDayInRange({2009, 1, 1}, new_year));
    EXPECT_FALSE(IsDayInRange({2009, 12, 31}, new_year));

    const DayRange reversed{{2009, 3, 16}, {2009, 3, 15}};
    EXPECT_FALSE(IsDayInRange({2009, 3, 15}, reversed));
    EXPECT_FALSE(IsDayInRange({2009, 3, 16}, reversed));
}

TEST(CatalogueTexts, DateTextOfKnownTimes) {
    EXPECT_EQ(FormatDateText({OleOf(2009, 3, 15, 14, 5, 9), true}), "2009/03/15 - 14:05:09");
    EXPECT_EQ(FormatDateText({OleOf(1999, 12, 31, 23, 59, 59), true}), "1999/12/31 - 23:59:59");
    EXPECT_EQ(FormatDateText({OleOf(2009, 3, 15, 14, 5, 9), false}), "Invalid DateTime");
}

TEST(CatalogueTexts, FileTimesAreConvertedToLocalTime) {
    const long long kMarch15_2009_140509_utc = 1237125909;
    {
        ScopedTimeZone utc("UTC0");
        const OleDateTime value = LocalOleDateTime(kMarch15_2009_140509_utc);
        ASSERT_TRUE(value.is_valid);
        EXPECT_EQ(FormatDateText(value), "2009/03/15 - 14:05:09");
    }
    {
        ScopedTimeZone east("CET-1");
        EXPECT_EQ(FormatDateText(LocalOleDateTime(kMarch15_2009_140509_utc)), "2009/03/15 - 15:05:09");
    }
    {
        ScopedTimeZone west("EST5");
        EXPECT_EQ(FormatDateText(LocalOleDateTime(kMarch15_2009_140509_utc)), "2009/03/15 - 09:05:09");
    }
    // Beyond the years a date value can hold.
    EXPECT_FALSE(LocalOleDateTime(400000000000LL).is_valid);
}

TEST(CatalogueTexts, DurationRoundsToSecondsAndDropsWholeDays) {
    const double start = OleOf(2009, 3, 15, 14, 5, 9);
    const auto after = [start](double seconds) { return FormatDurationText(start, start + seconds / 86400.0); };
    EXPECT_EQ(after(0), "00:00:00");
    EXPECT_EQ(after(59.5), "00:01:00");
    EXPECT_EQ(after(59.4), "00:00:59");
    EXPECT_EQ(after(3725), "01:02:05");
    EXPECT_EQ(after(25 * 3600), "01:00:00");
    EXPECT_EQ(after(86399), "23:59:59");
    EXPECT_EQ(after(86400), "00:00:00");
    EXPECT_EQ(after(-3725), "-1:-2:-5");
    EXPECT_EQ(after(-59.5), "00:-1:00");
    EXPECT_EQ(after(-0.4), "00:00:00");
    EXPECT_EQ(FormatDurationText(start, std::nan("")), "");
}

TEST(FileTimes, ReadsBirthAndLastWriteWithoutOpeningData) {
    TempTree tree;
    const auto path = tree.WriteFile("a.CNA", "data");
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(SetLastWriteTime(path, 1237125909));
    const auto times = ReadFileTimes(path.string());
    ASSERT_TRUE(times.has_value());
    EXPECT_EQ(times->last_write.seconds, 1237125909);
    EXPECT_EQ(times->last_write.nanoseconds, 0u);
    EXPECT_FALSE(times->is_directory);
    // Setting the last-write time must not move the creation time back with it.
    EXPECT_GE(times->creation.seconds, before - 5);

    // Unreadable data does not matter: only the inode is read.
    ::chmod(path.c_str(), 0);
    EXPECT_TRUE(ReadFileTimes(path.string()).has_value());

    EXPECT_TRUE(ReadFileTimes(tree.MakeFolder("sub").string())->is_directory);
    EXPECT_FALSE(ReadFileTimes((tree.Storage() / "missing").string()).has_value());
}

TEST(CatalogueBuild, MissingEmptyOrUnrelatedStorageGivesNoRows) {
    TempTree tree;
    EXPECT_TRUE(BuildCatalogue(tree.StorageFolder(), kAllDays).empty());
    tree.MakeFolder("Storage");
    EXPECT_TRUE(BuildCatalogue(tree.StorageFolder(), kAllDays).empty());
    tree.WriteFile("Storage/2009031/1.CNA");
    tree.WriteFile("Storage/200903150/1.CNA");
    tree.WriteFile("Storage/readme.txt");
    EXPECT_TRUE(BuildCatalogue(tree.StorageFolder(), kAllDays).empty());
}

TEST(CatalogueBuild, ListsEveryEntryOfTheDaysInRangeWithFullPaths) {
    TempTree tree;
    tree.WriteFile("Storage/20090315/1.CNA");
    tree.WriteFile("Storage/20090315/2.CNA");
    tree.WriteFile("Storage/20090315/notes.txt", "hello");
    tree.MakeFolder("Storage/20090315/sub");
    tree.WriteFile("Storage/2009031x/7.CNA");   // counts as 2009-03-01
    tree.WriteFile("Storage/20090401/9.CNA");   // outside the range
    tree.WriteFile("Storage/20090228/8.CNA");   // outside the range
    tree.WriteFile("Storage/200903151/3.CNA");  // not a day folder

    const auto rows = BuildCatalogue(tree.StorageFolder(), DayRange{{2009, 3, 1}, {2009, 3, 31}});
    std::map<std::string, std::string> path_by_name;
    for (const CatalogueRow& row : rows) path_by_name[row.name] = row.full_path;
    ASSERT_EQ(rows.size(), 5u) << ::testing::PrintToString(NamesOf(rows));
    ASSERT_EQ(path_by_name.size(), 5u);
    const std::string storage = tree.ProgramFolder() + "Storage/";
    EXPECT_EQ(path_by_name["1.CNA"], storage + "20090315/1.CNA");
    EXPECT_EQ(path_by_name["2.CNA"], storage + "20090315/2.CNA");
    EXPECT_EQ(path_by_name["notes.txt"], storage + "20090315/notes.txt");
    EXPECT_EQ(path_by_name["sub"], storage + "20090315/sub");
    EXPECT_EQ(path_by_name["7.CNA"], storage + "2009031x/7.CNA");

    // Each day folder's rows stay together.
    const auto first_of_15 =
        std::find_if(rows.begin(), rows.end(), [](const CatalogueRow& row) { return row.name != "7.CNA"; });
    const auto count_of_15 =
        std::count_if(rows.begin(), rows.end(), [](const CatalogueRow& row) { return row.name != "7.CNA"; });
    EXPECT_TRUE(std::all_of(first_of_15, first_of_15 + count_of_15, [](const CatalogueRow& row) {
        return row.full_path.find("/20090315/") != std::string::npos;
    }));

    for (const CatalogueRow& row : rows) {
        if (row.name == "sub") {
            EXPECT_EQ(row.date_text, "");
            EXPECT_EQ(row.duration_text, "");
        } else {
            EXPECT_NE(row.date_text, "");
            EXPECT_NE(row.date_text, "Invalid DateTime");
            EXPECT_NE(row.duration_text, "");
        }
    }

    // A storage folder given without its trailing slash finds the same rows.
    std::string bare_folder = tree.StorageFolder();
    bare_folder.pop_back();
    EXPECT_EQ(BuildCatalogue(bare_folder, DayRange{{2009, 3, 1}, {2009, 3, 31}}).size(), 5u);
    // A range given backwards lists nothing.
    EXPECT_TRUE(BuildCatalogue(tree.StorageFolder(), DayRange{{2009, 3, 31}, {2009, 3, 1}}).empty());
}

TEST(CatalogueBuild, RangeAcrossAMonthBoundarySelectsTheDaysBetween) {
    TempTree tree;
    for (const char* day : {"20090119", "20090120", "20090131", "20090201", "20090205", "20090206"}) {
        tree.WriteFile(std::string("Storage/") + day + "/1.CNA");
    }
    std::set<std::string> folders;
    for (const CatalogueRow& row : BuildCatalogue(tree.StorageFolder(), DayRange{{2009, 1, 20}, {2009, 2, 5}})) {
        folders.insert(row.full_path.substr(row.full_path.size() - 14, 8));
    }
    EXPECT_EQ(folders, (std::set<std::string>{"20090120", "20090131", "20090201", "20090205"}));
}

TEST(CatalogueBuild, AnUnlistableDayFolderIsSkippedAndSaidAndTheOthersStay) {
    TempTree tree;
    tree.WriteFile("Storage/20090314/1.CNA");
    tree.WriteFile("Storage/20090315", "a file where a day folder should be");
    tree.WriteFile("Storage/20090316/2.CNA");
    std::vector<std::string> unlisted;
    const auto names = NamesOf(BuildCatalogue(tree.StorageFolder(), kAllDays, &unlisted));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"1.CNA", "2.CNA"}));
    EXPECT_EQ(names.size(), 2u);
    EXPECT_EQ(unlisted, std::vector<std::string>{"cannot list " + tree.StorageFolder() + "20090315/: Not a directory"});
}

TEST(CatalogueBuild, DateAndDurationComeFromTheFileTimes) {
    TempTree tree;
    const auto forward = tree.WriteFile("Storage/20090315/1.CNA");
    const auto backward = tree.WriteFile("Storage/20090315/2.CNA");
    const auto created = ReadFileTimes(forward.string());
    ASSERT_TRUE(created.has_value());
    if (!created->is_birth_time) GTEST_SKIP() << "this file system keeps no birth time";
    ASSERT_TRUE(SetLastWriteTime(forward, created->creation.seconds + 3725));
    const auto created_backward = ReadFileTimes(backward.string());
    ASSERT_TRUE(SetLastWriteTime(backward, created_backward->creation.seconds - 3725));

    const auto rows = BuildCatalogue(tree.StorageFolder(), kAllDays);
    ASSERT_EQ(rows.size(), 2u);
    for (const CatalogueRow& row : rows) {
        const long long created_s =
            row.name == "1.CNA" ? created->creation.seconds : created_backward->creation.seconds;
        EXPECT_EQ(row.date_text, FormatDateText(LocalOleDateTime(created_s)));
        // Written before it was made: copied with its times kept, its duration cannot be known.
        EXPECT_EQ(row.duration_text, row.name == "1.CNA" ? "01:02:05" : "\u2014") << row.name;
    }
    // Summer time begins half an hour after the file was made: the Duration counts real seconds.
    {
        const std::time_t change = static_cast<std::time_t>(created->creation.seconds + 1800);
        std::tm utc{};
        gmtime_r(&change, &utc);
        char zone[64];
        std::snprintf(zone, sizeof zone, "STD0DST-1,%d/%02d:%02d:%02d,%d/0", utc.tm_yday, utc.tm_hour, utc.tm_min,
                      utc.tm_sec, (utc.tm_yday + 2) % 365);
        ScopedTimeZone summer_time(zone);
        std::tm before{}, after{};
        const std::time_t created_at = static_cast<std::time_t>(created->creation.seconds);
        const std::time_t written_at = created_at + 3725;
        localtime_r(&created_at, &before);
        localtime_r(&written_at, &after);
        ASSERT_NE(before.tm_isdst, after.tm_isdst) << zone;
        const auto dst_rows = BuildCatalogue(tree.StorageFolder(), kAllDays);
        const auto row =
            std::find_if(dst_rows.begin(), dst_rows.end(), [](const CatalogueRow& r) { return r.name == "1.CNA"; });
        ASSERT_NE(row, dst_rows.end());
        EXPECT_EQ(row->duration_text, "01:02:05");
    }
    // The Date text is the moment the file was made, to the second.
    std::tm local{};
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y/%m/%d", &local);
    EXPECT_EQ(rows[0].date_text.substr(0, 10), today);
}
