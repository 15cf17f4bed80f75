#include "app/cindral_view.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <array>
#include <bit>
#include <new>

#include "app/capture_message_box.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/export_actions.h"
#include "archive_ui/panel_dlg.h"
#include "capture/live_session.h"
#include "capture/queued_calls.h"
#include "capture_ui/camera_property_pages.h"
#include "live_text/live_state_text.h"
#include "platform/ole_date.h"

// The view's pictures are blue, green, red, 255 in memory: a 0xffRRGGBB word here.
static_assert(std::endian::native == std::endian::little, "Format_RGB32 is blue, green, red, 255 in memory");

namespace {

// A display refresh; 60 Hz where the screen does not say.
int64_t RefreshIntervalNs(const QScreen* screen) {
    const double rate_hz = screen != nullptr ? screen->refreshRate() : 0.0;
    return static_cast<int64_t>(1e9 / (rate_hz >= 1.0 ? rate_hz : 60.0));
}

// Draws the target's part of region straight into the image the painter paints on, when that is
// a 32-bit image it reaches without scaling (device pixel ratio 1): one pass over the part, rows
// copied whole where the widths agree. False when the painter must draw it.
bool DrawIntoDevice(QPainter& painter, const QRegion& region, const QRect& target, const ViewPicture& picture,
                    CNearestScaler& scaler) {
    const QPaintEngine* engine = painter.paintEngine();
    QPaintDevice* device = engine != nullptr ? engine->paintDevice() : nullptr;
    if (device == nullptr || device->devType() != QInternal::Image) return false;
    const QImage& image = *static_cast<const QImage*>(device);
    const QImage::Format format = image.format();
    if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
        format != QImage::Format_ARGB32_Premultiplied) {
        return false;
    }
    const QTransform transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxTranslate) return false;
    const QPoint offset(qRound(transform.dx()), qRound(transform.dy()));
    for (const QRect& area : region.intersected(target)) {
        const QRect on_device = area.translated(offset).intersected(image.rect());
        if (on_device.isEmpty()) continue;
        const QRect in_target = on_device.translated(-offset - target.topLeft());
        ScaledPart part;
        part.scaled_width = target.width();
        part.scaled_height = target.height();
        part.left = in_target.left();
        part.top = in_target.top();
        part.right = in_target.right() + 1;
        part.bottom = in_target.bottom() + 1;
        // The painter's own pixels, written in place: a non-const access would detach them.
        part.bits =
            const_cast<uchar*>(image.constScanLine(on_device.top())) + static_cast<ptrdiff_t>(on_device.left()) * 4;
        part.bytes_per_line = image.bytesPerLine();
        scaler.Draw(picture, part);
    }
    return true;
}

QImage ImageOf(const ViewPicture& picture) {
    if (picture.IsEmpty()) return QImage();
    // Wrapped, not copied: the picture stays unchanged while it is on show.
    return QImage(picture.Bits(), picture.Width(), picture.Height(), picture.BytesPerLine(), QImage::Format_RGB32);
}

}  // namespace

CCindralView::CCindralView(CindralSettings& settings, std::string storage_folder, QWidget* parent,
                           CVideoDeviceWatcher* watcher)
    : QWidget(parent),
      settings_(settings),
      storage_folder_(std::move(storage_folder)),
      watcher_(watcher),
      wake_ups_(new CQueuedCalls(this)),
      capture_messages_(new CCaptureMessageBox(this)) {
    // Every paint covers the whole view (picture or black), so Qt need not clear it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    refresh_wait_.setSingleShot(true);
    refresh_wait_.setTimerType(Qt::PreciseTimer);
    connect(&refresh_wait_, &QTimer::timeout, this, &CCindralView::TakeLivePicture);
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
    session_->SetDetectorSettings(detector_settings_);
    session_->SetEventCommand(event_command_);
    session_->SetIgnoredBlocks(ignored_blocks_);
    // The state is painted over a missing picture; the camera's own messages have been shown.
    connect(session_.get(), &CLiveSession::StateChanged, this, qOverload<>(&QWidget::update));
    connect(session_.get(), &CLiveSession::RecorderFailed, this, [this](const QString&, const QString& detail) {
        capture_messages_->ShowMessage(detail.toStdString(), tr("Not recording").toStdString(), MessageIcon::kWarning);
    });
    // A notice whose cause has ended closes itself.
    connect(session_.get(), &CLiveSession::StateChanged, this, [this] {
        const LiveState state = session_->State();
        const bool is_live = state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording;
        if (is_live && state.recorder_failure.empty()) capture_messages_->CloseMessages(tr("Not recording"));
        if (is_live) capture_messages_->CloseMessages(QStringLiteral("Could not access camera"));
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

bool CCindralView::IsPlaybackActive() const { return panel_ != nullptr && panel_->IsPlaybackActive(); }

bool CCindralView::IsShowingLive() const {
    return is_window_showing_.load(std::memory_order_relaxed) && !IsPlaybackActive();
}

void CCindralView::PresentLivePicture() {
    // One wake-up per empty-to-full change; later pictures just replace the waiting one.
    if (live_pictures_.Publish()) {
        wake_ups_->Post([this] { OnLiveFrameReady(); });
    }
}

void CCindralView::OnLiveFrameReady() {
    if (refresh_wait_.isActive()) return;  // the newest picture is taken when it fires
    const int64_t interval_ns = RefreshIntervalNs(screen());
    const int64_t since_ns = since_last_take_.isValid() ? since_last_take_.nsecsElapsed() : interval_ns;
    if (since_ns >= interval_ns) {
        TakeLivePicture();
    } else {
        refresh_wait_.start(static_cast<int>((interval_ns - since_ns + 999999) / 1000000));
    }
}

void CCindralView::TakeLivePicture() {
    const ViewPicture* before = PictureOnShow();
    const QRect previous_rect = before != nullptr ? PictureRect(QSize(before->Width(), before->Height())) : QRect();
    // Taken even while the playback picture is on show, so that the next one wakes us again.
    if (!live_pictures_.TakeNewest() || IsPlaybackActive()) return;
    since_last_take_.start();
    is_showing_playback_ = false;
    ++presented_frame_count_;
    update(ChangedRect(previous_rect));
}

void CCindralView::ShowPlaybackFrame(const BMP_File& frame, double record_time) {
    const ViewPicture* before = PictureOnShow();
    const QRect previous_rect = before != nullptr ? PictureRect(QSize(before->Width(), before->Height())) : QRect();
    try {
        FillViewPicture(frame, playback_picture_);
    } catch (const std::bad_alloc&) {
        qWarning("cindral: no memory to show a %dx%d playback frame", frame.GetWidth(), frame.GetHeight());
        playback_picture_.Resize(0, 0);
    }
    has_playback_picture_ = true;
    playback_record_time_ = record_time;
    is_showing_playback_ = true;
    // On screen at once, as the panel expects.
    repaint(ChangedRect(previous_rect));
}

const ViewPicture* CCindralView::PictureOnShow() const {
    if (IsPlaybackActive() || is_showing_playback_) return has_playback_picture_ ? &playback_picture_ : nullptr;
    return &live_pictures_.Shown();
}

QImage CCindralView::CurrentImage() const {
    const ViewPicture* picture = PictureOnShow();
    return picture != nullptr ? ImageOf(*picture) : QImage();
}

QRect CCindralView::PictureRect(const QSize& picture_size) const {
    if (!is_aspect_ratio_kept_ || picture_size.isEmpty()) return rect();
    const QSize fitted = picture_size.scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void CCindralView::SetKeepAspectRatio(bool is_kept) {
    if (is_kept == is_aspect_ratio_kept_) return;
    is_aspect_ratio_kept_ = is_kept;
    update();
}

QRect CCindralView::ChangedRect(const QRect& previous_rect) const {
    const ViewPicture* picture = PictureOnShow();
    const QRect picture_rect =
        picture != nullptr && !picture->IsEmpty() ? PictureRect(QSize(picture->Width(), picture->Height())) : QRect();
    // Where the picture stays, the bars stay as they are.
    return !picture_rect.isEmpty() && picture_rect == previous_rect ? picture_rect : rect();
}

void CCindralView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const ViewPicture* picture = PictureOnShow();
    const QImage image = picture != nullptr ? ImageOf(*picture) : QImage();
    const QRect target = image.isNull() ? QRect() : PictureRect(image.size());
    // Black where the picture does not reach (the bars, or all of the view without a picture),
    // painted only where this paint asks: a new picture asks for its own rectangle alone.
    for (const QRect& bare : event->region().subtracted(target)) painter.fillRect(bare, Qt::black);
    if (!image.isNull() && !DrawIntoDevice(painter, event->region(), target, *picture, scaler_)) {
        if (target.size() == image.size()) {
            painter.drawImage(target.topLeft(), image);  // 1:1: copied as it is
        } else {
            // Without smooth transformation the painter scales in one pass over the target,
            // taking the nearest pixel.
            painter.drawImage(target, image);
        }
    }
    if (IsEditingIgnoredAreas() && !image.isNull()) DrawIgnoredBlocks(painter, target);
    // Without live pictures the state is said over the last one, darkened, so that it never
    // passes for a live picture.
    const QString caption = IsPlaybackActive() || !session_ ? QString() : LiveStateCaption(session_->State());
    if (caption.isEmpty()) return;
    if (!image.isNull()) painter.fillRect(rect(), QColor(0, 0, 0, 160));
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter, caption);
}

void CCindralView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    QWidget* top = window();
    if (watched_window_ != top) {
        // Minimising reaches the top-level widget, exposure its platform window.
        top->installEventFilter(this);
        if (QWindow* handle = top->windowHandle()) handle->installEventFilter(this);
        watched_window_ = top;
    }
    UpdateShowing();
}

void CCindralView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    UpdateShowing();
}

bool CCindralView::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::WindowStateChange:
        case QEvent::Expose:
        case QEvent::Show:
        case QEvent::Hide: UpdateShowing(); break;
        default: break;
    }
    return QWidget::eventFilter(watched, event);
}

void CCindralView::UpdateShowing() {
    const QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    const bool is_showing =
        isVisible() && !(top->windowState() & Qt::WindowMinimized) && handle != nullptr && handle->isExposed();
    is_window_showing_.store(is_showing, std::memory_order_relaxed);
}

QMenu* CCindralView::CreateContextMenu(QWidget* parent) const {
    auto* menu = new QMenu(parent);
    menu->addAction(tr("Properties..."))->setData(kCommandProperties);
    menu->addAction(tr("View Archive..."))->setData(kCommandViewArchive);
    menu->addAction(tr("Snapshot"))->setData(kCommandSnapshot);
    menu->addAction(tr("Motion Events..."))->setData(kCommandMotionEvents);
    menu->addSeparator();
    menu->addAction(tr("Camera Pin..."))->setData(kCommandCameraPin);
    menu->addAction(tr("Camera Filter..."))->setData(kCommandCameraFilter);
    return menu;
}

void CCindralView::mousePressEvent(QMouseEvent* event) {
    if (IsEditingIgnoredAreas() && event->button() == Qt::LeftButton) {
        const std::optional<QPoint> block = BlockAt(event->position().toPoint(), false);
        if (!block) return;
        is_drag_erasing_ = event->modifiers() & Qt::ShiftModifier;
        if (event->modifiers() & Qt::ControlModifier) {
            rectangle_corner_block_ = block;
            rectangle_end_block_ = *block;
            update();
        } else {
            PaintIgnoredLine(*block, *block);
            last_painted_block_ = block;
        }
        return;
    }
    if (event->button() != Qt::RightButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    RunContextMenu(event->globalPosition().toPoint());
    QWidget::mousePressEvent(event);
}

void CCindralView::keyPressEvent(QKeyEvent* event) {
    const bool is_menu_key =
        event->key() == Qt::Key_Menu || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (IsEditingIgnoredAreas() && !is_menu_key) {
        switch (event->key()) {
            case Qt::Key_BracketLeft: ChangeBrush(-1); return;
            case Qt::Key_BracketRight: ChangeBrush(1); return;
            case Qt::Key_Escape: FinishIgnoredAreas(); return;
            default: break;
        }
    }
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
        case kCommandSnapshot: OnSnapshot(); break;
        case kCommandMotionEvents: emit MotionEventsRequested(); break;
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
    if (panel_) dialog.SetExportFolders(&panel_->Folders());
    if (dialog.exec() != QDialog::Accepted || dialog.SelectionList().isEmpty()) return;
    if (!panel_) return;
    panel_->SetArchives(dialog.SelectionList());
    panel_->show();
    panel_->raise();
}

void CCindralView::SetDetectorSettings(const DetectorSettings* detector) {
    detector_settings_ = detector;
    if (session_) session_->SetDetectorSettings(detector);
}

void CCindralView::SetEventCommand(const std::string& command) {
    event_command_ = command;
    if (session_) session_->SetEventCommand(command);
}

void CCindralView::SetIgnoredBlocks(std::shared_ptr<const BlockMask> mask) {
    ignored_blocks_ = std::move(mask);
    if (session_) session_->SetIgnoredBlocks(ignored_blocks_);
}

void CCindralView::StartIgnoredAreas() {
    if (IsEditingIgnoredAreas()) return;
    const int32_t across = (settings_.frame_width.load() + 3) / 4;
    const int32_t down = (std::abs(settings_.frame_height.load()) + 3) / 4;
    editing_mask_ = ignored_blocks_
                        ? ignored_blocks_->ScaledTo(across, down)
                        : BlockMask(across, down, std::vector<uint8_t>(static_cast<size_t>(across) * down, 0));
    ignored_bar_ = new QWidget(this);
    ignored_bar_->setObjectName(QStringLiteral("IgnoredAreasBar"));
    ignored_bar_->setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(ignored_bar_);
    ignored_hint_ = new QLabel(ignored_bar_);
    layout->addWidget(ignored_hint_);
    ChangeBrush(0);
    auto* clear = new QPushButton(tr("Clear"), ignored_bar_);
    auto* done = new QPushButton(tr("Done"), ignored_bar_);
    layout->addWidget(clear);
    layout->addWidget(done);
    connect(clear, &QPushButton::clicked, this, [this] {
        editing_mask_ = BlockMask(editing_mask_.Across(), editing_mask_.Down(), {});
        SetIgnoredBlocks(nullptr);
        update();
    });
    connect(done, &QPushButton::clicked, this, &CCindralView::FinishIgnoredAreas);
    ignored_bar_->adjustSize();
    ignored_bar_->move(8, 8);
    ignored_bar_->show();
    // The brush follows the pointer, and the keys come here rather than to the bar's buttons.
    setMouseTracking(true);
    setCursor(Qt::CrossCursor);
    setFocus();
    update();
}

void CCindralView::ChangeBrush(int step) {
    static constexpr std::array<int32_t, 4> kBrushBlocks = {1, 3, 5, 9};
    const auto at = std::find(kBrushBlocks.begin(), kBrushBlocks.end(), brush_blocks_);
    const int index =
        std::clamp(static_cast<int>(at - kBrushBlocks.begin()) + step, 0, static_cast<int>(kBrushBlocks.size()) - 1);
    brush_blocks_ = kBrushBlocks[static_cast<size_t>(index)];
    if (ignored_hint_ != nullptr) {
        ignored_hint_->setText(
            tr("Drag to ignore areas, Shift+drag to count them again, Ctrl+drag for a rectangle. Brush: %1 ([ and ])")
                .arg(brush_blocks_ == 1 ? tr("1 block") : tr("%1 \u00d7 %1 blocks").arg(brush_blocks_)));
        ignored_bar_->adjustSize();
    }
    update();
}

void CCindralView::FinishIgnoredAreas() {
    if (!IsEditingIgnoredAreas()) return;
    ignored_bar_->deleteLater();
    ignored_bar_ = nullptr;
    ignored_hint_ = nullptr;
    last_painted_block_.reset();
    rectangle_corner_block_.reset();
    pointer_block_.reset();
    setMouseTracking(false);
    unsetCursor();
    update();
    emit IgnoredAreasEdited();
}

void CCindralView::mouseMoveEvent(QMouseEvent* event) {
    if (!IsEditingIgnoredAreas()) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPoint position = event->position().toPoint();
    pointer_block_ = BlockAt(position, false);
    if (!(event->buttons() & Qt::LeftButton)) {
        update();  // the brush moves
        return;
    }
    const std::optional<QPoint> block = BlockAt(position, true);
    if (!block) return;
    if (rectangle_corner_block_) {
        rectangle_end_block_ = *block;
        update();
    } else if (last_painted_block_) {
        // Everything between two mouse events is painted, however quick the drag.
        PaintIgnoredLine(*last_painted_block_, *block);
        last_painted_block_ = block;
    }
}

void CCindralView::mouseReleaseEvent(QMouseEvent* event) {
    if (IsEditingIgnoredAreas() && event->button() == Qt::LeftButton) {
        if (rectangle_corner_block_) {
            editing_mask_.PaintRectangle(rectangle_corner_block_->x(), rectangle_corner_block_->y(),
                                         rectangle_end_block_.x(), rectangle_end_block_.y(), !is_drag_erasing_);
            SetIgnoredBlocks(editing_mask_.IgnoredCount() > 0 ? std::make_shared<const BlockMask>(editing_mask_)
                                                              : nullptr);
            rectangle_corner_block_.reset();
            update();
        }
        last_painted_block_.reset();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void CCindralView::leaveEvent(QEvent* event) {
    if (pointer_block_) {
        pointer_block_.reset();
        update();
    }
    QWidget::leaveEvent(event);
}

std::optional<QPoint> CCindralView::BlockAt(const QPoint& position, bool is_clamped) const {
    const int32_t width = settings_.frame_width.load();
    const int32_t height = std::abs(settings_.frame_height.load());
    const QRect target = PictureRect(QSize(width, height));
    if (editing_mask_.Across() == 0 || target.isEmpty()) return std::nullopt;
    if (!is_clamped && !target.contains(position)) return std::nullopt;
    const int64_t x = int64_t{position.x() - target.left()} * width / target.width() / 4;
    const int64_t y = int64_t{position.y() - target.top()} * height / target.height() / 4;
    return QPoint(static_cast<int>(std::clamp<int64_t>(x, 0, editing_mask_.Across() - 1)),
                  static_cast<int>(std::clamp<int64_t>(y, 0, editing_mask_.Down() - 1)));
}

void CCindralView::PaintIgnoredLine(const QPoint& from_block, const QPoint& to_block) {
    editing_mask_.PaintLine(from_block.x(), from_block.y(), to_block.x(), to_block.y(), brush_blocks_,
                            !is_drag_erasing_);
    SetIgnoredBlocks(editing_mask_.IgnoredCount() > 0 ? std::make_shared<const BlockMask>(editing_mask_) : nullptr);
    update();
}

void CCindralView::DrawIgnoredBlocks(QPainter& painter, const QRect& target) const {
    if (editing_mask_.Across() == 0) return;
    const double block_width = static_cast<double>(target.width()) / editing_mask_.Across();
    const double block_height = static_cast<double>(target.height()) / editing_mask_.Down();
    const QColor tint(255, 64, 0, 110);
    for (int32_t y = 0; y < editing_mask_.Down(); ++y) {
        for (int32_t x = 0; x < editing_mask_.Across(); ++x) {
            if (!editing_mask_.IsIgnored(static_cast<size_t>(y) * editing_mask_.Across() + x)) continue;
            painter.fillRect(
                QRectF(target.left() + x * block_width, target.top() + y * block_height, block_width, block_height),
                tint);
        }
    }
    // Where the next press paints: the rectangle being dragged, or else the brush under the pointer.
    const auto blocks_rect = [&](const QPoint& first, const QPoint& last) {
        const QPoint top_left(std::min(first.x(), last.x()), std::min(first.y(), last.y()));
        const QPoint bottom_right(std::max(first.x(), last.x()) + 1, std::max(first.y(), last.y()) + 1);
        return QRectF(QPointF(target.left() + top_left.x() * block_width, target.top() + top_left.y() * block_height),
                      QPointF(target.left() + bottom_right.x() * block_width,
                              target.top() + bottom_right.y() * block_height))
            .intersected(QRectF(target));
    };
    QRectF outline;
    if (rectangle_corner_block_) {
        outline = blocks_rect(*rectangle_corner_block_, rectangle_end_block_);
    } else if (pointer_block_) {
        const int32_t before = (brush_blocks_ - 1) / 2;
        const QPoint offset(before, before);
        const QPoint span(brush_blocks_ - 1, brush_blocks_ - 1);
        outline = blocks_rect(*pointer_block_ - offset, *pointer_block_ - offset + span);
    }
    if (outline.isEmpty()) return;
    painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(outline.adjusted(0.5, 0.5, -0.5, -0.5));
}

void CCindralView::OnSnapshot() {
    if (!panel_) return;
    // A copy: the picture on show is replaced by the next frame while the dialog is open.
    const QImage picture = CurrentImage().copy();
    // A played frame is named by its own record time, a live one by the time it is taken.
    std::optional<CalendarTime> taken;
    if (IsPlaybackActive() || is_showing_playback_) {
        taken = OleDateToCalendar(playback_record_time_);
    } else {
        const QDateTime now = QDateTime::currentDateTime();
        taken = CalendarTime{now.date().year(), now.date().month(),  now.date().day(),
                             now.time().hour(), now.time().minute(), now.time().second()};
    }
    RunPictureSnapshot(this, picture, taken, panel_->Folders());
}
