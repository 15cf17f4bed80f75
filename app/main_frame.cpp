#include "app/main_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QStatusBar>
#include <QToolBar>

#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "app/app_log.h"
#include "app/cindral_view.h"
#include "app/remote_viewing_dlg.h"
#include "app/screen_fit.h"
#include "app/session_state_pane.h"
#include "app/storage_dlg.h"
#include "app/storage_location.h"
#include "archive_ui/panel_dlg.h"
#include "capture/device_watcher.h"
#include "capture/ignored_areas_file.h"
#include "capture/live_session.h"
#include "capture_ui/twain_sources_dlg.h"
#include "live_text/live_state_text.h"
#include "platform/key_store.h"
#include "platform/posix_file.h"
#include "platform/safe_output.h"
#include "settings/settings_store.h"
#include "web/web_server.h"
#include "widgets/message_box_fit.h"

// The resources live in a static library; without this the linker may leave them out.
static void LoadProgramResources() { Q_INIT_RESOURCE(cindral); }

namespace {

constexpr int kCommandToggleToolBar = 59392;
constexpr int kCommandToggleStatusBar = 59393;

// Status-bar prompt, then the tool tip.
void SetPrompt(QAction* action, const QString& prompt, const QString& tool_tip) {
    action->setStatusTip(prompt);
    action->setToolTip(tool_tip);
}

// Hides the lock indicators while the status bar is too narrow for them and the state pane's
// text, and shows them again once there is room: the state comes first.
class LockPanesFit : public QObject {
public:
    LockPanesFit(QStatusBar* status_bar, QWidget* first, QWidget* state, QList<QWidget*> locks)
        : QObject(status_bar), status_bar_(status_bar), first_(first), state_(state), locks_(std::move(locks)) {
        status_bar->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == status_bar_ && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
            Fit();
        return QObject::eventFilter(watched, event);
    }

private:
    void Fit() {
        const int spacing_px = 8;  // the status bar's gaps between panes, and its size grip's
        int needed_px = first_->minimumSizeHint().width() + state_->sizeHint().width() + 4 * spacing_px;
        for (const QWidget* lock : locks_) needed_px += lock->sizeHint().width() + spacing_px;
        const bool is_room = status_bar_->width() >= needed_px;
        for (QWidget* lock : locks_) lock->setVisible(is_room);
    }

    QStatusBar* status_bar_;
    QWidget* first_;
    QWidget* state_;
    QList<QWidget*> locks_;
};

}  // namespace

CMainFrame::CMainFrame(std::string program_folder, std::filesystem::path settings_file, QWidget* parent)
    : QMainWindow(parent),
      program_folder_(std::move(program_folder)),
      settings_file_(settings_file.empty() ? CKeyStore::DefaultFilePath() : std::move(settings_file)) {
    LoadProgramResources();
    properties_dialog_ = new CTwainSourcesDlg(this, settings_);
    LoadSettings();
    setWindowTitle(QStringLiteral("Cindral"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/cindral.svg")));
}

CMainFrame::~CMainFrame() {
    // The view goes first so that the sizes saved are the last ones the camera negotiated.
    DestroyView();
    SaveSettings();
}

void CMainFrame::LoadSettings() {
    CKeyStore store(settings_file_, is_settings_damage_told_);
    ::LoadSettings(store, settings_);
    // Our own keys, after the eight settings' order has run its course.
    LoadStorageSettings(store, storage_settings_);
    LoadViewSettings(store, view_settings_);
    LoadDetectorSettings(store, detector_settings_);
    LoadRemoteViewingSettings(store, remote_viewing_);
    storage_folder_ = CurrentStorageFolder(program_folder_, storage_settings_.chosen_folder);
    is_settings_damage_told_ = store.IsDamaged();
}

void CMainFrame::SaveSettings() {
    CKeyStore store(settings_file_, is_settings_damage_told_);
    ::SaveSettings(store, settings_);
}

bool CMainFrame::Create() {
    CreateActions();
    CreateMenus();
    if (!CreateToolBar() || !CreateStatusBar()) return false;
    // Before the first-start dialog, whose camera list follows cameras as they are plugged in.
    device_watcher_ = new CVideoDeviceWatcher(this);
    device_watcher_->Start();
    properties_dialog_->SetDeviceWatcher(device_watcher_);
    if (settings_.camera_name.empty()) return properties_dialog_->exec() == QDialog::Accepted;
    return true;
}

void CMainFrame::CreateActions() {
    auto make_action = [this](const QString& text, int command) {
        auto* action = new QAction(text, this);
        action->setData(command);
        addAction(action);  // accelerators work wherever the focus is in this window
        return action;
    };
    properties_action_ = make_action(tr("Properties..."), kCommandProperties);
    properties_action_->setIcon(QIcon(QStringLiteral(":/toolbar/properties.svg")));
    connect(properties_action_, &QAction::triggered, this, &CMainFrame::OnProperties);

    storage_action_ = make_action(tr("&Storage..."), kCommandStorage);
    storage_action_->setIcon(QIcon(QStringLiteral(":/toolbar/storage.svg")));
    SetPrompt(storage_action_, tr("Choose where recordings go and when the oldest are deleted"), tr("Storage"));
    connect(storage_action_, &QAction::triggered, this, &CMainFrame::OnStorage);

    remote_viewing_action_ = make_action(tr("&Remote Viewing..."), kCommandRemoteViewing);
    SetPrompt(remote_viewing_action_, tr("Watch the live picture and the recordings from a browser on another device"),
              tr("Remote Viewing"));
    connect(remote_viewing_action_, &QAction::triggered, this, &CMainFrame::OnRemoteViewing);

    view_archive_action_ = make_action(tr("&View Archive..."), kCommandViewArchive);
    view_archive_action_->setIcon(QIcon(QStringLiteral(":/toolbar/archive.svg")));
    view_archive_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(view_archive_action_, &QAction::triggered, this, [this] {
        if (view_) view_->OnViewArchive();
    });

    keep_aspect_ratio_action_ = make_action(tr("&Keep Aspect Ratio"), kCommandKeepAspectRatio);
    keep_aspect_ratio_action_->setCheckable(true);
    keep_aspect_ratio_action_->setChecked(view_settings_.is_aspect_ratio_kept);
    SetPrompt(keep_aspect_ratio_action_, tr("Show the whole picture in its own proportions, with black bars beside it"),
              tr("Keep Aspect Ratio"));
    connect(keep_aspect_ratio_action_, &QAction::toggled, this, &CMainFrame::OnKeepAspectRatio);

    recorded_speed_action_ = make_action(tr("Play at &Recorded Speed"), kCommandRecordedSpeed);
    recorded_speed_action_->setCheckable(true);
    recorded_speed_action_->setChecked(view_settings_.is_recorded_speed);
    SetPrompt(recorded_speed_action_,
              tr("Play archives at the pace they were recorded at rather than 10 frames a second"),
              tr("Play at Recorded Speed"));
    connect(recorded_speed_action_, &QAction::toggled, this, [this](bool is_recorded_speed) {
        view_settings_.is_recorded_speed = is_recorded_speed;
        if (view_ && view_->Panel()) view_->Panel()->SetPlayAtRecordedSpeed(is_recorded_speed);
        CKeyStore store(settings_file_, is_settings_damage_told_);
        SaveViewSettings(store, view_settings_);
    });

    motion_events_action_ = make_action(tr("&Motion Events..."), kCommandMotionEvents);
    SetPrompt(motion_events_action_, tr("Choose what makes a motion event, what is kept around it and who is told"),
              tr("Motion Events"));
    connect(motion_events_action_, &QAction::triggered, this, &CMainFrame::OnMotionEvents);

    ignored_areas_action_ = make_action(tr("&Ignored Areas..."), kCommandIgnoredAreas);
    SetPrompt(ignored_areas_action_, tr("Paint the areas of the picture that never count as motion"),
              tr("Ignored Areas"));
    connect(ignored_areas_action_, &QAction::triggered, this, &CMainFrame::OnIgnoredAreas);
    snapshot_action_ = make_action(tr("S&napshot"), kCommandSnapshot);
    snapshot_action_->setIcon(QIcon(QStringLiteral(":/toolbar/snapshot.svg")));
    snapshot_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    SetPrompt(snapshot_action_, tr("Save the picture on show as a JPEG file"), tr("Snapshot"));
    connect(snapshot_action_, &QAction::triggered, this, [this] {
        if (view_) view_->OnSnapshot();
    });
    // The camera's own pages, also on the picture's context menu.
    camera_pin_action_ = make_action(tr("Camera &Pin..."), kCommandCameraPin);
    connect(camera_pin_action_, &QAction::triggered, this, [this] {
        if (view_) view_->OnContextCommand(CCindralView::kCommandCameraPin);
    });
    camera_filter_action_ = make_action(tr("Camera &Filter..."), kCommandCameraFilter);
    connect(camera_filter_action_, &QAction::triggered, this, [this] {
        if (view_) view_->OnContextCommand(CCindralView::kCommandCameraFilter);
    });

    exit_action_ = make_action(tr("E&xit"), kCommandExit);
    exit_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    SetPrompt(exit_action_, tr("Quit the application; prompts to save documents"), tr("Exit"));
    connect(exit_action_, &QAction::triggered, this, &QWidget::close);

    toggle_tool_bar_action_ = make_action(tr("&Toolbar"), kCommandToggleToolBar);
    toggle_tool_bar_action_->setCheckable(true);
    toggle_tool_bar_action_->setChecked(true);
    SetPrompt(toggle_tool_bar_action_, tr("Show or hide the toolbar"), tr("Toggle ToolBar"));

    toggle_status_bar_action_ = make_action(tr("&Status Bar"), kCommandToggleStatusBar);
    toggle_status_bar_action_->setCheckable(true);
    toggle_status_bar_action_->setChecked(true);
    SetPrompt(toggle_status_bar_action_, tr("Show or hide the status bar"), tr("Toggle StatusBar"));

    help_action_ = make_action(tr("Chm Help..."), kCommandHelp);
    help_action_->setShortcut(QKeySequence(Qt::Key_F1));
    connect(help_action_, &QAction::triggered, this, &CMainFrame::HelpRequested);

    about_action_ = make_action(tr("&About Cindral..."), kCommandAbout);
    about_action_->setIcon(QIcon(QStringLiteral(":/toolbar/about.svg")));
    SetPrompt(about_action_, tr("Display program information and version number"), tr("About"));
    connect(about_action_, &QAction::triggered, this, &CMainFrame::AboutRequested);

    // New and Open bring up the one document again: the view's initial update repeats,
    // which creates nothing twice.
    auto* new_action = make_action(QString(), 57600);
    new_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(new_action, &QAction::triggered, this, &CMainFrame::OnNewOrOpen);
    auto* open_action = make_action(QString(), 57601);
    open_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(open_action, &QAction::triggered, this, &CMainFrame::OnNewOrOpen);
    // Ctrl+S belongs to "Snapshot"; the document's Save keeps its command without a key.
    auto* save_action = make_action(QString(), 57603);
    connect(save_action, &QAction::triggered, this, &CMainFrame::OnFileSave);

    // Undo, Cut, Copy and Paste are taken so that they reach nothing.
    const QList<std::pair<int, QList<QKeySequence>>> inert_commands = {
        {57643, {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
        {57635, {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
        {57634, {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {57637, {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
    };
    for (const auto& [command, keys] : inert_commands) make_action(QString(), command)->setShortcuts(keys);
}

QAction* CMainFrame::CommandAction(int command) const {
    for (QAction* action : actions()) {
        if (action->data().toInt() == command) return action;
    }
    return nullptr;
}

void CMainFrame::CreateMenus() {
    QMenu* file_menu = menuBar()->addMenu(tr("&File"));
    file_menu->addAction(properties_action_);
    file_menu->addAction(storage_action_);
    file_menu->addAction(motion_events_action_);
    file_menu->addAction(remote_viewing_action_);
    file_menu->addSeparator();
    file_menu->addAction(exit_action_);

    QMenu* view_menu = menuBar()->addMenu(tr("&View"));
    view_menu->addAction(toggle_tool_bar_action_);
    view_menu->addAction(toggle_status_bar_action_);
    view_menu->addAction(keep_aspect_ratio_action_);
    view_menu->addAction(recorded_speed_action_);
    view_menu->addAction(ignored_areas_action_);
    view_menu->addSeparator();
    view_menu->addAction(view_archive_action_);
    view_menu->addAction(snapshot_action_);
    view_menu->addAction(camera_pin_action_);
    view_menu->addAction(camera_filter_action_);

    QMenu* help_menu = menuBar()->addMenu(tr("&Help"));
    help_menu->addAction(help_action_);
    help_menu->addSeparator();
    help_menu->addAction(about_action_);
}

bool CMainFrame::CreateToolBar() {
    tool_bar_ = new QToolBar(tr("Standard"), this);
    tool_bar_->setObjectName(QStringLiteral("ToolBar"));
    tool_bar_->setIconSize(QSize(16, 15));
    tool_bar_->setMovable(true);
    tool_bar_->setFloatable(true);
    tool_bar_->setAllowedAreas(Qt::AllToolBarAreas);
    tool_bar_->addAction(properties_action_);
    tool_bar_->addSeparator();
    tool_bar_->addAction(view_archive_action_);
    tool_bar_->addAction(snapshot_action_);
    tool_bar_->addAction(storage_action_);
    tool_bar_->addSeparator();
    tool_bar_->addAction(about_action_);
    // The button images belong to the program; without them the tool bar cannot be made.
    for (const QAction* action :
         {properties_action_, view_archive_action_, snapshot_action_, storage_action_, about_action_}) {
        if (action->icon().pixmap(tool_bar_->iconSize()).isNull()) {
            qWarning("cindral: the tool bar image of \"%s\" cannot be drawn; is Qt's SVG support installed?",
                     qUtf8Printable(action->text()));
            return false;
        }
    }
    addToolBar(Qt::TopToolBarArea, tool_bar_);
    connect(toggle_tool_bar_action_, &QAction::toggled, tool_bar_, &QWidget::setVisible);
    connect(tool_bar_, &QToolBar::visibilityChanged, toggle_tool_bar_action_, &QAction::setChecked);
    return true;
}

bool CMainFrame::CreateStatusBar() {
    status_bar_ = new QStatusBar(this);
    status_bar_->setObjectName(QStringLiteral("StatusBar"));
    auto* ready = new QLabel(tr("Ready"), status_bar_);
    status_bar_->addWidget(ready, 1);
    state_pane_ = new CSessionStatePane(status_bar_);
    status_bar_->addPermanentWidget(state_pane_);
    // The lock indicators; Qt cannot read the lock keys' state, so they show disabled.
    QList<QWidget*> locks;
    for (const char* indicator : {QT_TR_NOOP("CAP"), QT_TR_NOOP("NUM"), QT_TR_NOOP("SCRL")}) {
        auto* pane = new QLabel(tr(indicator), status_bar_);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setEnabled(false);
        status_bar_->addPermanentWidget(pane);
        locks << pane;
    }
    new LockPanesFit(status_bar_, ready, state_pane_, locks);
    setStatusBar(status_bar_);
    connect(toggle_status_bar_action_, &QAction::toggled, status_bar_, &QWidget::setVisible);
    return true;
}

void CMainFrame::CreateView() {
    if (view_) return;
    view_ = new CCindralView(settings_, storage_folder_.path, this, device_watcher_);
    setCentralWidget(view_);
    connect(view_, &CCindralView::PropertiesRequested, this, &CMainFrame::OnProperties);
    connect(view_, &CCindralView::MotionEventsRequested, this, &CMainFrame::OnMotionEvents);
    connect(view_, &CCindralView::IgnoredAreasEdited, this, &CMainFrame::SaveIgnoredAreas);
    view_->SetKeepAspectRatio(view_settings_.is_aspect_ratio_kept);
    view_->SetDetectorSettings(&detector_settings_);
    view_->SetEventCommand(detector_settings_.event_command);
    LoadIgnoredAreas();
    view_->OnInitialUpdate();
    if (CPanelDlg* panel = view_->Panel()) {
        panel->SetPlayAtRecordedSpeed(view_settings_.is_recorded_speed);
        panel->addAction(recorded_speed_action_);  // its context menu
        panel->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    connect(view_->Session(), &CLiveSession::MotionEvent, this,
            [this](bool is_start, const QString&, qint64 wall_ms) { OnMotionEvent(is_start, wall_ms); });
    view_->SetRetentionLimits(storage_settings_.limits);
    state_pane_->SetSession(view_->Session());
    ApplyRemoteViewing();
}

void CMainFrame::DestroyView() {
    web_server_.reset();  // it hands out the session's frames
    delete view_.data();  // stops the capture and finishes the open archive
}

void CMainFrame::OnProperties() {
    // Changes are already applied when the dialog closes. A new camera is used from the next
    // start, or at once when no camera runs now.
    if (properties_dialog_->exec() == QDialog::Accepted && view_) {
        view_->OnCameraChosen(settings_.camera_name);
        LoadIgnoredAreas();  // each camera has its own
    }
}

void CMainFrame::OnStorage() {
    CStorageDlg dialog(program_folder_, storage_settings_, this);
    if (dialog.exec() == QDialog::Accepted) ApplyStorageSettings(dialog.Settings());
}

void CMainFrame::OnMotionEvents() {
    const CFramePipeline::PreRollStatus pre_roll =
        view_ && view_->Session() ? view_->Session()->PreRollStatus() : CFramePipeline::PreRollStatus{};
    CMotionEventsDlg dialog(MotionEventChoices::Of(detector_settings_), settings_.frame_width.load(),
                            settings_.frame_height.load(), pre_roll, this);
    if (dialog.exec() == QDialog::Accepted) ApplyMotionEventChoices(dialog.Choices());
}

void CMainFrame::ApplyMotionEventChoices(const MotionEventChoices& choices) {
    choices.ApplyTo(detector_settings_);
    CKeyStore store(settings_file_);
    if (!SaveDetectorSettings(store, detector_settings_)) {
        qCWarning(lcApp).noquote() << "the motion event settings could not be written to"
                                   << QString::fromStdString(settings_file_.string());
    }
    if (view_) view_->SetEventCommand(detector_settings_.event_command);
}

std::string CMainFrame::IgnoredAreasFile() const {
    std::string folder = settings_file_.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return IgnoredAreasPath(folder, settings_.camera_name);
}

void CMainFrame::LoadIgnoredAreas() {
    if (!view_) return;
    std::string error;
    std::optional<BlockMask> mask;
    if (::access(IgnoredAreasFile().c_str(), F_OK) == 0) {
        mask = ReadIgnoredAreas(IgnoredAreasFile(), &error);
        if (!mask) qCWarning(lcApp).noquote() << QString::fromStdString(error);
    }
    view_->SetIgnoredBlocks(mask && mask->IgnoredCount() > 0 ? std::make_shared<const BlockMask>(std::move(*mask))
                                                             : nullptr);
}

void CMainFrame::SaveIgnoredAreas() {
    const std::string path = IgnoredAreasFile();
    const std::shared_ptr<const BlockMask> mask = view_ ? view_->IgnoredBlocks() : nullptr;
    std::string error;
    if (mask) {
        if (WriteIgnoredAreas(path, *mask, &error)) return;
    } else {
        if (std::remove(path.c_str()) == 0 || errno == ENOENT) return;  // none kept: no file
        error = ErrnoMessage("cannot remove " + path);
    }
    qCWarning(lcApp).noquote() << QString::fromStdString(error);
    ExecFittedMessageBox(this, QMessageBox::Warning, tr("Ignored Areas"), QString::fromStdString(error));
}

void CMainFrame::OnIgnoredAreas() {
    if (view_) view_->StartIgnoredAreas();
}

void CMainFrame::OnMotionEvent(bool is_start, qint64 wall_ms) {
    if (!is_start || !detector_settings_.is_notifying) return;
    if (!notifier_) {
        notifier_ = new CEventNotifier(this);
        connect(notifier_, &CEventNotifier::Activated, this, [this] { CScreenFit::BringToFront(*this); });
    }
    notifier_->NotifyEventStart(wall_ms, QString::fromStdString(settings_.camera_name));
}

void CMainFrame::OnRemoteViewing() {
    CRemoteViewingDlg dialog(remote_viewing_, QString::fromStdString(web_fingerprint_), this);
    if (dialog.exec() != QDialog::Accepted) return;
    remote_viewing_ = dialog.Settings();
    {
        CKeyStore store(settings_file_);
        if (!SaveRemoteViewingSettings(store, remote_viewing_)) {
            qCWarning(lcApp).noquote() << "the remote viewing settings could not be written to"
                                       << QString::fromStdString(settings_file_.string());
        }
    }
    ApplyRemoteViewing();
}

void CMainFrame::ApplyRemoteViewing() {
    web_server_.reset();
    if (!remote_viewing_.is_enabled || !view_ || !view_->Session()) return;
    WebServerOptions options;
    std::string error;
    const std::string settings_folder = settings_file_.parent_path().string();
    if (RemoteViewingServerOptions(remote_viewing_, settings_folder, options, web_fingerprint_, error)) {
        CLiveSession* session = view_->Session();
        web_server_ = std::make_unique<CWebServer>(storage_folder_.path, &session->ViewerFrames(), [session] {
            const LiveState state = session->State();
            return WebLiveStatus{LivePhaseName(state.phase), LiveStateText(state).toStdString(), state.camera,
                                 state.archive_path};
        });
        if (web_server_->Start(options, error)) {
            QString message = tr("Remote viewing at %1").arg(QString::fromStdString(web_server_->Url()));
            if (!web_fingerprint_.empty()) {
                message += tr(", certificate SHA-256 %1").arg(QString::fromStdString(web_fingerprint_));
            }
            qCInfo(lcApp).noquote() << message;
            statusBar()->showMessage(message, 30000);
            return;
        }
        web_server_.reset();
    }
    const QString reason = QString::fromStdString(error);
    qCWarning(lcApp).noquote() << "remote viewing does not start:" << reason;
    ExecFittedMessageBox(this, QMessageBox::Warning, tr("Remote Viewing"),
                         tr("Remote viewing could not start: %1").arg(reason));
}

void CMainFrame::OnKeepAspectRatio(bool is_kept) {
    view_settings_.is_aspect_ratio_kept = is_kept;
    if (view_) view_->SetKeepAspectRatio(is_kept);
    CKeyStore store(settings_file_, is_settings_damage_told_);
    SaveViewSettings(store, view_settings_);
}

void CMainFrame::ApplyStorageSettings(const StorageSettings& settings) {
    storage_settings_ = settings;
    {
        // Kept at once: a limit must hold from now on, whatever becomes of this run.
        CKeyStore store(settings_file_, is_settings_damage_told_);
        SaveStorageSettings(store, storage_settings_);
    }
    storage_folder_ = CurrentStorageFolder(program_folder_, storage_settings_.chosen_folder);
    if (web_server_) web_server_->SetStorageFolder(storage_folder_.path);
    if (!view_) return;
    view_->SetStorageFolder(storage_folder_.path);
    view_->SetRetentionLimits(storage_settings_.limits);
}

void CMainFrame::OnNewOrOpen() {
    if (view_) view_->OnInitialUpdate();
}

void CMainFrame::OnFileSave() {
    // The document stores nothing: saving gives the chosen file no contents. Like every output it
    // replaces the file whole once written, never truncates it in place, and refuses archives,
    // folders and disks; a pipe nobody reads is said, not waited on.
    const QString path = QFileDialog::getSaveFileName(this, tr("Save As"), QStringLiteral("Cindral"));
    if (path.isEmpty()) return;
    std::string error;
    if (WriteOutputFile(QFile::encodeName(path).toStdString(), nullptr, 0, SafeOutputRules{}, error)) return;
    const QString reason = QString::fromLocal8Bit(error);
    qCWarning(lcApp).noquote() << "Save" << path << "failed:" << reason;
    ExecFittedMessageBox(this, QMessageBox::Warning, tr("Save As"), tr("%1 could not be saved: %2").arg(path, reason));
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    DestroyView();
    QMainWindow::closeEvent(event);
}
