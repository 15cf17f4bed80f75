#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPoint>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "archive_ui/playback_view.h"
#include "capture/capture_graph.h"
#include "detection/motion_events.h"
#include "picture/packed_picture.h"
#include "picture/view_picture.h"
#include "recorder/frame_pipeline.h"
#include "settings/settings.h"
#include "storage/storage_settings.h"

class CPanelDlg;
class CCaptureMessageBox;
class CLiveSession;
class CVideoDeviceWatcher;
class QLabel;
class QMenu;
class QPainter;

// The camera view: owns the live session (capture object, frame pipeline and recorder) and
// paints the newest picture stretched over its whole area (or, with "Keep Aspect Ratio", scaled
// to fit between black bars), or black with the session's state ("No camera", "No signal" over
// the last picture, darkened) when there is none to show. The frame pass draws each live
// picture straight into one of three 32-bit pictures that take turns (newest wins), so the
// streaming thread neither copies nor waits for painting; the view takes at most one a display
// refresh, and none while the window is minimised or hidden.
class CQueuedCalls;

class CCindralView : public QWidget, public IFramePresenter, public IPlaybackView {
    Q_OBJECT
public:
    // Context menu entries.
    enum ContextCommand : int {
        kCommandProperties = 1003,
        kCommandViewArchive = 1004,
        kCommandCameraPin = 1005,
        kCommandCameraFilter = 1006,
        kCommandSnapshot = 1007,
        kCommandMotionEvents = 1008,
    };

    // storage_folder ends with '/'; the recorder writes the day folders into it and the archive
    // list reads them from it. watcher (may be null) tells the session when cameras come and go.
    CCindralView(CindralSettings& settings, std::string storage_folder, QWidget* parent,
                 CVideoDeviceWatcher* watcher = nullptr);
    ~CCindralView() override;

    // Creates and starts the live session and the hidden playback panel. A repeated
    // call (New or Open) creates nothing a second time.
    void OnInitialUpdate();
    // A camera chosen in the Properties dialog: taken at once when none runs now.
    void OnCameraChosen(const std::string& name);
    // Another storage folder: the next archive goes there, and the archive list reads it.
    void SetStorageFolder(const std::string& storage_folder);
    // The limits retention keeps from now on; they are checked at once.
    void SetRetentionLimits(const RetentionLimits& limits);

    bool IsPlaybackActive() const;
    // IFramePresenter, streaming thread.
    bool IsShowingLive() const override;
    ViewPicture& LivePictureToFill() override { return live_pictures_.Back(); }
    void PresentLivePicture() override;
    // IPlaybackView, user-interface thread.
    void ShowPlaybackFrame(const BMP_File& frame, double record_time) override;

    // "Keep Aspect Ratio": on, the picture is scaled to fit between black bars; off, stretched
    // over the whole view.
    void SetKeepAspectRatio(bool is_kept);
    bool IsAspectRatioKept() const { return is_aspect_ratio_kept_; }
    // Where a picture of this size is painted, in the view's coordinates.
    QRect PictureRect(const QSize& picture_size) const;

    // Context menu actions and the tool bar's archive command.
    QMenu* CreateContextMenu(QWidget* parent) const;
    void OnContextCommand(int command);
    void OnViewArchive();
    // "Snapshot": the picture on show saved as a JPEG named after the moment it is taken, or for a
    // played frame after its record time.
    void OnSnapshot();
    // Notices of the camera and the recorder (tests look at them).
    CCaptureMessageBox* CaptureMessages() const { return capture_messages_; }

    // Motion events: passed on to the live session, now and when it is made.
    void SetDetectorSettings(const DetectorSettings* detector);
    void SetEventCommand(const std::string& command);
    void SetIgnoredBlocks(std::shared_ptr<const BlockMask> mask);
    std::shared_ptr<const BlockMask> IgnoredBlocks() const { return ignored_blocks_; }
    // View > "Ignored Areas...": over the live picture, dragging paints blocks that never count as
    // motion along the way with a square brush shown under the pointer ("[" and "]" change its
    // size), Shift-dragging erases them and Ctrl-dragging paints a rectangle, shown tinted;
    // "Clear" empties them, "Done" or Escape ends the mode. Every change takes effect at once.
    void StartIgnoredAreas();
    bool IsEditingIgnoredAreas() const { return ignored_bar_ != nullptr; }
    QWidget* IgnoredAreasBar() const { return ignored_bar_; }
    // A side of the brush's square, in blocks.
    int32_t BrushBlocks() const { return brush_blocks_; }

    CLiveSession* Session() const { return session_.get(); }
    CWebCameraDlg* Capture() const;
    CPanelDlg* Panel() const { return panel_.get(); }
    // The picture the next paint shows, without a copy of its pixels (user-interface thread).
    QImage CurrentImage() const;
    // Live pictures taken over from the streaming thread so far (user-interface thread).
    int PresentedFrameCount() const { return presented_frame_count_; }

signals:
    // "Properties..." from the context menu: the main frame runs its Properties command.
    void PropertiesRequested();
    // "Motion Events..." from the context menu.
    void MotionEventsRequested();
    // "Done" ended the ignored areas mode; IgnoredBlocks() holds what to keep.
    void IgnoredAreasEdited();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // The window's minimising, exposure and showing decide whether live pictures are made.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // The Menu key and Shift+F10 open the context menu at the view's centre.
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // A live picture waits: taken now, or once a display refresh has passed since the last one.
    void OnLiveFrameReady();
    void TakeLivePicture();
    // The picture a paint shows now; null for none.
    const ViewPicture* PictureOnShow() const;
    // What a new picture changes: its own rectangle, or the whole view when the rectangle moved
    // from previous_rect (the bars then change too).
    QRect ChangedRect(const QRect& previous_rect) const;
    void UpdateShowing();
    void RunContextMenu(const QPoint& global_position);
    // The ignored areas mode: the block under position (nothing outside the picture, or the
    // nearest edge block when is_clamped), the painting from block to block, and the tint.
    std::optional<QPoint> BlockAt(const QPoint& position, bool is_clamped) const;
    void PaintIgnoredLine(const QPoint& from_block, const QPoint& to_block);
    void ChangeBrush(int step);
    void DrawIgnoredBlocks(QPainter& painter, const QRect& target) const;
    void FinishIgnoredAreas();

    CindralSettings& settings_;
    std::string storage_folder_;
    CVideoDeviceWatcher* watcher_;

    // Declaration order is destruction order in reverse: the session (capture object, then
    // recorder) goes first, then the panel and the pictures.
    CViewPictureSlot live_pictures_;
    ViewPicture playback_picture_;  // the panel's last frame, as the view paints it
    bool has_playback_picture_ = false;
    double playback_record_time_ = 0;   // of the panel's last frame, an OLE date
    bool is_showing_playback_ = false;  // until the next live picture after the panel closes
    bool is_aspect_ratio_kept_ = false;
    std::atomic<bool> is_window_showing_{false};
    QObject* watched_window_ = nullptr;  // the top-level window whose state is followed
    QElapsedTimer since_last_take_;
    QTimer refresh_wait_;     // holds a picture back until a display refresh has passed
    CQueuedCalls* wake_ups_;  // a child: the streaming thread's word of a new picture
    int presented_frame_count_ = 0;
    CNearestScaler scaler_;

    CCaptureMessageBox* capture_messages_ = nullptr;
    std::unique_ptr<ICameraPropertyPages> property_pages_;
    std::unique_ptr<CPanelDlg> panel_;
    std::unique_ptr<CLiveSession> session_;

    const DetectorSettings* detector_settings_ = nullptr;
    std::string event_command_;
    std::shared_ptr<const BlockMask> ignored_blocks_;
    BlockMask editing_mask_;          // while the mode lasts: over the frame's blocks
    QWidget* ignored_bar_ = nullptr;  // "Clear" and "Done", while the mode lasts
    QLabel* ignored_hint_ = nullptr;  // on the bar: how to paint, with the brush's size
    int32_t brush_blocks_ = 1;
    bool is_drag_erasing_ = false;
    std::optional<QPoint> last_painted_block_;      // during a drag: where the line goes on from
    std::optional<QPoint> rectangle_corner_block_;  // during a Ctrl+drag: its first corner
    QPoint rectangle_end_block_;
    std::optional<QPoint> pointer_block_;  // where the brush shows
};
