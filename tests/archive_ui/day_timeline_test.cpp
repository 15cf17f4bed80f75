#include <gtest/gtest.h>

#include <QDateTime>
#include <QPushButton>
#include <QTreeWidget>
#include <QWheelEvent>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <tuple>

#include "archive/archive_format.h"
#include "archive_core/day_timeline.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/day_timeline_widget.h"
#include "archive_ui/ui_events.h"
#include "platform/ole_date.h"
#include "support/temp_tree.h"

namespace {

DayDate DayOf(const QDate& date) { return DayDate{date.year(), date.month(), date.day()}; }
std::string FolderOf(const QDate& date) { return date.toString(QStringLiteral("yyyyMMdd")).toStdString(); }

}  // namespace

TEST(DayTimeline, TheScaleMapsTheDayAcrossTheWidthAndZoomsAroundThePointerWithinTheDay) {
    TimelineScale scale;
    scale.SetWidth(960);
    for (const auto& [second, x] :
         std::vector<std::pair<double, double>>{{0, 0}, {21600, 240}, {43200, 480}, {86400, 960}}) {
        EXPECT_DOUBLE_EQ(x, scale.XOf(second));
        EXPECT_DOUBLE_EQ(second, scale.SecondAt(x));
    }
    // Four times closer at 06:00: 06:00 stays under the pointer, six hours on show.
    scale.ZoomAround(240, 4);
    EXPECT_NEAR(21600, scale.SecondAt(240), 1e-6);
    EXPECT_DOUBLE_EQ(21600, scale.SpanSeconds());
    EXPECT_DOUBLE_EQ(16200, scale.FirstSecond());
    // No closer than a minute, no wider than the day, never beyond its ends.
    scale.ZoomAround(0, 1e9);
    EXPECT_DOUBLE_EQ(60, scale.SpanSeconds());
    EXPECT_NEAR(16200, scale.FirstSecond(), 1e-6);
    scale.ZoomAround(480, 1e-9);
    EXPECT_DOUBLE_EQ(86400, scale.SpanSeconds());
    EXPECT_DOUBLE_EQ(0, scale.FirstSecond());
    scale.ZoomAround(960, 2);
    EXPECT_DOUBLE_EQ(43200, scale.FirstSecond());
    scale.Pan(-1e6);
    EXPECT_DOUBLE_EQ(43200, scale.FirstSecond());
    scale.Pan(240);  // a quarter of the width: three hours earlier
    EXPECT_DOUBLE_EQ(32400, scale.FirstSecond());
    scale.Pan(1e6);
    EXPECT_DOUBLE_EQ(0, scale.FirstSecond());
}

namespace {

// An archive of one record at first_day (its JPEG only as far as the "JFIF" tag), finished at
// finished_day when given.
void WriteArchive(const std::filesystem::path& path, double first_day, std::optional<double> finished_day) {
    std::vector<uint8_t> bytes(8, 0);
    bytes[0] = 1;
    uint8_t stamp[8];
    archive_format::WriteDouble(stamp, first_day);
    bytes.insert(bytes.end(), stamp, stamp + 8);
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    bytes.insert(bytes.end(), {sizeof jpeg, 0, 0, 0});
    bytes.insert(bytes.end(), jpeg, jpeg + sizeof jpeg);
    if (finished_day) {
        archive_format::WriteDouble(stamp, *finished_day);
        bytes.insert(bytes.end(), stamp, stamp + 8);
        bytes.insert(bytes.end(), {0x68, 0x24, 0x57, 0x13, 1, 0, 0, 0});
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

double OleMidnight(const QDate& date) {
    return CalendarToOleDate(CalendarTime{date.year(), date.month(), date.day(), 0, 0, 0});
}

}  // namespace

TEST(DayTimeline, EachListedDayIsAStripWithABlockPerArchiveFromItsFirstToItsLastRecord) {
    TempTree tree;
    const QDate today = QDate::currentDate();
    const QDate yesterday = today.addDays(-1);
    const std::string today_folder = "Storage/" + FolderOf(today) + "/";
    const double midnight = OleMidnight(today);
    const auto kept = tree.WriteFile(today_folder + "1.CNA");
    WriteArchive(kept, midnight + 7 / 24.0, midnight + 7.5 / 24.0);
    std::filesystem::permissions(kept, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
    // Cut short, without a trailer: it ends at its last write.
    const auto cut = tree.WriteFile(today_folder + "2.CNA");
    WriteArchive(cut, midnight + 13 / 24.0, std::nullopt);
    ASSERT_TRUE(SetLastWriteTime(cut, QDateTime(today, QTime(13, 45)).toSecsSinceEpoch()));
    // A foreign file: its creation, a moment ago, and its last write.
    tree.WriteFile(today_folder + "notes.txt", "not an archive");
    tree.MakeFolder(today_folder + "sub");
    // Recorded across midnight: on its folder's strip up to the end of the day.
    WriteArchive(tree.WriteFile("Storage/" + FolderOf(yesterday) + "/3.CNA"), OleMidnight(yesterday) + 23.5 / 24.0,
                 midnight + 0.25 / 24.0);

    const std::vector<TimelineDay> days =
        BuildTimelineDays(BuildCatalogue(tree.StorageFolder(), DayRange{DayOf(yesterday), DayOf(today)}));
    ASSERT_EQ(2u, days.size());
    EXPECT_EQ(DayOf(yesterday), days[0].day);
    EXPECT_EQ(DayOf(today), days[1].day);
    ASSERT_EQ(1u, days[0].blocks.size());
    EXPECT_NEAR(23.5 * 3600, days[0].blocks[0].start_of_day_s, 1e-3);
    EXPECT_EQ(86400.0, days[0].blocks[0].end_of_day_s);

    const double now_s = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
    const std::map<std::string, std::tuple<double, double, bool>> expected{{"1.CNA", {7 * 3600, 7.5 * 3600, true}},
                                                                           {"2.CNA", {13 * 3600, 13.75 * 3600, false}},
                                                                           {"notes.txt", {now_s, now_s, false}}};
    ASSERT_EQ(3u, days[1].blocks.size());
    for (size_t i = 0; i < days[1].blocks.size(); ++i) {
        const TimelineBlock& block = days[1].blocks[i];
        SCOPED_TRACE(block.name);
        ASSERT_EQ(1u, expected.count(block.name));
        const auto& [start_s, end_s, is_pinned] = expected.at(block.name);
        EXPECT_NEAR(start_s, block.start_of_day_s, 5.0);
        EXPECT_NEAR(end_s, block.end_of_day_s, 5.0);
        EXPECT_EQ(is_pinned, block.is_pinned);
        if (i > 0) {
            EXPECT_LE(days[1].blocks[i - 1].times.first_day, block.times.first_day);
        }
    }
    std::filesystem::permissions(kept, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}

TEST(DayTimeline, AClickOnABlockSelectsItsRowHoverShowsItsTimesAndTheWheelZooms) {
    TempTree tree;
    const QDate today = QDate::currentDate();
    std::vector<std::string> paths;
    for (const char* name : {"100.CNA", "200.CNA", "300.CNA"}) {
        paths.push_back(tree.WriteFile("Storage/" + FolderOf(today) + "/" + name).string());
    }
    CArchiveDlg dialog(tree.StorageFolder());
    dialog.SetDateRangeSource([&] { return DayRange{DayOf(today), DayOf(today)}; });
    dialog.resize(700, 500);
    ShowAndSettle(&dialog);
    CDayTimeline* timeline = dialog.Timeline();
    ASSERT_TRUE(timeline->isVisible());
    ASSERT_EQ(1u, timeline->Days().size());
    EXPECT_FALSE(dialog.ExportVideoButton()->isEnabled());

    // Spread over the day.
    const double midnight = OleMidnight(today);
    TimelineDay day{DayOf(today), {}};
    const std::pair<int, int> hours[] = {
        {8 * 3600, 9 * 3600}, {12 * 3600, 12 * 3600 + 1800}, {18 * 3600, 18 * 3600 + 60}};
    for (size_t i = 0; i < paths.size(); ++i) {
        const ArchiveTimes times{midnight + hours[i].first / 86400.0, midnight + hours[i].second / 86400.0};
        day.blocks.push_back(TimelineBlock{paths[i], std::filesystem::path(paths[i]).filename().string(), times,
                                           static_cast<double>(hours[i].first), static_cast<double>(hours[i].second),
                                           false});
    }
    timeline->SetDays({day});
    auto centre = [&](size_t i) { return timeline->BlockCentre(QString::fromStdString(paths[i])).value_or(QPoint()); };

    ClickAt(timeline, centre(1));
    EXPECT_EQ(QStringList{QString::fromStdString(paths[1])}, dialog.SelectionList());
    EXPECT_TRUE(dialog.ExportVideoButton()->isEnabled());
    ClickAt(timeline, centre(2), Qt::ControlModifier);
    ClickAt(timeline, centre(0), Qt::ControlModifier);
    ClickAt(timeline, centre(1), Qt::ControlModifier);
    QStringList expected{QString::fromStdString(paths[0]), QString::fromStdString(paths[2])};
    QStringList selected = dialog.SelectionList();
    selected.sort();
    EXPECT_EQ(expected, selected);
    // The list's selection shows on the timeline.
    const QImage picture = timeline->grab().toImage();
    EXPECT_EQ(timeline->palette().color(QPalette::Highlight), picture.pixelColor(centre(2)));
    EXPECT_NE(timeline->palette().color(QPalette::Highlight), picture.pixelColor(centre(1)));

    EXPECT_EQ("100.CNA\n08:00:00 - 09:00:00", timeline->ToolTipAt(centre(0)).toStdString());
    EXPECT_EQ("", timeline->ToolTipAt(centre(0) - QPoint(0, timeline->height())).toStdString());

    // Two wheel steps in over the last block: it stays under the pointer, the others move away.
    const QPoint at = centre(2);
    const int apart_px = at.x() - centre(0).x();
    QWheelEvent wheel(QPointF(at), QPointF(timeline->mapToGlobal(at)), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(timeline, &wheel);
    EXPECT_NEAR(86400 / 1.5625, timeline->Scale().SpanSeconds(), 1e-6);
    EXPECT_NEAR(at.x(), centre(2).x(), 2);
    EXPECT_NEAR(apart_px * 1.5625, centre(2).x() - centre(0).x(), 3);
}
