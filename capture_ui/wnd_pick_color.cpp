#include "capture_ui/wnd_pick_color.h"

#include <QColorDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "settings/settings.h"

CWndPickColor::CWndPickColor(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Sunken);
    setLineWidth(1);
    SetSwatchInsideFocusRing();
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(tr("Marks' colour"));
    InitialiseCustomColours();
}

QColor CWndPickColor::InitialCustomColour(int index) {
    // Red climbs in steps of 12 with full blue, then blue falls with full red.
    static constexpr int kRgb[kCustomColourCount][3] = {{115, 0, 255}, {127, 0, 255}, {139, 0, 255}, {151, 0, 255},
                                                        {163, 0, 255}, {175, 0, 255}, {187, 0, 255}, {199, 0, 255},
                                                        {211, 0, 255}, {223, 0, 255}, {235, 0, 255}, {247, 0, 255},
                                                        {255, 0, 251}, {255, 0, 233}, {255, 0, 221}, {255, 0, 209}};
    if (index < 0 || index >= kCustomColourCount) return QColor(0, 0, 0);
    return QColor(kRgb[index][0], kRgb[index][1], kRgb[index][2]);
}

void CWndPickColor::InitialiseCustomColours() {
    // QColorDialog keeps its custom colours for the life of the process; edits made in one
    // showing are offered again in the next, so this runs only once.
    static const bool is_initialised = [] {
        for (int index = 0; index < kCustomColourCount; ++index)
            QColorDialog::setCustomColor(index, InitialCustomColour(index));
        return true;
    }();
    (void)is_initialised;
}

QColor CWndPickColor::ExpandColour(uint16_t word) {
    const DetectorColour expanded = ExpandDetectorColour(word);
    return QColor(expanded.red, expanded.green, expanded.blue);
}

uint16_t CWndPickColor::PackColour(const QColor& colour) {
    return PackDetectorColour(static_cast<uint8_t>(colour.red()), static_cast<uint8_t>(colour.green()),
                              static_cast<uint8_t>(colour.blue()));
}

void CWndPickColor::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (hasFocus()) {
        // Around the swatch, on the dialog's own background: a mark inside would be lost on a dark
        // colour. Drawn first: a style may tint the whole rectangle, and the swatch covers that.
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect();
        option.backgroundColor = palette().color(backgroundRole());
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    if (m_pColor != nullptr) painter.fillRect(contentsRect(), ExpandColour(m_pColor->load()));
    painter.end();
    QFrame::paintEvent(event);  // the sunken border
}

void CWndPickColor::SetSwatchInsideFocusRing() {
    setFrameRect(rect().adjusted(kFocusRingPx, kFocusRingPx, -kFocusRingPx, -kFocusRingPx));
}

void CWndPickColor::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    SetSwatchInsideFocusRing();
}

bool CWndPickColor::ChooseColour() {
    if (m_pColor == nullptr) return false;
    const QColor chosen =
        QColorDialog::getColor(ExpandColour(m_pColor->load()), this, QString(), QColorDialog::DontUseNativeDialog);
    if (!chosen.isValid()) return false;
    m_pColor->store(PackColour(chosen));
    repaint();
    return true;
}

void CWndPickColor::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (event->modifiers() == Qt::NoModifier &&
        (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Select)) {
        // Taken here, so that Enter does not reach the dialog's OK.
        ChooseColour();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

void CWndPickColor::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !ChooseColour()) {
        event->accept();
        return;
    }
    QFrame::mousePressEvent(event);
}
