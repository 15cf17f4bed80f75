#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "detection/motion_events.h"
#include "recorder/frame_pipeline.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// The plain values the dialog edits.
struct MotionEventChoices {
    int32_t pre_roll_s = 0;
    int32_t post_roll_s = 0;
    int32_t min_blocks = 1;
    int32_t frames_in_a_row = 1;
    int32_t light_change_percent = 0;  // 0: off
    bool is_notifying = true;
    std::string event_command;

    static MotionEventChoices Of(const DetectorSettings& settings);
    void ApplyTo(DetectorSettings& settings) const;
};

// "Motion Events...": what makes an event of moving frames, what is kept before and after it,
// and who is told. The frame size gives the share of the picture the smallest motion is; the
// pre-roll status says what the memory limit holds.
class CMotionEventsDlg : public QDialog {
    Q_OBJECT
public:
    CMotionEventsDlg(const MotionEventChoices& choices, int32_t frame_width, int32_t frame_height,
                     const CFramePipeline::PreRollStatus& pre_roll, QWidget* parent);

    MotionEventChoices Choices() const;

    QSpinBox* PreRoll() const { return pre_roll_; }
    QSpinBox* PostRoll() const { return post_roll_; }
    QSpinBox* MinBlocks() const { return min_blocks_; }
    QLabel* MinBlocksShare() const { return min_blocks_share_; }
    QSpinBox* FramesInARow() const { return frames_in_a_row_; }
    QCheckBox* LightCheck() const { return light_check_; }
    QSpinBox* LightPercent() const { return light_percent_; }
    QCheckBox* NotifyCheck() const { return notify_check_; }
    QLineEdit* Command() const { return command_; }
    QLabel* PreRollNote() const { return pre_roll_note_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void UpdateNotes();
    void UpdateNoteTexts();

    int64_t block_count_;
    CFramePipeline::PreRollStatus pre_roll_status_;
    QSpinBox* pre_roll_ = nullptr;
    QLabel* pre_roll_note_ = nullptr;
    QSpinBox* post_roll_ = nullptr;
    QSpinBox* min_blocks_ = nullptr;
    QLabel* min_blocks_share_ = nullptr;
    QSpinBox* frames_in_a_row_ = nullptr;
    QCheckBox* light_check_ = nullptr;
    QSpinBox* light_percent_ = nullptr;
    QCheckBox* notify_check_ = nullptr;
    QLineEdit* command_ = nullptr;
};
