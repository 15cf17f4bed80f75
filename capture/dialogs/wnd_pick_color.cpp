#include "capture/dialogs/wnd_pick_color.h"

#include <QColorDialog>
#include <QMouseEvent>
#include <QPainter>

#include "recording/settings.h"

CWndPickColor::CWndPickColor(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Sunken);
    setLineWidth(1);
    InitialiseCustomColours();
}

QColor CWndPickColor::InitialCustomColour(int index) {
    // Red climbs in steps of 12 with full blue, then blue falls with full red.
    static constexpr int kRgb[kCustomColourCount][3] = {
        {115, 0, 255}, {127, 0, 255}, {139, 0, 255}, {151, 0, 255}, {163, 0, 255}, {175, 0, 255},
        {187, 0, 255}, {199, 0, 255}, {211, 0, 255}, {223, 0, 255}, {235, 0, 255}, {247, 0, 255},
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
    if (m_pColor != nullptr) {
        QPainter painter(this);
        painter.fillRect(contentsRect(), ExpandColour(m_pColor->load()));
    }
    QFrame::paintEvent(event);  // the sunken border
}

void CWndPickColor::mousePressEvent(QMouseEvent* event) {
    if (m_pColor == nullptr || event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    const QColor chosen = QColorDialog::getColor(ExpandColour(m_pColor->load()), this, QString(),
                                                 QColorDialog::DontUseNativeDialog);
    if (!chosen.isValid()) {
        event->accept();
        return;
    }
    m_pColor->store(PackColour(chosen));
    repaint();
    QFrame::mousePressEvent(event);
}
