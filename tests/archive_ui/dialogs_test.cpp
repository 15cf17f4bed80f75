#include <gtest/gtest.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <ctime>
#include <map>

#include "archive_ui/archive_dlg.h"
#include "archive_ui/date_range_dlg.h"
#include "archive_ui/day_timeline_widget.h"
#include "archive_ui/ui_events.h"
#include "platform/ole_date.h"
#include "recorder/frame_archive.h"
#include "storage/retention.h"
#include "support/temp_tree.h"
#include "support/wait.h"

namespace {

DayDate Today() {
    const QDate today = QDate::currentDate();
    return DayDate{today.year(), today.month(), today.day()};
}

std::string DayFolderName(const QDate& date) { return date.toString(QStringLiteral("yyyyMMdd")).toStdString(); }

// Clicks row `row` of the list, with Ctrl held so earlier rows stay selected.
void CtrlClickRow(QTreeWidget* list, int row) {
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    ClickAt(list->viewport(), rect.center(), Qt::ControlModifier);
}

QPushButton* ButtonWithText(const QWidget& parent, const QString& text) {
    for (QPushButton* button : parent.findChildren<QPushButton*>()) {
        if (button->text() == text) return button;
    }
    return nullptr;
}

}  // namespace

TEST(DateRangeDlg, StartsTodayAndKeepsValuesUnlessConfirmed) {
    CDateRangeDlg untouched;
    EXPECT_EQ(untouched.windowTitle(), "Select Date Range...");
    EXPECT_EQ(untouched.Range().from, Today());
    EXPECT_EQ(untouched.Range().to, Today());
    EXPECT_TRUE(untouched.From().is_valid);
    EXPECT_EQ(untouched.FromPicker()->date(), QDate::currentDate());
    EXPECT_EQ(untouched.ToPicker()->date(), QDate::currentDate());
    EXPECT_TRUE(untouched.FromPicker()->calendarPopup());
    EXPECT_EQ(ButtonWithText(untouched, "Cancel"), nullptr);
    ASSERT_NE(ButtonWithText(untouched, "OK"), nullptr);

    // Escape (and the close box, which rejects too) keeps the initial values even after editing.
    const double from_before = untouched.From().days;
    untouched.FromPicker()->setDate(QDate(2009, 1, 20));
    ShowAndSettle(&untouched);
    PressKey(&untouched, Qt::Key_Escape);
    EXPECT_FALSE(untouched.isVisible());
    EXPECT_EQ(untouched.result(), QDialog::Rejected);
    EXPECT_EQ(untouched.From().days, from_before);
    EXPECT_EQ(untouched.Range().from, Today());

    // OK without touching gives the same values.
    CDateRangeDlg confirmed;
    const double to_before = confirmed.To().days;
    ButtonWithText(confirmed, "OK")->click();
    EXPECT_EQ(confirmed.result(), QDialog::Accepted);
    EXPECT_EQ(confirmed.To().days, to_before);
}

TEST(DateRangeDlg, OkStoresPickedDatesKeepingTheTimeOfDay) {
    CDateRangeDlg dialog;
    const double time_of_day = dialog.From().days - std::trunc(dialog.From().days);
    dialog.FromPicker()->setDate(QDate(2009, 1, 20));
    dialog.ToPicker()->setDate(QDate(2009, 2, 5));
    dialog.accept();
    EXPECT_EQ(dialog.Range().from, (DayDate{2009, 1, 20}));
    EXPECT_EQ(dialog.Range().to, (DayDate{2009, 2, 5}));
    EXPECT_NEAR(dialog.From().days - std::trunc(dialog.From().days), time_of_day, 1e-9);
    const auto from_fields = OleDateToCalendar(dialog.From().days);
    ASSERT_TRUE(from_fields.has_value());
    EXPECT_EQ(from_fields->year, 2009);
    EXPECT_EQ(from_fields->day, 20);

    // A From later than To is accepted as it is.
    CDateRangeDlg reversed;
    reversed.FromPicker()->setDate(QDate(2009, 3, 20));
    reversed.ToPicker()->setDate(QDate(2009, 3, 10));
    reversed.accept();
    EXPECT_EQ(reversed.Range().from, (DayDate{2009, 3, 20}));
    EXPECT_EQ(reversed.Range().to, (DayDate{2009, 3, 10}));
}

TEST(DateRangeDlg, CalendarsDropDownRightAligned) {
    CDateRangeDlg dialog;
    ShowAndSettle(&dialog);
    for (QDateEdit* picker : {dialog.FromPicker(), dialog.ToPicker()}) {
        ClickAt(picker, QPoint(picker->width() - 4, picker->height() / 2));  // the drop-down arrow
        QWidget* calendar = picker->calendarWidget()->window();
        ASSERT_TRUE(calendar->isVisible());
        const QRect picker_on_screen(picker->mapToGlobal(QPoint(0, 0)), picker->size());
        EXPECT_EQ(calendar->frameGeometry().right(), picker_on_screen.right());
        EXPECT_NE(calendar->width(), picker->width()) << "left and right alignment would look alike";
        calendar->hide();
    }
}

class ArchiveDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 7; ++i) tree_.WriteFile("Storage/20090315/" + std::to_string(i + 1) + ".CNA");
        tree_.WriteFile("Storage/20090316/8.CNA");
    }

    // A dialog over 2009-03-15 only, initialised as when shown.
    std::unique_ptr<CArchiveDlg> MakeDialog(DayRange range = {{2009, 3, 15}, {2009, 3, 15}}) {
        auto dialog = std::make_unique<CArchiveDlg>(tree_.StorageFolder());
        dialog->SetDateRangeSource([range] { return range; });
        ShowAndSettle(dialog.get());
        return dialog;
    }

    TempTree tree_;
};

TEST_F(ArchiveDlgTest, ShowsTheCatalogueInThreeColumns) {
    auto dialog = MakeDialog();
    EXPECT_EQ(dialog->windowTitle(), "Select Archive");
    QTreeWidget* list = dialog->ListControl();
    ASSERT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0), "File");
    EXPECT_EQ(list->headerItem()->text(1), "Date");
    EXPECT_EQ(list->headerItem()->text(2), "Duration");
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);

    // Every catalogue row once, with its texts; FullPath and Name follow the rows on show.
    std::map<std::string, CatalogueRow> rows;
    for (const CatalogueRow& row : BuildCatalogue(tree_.StorageFolder(), {{2009, 3, 15}, {2009, 3, 15}}))
        rows[row.full_path] = row;
    ASSERT_EQ(dialog->RowCount(), 7);
    ASSERT_EQ(list->topLevelItemCount(), 7);
    for (int i = 0; i < 7; ++i) {
        const CatalogueRow& row = rows[dialog->FullPath(i).toStdString()];
        EXPECT_EQ(list->topLevelItem(i)->text(0).toStdString(), row.name) << i;
        EXPECT_EQ(list->topLevelItem(i)->text(1).toStdString(), row.date_text);
        EXPECT_EQ(list->topLevelItem(i)->text(2).toStdString(), row.duration_text);
        EXPECT_EQ(dialog->Name(i).toStdString(), row.name);
    }
    EXPECT_EQ(dialog->FullPath(-1), "");
    EXPECT_EQ(dialog->FullPath(7), "");
    EXPECT_EQ(dialog->Name(100), "");

    bool has_hint = false;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) {
        has_hint |= label->text() == "Use SHIFT and CONTROL to select more than one file.";
    }
    EXPECT_TRUE(has_hint);
}

TEST_F(ArchiveDlgTest, WholeTextsShowAndHeadingClicksSortNewestFirstAtStart) {
    CArchiveDlg dialog(tree_.StorageFolder());
    dialog.SetDateRangeSource([] { return DayRange{{2009, 3, 20}, {2009, 3, 10}}; });
    ShowAndSettle(&dialog);
    const std::string folder = tree_.ProgramFolder() + "Storage/20090315/";
    dialog.SetRows({{folder + "999", "999", "2009/03/15 - 10:52:00", "00:00:09"},
                    {folder + "1408284123456", "1408284123456", "2009/03/15 - 10:56:00", "00:01:00"},
                    {folder + "20", "20", "2009/03/15 - 10:51:00", "01:00:00"},
                    {folder + "3", "3", "2009/03/15 - 10:54:00", "00:10:00"}});
    QApplication::processEvents();
    QTreeWidget* list = dialog.ListControl();
    auto shown = [&] {
        QStringList names;
        for (int i = 0; i < dialog.RowCount(); ++i) names << dialog.Name(i);
        return names.join(' ');
    };
    EXPECT_EQ(shown(), "1408284123456 3 999 20");
    // No text is cut: each column is wider than its texts, and all columns fit the list.
    for (int i = 0; i < 3 * list->topLevelItemCount(); ++i) {
        const QString text = list->topLevelItem(i / 3)->text(i % 3);
        EXPECT_GT(list->columnWidth(i % 3), list->fontMetrics().horizontalAdvance(text)) << text.toStdString();
    }
    EXPECT_LE(list->header()->length(), list->viewport()->width());

    // Each heading click re-sorts (numbers by value), and the hand-over follows the list.
    CtrlClickRow(list, 2);  // 999
    CtrlClickRow(list, 0);  // 1408284123456
    QHeaderView* header = list->header();
    for (const auto& [column, order] : std::vector<std::pair<int, QString>>{{0, "3 20 999 1408284123456"},
                                                                            {0, "1408284123456 999 20 3"},
                                                                            {2, "999 1408284123456 3 20"},
                                                                            {1, "20 999 3 1408284123456"}}) {
        ClickAt(header->viewport(), QPoint(header->sectionViewportPosition(column) + 10, header->height() / 2));
        EXPECT_EQ(shown(), order) << column;
        // Without readable times the names (the ticks recording began at) give the order.
        EXPECT_EQ(dialog.SelectionList(), (QStringList{QString::fromStdString(folder) + "999",
                                                       QString::fromStdString(folder) + "1408284123456"}))
            << column;
    }
}

TEST_F(ArchiveDlgTest, SelectionIsHandedOverInRecordingOrder) {
    auto dialog = MakeDialog();
    QTreeWidget* list = dialog->ListControl();
    // 1.CNA to 7.CNA were written in that order: their recording order, whatever the list shows.
    auto in_time_order = [&](std::vector<int> rows) {
        std::sort(rows.begin(), rows.end(), [&](int left, int right) {
            return dialog->Name(left).section('.', 0, 0).toInt() < dialog->Name(right).section('.', 0, 0).toInt();
        });
        QStringList paths;
        for (const int row : rows) paths << dialog->FullPath(row);
        return paths;
    };
    CtrlClickRow(list, 5);
    CtrlClickRow(list, 2);
    CtrlClickRow(list, 3);
    EXPECT_EQ(dialog->SelectionList(), in_time_order({2, 3, 5}));
    EXPECT_EQ(dialog->SelectionList().size(), 3);

    CtrlClickRow(list, 3);  // deselect
    EXPECT_EQ(dialog->SelectionList(), in_time_order({2, 5}));

    ButtonWithText(*dialog, "OK")->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->SelectionList().size(), 2);
}

TEST_F(ArchiveDlgTest, OkWithNothingSelectedHandsOverNothing) {
    auto dialog = MakeDialog();
    ButtonWithText(*dialog, "OK")->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(dialog->SelectionList().isEmpty());

    auto cancelled = MakeDialog();
    CtrlClickRow(cancelled->ListControl(), 1);
    ButtonWithText(*cancelled, "Cancel")->click();
    EXPECT_EQ(cancelled->result(), QDialog::Rejected);
}

TEST_F(ArchiveDlgTest, EmptyRangeGivesAnEmptyListThatSaysSo) {
    auto dialog = MakeDialog({{2009, 3, 20}, {2009, 3, 10}});
    EXPECT_EQ(dialog->ListControl()->topLevelItemCount(), 0);
    EXPECT_EQ(dialog->RowCount(), 0);
    EXPECT_TRUE(dialog->EmptyLabel()->isVisible());
    EXPECT_EQ(dialog->EmptyLabel()->text(), "No archives were found for these days.");
    EXPECT_FALSE(MakeDialog()->EmptyLabel()->isVisible());
}

TEST(ArchiveDlg, PlaybackGoesInRecordingOrderWhicheverWayTheListIsSorted) {
    TempTree tree;
    // Recorded one after the other, then named against that order: only the records tell.
    std::vector<std::string> recorded;
    for (const char* name : {"9000.CNA", "100.CNA", "5000.CNA"}) {
        CFrameArchive writer(tree.StorageFolder());
        std::string created;
        writer.SetFileCreatedCallback([&created](const std::string& path) { created = path; });
        BMP_File picture;
        picture.Create(16, 16);
        ASSERT_TRUE(writer.WriteFrame(picture) && writer.CloseFile());
        recorded.push_back((std::filesystem::path(created).parent_path() / name).string());
        std::filesystem::rename(created, recorded.back());
        // Records are stamped in whole seconds: the next archive begins in another one.
        const std::time_t stamped_s = std::time(nullptr);
        ASSERT_TRUE(WaitUntil([&] { return std::time(nullptr) > stamped_s; }));
    }
    CArchiveDlg dialog(tree.StorageFolder());
    dialog.SetDateRangeSource([] { return DayRange{Today(), Today()}; });
    ShowAndSettle(&dialog);
    ASSERT_EQ(dialog.RowCount(), 3);
    dialog.ListControl()->selectAll();
    const QStringList expected{QString::fromStdString(recorded[0]), QString::fromStdString(recorded[1]),
                               QString::fromStdString(recorded[2])};
    for (const int column : {0, 1}) {
        for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            dialog.ListControl()->sortByColumn(column, order);
            EXPECT_EQ(dialog.SelectionList(), expected) << column << " " << order;
        }
    }
}

TEST_F(ArchiveDlgTest, TheKeyboardWorksTheListAndTheTimeline) {
    auto dialog = MakeDialog();
    QTreeWidget* list = dialog->ListControl();
    EXPECT_EQ(dialog->focusWidget(), list);
    ASSERT_NE(list->currentItem(), nullptr);

    // The timeline is a tab stop after the list: the arrows walk its blocks in time order, Space selects.
    CDayTimeline* timeline = dialog->Timeline();
    QWidget* next_stop = list->nextInFocusChain();
    while (!(next_stop->focusPolicy() & Qt::TabFocus) || !next_stop->isVisibleTo(dialog.get()))
        next_stop = next_stop->nextInFocusChain();
    EXPECT_EQ(next_stop, timeline);
    timeline->setFocus();
    std::vector<QString> in_time_order;
    for (const TimelineDay& day : timeline->Days()) {
        for (const TimelineBlock& block : day.blocks) in_time_order.push_back(QString::fromStdString(block.full_path));
    }
    ASSERT_EQ(in_time_order.size(), 7u);
    EXPECT_EQ(timeline->FocusedPath(), in_time_order[0]);
    PressKey(timeline, Qt::Key_Right);
    PressKey(timeline, Qt::Key_Right);
    PressKey(timeline, Qt::Key_Left);
    EXPECT_EQ(timeline->FocusedPath(), in_time_order[1]);
    PressKey(timeline, Qt::Key_Space);
    EXPECT_EQ(dialog->SelectionList(), QStringList{in_time_order[1]});

    // Enter on a row outside the selection plays that row alone.
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(4), 0, QItemSelectionModel::NoUpdate);
    PressKey(list, Qt::Key_Return);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->SelectionList(), QStringList{dialog->FullPath(4)});

    // A double click plays its row too.
    auto again = MakeDialog();
    const QRect row = again->ListControl()->visualItemRect(again->ListControl()->topLevelItem(2));
    DoubleClickAt(again->ListControl()->viewport(), row.center());
    EXPECT_EQ(again->result(), QDialog::Accepted);
    EXPECT_EQ(again->SelectionList(), QStringList{again->FullPath(2)});
}

TEST(ArchiveDlg, ClosingTheDateRangeDialogListsTodayOnly) {
    TempTree tree;
    const QDate today = QDate::currentDate();
    tree.WriteFile("Storage/" + DayFolderName(today) + "/1.CNA");
    tree.WriteFile("Storage/" + DayFolderName(today.addDays(-1)) + "/2.CNA");
    tree.WriteFile("Storage/" + DayFolderName(today.addDays(1)) + "/3.CNA");

    CArchiveDlg dialog(tree.StorageFolder());
    bool saw_range_dialog = false;
    // The real date range dialog runs modally; close it as the user would with the close box.
    QTimer::singleShot(0, [&saw_range_dialog] {
        if (auto* range = qobject_cast<CDateRangeDlg*>(QApplication::activeModalWidget())) {
            saw_range_dialog = true;
            range->close();
        }
    });
    dialog.OnInitDialog();
    EXPECT_TRUE(saw_range_dialog);
    ASSERT_EQ(dialog.RowCount(), 1);
    EXPECT_EQ(dialog.Name(0), "1.CNA");
}

TEST_F(ArchiveDlgTest, KeepFromTheContextMenuPinsTheSelectedArchivesAndMarksThem) {
    const std::string pinned = (tree_.Storage() / "20090315/2.CNA").string();
    const std::string other = (tree_.Storage() / "20090315/3.CNA").string();
    std::string error;
    ASSERT_TRUE(SetArchivePinned(pinned, true, &error)) << error;
    auto dialog = MakeDialog();
    QTreeWidget* list = dialog->ListControl();
    auto row_of = [&](const std::string& path) {
        for (int row = 0; row < dialog->RowCount(); ++row) {
            if (dialog->FullPath(row).toStdString() == path) return row;
        }
        return -1;
    };
    auto is_marked = [&](const std::string& path) { return !list->topLevelItem(row_of(path))->icon(0).isNull(); };
    EXPECT_TRUE(dialog->IsRowPinned(row_of(pinned)) && is_marked(pinned));
    EXPECT_FALSE(dialog->IsRowPinned(row_of(other)) || is_marked(other));

    // With a pinned and an unpinned row selected "Keep" is unchecked and pins both; then checked, unpinning both.
    CtrlClickRow(list, row_of(pinned));
    CtrlClickRow(list, row_of(other));
    const int name_px = list->fontMetrics().horizontalAdvance(dialog->Name(row_of(other)));
    for (const bool is_checked : {false, true}) {
        bool was_checked = !is_checked;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            ASSERT_EQ(menu->actions().size(), 1);
            QAction* keep = menu->actions().first();
            EXPECT_EQ(keep->text(), "Keep");
            was_checked = keep->isChecked();
            menu->setActiveAction(keep);
            PressKey(menu, Qt::Key_Return);
        });
        emit list->customContextMenuRequested(list->visualItemRect(list->topLevelItem(row_of(other))).center());
        EXPECT_EQ(is_checked, was_checked);
        for (const std::string& path : {pinned, other}) {
            EXPECT_EQ(!is_checked, IsArchivePinned(path)) << path;
            EXPECT_EQ(!is_checked, dialog->IsRowPinned(row_of(path))) << path;
            EXPECT_EQ(!is_checked, is_marked(path)) << path;
        }
        for (const TimelineDay& day : dialog->Timeline()->Days()) {
            for (const TimelineBlock& block : day.blocks)
                EXPECT_EQ(IsArchivePinned(block.full_path), block.is_pinned) << block.full_path;
        }
        // The name stays whole beside its padlock.
        const int padlock_px = is_checked ? 0 : list->style()->pixelMetric(QStyle::PM_SmallIconSize);
        EXPECT_GT(list->columnWidth(0), name_px + padlock_px) << is_checked;
    }
}
