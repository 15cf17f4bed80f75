#include "archive_ui/day_timeline_widget.h"

#include <QApplication>
#include <QFile>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "platform/ole_date.h"

namespace {

// Steps between the hour marks, the finest whose labels do not crowd each other is used.
constexpr int kMarkStepsS[] = {60, 300, 600, 900, 1800, 3600, 7200, 10800, 21600};
// Unselected blocks in a quiet slate, so that the selection's highlight stands out.
const QColor kBlockColour(140, 150, 165);
const QColor kPinColour(215, 120, 0);

QString PathOf(const TimelineBlock& block) { return QFile::decodeName(QByteArray::fromStdString(block.full_path)); }

QString TimeOfDay(double ole_day) {
    const std::optional<CalendarTime> time = OleDateToCalendar(ole_day);
    if (!time) return QStringLiteral("?");
    return QStringLiteral("%1:%2:%3")
        .arg(time->hour, 2, 10, QLatin1Char('0'))
        .arg(time->minute, 2, 10, QLatin1Char('0'))
        .arg(time->second, 2, 10, QLatin1Char('0'));
}

}  // namespace

CDayTimeline::CDayTimeline(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::StrongFocus);
}

void CDayTimeline::SetDays(std::vector<TimelineDay> days) {
    // The keyboard stays on the same archive when the days are read again.
    const QString focused = FocusedPath();
    days_ = std::move(days);
    focus_index_ = -1;
    int index = 0;
    for (const TimelineDay& day : days_) {
        for (const TimelineBlock& block : day.blocks) {
            if (PathOf(block) == focused) focus_index_ = index;
            ++index;
        }
    }
    setFixedHeight(HeightFor(static_cast<int>(days_.size())));
    update();
}

void CDayTimeline::SetSelectedPaths(const QStringList& paths) {
    selected_paths_ = QSet<QString>(paths.begin(), paths.end());
    update();
}

int CDayTimeline::LabelWidth() const { return fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00")) + 8; }
int CDayTimeline::AxisHeight() const { return fontMetrics().height() + 4; }
int CDayTimeline::StripHeight() const { return fontMetrics().height() + 6; }
int CDayTimeline::HeightFor(int strip_count) const {
    return AxisHeight() + std::max(1, strip_count) * StripHeight() + 1;
}

QSize CDayTimeline::sizeHint() const { return QSize(LabelWidth() + 480, HeightFor(static_cast<int>(days_.size()))); }
QSize CDayTimeline::minimumSizeHint() const { return QSize(LabelWidth() + 120, HeightFor(1)); }

QRect CDayTimeline::StripsArea() const {
    return QRect(LabelWidth(), AxisHeight(), std::max(1, width() - LabelWidth() - 1),
                 static_cast<int>(days_.size()) * StripHeight());
}

void CDayTimeline::resizeEvent(QResizeEvent* event) {
    scale_.SetWidth(StripsArea().width());
    QWidget::resizeEvent(event);
}

QRectF CDayTimeline::BlockRect(size_t day, size_t block) const {
    const QRect area = StripsArea();
    const TimelineBlock& shown = days_[day].blocks[block];
    const double left = scale_.XOf(shown.start_of_day_s);
    const double right = std::max(scale_.XOf(shown.end_of_day_s), left + kMinBlockPx);
    const double top = area.top() + static_cast<double>(day) * StripHeight() + 3;
    return QRectF(area.left() + left, top, right - left, StripHeight() - 6);
}

std::optional<std::pair<size_t, size_t>> CDayTimeline::HitAt(QPoint position) const {
    const QRect area = StripsArea();
    if (!area.contains(position)) return std::nullopt;
    const auto day = static_cast<size_t>((position.y() - area.top()) / StripHeight());
    if (day >= days_.size()) return std::nullopt;
    const std::optional<size_t> block = BlockAt(days_[day], scale_, position.x() - area.left(), kMinBlockPx);
    if (!block) return std::nullopt;
    return std::make_pair(day, *block);
}

std::optional<QPoint> CDayTimeline::BlockCentre(const QString& full_path) const {
    for (size_t day = 0; day < days_.size(); ++day) {
        for (size_t block = 0; block < days_[day].blocks.size(); ++block) {
            if (PathOf(days_[day].blocks[block]) != full_path) continue;
            const QRectF rect = BlockRect(day, block).intersected(QRectF(StripsArea()));
            if (rect.isEmpty()) return std::nullopt;
            return rect.center().toPoint();
        }
    }
    return std::nullopt;
}

QString CDayTimeline::ToolTipAt(QPoint position) const {
    const auto hit = HitAt(position);
    if (!hit) return {};
    const TimelineBlock& block = days_[hit->first].blocks[hit->second];
    QString text = QStringLiteral("%1\n%2 - %3")
                       .arg(QFile::decodeName(QByteArray::fromStdString(block.name)), TimeOfDay(block.times.first_day),
                            TimeOfDay(block.times.last_day));
    if (block.is_pinned) text += QLatin1Char('\n') + tr("Kept");
    return text;
}

bool CDayTimeline::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = ToolTipAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }
    return QWidget::event(event);
}

std::optional<std::pair<size_t, size_t>> CDayTimeline::FocusedBlock() const {
    if (focus_index_ < 0) return std::nullopt;
    size_t index = static_cast<size_t>(focus_index_);
    for (size_t day = 0; day < days_.size(); ++day) {
        if (index < days_[day].blocks.size()) return std::make_pair(day, index);
        index -= days_[day].blocks.size();
    }
    return std::nullopt;
}

QString CDayTimeline::FocusedPath() const {
    const auto focused = FocusedBlock();
    return focused ? PathOf(days_[focused->first].blocks[focused->second]) : QString();
}

void CDayTimeline::ShowFocusedBlock() {
    const auto focused = FocusedBlock();
    if (!focused) return;
    const TimelineBlock& block = days_[focused->first].blocks[focused->second];
    const double left_px = scale_.XOf(block.start_of_day_s);
    if (left_px < 0) scale_.Pan(-left_px + scale_.Width() / 10.0);
    if (left_px > scale_.Width() - kMinBlockPx) scale_.Pan(scale_.Width() * 0.9 - left_px);
}

void CDayTimeline::keyPressEvent(QKeyEvent* event) {
    int block_count = 0;
    for (const TimelineDay& day : days_) block_count += static_cast<int>(day.blocks.size());
    int step = 0;
    switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Up: step = -1; break;
        case Qt::Key_Right:
        case Qt::Key_Down: step = 1; break;
        case Qt::Key_Space:
            if (const auto focused = FocusedBlock())
                emit BlockClicked(PathOf(days_[focused->first].blocks[focused->second]), event->modifiers());
            event->accept();
            return;
        default: QWidget::keyPressEvent(event); return;
    }
    if (block_count == 0) return;
    // The first key press lands on the first (or last) block; later ones stop at either end.
    focus_index_ =
        focus_index_ < 0 ? (step > 0 ? 0 : block_count - 1) : std::clamp(focus_index_ + step, 0, block_count - 1);
    ShowFocusedBlock();
    update();
    event->accept();
}

void CDayTimeline::focusInEvent(QFocusEvent* event) {
    if (focus_index_ < 0 && !days_.empty()) {
        for (const TimelineDay& day : days_) {
            if (!day.blocks.empty()) {
                focus_index_ = 0;
                break;
            }
        }
    }
    update();
    QWidget::focusInEvent(event);
}

void CDayTimeline::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}

void CDayTimeline::PaintAxis(QPainter& painter) const {
    const QRect area = StripsArea();
    const int label_px = fontMetrics().horizontalAdvance(QStringLiteral("00:00")) + 12;
    int step_s = kMarkStepsS[std::size(kMarkStepsS) - 1];
    for (const int candidate : kMarkStepsS) {
        if (candidate * scale_.Width() / scale_.SpanSeconds() >= label_px) {
            step_s = candidate;
            break;
        }
    }
    const int first_mark = static_cast<int>(std::ceil(scale_.FirstSecond() / step_s)) * step_s;
    const double last_s = scale_.FirstSecond() + scale_.SpanSeconds();
    for (int mark_s = first_mark; mark_s <= last_s; mark_s += step_s) {
        const int x = area.left() + static_cast<int>(std::lround(scale_.XOf(mark_s)));
        painter.setPen(palette().color(QPalette::Midlight));
        painter.drawLine(x, area.top(), x, area.bottom());
        painter.setPen(palette().color(QPalette::WindowText));
        const QString label = QStringLiteral("%1:%2")
                                  .arg(mark_s / 3600 % 24, 2, 10, QLatin1Char('0'))
                                  .arg(mark_s / 60 % 60, 2, 10, QLatin1Char('0'));
        // Labels that would be cut off at the right are left out; the lines say enough there.
        const QRect text_rect(x - label_px / 2, 0, label_px, AxisHeight());
        if (text_rect.right() < width()) painter.drawText(text_rect, Qt::AlignCenter, label);
    }
}

void CDayTimeline::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = StripsArea();
    for (size_t day = 0; day < days_.size(); ++day) {
        const QRect strip(area.left(), area.top() + static_cast<int>(day) * StripHeight(), area.width(), StripHeight());
        painter.fillRect(strip, palette().color(day % 2 == 0 ? QPalette::Base : QPalette::AlternateBase));
        const DayDate& date = days_[day].day;
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRect(0, strip.top(), LabelWidth() - 4, strip.height()), Qt::AlignRight | Qt::AlignVCenter,
                         QStringLiteral("%1-%2-%3")
                             .arg(date.year, 4, 10, QLatin1Char('0'))
                             .arg(date.month, 2, 10, QLatin1Char('0'))
                             .arg(date.day, 2, 10, QLatin1Char('0')));
    }
    PaintAxis(painter);
    painter.setClipRect(area);
    for (size_t day = 0; day < days_.size(); ++day) {
        for (size_t block = 0; block < days_[day].blocks.size(); ++block) {
            const TimelineBlock& shown = days_[day].blocks[block];
            const QRectF rect = BlockRect(day, block);
            const bool is_selected = selected_paths_.contains(PathOf(shown));
            painter.setPen(is_selected ? palette().color(QPalette::HighlightedText) : kBlockColour.darker(140));
            painter.setBrush(is_selected ? palette().color(QPalette::Highlight) : kBlockColour);
            painter.drawRect(rect);
            if (shown.is_pinned) {
                // A corner flag: kept from retention.
                const double side = std::min(rect.height(), 7.0);
                const QPointF corner = rect.topLeft();
                const QPointF flag[] = {corner, corner + QPointF(side, 0), corner + QPointF(0, side)};
                painter.setPen(Qt::NoPen);
                painter.setBrush(kPinColour);
                painter.drawPolygon(flag, 3);
            }
        }
    }
    if (const auto focused = FocusedBlock(); focused && hasFocus()) {
        // The keyboard's block: a dashed frame around it.
        painter.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DashLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(BlockRect(focused->first, focused->second).adjusted(-2, -2, 2, 2));
    }
    painter.setClipping(false);
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(area.adjusted(0, 0, -1, -1));
}

void CDayTimeline::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    is_pressed_ = true;
    is_dragging_ = false;
    press_position_ = event->position().toPoint();
    drag_x_ = event->position().x();
}

void CDayTimeline::mouseMoveEvent(QMouseEvent* event) {
    if (!is_pressed_) return QWidget::mouseMoveEvent(event);
    if (!is_dragging_ &&
        (event->position().toPoint() - press_position_).manhattanLength() < QApplication::startDragDistance()) {
        return;
    }
    is_dragging_ = true;
    scale_.Pan(event->position().x() - drag_x_);
    drag_x_ = event->position().x();
    update();
}

void CDayTimeline::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !is_pressed_) return QWidget::mouseReleaseEvent(event);
    is_pressed_ = false;
    if (is_dragging_) return;
    if (const auto hit = HitAt(press_position_)) {
        emit BlockClicked(PathOf(days_[hit->first].blocks[hit->second]), event->modifiers());
    }
}

void CDayTimeline::wheelEvent(QWheelEvent* event) {
    const QPoint steps = event->angleDelta();
    const double x = event->position().x() - StripsArea().left();
    if (steps.x() != 0 || (event->modifiers() & Qt::ShiftModifier)) {
        // Sideways: a wheel step moves the hours on show by a tenth of the strip.
        const int sideways = steps.x() != 0 ? steps.x() : steps.y();
        scale_.Pan(sideways / 120.0 * scale_.Width() / 10.0);
    } else {
        scale_.ZoomAround(x, std::pow(kZoomPerWheelStep, steps.y() / 120.0));
    }
    update();
    event->accept();
}
