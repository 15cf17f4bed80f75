#include "app/cindral_view.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "app/capture_message_box.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/panel_dlg.h"
#include "capture/dialogs/camera_property_pages.h"
#include "capture/live_session.h"

CCindralView::CCindralView(CindralSettings& settings, std::string storage_folder, QWidget* parent,
                           CVideoDeviceWatcher* watcher)
    : QWidget(parent),
      settings_(settings),
      storage_folder_(std::move(storage_folder)),
      watcher_(watcher),
      capture_messages_(new CCaptureMessageBox(this)) {
    // Every paint covers the whole view (picture or black), so Qt need not clear it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

CCindralView::~CCindralView() {
    // Frames must stop before the buffers they land in go away.
    session_.reset();
    panel_.reset();
}

void CCindralView::OnInitialUpdate() {
    if (session_) return;  // New and Open run this again; one session is enough
    // The panel exists before the first frame, so the streaming thread always finds it.
    panel_ = std::make_unique<CPanelDlg>(this);
    panel_->SetView(this);

    property_pages_ = std::make_unique<CCameraPropertyPages>(this);
    session_ = std::make_unique<CLiveSession>(settings_, storage_folder_, *capture_messages_, this, watcher_,
                                              LiveSessionOptions{});
    session_->SetPropertyPages(property_pages_.get());
    // The state is painted over a missing picture; the camera's own messages have been shown.
    connect(session_.get(), &CLiveSession::StateChanged, this, qOverload<>(&QWidget::update));
    connect(session_.get(), &CLiveSession::RecorderFailed, this, [this](const QString&, const QString& detail) {
        capture_messages_->ShowMessage(detail.toStdString(), tr("Not recording").toStdString(), MessageIcon::kWarning);
    });
    session_->Start();
}

void CCindralView::OnCameraChosen(const std::string& name) {
    if (session_) session_->ChooseCamera(name);
}

void CCindralView::SetStorageFolder(const std::string& storage_folder) {
    storage_folder_ = storage_folder;
    if (session_) session_->SetStorageFolder(storage_folder);
}

void CCindralView::SetRetentionLimits(const RetentionLimits& limits) {
    if (!session_) return;
    session_->SetRetentionLimits(limits);
    session_->RunRetention();
}

CWebCameraDlg* CCindralView::Capture() const { return session_ ? session_->Capture() : nullptr; }

bool CCindralView::IsPlaybackActive() const {
    return panel_ != nullptr && panel_->IsPlaybackActive();
}

void CCindralView::PresentLiveFrame(const BMP_File& live_frame) {
    if (IsPlaybackActive()) return;
    bool was_empty = false;
    {
        const std::lock_guard<std::mutex> lock(slot_mutex_);
        slot_frame_.CopyFrom(live_frame);
        was_empty = !is_slot_full_;
        is_slot_full_ = true;
    }
    // One wake-up per empty-to-full change; later frames just replace the slot's content.
    if (was_empty) QMetaObject::invokeMethod(this, &CCindralView::OnLiveFrameReady, Qt::QueuedConnection);
}

void CCindralView::OnLiveFrameReady() {
    const bool is_playback_active = IsPlaybackActive();
    {
        const std::lock_guard<std::mutex> lock(slot_mutex_);
        if (!is_slot_full_) return;
        is_slot_full_ = false;
        if (is_playback_active) return;  // the playback picture stays
        shown_frame_.Swap(slot_frame_);
    }
    // current_image_ must stop pointing into the buffer just handed back to the slot
    // before anything can paint, so it is rebuilt right here.
    const int32_t width = shown_frame_.GetWidth();
    const int32_t height = shown_frame_.GetHeight();
    if (width <= 0 || height <= 0 || shown_frame_.GetBits() == nullptr) {
        current_image_ = QImage();
    } else {
        // Rows are packed, three bytes a pixel, whatever the width.
        current_image_ = QImage(shown_frame_.GetBits(), width, height, static_cast<qsizetype>(width) * 3,
                                QImage::Format_BGR888);
    }
    ++presented_frame_count_;
    update();
}

void CCindralView::ShowPlaybackFrame(const BMP_File& frame) {
    playback_frame_ = &frame;
    const int32_t width = frame.GetWidth();
    const int32_t height = frame.GetHeight();
    if (width <= 0 || height <= 0 || frame.GetBits() == nullptr) {
        current_image_ = QImage();
    } else {
        // The panel reuses its frame; the picture on show keeps a copy, made after the old one is
        // let go so that a large picture is never held three times.
        current_image_ = QImage();
        current_image_ = QImage(frame.GetBits(), width, height, static_cast<qsizetype>(width) * 3,
                                QImage::Format_BGR888)
                             .copy();
    }
    repaint();
}

void CCindralView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool is_playback_active = IsPlaybackActive();
    if (current_image_.isNull() || (is_playback_active && playback_frame_ == nullptr)) {
        painter.fillRect(rect(), Qt::black);
    } else {
        // Stretched over the whole view; the aspect ratio is not kept.
        painter.drawImage(rect(), current_image_);
    }
    // Without live pictures the state is said over the last one, darkened, so that it never
    // passes for a live picture.
    const QString caption = is_playback_active || !session_ ? QString() : LiveStateCaption(session_->State());
    if (caption.isEmpty()) return;
    if (!current_image_.isNull()) painter.fillRect(rect(), QColor(0, 0, 0, 160));
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter, caption);
}

QMenu* CCindralView::CreateContextMenu(QWidget* parent) const {
    auto* menu = new QMenu(parent);
    menu->addAction(tr("Properties..."))->setData(kCommandProperties);
    menu->addAction(tr("View Archive..."))->setData(kCommandViewArchive);
    menu->addSeparator();
    menu->addAction(tr("Camera Pin..."))->setData(kCommandCameraPin);
    menu->addAction(tr("Camera Filter..."))->setData(kCommandCameraFilter);
    return menu;
}

void CCindralView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    RunContextMenu(event->globalPosition().toPoint());
    QWidget::mousePressEvent(event);
}

void CCindralView::keyPressEvent(QKeyEvent* event) {
    const bool is_menu_key = event->key() == Qt::Key_Menu ||
                             (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (!is_menu_key) {
        QWidget::keyPressEvent(event);
        return;
    }
    RunContextMenu(mapToGlobal(rect().center()));
}

void CCindralView::contextMenuEvent(QContextMenuEvent* event) {
    // X11 turns the Menu key into this request as well; the right button is handled on its press.
    if (event->reason() != QContextMenuEvent::Keyboard) {
        event->ignore();
        return;
    }
    RunContextMenu(mapToGlobal(rect().center()));
}

void CCindralView::RunContextMenu(const QPoint& global_position) {
    // Built afresh for every request and gone once it is handled.
    std::unique_ptr<QMenu> menu(CreateContextMenu(this));
    const QAction* chosen = menu->exec(global_position);
    if (chosen != nullptr) OnContextCommand(chosen->data().toInt());
}

void CCindralView::OnContextCommand(int command) {
    switch (command) {
        case kCommandProperties: emit PropertiesRequested(); break;
        case kCommandViewArchive: OnViewArchive(); break;
        case kCommandCameraPin:
            if (session_) session_->ShowPinProperties();
            break;
        case kCommandCameraFilter:
            if (session_) session_->ShowFilterProperties();
            break;
        default: break;
    }
}

void CCindralView::OnViewArchive() {
    // A new dialog each time, so the catalogue is read afresh.
    CArchiveDlg dialog(storage_folder_, this);
    if (dialog.exec() != QDialog::Accepted || dialog.SelectionList().isEmpty()) return;
    if (!panel_) return;
    panel_->SetArchives(dialog.SelectionList());
    panel_->show();
    panel_->raise();
}
