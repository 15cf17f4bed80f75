#include <gtest/gtest.h>

#include <QDateTime>
#include <QPushButton>
#include <QTreeWidget>
#include <QWheelEvent>
#include <filesystem>

#include "archive_ui/archive_dlg.h"
#include "archive_ui/core/day_timeline.h"
#include "archive_ui/day_timeline_widget.h"
#include "browse/temp_tree.h"
#include "browse/ui_events.h"

namespace {

DayDate DayOf(const QDate& date) { return DayDate{date.year(), date.month(), date.day()}; }
std::string FolderOf(const QDate& date) { return date.toString(QStringLiteral("yyyyMMdd")).toStdString(); }

}  // namespace

TEST(DayTimeline, TheScaleMapsTheDayAcrossTheWidthAndZoomsAroundThePointerWithinTheDay) {
    TimelineScale scale;
    scale.SetWidth(960);
    for (const auto& [second, x] : std::vector<std::pair<double, double>>{{0, 0}, {21600, 240}, {43200, 480}, {86400, 960}}) {
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

TEST(DayTimeline, EachListedDayIsAStripWithABlockPerArchiveFromItsFileTimesAndKeptOnesMarked) {
    TempTree tree;
    const QDate today = QDate::currentDate();
    const QDate yesterday = today.addDays(-1);
    const auto kept = tree.WriteFile("Storage/" + FolderOf(today) + "/1.CNA");
    const auto longer = tree.WriteFile("Storage/" + FolderOf(today) + "/2.CNA");
    tree.MakeFolder("Storage/" + FolderOf(today) + "/sub");
    tree.WriteFile("Storage/" + FolderOf(yesterday) + "/3.CNA");
    std::filesystem::permissions(kept, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
    const long long now_s = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(SetLastWriteTime(longer, now_s + 120));

    const std::vector<TimelineDay> days =
        BuildTimelineDays(BuildCatalogue(tree.ProgramFolder(), DayRange{DayOf(yesterday), DayOf(today)}));
    ASSERT_EQ(2u, days.size());
    EXPECT_EQ(DayOf(yesterday), days[0].day);
    EXPECT_EQ(DayOf(today), days[1].day);
    // Made today, after its day ended: at the end of its strip.
    ASSERT_EQ(1u, days[0].blocks.size());
    EXPECT_EQ(86400.0, days[0].blocks[0].start_of_day_s);

    ASSERT_EQ(2u, days[1].blocks.size());
    const double now_of_day_s = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
    for (const TimelineBlock& block : days[1].blocks) {
        SCOPED_TRACE(block.name);
        EXPECT_NEAR(now_of_day_s, block.start_of_day_s, 5.0);
        const double length_s = block.name == "2.CNA" ? 120.0 : 0.0;
        EXPECT_NEAR(std::min(86400.0, block.start_of_day_s + length_s), block.end_of_day_s, 2.0);
        EXPECT_EQ(block.name == "1.CNA", block.is_pinned);
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
    CArchiveDlg dialog(tree.ProgramFolder());
    dialog.SetDateRangeSource([&] { return DayRange{DayOf(today), DayOf(today)}; });
    dialog.resize(700, 500);
    ShowAndSettle(&dialog);
    CDayTimeline* timeline = dialog.Timeline();
    ASSERT_TRUE(timeline->isVisible());
    ASSERT_EQ(1u, timeline->Days().size());
    EXPECT_FALSE(dialog.ExportVideoButton()->isEnabled());

    // The files were all made a moment ago; spread them over the day.
    const int64_t midnight_s = QDateTime(today, QTime(0, 0)).toSecsSinceEpoch();
    TimelineDay day{DayOf(today), {}};
    const std::pair<int, int> hours[] = {{8 * 3600, 9 * 3600}, {12 * 3600, 12 * 3600 + 1800}, {18 * 3600, 18 * 3600 + 60}};
    for (size_t i = 0; i < paths.size(); ++i) {
        day.blocks.push_back(TimelineBlock{paths[i], std::filesystem::path(paths[i]).filename().string(),
                                           midnight_s + hours[i].first, midnight_s + hours[i].second,
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
