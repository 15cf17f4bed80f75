#pragma once

#include <QSet>
#include <QString>
#include <QWidget>
#include <optional>
#include <utility>
#include <vector>

#include "archive_core/day_timeline.h"

class QPainter;

// A strip of 24 hours per listed day, each archive a block from its first to its last record
// (its file's creation and last write). A click on a block asks for its row; hovering shows its
// times; the wheel zooms around the pointer and dragging (or a sideways wheel) moves the hours
// on show. Kept archives carry a mark.
class CDayTimeline : public QWidget {
    Q_OBJECT
public:
    static constexpr double kMinBlockPx = 3.0;
    static constexpr double kZoomPerWheelStep = 1.25;

    explicit CDayTimeline(QWidget* parent);

    void SetDays(std::vector<TimelineDay> days);
    const std::vector<TimelineDay>& Days() const { return days_; }
    // Blocks of these full paths are drawn selected.
    void SetSelectedPaths(const QStringList& paths);
    const TimelineScale& Scale() const { return scale_; }
    // Height that shows the axis and strip_count strips.
    int HeightFor(int strip_count) const;

    // Where the block of full_path is drawn, its middle; nothing when it is not on show.
    std::optional<QPoint> BlockCentre(const QString& full_path) const;
    // The block the keyboard is on (arrow keys move it in time order, Space selects it, Ctrl+Space
    // adds or removes it); empty before the keys are used.
    QString FocusedPath() const;
    // What hovering at position shows: the archive's name and times; empty off the blocks.
    QString ToolTipAt(QPoint position) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void BlockClicked(const QString& full_path, Qt::KeyboardModifiers modifiers);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int LabelWidth() const;
    int AxisHeight() const;
    int StripHeight() const;
    // The strips' area: right of the day labels, below the hours.
    QRect StripsArea() const;
    QRectF BlockRect(size_t day, size_t block) const;
    // Day and block under position.
    std::optional<std::pair<size_t, size_t>> HitAt(QPoint position) const;
    void PaintAxis(QPainter& painter) const;
    // Day and block of the focus_index_-th block in time order.
    std::optional<std::pair<size_t, size_t>> FocusedBlock() const;
    // Pans so that the focused block is on show.
    void ShowFocusedBlock();

    std::vector<TimelineDay> days_;
    TimelineScale scale_;
    QSet<QString> selected_paths_;
    QPoint press_position_;
    double drag_x_ = 0.0;
    bool is_pressed_ = false;
    bool is_dragging_ = false;
    int focus_index_ = -1;
};
