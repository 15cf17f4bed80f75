#pragma once

#include <QMainWindow>
#include <QPointer>
#include <filesystem>
#include <memory>
#include <string>

#include "app/cindral_view.h"
#include "app/event_notifier.h"
#include "app/motion_events_dlg.h"
#include "app/view_settings.h"
#include "detection/motion_events.h"
#include "settings/settings.h"
#include "storage/storage_folder.h"
#include "storage/storage_settings.h"
#include "web/web_settings.h"

class CSessionStatePane;
class CTwainSourcesDlg;
class CWebServer;
class CVideoDeviceWatcher;
class QAction;
class QLabel;
class QStatusBar;
class QToolBar;

// The main window. Holds the program's settings for the whole run (loaded when it is
// built, written when it is destroyed), the Properties dialog, the menu, the tool bar
// and the status bar; the camera view fills its client area.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Command identifiers of the menu, tool bar and accelerators.
    enum Command : int {
        kCommandProperties = 1000,
        kCommandStorage = 32775,
        kCommandKeepAspectRatio = 32776,
        kCommandSnapshot = 32777,
        kCommandCameraPin = 32778,
        kCommandCameraFilter = 32779,
        kCommandRemoteViewing = 32780,
        kCommandViewArchive = 32773,
        kCommandHelp = 32774,
        kCommandAbout = 57664,
        kCommandExit = 57665,
        kCommandMotionEvents = 32781,
        kCommandIgnoredAreas = 32782,
        kCommandRecordedSpeed = 32783,
    };

    // settings_file: where the settings live; empty means the per-user default.
    CMainFrame(std::string program_folder, std::filesystem::path settings_file, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Builds menu, tool bar and status bar and, when no camera is chosen yet, runs the
    // Properties dialog. False when that dialog ends any other way than OK: the window
    // must not come up.
    bool Create();
    // Creates the camera view and runs its initial update, which starts the capture.
    void CreateView();
    // Stops the capture and finishes an open archive; safe to call more than once.
    void DestroyView();

    void OnProperties();
    // "Storage...": the folder and the retention limits; changes take effect at once.
    void OnStorage();
    // "Remote Viewing...": serving browsers; changes take effect at once.
    void OnRemoteViewing();
    // View > "Keep Aspect Ratio": the view follows at once, and the choice is kept at once.
    void OnKeepAspectRatio(bool is_kept);
    // "Motion Events...": what makes an event and who is told; kept and applied on OK.
    void OnMotionEvents();
    // View > "Ignored Areas...": the view's mode; the areas are kept per camera when it ends.
    void OnIgnoredAreas();
    const DetectorSettings& Detector() const { return detector_settings_; }
    // Where the ignored areas of the chosen camera are kept.
    std::string IgnoredAreasFile() const;
    CEventNotifier* Notifier() const { return notifier_; }

    CindralSettings& Settings() { return settings_; }
    const StorageSettings& Storage() const { return storage_settings_; }
    const ViewSettings& ViewChoices() const { return view_settings_; }
    // Where recordings go now.
    const StorageFolder& StorageLocation() const { return storage_folder_; }
    CTwainSourcesDlg* PropertiesDialog() const { return properties_dialog_; }
    CCindralView* View() const { return view_; }
    QToolBar* ToolBar() const { return tool_bar_; }
    CSessionStatePane* StatePane() const { return state_pane_; }
    CVideoDeviceWatcher* DeviceWatcher() const { return device_watcher_; }
    QAction* CommandAction(int command) const;
    const std::filesystem::path& SettingsFile() const { return settings_file_; }
    const RemoteViewingSettings& RemoteViewing() const { return remote_viewing_; }
    // The server for browsers while remote viewing is on, else null.
    CWebServer* WebServer() const { return web_server_.get(); }

signals:
    void AboutRequested();
    void HelpRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void LoadSettings();
    // Replaces the storage settings, keeps them and passes them on to the live session.
    void ApplyStorageSettings(const StorageSettings& settings);
    void SaveSettings();
    // Starts, restarts or stops the server by the remote viewing settings; says what fails.
    void ApplyRemoteViewing();
    void CreateActions();
    void CreateMenus();
    bool CreateToolBar();
    bool CreateStatusBar();
    void OnNewOrOpen();
    void OnFileSave();
    void ApplyMotionEventChoices(const MotionEventChoices& choices);
    void LoadIgnoredAreas();
    void SaveIgnoredAreas();
    void OnMotionEvent(bool is_start, qint64 wall_ms);

    std::string program_folder_;
    std::filesystem::path settings_file_;
    // A damaged settings file is warned of once a run, when it is first read.
    bool is_settings_damage_told_ = false;
    CindralSettings settings_;
    StorageSettings storage_settings_;
    ViewSettings view_settings_;
    StorageFolder storage_folder_;
    DetectorSettings detector_settings_;
    CEventNotifier* notifier_ = nullptr;
    CTwainSourcesDlg* properties_dialog_ = nullptr;
    QToolBar* tool_bar_ = nullptr;
    QStatusBar* status_bar_ = nullptr;
    CSessionStatePane* state_pane_ = nullptr;
    // Follows cameras as they come and go, for the Properties dialog and the live session.
    CVideoDeviceWatcher* device_watcher_ = nullptr;
    QPointer<CCindralView> view_;
    RemoteViewingSettings remote_viewing_;
    std::string web_fingerprint_;  // of the certificate in use
    std::unique_ptr<CWebServer> web_server_;

    QAction* properties_action_ = nullptr;
    QAction* storage_action_ = nullptr;
    QAction* remote_viewing_action_ = nullptr;
    QAction* view_archive_action_ = nullptr;
    QAction* keep_aspect_ratio_action_ = nullptr;
    QAction* recorded_speed_action_ = nullptr;  // in the View menu and the playback panel's menu
    QAction* motion_events_action_ = nullptr;
    QAction* ignored_areas_action_ = nullptr;
    QAction* snapshot_action_ = nullptr;
    QAction* camera_pin_action_ = nullptr;
    QAction* camera_filter_action_ = nullptr;
    QAction* exit_action_ = nullptr;
    QAction* toggle_tool_bar_action_ = nullptr;
    QAction* toggle_status_bar_action_ = nullptr;
    QAction* help_action_ = nullptr;
    QAction* about_action_ = nullptr;
};
