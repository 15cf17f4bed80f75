#pragma once

#include <QImage>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>

#include "archive_ui/playback_view.h"
#include "capture/web_camera_dlg.h"
#include "recording/bmp_file.h"
#include "recording/frame_archive.h"
#include "recording/frame_pipeline.h"
#include "recording/settings.h"

class CPanelDlg;
class CCaptureMessageBox;
class QMenu;

// The camera view: owns the capture object, the live pipeline's frames and the recorder,
// and paints the newest picture stretched over its whole area. Frames arrive on the
// streaming thread; the marked frame is handed to the user-interface thread through a
// newest-wins slot, so the streaming thread never waits for painting.
class CCindralView : public QWidget, public IFrameReceiver, public IFramePresenter, public IPlaybackView {
    Q_OBJECT
public:
    // Context menu entries.
    enum ContextCommand : int {
        kCommandProperties = 1003,
        kCommandViewArchive = 1004,
        kCommandCameraPin = 1005,
        kCommandCameraFilter = 1006,
    };

    // program_folder ends with '/'; the recorder writes below program_folder + "Storage/".
    CCindralView(CindralSettings& settings, std::string program_folder, QWidget* parent);
    ~CCindralView() override;

    // Creates and starts the capture object and the hidden playback panel. A repeated
    // call (New or Open) creates nothing a second time.
    void OnInitialUpdate();

    // IFrameReceiver, streaming thread.
    void ProcessFrame(const uint8_t* pixels, size_t size_bytes) override;
    // IFramePresenter, streaming thread.
    bool IsPlaybackActive() const override;
    void PresentLiveFrame(const BMP_File& live_frame) override;
    // IPlaybackView, user-interface thread.
    void ShowPlaybackFrame(const BMP_File& frame) override;

    // Context menu actions and the tool bar's archive command.
    QMenu* CreateContextMenu(QWidget* parent) const;
    void OnContextCommand(int command);
    void OnViewArchive();

    CWebCameraDlg* Capture() const { return m_pCapture.get(); }
    CPanelDlg* Panel() const { return panel_.get(); }
    CFrameArchive& Recorder() { return recorder_; }
    const CFramePipeline& Pipeline() const { return pipeline_; }
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
    std::string program_folder_;

    // Declaration order is destruction order in reverse: the capture object goes first,
    // then the panel, the frame buffers, the picture and finally the recorder.
    CFrameArchive recorder_;
    QImage current_image_;
    CFramePipeline pipeline_;

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
    std::unique_ptr<CWebCameraDlg> m_pCapture;
};
