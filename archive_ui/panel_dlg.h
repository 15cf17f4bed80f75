#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>

#include "archive/archive_reader.h"
#include "archive_ui/export_actions.h"

class IPlaybackView;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;

// Whole seconds of the time of day of an OLE date, as the caption shows them: rounded to the
// millisecond, then truncated. Nothing for a value that is not a date.
std::optional<int> SecondsOfDay(double ole_date);
// What the panel shows under its slider: the frame's time of day (dashes when unknown) and
// "frame N of M", N counted from 1.
QString PositionText(int seconds_of_day, int frame, int frame_count);

// The floating playback panel: plays, steps and scrubs the chosen archives one
// frame per timer tick and hands every decoded frame to the camera view.
// Created hidden once by the view; closing only hides it.
class CPanelDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTimerPeriodMs = 100;
    // At the recorded speed, the longest wait for the next frame: a pause in the recording is
    // not sat through.
    static constexpr int kLongestRecordedGapMs = 1000;

    explicit CPanelDlg(QWidget* parent_view);
    ~CPanelDlg() override;

    // The view that shows the frames; none until set.
    void SetView(IPlaybackView* view);
    // Starts playback of the given full paths at the first archive, frame 0.
    // Auto-play keeps its value. An empty list is ignored.
    void SetArchives(const QStringList& paths);
    // Read by the view on the streaming thread.
    bool IsPlaybackActive() const { return is_playback_active_.load(std::memory_order_acquire); }
    bool IsAutoPlay() const { return is_auto_play_; }
    // "Play at Recorded Speed": each frame stays for the time to the next one's record time;
    // otherwise for one timer period, whatever the recording's rate.
    void SetPlayAtRecordedSpeed(bool is_recorded_speed);
    bool IsPlayingAtRecordedSpeed() const { return is_recorded_speed_; }
    // How long the frame on show stays while playing.
    int FrameDurationMs() const;

    CArchiveReader& Reader() { return reader_; }
    const QStringList& Archives() const { return archive_paths_; }
    int32_t CurrentArchive() const { return current_archive_; }

    // Controls, for the view's tool-bar and for tests.
    QPushButton* PlayButton() const { return play_button_; }
    QPushButton* PreviousButton() const { return previous_button_; }
    QPushButton* NextButton() const { return next_button_; }
    QPushButton* ShotButton() const { return shot_button_; }
    QPushButton* ConvertButton() const { return convert_button_; }
    QPushButton* ExportVideoButton() const { return export_video_button_; }
    QSlider* Slider() const { return slider_; }
    QLabel* PositionLabel() const { return position_label_; }
    // Where the save dialogs of the run open; shared with the archive list and the live snapshot.
    ExportFolders& Folders() { return export_folders_; }

    // Handlers (public so the view and tests can drive the panel without the event loop).
    void OnPlay();
    void OnPrevious();
    void OnNext();
    void OnHScroll();
    void OnTimer();
    void OnShot();
    void OnConvertToAvi();
    // "Export Video...": the archive on show as a compact video.
    void OnExportVideo();
    void OnClose();

    // Enter and Escape act like the close box.
    void accept() override;
    void reject() override;

    // First shown over the top-left corner of the view; afterwards where the user left it.
    void setVisible(bool visible) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void LoadCurrentArchive();
    // Makes the archive step places on (wrapping) current, at its first frame, without showing it.
    void StepArchive(int step);
    void ShowCurrentFrame();
    void UpdateTitle();
    void SetSliderPosition(int position);
    void PauseForExport();

    IPlaybackView* view_ = nullptr;
    std::atomic<bool> is_playback_active_{false};
    int32_t current_archive_ = 0;
    QStringList archive_paths_;
    CArchiveReader reader_;
    bool is_auto_play_ = false;
    bool is_recorded_speed_ = false;
    bool is_placed_ = false;
    ExportFolders export_folders_;

    QPushButton* play_button_ = nullptr;
    QPushButton* previous_button_ = nullptr;
    QPushButton* next_button_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* position_label_ = nullptr;
    QPushButton* shot_button_ = nullptr;
    QPushButton* convert_button_ = nullptr;
    QPushButton* export_video_button_ = nullptr;
    QTimer* timer_ = nullptr;
};
