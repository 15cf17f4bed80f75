#include "archive_ui/panel_dlg.h"

#include <QFile>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "archive_ui/export_actions.h"
#include "archive_ui/playback_view.h"
#include "widgets/dialog_units.h"

std::optional<int> SecondsOfDay(double ole_date) {
    // Outside the years 100 to 9999 a value is no date the calendar holds.
    if (!std::isfinite(ole_date) || ole_date < -657434.0 || ole_date >= 2958466.0) return std::nullopt;
    // Rounded to the millisecond first: stamps carry binary noise, and 09:00:59.99999994 is 09:01:00.
    const double day_fraction = std::fabs(ole_date - std::trunc(ole_date));
    const auto milliseconds = static_cast<int64_t>(std::llround(day_fraction * 86400000.0));
    // Whole seconds of the time of day, truncated: 14:05:09.7 reads 14:05:09.
    return static_cast<int>(milliseconds / 1000 % 86400);
}

QString PositionText(int seconds_of_day, int frame, int frame_count) {
    const QString time = seconds_of_day < 0 ? QStringLiteral("--:--:--")
                                            : QStringLiteral("%1:%2:%3")
                                                  .arg(seconds_of_day / 3600, 2, 10, QLatin1Char('0'))
                                                  .arg((seconds_of_day / 60) % 60, 2, 10, QLatin1Char('0'))
                                                  .arg(seconds_of_day % 60, 2, 10, QLatin1Char('0'));
    return CPanelDlg::tr("%1, frame %2 of %3").arg(time).arg(frame).arg(frame_count);
}

namespace {

// Template sizes in dialog units.
constexpr int kPanelWidthDu = 593;
// "Export Video..." comes after the template's buttons; the panel first opens that much wider.
constexpr int kExportVideoWidthDu = 54;
constexpr int kPanelHeightDu = 23;
constexpr int kButtonHeightDu = 22;
constexpr int kButtonGapDu = 3;
// The slider stays long enough to aim at a frame when the panel is made narrow.
constexpr int kSliderMinimumWidthDu = 56;

// A button as wide as its template, or as its text needs where the font runs wider.
QPushButton* MakeButton(const QString& text, int width_du, QWidget* panel) {
    auto* button = new QPushButton(text, panel);
    const QStyle* style = button->style();
    // The text with a space's room on either side.
    const int text_px = button->fontMetrics().horizontalAdvance(QStringLiteral(" %1 ").arg(text));
    const int chrome_px = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                          2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button) +
                          2 * style->pixelMetric(QStyle::PM_ButtonDefaultIndicator, nullptr, button);
    const QRect template_px = DialogUnitsToPixels(*panel, 0, 0, width_du, kButtonHeightDu);
    button->setFixedSize(std::max(template_px.width(), text_px + chrome_px), template_px.height());
    return button;
}

}  // namespace

CPanelDlg::CPanelDlg(QWidget* parent_view)
    : QDialog(parent_view, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(tr("Dialog"));

    // Template order: "<<", ">", ">>", the slider taking the free width, "Shot...", "Convert to AVI",
    // then "Export Video...".
    previous_button_ = MakeButton(tr("<<"), 30, this);
    play_button_ = MakeButton(tr(">"), 30, this);
    play_button_->setCheckable(true);
    next_button_ = MakeButton(tr(">>"), 30, this);
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setTickPosition(QSlider::NoTicks);
    slider_->setRange(0, 0);
    slider_->setMinimumWidth(DialogUnitsToPixels(*this, 0, 0, kSliderMinimumWidthDu, 0).width());
    // The frame's time and its place in the archive, under the slider in a smaller type, so that
    // the panel stays as narrow as before; the panel is never narrower than this text.
    position_label_ = new QLabel(this);
    position_label_->setAlignment(Qt::AlignCenter);
    QFont small_font = position_label_->font();
    small_font.setPointSizeF(small_font.pointSizeF() * 0.85);
    position_label_->setFont(small_font);
    shot_button_ = MakeButton(tr("Shot..."), 34, this);
    convert_button_ = MakeButton(tr("Convert to AVI"), 54, this);
    export_video_button_ = MakeButton(tr("Export Video..."), kExportVideoWidthDu, this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(DialogUnitsToPixels(*this, 0, 0, kButtonGapDu, 0).width());
    for (QPushButton* button : {previous_button_, play_button_, next_button_}) row->addWidget(button);
    auto* slider_column = new QVBoxLayout;
    slider_column->setSpacing(0);
    slider_column->addWidget(slider_);
    slider_column->addWidget(position_label_);
    row->addLayout(slider_column, 1);
    row->addWidget(shot_button_);
    row->addWidget(convert_button_);
    row->addWidget(export_video_button_);

    // Wider or narrower as the user likes; the height is the buttons'.
    const QRect template_px =
        DialogUnitsToPixels(*this, 0, 0, kPanelWidthDu + kButtonGapDu + kExportVideoWidthDu, kPanelHeightDu);
    setFixedHeight(template_px.height());
    resize(template_px.width(), template_px.height());

    // Left to right, as the row shows them.
    setTabOrder(previous_button_, play_button_);
    setTabOrder(play_button_, next_button_);
    setTabOrder(next_button_, slider_);
    setTabOrder(slider_, shot_button_);
    setTabOrder(shot_button_, convert_button_);
    setTabOrder(convert_button_, export_video_button_);

    connect(play_button_, &QPushButton::clicked, this, &CPanelDlg::OnPlay);
    connect(previous_button_, &QPushButton::clicked, this, &CPanelDlg::OnPrevious);
    connect(next_button_, &QPushButton::clicked, this, &CPanelDlg::OnNext);
    connect(shot_button_, &QPushButton::clicked, this, &CPanelDlg::OnShot);
    connect(convert_button_, &QPushButton::clicked, this, &CPanelDlg::OnConvertToAvi);
    connect(export_video_button_, &QPushButton::clicked, this, &CPanelDlg::OnExportVideo);
    // Only the user's moves arrive here: the panel's own position changes block signals.
    connect(slider_, &QSlider::valueChanged, this, &CPanelDlg::OnHScroll);

    timer_ = new QTimer(this);
    timer_->setInterval(kTimerPeriodMs);
    connect(timer_, &QTimer::timeout, this, &CPanelDlg::OnTimer);
    timer_->start();

    is_auto_play_ = true;
    play_button_->setChecked(true);
}

CPanelDlg::~CPanelDlg() = default;

void CPanelDlg::SetView(IPlaybackView* view) { view_ = view; }

void CPanelDlg::SetArchives(const QStringList& paths) {
    if (paths.isEmpty()) return;
    is_playback_active_.store(true, std::memory_order_release);
    archive_paths_ = paths;
    current_archive_ = 0;
    LoadCurrentArchive();
    const bool can_switch = archive_paths_.size() != 1;
    previous_button_->setEnabled(can_switch);
    next_button_->setEnabled(can_switch);
    ShowCurrentFrame();
}

void CPanelDlg::LoadCurrentArchive() {
    if (current_archive_ < 0 || current_archive_ >= archive_paths_.size()) return;
    // A file that cannot be opened leaves the reader without frames; the timer then moves on.
    reader_.OpenFile(QFile::encodeName(archive_paths_.at(current_archive_)).toStdString());
    UpdateTitle();
    const QSignalBlocker blocker(slider_);
    slider_->setRange(0, reader_.GetFrameCount());
    slider_->setValue(0);
}

void CPanelDlg::SetSliderPosition(int position) {
    const QSignalBlocker blocker(slider_);
    slider_->setValue(position);
}

void CPanelDlg::ShowCurrentFrame() {
    reader_.SeekFrame(slider_->value());
    if (view_ != nullptr) view_->ShowPlaybackFrame(reader_.GetFrameImage(), reader_.GetFrameTime());
    UpdateTitle();
    if (is_recorded_speed_) timer_->setInterval(FrameDurationMs());
}

void CPanelDlg::SetPlayAtRecordedSpeed(bool is_recorded_speed) {
    is_recorded_speed_ = is_recorded_speed;
    timer_->setInterval(FrameDurationMs());
}

int CPanelDlg::FrameDurationMs() const {
    if (!is_recorded_speed_) return kTimerPeriodMs;
    // The next frame of this archive; the first of the next archive comes after one period.
    const int32_t next = reader_.GetCurrentFrame() + 1;
    if (next >= reader_.GetFrameCount()) return kTimerPeriodMs;
    const cna_info_t next_info = reader_.GetFrameInfo(next);
    const double gap_ms = (next_info.time_stamp - reader_.GetFrameTime()) * 86400000.0;
    // Times that go backwards or cannot be known are played at the timer's pace.
    if (next_info.known == 0 || !(gap_ms > 0)) return kTimerPeriodMs;
    return static_cast<int>(std::clamp(std::lround(gap_ms), 1L, static_cast<long>(kLongestRecordedGapMs)));
}

void CPanelDlg::UpdateTitle() {
    const QString path = archive_paths_.value(current_archive_);
    const std::optional<int> seconds_of_day = SecondsOfDay(reader_.GetFrameTime());
    const int32_t frame_count = reader_.GetFrameCount();
    position_label_->setText(frame_count > 0 ? PositionText(seconds_of_day.value_or(-1),
                                                            std::min(slider_->value() + 1, frame_count), frame_count)
                                             : QString());
    if (!seconds_of_day) {
        setWindowTitle(path);
        return;
    }
    const QString caption = QStringLiteral("%1 - %2:%3:%4")
                                .arg(path)
                                .arg(*seconds_of_day / 3600, 2, 10, QLatin1Char('0'))
                                .arg((*seconds_of_day / 60) % 60, 2, 10, QLatin1Char('0'))
                                .arg(*seconds_of_day % 60, 2, 10, QLatin1Char('0'));
    setWindowTitle(caption);
}

void CPanelDlg::OnPlay() {
    is_auto_play_ = !is_auto_play_;
    play_button_->setChecked(is_auto_play_);
}

void CPanelDlg::StepArchive(int step) {
    if (archive_paths_.isEmpty()) return;
    const auto count = static_cast<int32_t>(archive_paths_.size());
    current_archive_ = ((current_archive_ + step) % count + count) % count;
    LoadCurrentArchive();
}

// The new archive's first frame at once, paused or not: the picture, the title and "Shot..." agree.
void CPanelDlg::OnPrevious() {
    StepArchive(-1);
    ShowCurrentFrame();
}

void CPanelDlg::OnNext() {
    StepArchive(1);
    ShowCurrentFrame();
}

void CPanelDlg::OnHScroll() { ShowCurrentFrame(); }

void CPanelDlg::OnTimer() {
    if (!IsPlaybackActive() || !is_auto_play_) return;
    const int position = slider_->value();
    if (position + 1 < slider_->maximum()) {
        SetSliderPosition(position + 1);
    } else {
        StepArchive(1);
    }
    ShowCurrentFrame();
}

void CPanelDlg::PauseForExport() {
    is_auto_play_ = false;
    play_button_->setChecked(false);
}

void CPanelDlg::OnShot() {
    PauseForExport();
    RunSnapshotExport(this, reader_, export_folders_);
}

void CPanelDlg::OnConvertToAvi() {
    PauseForExport();
    RunAviExport(this, reader_, export_folders_);
}

void CPanelDlg::OnExportVideo() {
    PauseForExport();
    RunVideoExport(this, QStringList{archive_paths_.value(current_archive_)}, export_folders_);
}

void CPanelDlg::OnClose() {
    hide();
    is_playback_active_.store(false, std::memory_order_release);
}

void CPanelDlg::accept() { OnClose(); }
void CPanelDlg::reject() { OnClose(); }

void CPanelDlg::keyPressEvent(QKeyEvent* event) {
    // Enter that no button takes closes the panel, as Escape does; a focused button is pushed.
    // On the slider, where the user is finding a frame, Enter leaves the panel open, and Space
    // (which a button takes as a click) plays and pauses wherever no button has the focus.
    const bool is_enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool is_on_button = qobject_cast<QPushButton*>(focusWidget()) != nullptr;
    if (is_enter && focusWidget() == slider_) return;
    if (is_enter && !is_on_button) {
        OnClose();
        return;
    }
    if (event->key() == Qt::Key_Space && !is_on_button) {
        OnPlay();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CPanelDlg::setVisible(bool visible) {
    if (visible && !is_placed_ && parentWidget() != nullptr) {
        is_placed_ = true;
        move(parentWidget()->mapToGlobal(QPoint(0, 0)));
    }
    QDialog::setVisible(visible);
    if (!visible) return;
    // Opened to be used: the keyboard works the panel at once.
    activateWindow();
    play_button_->setFocus(Qt::ActiveWindowFocusReason);
}
