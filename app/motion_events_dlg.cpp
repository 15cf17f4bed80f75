#include "app/motion_events_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdlib>

#include "widgets/dialog_units.h"

namespace {

QSpinBox* SpinBox(int minimum, int maximum, const QString& suffix, QWidget* parent) {
    auto* box = new QSpinBox(parent);
    box->setRange(minimum, maximum);
    box->setSuffix(suffix);
    return box;
}

QLabel* Note(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

}  // namespace

MotionEventChoices MotionEventChoices::Of(const DetectorSettings& settings) {
    MotionEventChoices choices;
    const MotionRules rules = settings.Rules();
    choices.pre_roll_s = static_cast<int32_t>(rules.pre_roll_ms / 1000);
    choices.post_roll_s = static_cast<int32_t>(rules.post_roll_ms / 1000);
    choices.min_blocks = rules.min_blocks;
    choices.frames_in_a_row = rules.frames_in_a_row;
    choices.light_change_percent = rules.light_change_percent;
    choices.is_notifying = settings.is_notifying;
    choices.event_command = settings.event_command;
    return choices;
}

void MotionEventChoices::ApplyTo(DetectorSettings& settings) const {
    settings.pre_roll_s = pre_roll_s;
    settings.post_roll_s = post_roll_s;
    settings.min_blocks = min_blocks;
    settings.frames_in_a_row = frames_in_a_row;
    settings.light_change_percent = light_change_percent;
    settings.is_notifying = is_notifying;
    settings.event_command = event_command;
}

CMotionEventsDlg::CMotionEventsDlg(const MotionEventChoices& choices, int32_t frame_width, int32_t frame_height,
                                   const CFramePipeline::PreRollStatus& pre_roll, QWidget* parent)
    : QDialog(parent),
      block_count_(int64_t{(std::max(frame_width, 1) + 3) / 4} * ((std::abs(frame_height) + 3) / 4)),
      pre_roll_status_(pre_roll) {
    setWindowTitle(tr("Motion Events"));
    auto* layout = new QVBoxLayout(this);

    auto* recording = new QGroupBox(tr("What is recorded"), this);
    auto* recording_form = new QFormLayout(recording);
    pre_roll_ = SpinBox(0, kMaxPreRollS, tr(" s"), recording);
    recording_form->addRow(tr("Record before motion:"), pre_roll_);
    pre_roll_note_ = Note(QString(), recording);
    recording_form->addRow(pre_roll_note_);
    post_roll_ = SpinBox(0, kMaxPostRollS, tr(" s"), recording);
    recording_form->addRow(tr("Record after motion:"), post_roll_);
    layout->addWidget(recording);

    auto* motion = new QGroupBox(tr("What counts as motion"), this);
    auto* motion_form = new QFormLayout(motion);
    auto* min_row = new QHBoxLayout;
    min_blocks_ = SpinBox(1, static_cast<int>(std::max<int64_t>(block_count_, 1)), tr(" blocks"), motion);
    min_blocks_share_ = new QLabel(motion);
    min_row->addWidget(min_blocks_);
    min_row->addWidget(min_blocks_share_, 1);
    motion_form->addRow(tr("Smallest motion:"), min_row);
    frames_in_a_row_ = SpinBox(1, kMaxFramesInARow, QString(), motion);
    motion_form->addRow(tr("Frames in a row:"), frames_in_a_row_);
    auto* light_row = new QHBoxLayout;
    light_check_ = new QCheckBox(tr("Ignore light changes: more than"), motion);
    light_percent_ = SpinBox(1, 100, tr(" %"), motion);
    light_row->addWidget(light_check_);
    light_row->addWidget(light_percent_);
    light_row->addWidget(new QLabel(tr("of the picture moving at once"), motion), 1);
    motion_form->addRow(light_row);
    motion_form->addRow(Note(tr("Areas that never count as motion are painted over the picture with View > "
                                "Ignored Areas..."),
                             motion));
    layout->addWidget(motion);

    auto* telling = new QGroupBox(tr("When an event begins"), this);
    auto* telling_form = new QFormLayout(telling);
    notify_check_ = new QCheckBox(tr("Show a desktop notification"), telling);
    telling_form->addRow(notify_check_);
    command_ = new QLineEdit(telling);
    command_->setPlaceholderText(tr("none"));
    telling_form->addRow(tr("Run at start and end:"), command_);
    telling_form->addRow(Note(tr("Run with /bin/sh -c, given CINDRAL_EVENT (start or end), CINDRAL_ARCHIVE, "
                                 "CINDRAL_TIME and CINDRAL_CAMERA; stopped after 60 s."),
                              telling));
    layout->addWidget(telling);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    pre_roll_->setValue(choices.pre_roll_s);
    post_roll_->setValue(choices.post_roll_s);
    min_blocks_->setValue(choices.min_blocks);
    frames_in_a_row_->setValue(choices.frames_in_a_row);
    light_check_->setChecked(choices.light_change_percent > 0);
    light_percent_->setValue(choices.light_change_percent > 0 ? choices.light_change_percent
                                                              : kRecommendedLightChangePercent);
    light_percent_->setEnabled(light_check_->isChecked());
    notify_check_->setChecked(choices.is_notifying);
    command_->setText(QString::fromStdString(choices.event_command));
    connect(light_check_, &QCheckBox::toggled, light_percent_, &QWidget::setEnabled);
    connect(pre_roll_, &QSpinBox::valueChanged, this, &CMotionEventsDlg::UpdateNotes);
    connect(min_blocks_, &QSpinBox::valueChanged, this, &CMotionEventsDlg::UpdateNotes);
    UpdateNotes();
}

void CMotionEventsDlg::UpdateNotes() {
    UpdateNoteTexts();
    // The pre-roll's note may take more lines than before.
    if (isVisible()) FitHeightToWrappedTexts(*this);
}

void CMotionEventsDlg::UpdateNoteTexts() {
    const double share = 100.0 * min_blocks_->value() / static_cast<double>(std::max<int64_t>(block_count_, 1));
    min_blocks_share_->setText(tr("%1 % of the picture").arg(share, 0, 'g', 2));
    min_blocks_->setSuffix(min_blocks_->value() == 1 ? tr(" block") : tr(" blocks"));
    if (pre_roll_->value() == 0) {
        pre_roll_note_->setText(tr("Events begin with their first moving frame."));
        return;
    }
    QString note = tr("Holding these frames encodes every frame while nothing moves, as \"Always\" does. At most "
                      "%1 MB are held.")
                       .arg(kPreRollByteLimit / (1024 * 1024));
    if (pre_roll_status_.is_shortened) {
        note += QLatin1Char(' ') + tr("At this camera's size that holds only %1 s: events begin later than asked.")
                                       .arg(pre_roll_status_.span_ms / 1000.0, 0, 'f', 1);
    }
    pre_roll_note_->setText(note);
}

void CMotionEventsDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitHeightToWrappedTexts(*this);
}

MotionEventChoices CMotionEventsDlg::Choices() const {
    MotionEventChoices choices;
    choices.pre_roll_s = pre_roll_->value();
    choices.post_roll_s = post_roll_->value();
    choices.min_blocks = min_blocks_->value();
    choices.frames_in_a_row = frames_in_a_row_->value();
    choices.light_change_percent = light_check_->isChecked() ? light_percent_->value() : 0;
    choices.is_notifying = notify_check_->isChecked();
    choices.event_command = command_->text().toStdString();
    return choices;
}
