#include "app/static_link.h"

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QUrl>

const QColor CStaticLink::kUnvisitedColour(0, 0, 255);
const QColor CStaticLink::kVisitedColour(128, 0, 128);

CStaticLink::CStaticLink(QWidget* parent, const QString& target)
    : QLabel(parent), target_(target), colour_(kUnvisitedColour) {
    QFont link_font = font();
    link_font.setUnderline(true);
    setFont(link_font);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setTextFormat(Qt::PlainText);
    ApplyColour();
}

void CStaticLink::ApplyColour() {
    QPalette link_palette = palette();
    link_palette.setColor(QPalette::WindowText, colour_);
    setPalette(link_palette);
}

bool CStaticLink::OpenTarget() {
    if (target_.isEmpty()) target_ = text();  // the label's own text is the target from then on
    if (target_.isEmpty()) return false;
    if (!QDesktopServices::openUrl(QUrl::fromUserInput(target_))) {
        QApplication::beep();
        return false;
    }
    colour_ = kVisitedColour;
    ApplyColour();
    update();
    return true;
}

void CStaticLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OpenTarget();
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void CStaticLink::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (event->modifiers() == Qt::NoModifier &&
        (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
        OpenTarget();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void CStaticLink::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus()) return;
    QStylePainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = palette().color(backgroundRole());
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}
