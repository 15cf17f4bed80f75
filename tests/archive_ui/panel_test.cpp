#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <cmath>
#include <ctime>
#include <memory>
#include <vector>

#include "archive_ui/archive_dlg.h"
#include "archive_ui/panel_dlg.h"
#include "archive_ui/playback_view.h"
#include "archive_ui/ui_events.h"
#include "recorder/frame_archive.h"
#include "support/recorded_archive.h"
#include "support/temp_tree.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// Stands in for the camera view: remembers the grey level of every frame it is handed.
class RecordingView : public IPlaybackView {
public:
    void ShowPlaybackFrame(const BMP_File& frame, double) override {
        const mColor_24& pixel = frame.GetPixel(kWidth / 2, kHeight / 2);
        levels.push_back(frame.GetWidth() == 0 ? -1 : pixel.green);
    }
    // The frame number a grey level stands for (frames are written 20 levels apart).
    std::vector<int> Frames(int first_level) const {
        std::vector<int> frames;
        for (const int level : levels)
            frames.push_back(level < 0 ? -1 : static_cast<int>(std::lround((level - first_level) / 20.0)));
        return frames;
    }
    std::vector<int> levels;
};

BMP_File GreyFrame(int level) {
    BMP_File frame;
    frame.Create(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            mColor_24& pixel = frame.GetPixel(x, y);
            pixel.blue = pixel.green = pixel.red = static_cast<uint8_t>(level);
        }
    }
    return frame;
}

// Records one finished archive of frame_count frames, grey levels first_level + 20 * i.
std::string RecordGreyArchive(const TempTree& tree, int frame_count, int first_level) {
    BMP_File frame;
    return RecordArchive(tree.StorageFolder(), frame_count, [&](int i) -> const BMP_File& {
        frame = GreyFrame(first_level + 20 * i);
        return frame;
    });
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        panel_ = std::make_unique<CPanelDlg>(&view_widget_);
        panel_->SetView(&view_);
    }
    void Tick(int count = 1) {
        for (int i = 0; i < count; ++i) panel_->OnTimer();
    }
    QString Caption() const { return panel_->windowTitle(); }
    QString ExpectedCaption(const std::string& path) const {
        const double time_days = panel_->Reader().GetFrameTime();
        // To the millisecond, then whole seconds.
        const int seconds =
            static_cast<int>(std::llround((time_days - std::trunc(time_days)) * 86400000.0) / 1000 % 86400);
        return QString::fromStdString(path) +
               QString::asprintf(" - %02d:%02d:%02d", seconds / 3600, (seconds / 60) % 60, seconds % 60);
    }

    TempTree tree_;
    QWidget view_widget_;
    RecordingView view_;
    std::unique_ptr<CPanelDlg> panel_;
};

}  // namespace

TEST_F(PanelTest, StartsHiddenPlayingAndIdle) {
    EXPECT_FALSE(panel_->isVisible());
    EXPECT_FALSE(panel_->IsPlaybackActive());
    EXPECT_TRUE(panel_->IsAutoPlay());
    EXPECT_TRUE(panel_->PlayButton()->isChecked());
    EXPECT_EQ(panel_->windowTitle(), "Dialog");
    EXPECT_EQ(panel_->PlayButton()->text(), ">");
    EXPECT_EQ(panel_->PreviousButton()->text(), "<<");
    EXPECT_EQ(panel_->NextButton()->text(), ">>");
    EXPECT_EQ(panel_->ShotButton()->text(), "Shot...");
    EXPECT_EQ(panel_->ConvertButton()->text(), "Convert to AVI");
    EXPECT_EQ(panel_->ExportVideoButton()->text(), "Export Video...");
    // Ticks without archives do nothing.
    Tick(3);
    EXPECT_TRUE(view_.levels.empty());
    // An empty selection does not start playback.
    panel_->SetArchives({});
    EXPECT_FALSE(panel_->IsPlaybackActive());
    EXPECT_TRUE(view_.levels.empty());
}

TEST_F(PanelTest, TabGoesThroughTheRowLeftToRight) {
    const std::vector<QWidget*> row = {panel_->PreviousButton(),   panel_->PlayButton(), panel_->NextButton(),
                                       panel_->Slider(),           panel_->ShotButton(), panel_->ConvertButton(),
                                       panel_->ExportVideoButton()};
    std::vector<QWidget*> order = {row.front()};
    for (QWidget* widget = row.front()->nextInFocusChain(); order.size() < row.size();
         widget = widget->nextInFocusChain()) {
        if (widget->focusPolicy() & Qt::TabFocus) order.push_back(widget);
    }
    EXPECT_EQ(row, order);
}

TEST_F(PanelTest, ResizesWithTheSliderTakingTheFreeWidth) {
    ShowAndSettle(panel_.get());
    const int minimum_px = panel_->minimumSizeHint().width();
    // Narrow enough for an 800-pixel screen with room to spare, and for 640 logical pixels at twice the scale.
    EXPECT_LE(minimum_px, 560);
    EXPECT_EQ(panel_->minimumHeight(), panel_->maximumHeight()) << "only the width is the user's";
    panel_->resize(minimum_px, panel_->height());
    QApplication::processEvents();
    const int narrow_slider_px = panel_->Slider()->width();
    for (QPushButton* button : panel_->findChildren<QPushButton*>()) {
        EXPECT_GT(button->width(), button->fontMetrics().horizontalAdvance(button->text()) + 8)
            << button->text().toStdString();
    }
    panel_->resize(minimum_px + 300, panel_->height());
    QApplication::processEvents();
    EXPECT_EQ(panel_->Slider()->width(), narrow_slider_px + 300);
    EXPECT_EQ(panel_->ExportVideoButton()->geometry().right(), panel_->width() - 1);
}

TEST_F(PanelTest, OneArchiveDisablesSwitchingAndLoops) {
    const std::string path = RecordGreyArchive(tree_, 3, 40);
    ASSERT_FALSE(path.empty());
    panel_->SetArchives({QString::fromStdString(path)});
    EXPECT_TRUE(panel_->IsPlaybackActive());
    EXPECT_FALSE(panel_->PreviousButton()->isEnabled());
    EXPECT_FALSE(panel_->NextButton()->isEnabled());
    EXPECT_EQ(panel_->Slider()->maximum(), 3);
    EXPECT_EQ(Caption(), ExpectedCaption(path));

    Tick(5);
    EXPECT_EQ(view_.Frames(40), (std::vector<int>{0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(panel_->Slider()->value(), 2);
    EXPECT_EQ(Caption(), ExpectedCaption(path));
    EXPECT_NE(panel_->Reader().GetFrameTime(), 0.0);
}

TEST_F(PanelTest, ThreeArchivesPlayThroughAndWrapToTheFirst) {
    const std::string first = RecordGreyArchive(tree_, 2, 20);
    const std::string second = RecordGreyArchive(tree_, 3, 100);
    const std::string third = RecordGreyArchive(tree_, 1, 200);
    ASSERT_FALSE(first.empty() || second.empty() || third.empty());
    panel_->SetArchives({QString::fromStdString(first), QString::fromStdString(second), QString::fromStdString(third)});
    EXPECT_TRUE(panel_->PreviousButton()->isEnabled());
    EXPECT_TRUE(panel_->NextButton()->isEnabled());

    std::vector<std::pair<int, int>> shown;  // (archive, slider position) after each step
    shown.emplace_back(panel_->CurrentArchive(), panel_->Slider()->value());
    for (int i = 0; i < 7; ++i) {
        Tick();
        shown.emplace_back(panel_->CurrentArchive(), panel_->Slider()->value());
    }
    EXPECT_EQ(shown,
              (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {0, 0}, {0, 1}}));
    EXPECT_EQ(view_.levels.size(), 8u);
    // Grey levels identify the archive and frame each picture came from.
    const std::vector<int> expected_levels{20, 40, 100, 120, 140, 200, 20, 40};
    for (size_t i = 0; i < expected_levels.size(); ++i) EXPECT_NEAR(view_.levels[i], expected_levels[i], 6) << i;
    EXPECT_EQ(Caption(), ExpectedCaption(first));
}

TEST_F(PanelTest, SwitchingArchivesWhilePausedOrPlaying) {
    const std::string first = RecordGreyArchive(tree_, 3, 20);
    const std::string second = RecordGreyArchive(tree_, 3, 100);
    panel_->SetArchives({QString::fromStdString(first), QString::fromStdString(second)});

    ClickAt(panel_->PlayButton(), panel_->PlayButton()->rect().center());
    EXPECT_FALSE(panel_->IsAutoPlay());
    EXPECT_FALSE(panel_->PlayButton()->isChecked());
    panel_->Slider()->setValue(2);  // as the user drags it
    EXPECT_EQ(view_.Frames(20).back(), 2);
    Tick(3);  // paused: nothing moves
    EXPECT_EQ(panel_->Slider()->value(), 2);

    // Paused, ">>" shows the new archive's first frame: picture, title and "Shot..." agree.
    panel_->NextButton()->click();
    EXPECT_EQ(panel_->CurrentArchive(), 1);
    EXPECT_EQ(panel_->Slider()->value(), 0);
    EXPECT_EQ(view_.Frames(100).back(), 0);
    EXPECT_EQ(Caption(), ExpectedCaption(second));
    EXPECT_TRUE(panel_->Reader().GetFrameInfo(panel_->Reader().GetCurrentFrame()).known);
    EXPECT_TRUE(panel_->PositionLabel()->text().endsWith("frame 1 of 3"))
        << panel_->PositionLabel()->text().toStdString();
    EXPECT_LE(panel_->minimumSizeHint().width(), 600) << "with its time the panel still fits 640 pixels";

    panel_->PreviousButton()->click();
    panel_->PreviousButton()->click();  // wraps to the last archive
    EXPECT_EQ(panel_->CurrentArchive(), 1);

    // ">>" while playing: frame 0 of the new archive at once, frame 1 at the next tick.
    panel_->PlayButton()->click();
    EXPECT_TRUE(panel_->IsAutoPlay());
    panel_->NextButton()->click();
    EXPECT_EQ(panel_->CurrentArchive(), 0);
    EXPECT_EQ(view_.Frames(20).back(), 0);
    Tick();
    EXPECT_EQ(view_.Frames(20).back(), 1);
    EXPECT_EQ(Caption(), ExpectedCaption(first));
    // The frame's time beside the slider, as in the title.
    EXPECT_EQ(panel_->PositionLabel()->text(), Caption().right(8) + ", frame 2 of 3");
}

TEST_F(PanelTest, TakesTheFocusWhenShown) {
    const std::string path = RecordGreyArchive(tree_, 2, 20);
    panel_->SetArchives({QString::fromStdString(path)});
    ShowAndSettle(panel_.get());
    EXPECT_EQ(panel_->focusWidget(), panel_->PlayButton());
    EXPECT_TRUE(WaitForActive(panel_.get()));
}

TEST_F(PanelTest, SliderAtItsRightEndKeepsTheLastDecodedFrame) {
    const std::string path = RecordGreyArchive(tree_, 4, 20);
    panel_->SetArchives({QString::fromStdString(path)});
    panel_->OnPlay();
    panel_->Slider()->setValue(2);
    const QString caption_at_2 = Caption();
    panel_->Slider()->setValue(4);  // one past the last frame
    EXPECT_EQ(panel_->Slider()->value(), 4);
    EXPECT_EQ(view_.Frames(20), (std::vector<int>{0, 2, 2}));
    EXPECT_EQ(Caption(), caption_at_2);
    EXPECT_EQ(panel_->Reader().GetCurrentFrame(), 2);
}

TEST_F(PanelTest, ArchivesWithoutFramesAreSkippedAtEveryTick) {
    const std::string empty = tree_.WriteFile("Storage/20090315/empty.CNA", "").string();
    const std::string foreign = tree_.WriteFile("Storage/20090315/notes.txt", "").string();
    const std::string missing = tree_.ProgramFolder() + "Storage/20090315/gone.CNA";
    const std::string real = RecordGreyArchive(tree_, 2, 60);
    panel_->SetArchives({QString::fromStdString(empty), QString::fromStdString(real), QString::fromStdString(missing),
                         QString::fromStdString(foreign)});
    EXPECT_EQ(panel_->Slider()->maximum(), 0);
    std::vector<int> archives{panel_->CurrentArchive()};
    for (int i = 0; i < 6; ++i) {
        Tick();
        archives.push_back(panel_->CurrentArchive());
    }
    // empty -> real frame 0, real frame 1, missing, foreign, empty, real frame 0
    EXPECT_EQ(archives, (std::vector<int>{0, 1, 1, 2, 3, 0, 1}));
    EXPECT_TRUE(panel_->IsPlaybackActive());

    // A single empty archive is opened again at every tick.
    panel_->SetArchives({QString::fromStdString(empty)});
    Tick(3);
    EXPECT_EQ(panel_->CurrentArchive(), 0);
    EXPECT_EQ(panel_->Slider()->value(), 0);
    EXPECT_EQ(panel_->Reader().GetFrameCount(), 0);
}

TEST_F(PanelTest, CloseHidesClearsPlaybackAndKeepsPause) {
    const std::string path = RecordGreyArchive(tree_, 3, 20);
    panel_->SetArchives({QString::fromStdString(path)});
    ShowAndSettle(panel_.get());
    ASSERT_TRUE(panel_->isVisible());
    panel_->OnPlay();  // pause

    panel_->close();  // the close box
    EXPECT_FALSE(panel_->isVisible());
    EXPECT_FALSE(panel_->IsPlaybackActive());
    const size_t shown = view_.levels.size();
    panel_->OnPlay();
    Tick(3);  // even playing, a closed panel shows nothing
    panel_->OnPlay();
    EXPECT_EQ(view_.levels.size(), shown);

    // Another selection comes back paused, at the first archive and frame 0.
    panel_->SetArchives({QString::fromStdString(path)});
    ShowAndSettle(panel_.get());
    EXPECT_TRUE(panel_->IsPlaybackActive());
    EXPECT_FALSE(panel_->IsAutoPlay());
    EXPECT_FALSE(panel_->PlayButton()->isChecked());
    EXPECT_EQ(panel_->Slider()->value(), 0);
    Tick(2);
    EXPECT_EQ(view_.Frames(20).back(), 0);

    // Escape and Enter act like the close box.
    PressKey(panel_.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel_->isVisible());
    EXPECT_FALSE(panel_->IsPlaybackActive());
    panel_->SetArchives({QString::fromStdString(path)});
    ShowAndSettle(panel_.get());
    // On the slider, Enter leaves the panel open and Space plays and pauses.
    panel_->Slider()->setFocus();
    PressKey(panel_.get(), Qt::Key_Return);
    EXPECT_TRUE(panel_->isVisible());
    const bool was_playing = panel_->IsAutoPlay();
    PressKey(panel_.get(), Qt::Key_Space);
    EXPECT_NE(was_playing, panel_->IsAutoPlay());
    PressKey(panel_.get(), Qt::Key_Space);
    EXPECT_EQ(was_playing, panel_->IsAutoPlay());
    panel_->PositionLabel()->setFocusPolicy(Qt::ClickFocus);
    panel_->PositionLabel()->setFocus();
    PressKey(panel_.get(), Qt::Key_Return);
    EXPECT_FALSE(panel_->isVisible());
    EXPECT_FALSE(panel_->IsPlaybackActive());

    // Enter on a focused button pushes that button instead.
    panel_->SetArchives({QString::fromStdString(path)});
    ShowAndSettle(panel_.get());
    panel_->activateWindow();
    panel_->PlayButton()->setFocus();
    PressKey(panel_.get(), Qt::Key_Return);
    EXPECT_TRUE(panel_->IsPlaybackActive());
    EXPECT_TRUE(panel_->IsAutoPlay());
}

TEST_F(PanelTest, ExportButtonsPauseFirst) {
    const std::string path = RecordGreyArchive(tree_, 2, 20);
    panel_->SetArchives({QString::fromStdString(path)});
    // Whatever the exports ask, answer with cancel.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    closer.start(50);
    for (QPushButton* button : {panel_->ShotButton(), panel_->ConvertButton()}) {
        panel_->OnPlay();
        if (!panel_->IsAutoPlay()) panel_->OnPlay();
        ASSERT_TRUE(panel_->IsAutoPlay());
        button->click();
        EXPECT_FALSE(panel_->IsAutoPlay()) << button->text().toStdString();
        EXPECT_FALSE(panel_->PlayButton()->isChecked());
    }
    const size_t shown = view_.levels.size();
    Tick(2);
    EXPECT_EQ(view_.levels.size(), shown);
}

TEST_F(PanelTest, RecordingGoesOnWhileItsArchiveIsPlayedBack) {
    CFrameArchive recorder(tree_.StorageFolder());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(recorder.WriteFrame(GreyFrame(20 + 20 * i)));
    ASSERT_TRUE(recorder.IsWriteOpen());

    // The growing archive is found through the selection dialog...
    CArchiveDlg dialog(tree_.StorageFolder());
    const QDate today = QDate::currentDate();
    const DayDate day{today.year(), today.month(), today.day()};
    dialog.SetDateRangeSource([day] { return DayRange{day, day}; });
    dialog.OnInitDialog();
    ASSERT_EQ(dialog.RowCount(), 1);
    EXPECT_EQ(dialog.FullPath(0).toStdString(), recorder.GetWritePath());

    // ...and played while the recorder keeps appending to it.
    panel_->SetArchives({dialog.FullPath(0)});
    EXPECT_EQ(panel_->Slider()->maximum(), 2);
    for (int i = 2; i < 5; ++i) {
        Tick();
        ASSERT_TRUE(recorder.WriteFrame(GreyFrame(20 + 20 * i)));
    }
    // Each wrap opens the file again and sees the frames written meanwhile.
    EXPECT_EQ(panel_->Slider()->maximum(), 3);
    Tick(3);
    EXPECT_EQ(panel_->Slider()->maximum(), 5);
    Tick(3);
    EXPECT_EQ(view_.Frames(20), (std::vector<int>{0, 1, 0, 1, 2, 0, 1, 2, 3, 4}));
    EXPECT_TRUE(recorder.CloseFile());
}

TEST_F(PanelTest, AtTheRecordedSpeedEachFrameStaysUntilTheNextOnesRecordTime) {
    // Archives of 15 and 30 frames a second, by a test clock that starts on a whole second.
    const auto record_at = [&](int frames_per_s) {
        int64_t now_ms = 1'000'000;
        BMP_File frame = GreyFrame(0);
        return RecordArchive(
            tree_.StorageFolder(), 20,
            [&](int i) -> const BMP_File& {
                now_ms = 1'000'000 + i * 1000 / frames_per_s;
                return frame;
            },
            [&](CFrameArchive& recorder) {
                recorder.SetClock({[&] { return static_cast<uint32_t>(now_ms); },
                                   [&] { return static_cast<std::time_t>(1'798'000'000 + now_ms / 1000); }});
            });
    };
    const QTimer* timer = panel_->findChild<QTimer*>();
    ASSERT_NE(nullptr, timer);
    for (const int frames_per_s : {15, 30}) {
        panel_->SetArchives({QString::fromStdString(record_at(frames_per_s))});
        EXPECT_EQ(CPanelDlg::kTimerPeriodMs, timer->interval()) << "the default stays the fixed timer";
        panel_->SetPlayAtRecordedSpeed(true);
        std::vector<int> durations_ms;
        for (int frame = 0; frame < 19; ++frame) {
            durations_ms.push_back(timer->interval());
            Tick();
        }
        for (const int duration_ms : durations_ms) EXPECT_NEAR(1000.0 / frames_per_s, duration_ms, 1.5);
        // The last frame gives way to the next archive after one period.
        EXPECT_EQ(CPanelDlg::kTimerPeriodMs, timer->interval());
        panel_->SetPlayAtRecordedSpeed(false);
        EXPECT_EQ(CPanelDlg::kTimerPeriodMs, timer->interval());
    }
}

TEST(PanelCaption, TimeOfDayIsRoundedToTheMillisecondThenTruncated) {
    // Whole-second stamps made as the recorder makes them, at one frame a second: the sums
    // carry binary noise just below the second they stand for.
    const double days = 39060.0;
    for (int second = 10 * 3600 + 50 * 60 + 55; second < 10 * 3600 + 51 * 60 + 7; ++second) {
        const double stamp = ((second / 60 % 60) * 60 + (second / 3600) * 3600 + second % 60 + 0.0) / 86400.0 + days;
        EXPECT_EQ(second, SecondsOfDay(stamp)) << second;
    }
    EXPECT_EQ(14 * 3600 + 5 * 60 + 9, SecondsOfDay(days + (14 * 3600 + 5 * 60 + 9.7) / 86400.0));
    EXPECT_EQ(0, SecondsOfDay(days + 0.99999999999));  // midnight, not 23:59:59
    for (const double not_a_date : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300}) {
        EXPECT_FALSE(SecondsOfDay(not_a_date).has_value()) << not_a_date;
    }
}
