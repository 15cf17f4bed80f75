#pragma once

#include <QImage>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>

#include "archive_ui/playback_view.h"
#include "capture/web_camera_dlg.h"
#include "recording/bmp_file.h"
#include "recording/frame_pipeline.h"
#include "recording/settings.h"
#include "storage/storage_settings.h"

class CPanelDlg;
class CCaptureMessageBox;
class CLiveSession;
class CVideoDeviceWatcher;
class QMenu;

// The camera view: owns the live session (capture object, frame pipeline and recorder) and
// paints the newest picture stretched over its whole area, or black with the session's state
// ("No camera", "No signal" over the last picture, darkened) when there is none to show.
// Frames arrive on the streaming thread; the marked frame is handed to the user-interface
// thread through a newest-wins slot, so the streaming thread never waits for painting.
class CCindralView : public QWidget, public IFramePresenter, public IPlaybackView {
    Q_OBJECT
public:
    // Context menu entries.
    enum ContextCommand : int {
        kCommandProperties = 1003,
        kCommandViewArchive = 1004,
        kCommandCameraPin = 1005,
        kCommandCameraFilter = 1006,
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

    // IFramePresenter, streaming thread.
    bool IsPlaybackActive() const override;
    void PresentLiveFrame(const BMP_File& live_frame) override;
    // IPlaybackView, user-interface thread.
    void ShowPlaybackFrame(const BMP_File& frame) override;

    // Context menu actions and the tool bar's archive command.
    QMenu* CreateContextMenu(QWidget* parent) const;
    void OnContextCommand(int command);
    void OnViewArchive();

    CLiveSession* Session() const { return session_.get(); }
    CWebCameraDlg* Capture() const;
    CPanelDlg* Panel() const { return panel_.get(); }
    // The picture the next paint shows (user-interface thread).
    const QImage& CurrentImage() const { return current_image_; }
    // Live pictures taken over from the streaming thread so far (user-interface thread).
    int PresentedFrameCount() const { return presented_frame_count_; }

signals:
    // "Properties..." from the context menu: the main frame runs its Properties command.
    void PropertiesRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    // The Menu key and Shift+F10 open the context menu at the view's centre.
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void OnLiveFrameReady();
    void RunContextMenu(const QPoint& global_position);

    CindralSettings& settings_;
    std::string storage_folder_;
    CVideoDeviceWatcher* watcher_;

    // Declaration order is destruction order in reverse: the session (capture object, then
    // recorder) goes first, then the panel and the pictures.
    QImage current_image_;

    // Newest-wins hand-over slot: filled on the streaming thread, emptied on the UI thread.
    std::mutex slot_mutex_;
    BMP_File slot_frame_;
    bool is_slot_full_ = false;
    BMP_File shown_frame_;  // UI thread: the live frame current_image_ points into

    const BMP_File* playback_frame_ = nullptr;  // owned by the panel
    int presented_frame_count_ = 0;

    CCaptureMessageBox* capture_messages_ = nullptr;
    std::unique_ptr<ICameraPropertyPages> property_pages_;
    std::unique_ptr<CPanelDlg> panel_;
    std::unique_ptr<CLiveSession> session_;
};
