#include "app/screen_fit.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace {

// A title bar and thin borders, for windows nobody has framed yet.
const QMargins kTypicalFrameMargins(4, 28, 4, 4);

QMargins FrameMarginsOfHandle(const QWidget& window) {
    const QWindow* handle = window.windowHandle();
    return handle != nullptr ? handle->frameMargins() : QMargins();
}

bool IsFittedType(const QWidget& window) {
    const Qt::WindowType type = window.windowType();
    return type == Qt::Dialog || type == Qt::Tool || type == Qt::Sheet;
}

bool HasParentOnShow(const QWidget& window) {
    const QWidget* parent = window.parentWidget();
    return parent != nullptr && parent->window()->isVisible();
}

}  // namespace

CScreenFit::CScreenFit(QObject* parent) : QObject(parent) {}

QRect CScreenFit::KeepInside(const QRect& frame, const QRect& available) {
    QRect placed = frame;
    if (placed.right() > available.right()) placed.moveRight(available.right());
    if (placed.bottom() > available.bottom()) placed.moveBottom(available.bottom());
    if (placed.left() < available.left()) placed.moveLeft(available.left());
    if (placed.top() < available.top()) placed.moveTop(available.top());
    return placed;
}

QMargins CScreenFit::EstimatedFrameMargins(const QWidget& window) {
    const QMargins own = FrameMarginsOfHandle(window);
    if (!own.isNull()) return own;
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == &window || !other->isVisible() || other->windowType() == Qt::Popup) continue;
        const QMargins seen = FrameMarginsOfHandle(*other);
        // A maximised window may have lost its borders; only a titled frame tells.
        if (seen.top() > 0) return seen;
    }
    return kTypicalFrameMargins;
}

QRect CScreenFit::RestoredGeometry(const QRect& available, const QMargins& frame_margins) {
    QRect frame(QPoint(0, 0), available.size() * 4 / 5);
    frame.moveCenter(available.center());
    return frame.marginsRemoved(frame_margins);
}

void CScreenFit::BringToFront(QWidget& window) {
    // showNormal() would also drop the maximised state kept under the minimised one.
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
}

void CScreenFit::FitOnScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr) return;
    const QRect available = screen->availableGeometry();
    const QMargins margins = EstimatedFrameMargins(window);

    // The size alone where only the size is wrong: a window placed by its frame's corner
    // (the playback panel) keeps that placement.
    const QSize largest_client = available.marginsRemoved(margins).size();
    const QSize client =
        window.size().boundedTo(largest_client).expandedTo(window.minimumSize()).boundedTo(window.maximumSize());
    if (client != window.size()) window.resize(client);

    QRect frame = window.geometry().marginsAdded(margins);
    // Qt centres a dialog over its parent; a parent not on show yet sits nowhere in particular.
    if (!window.testAttribute(Qt::WA_Moved) && !HasParentOnShow(window)) frame.moveCenter(available.center());
    const QRect wanted = KeepInside(frame, available).marginsRemoved(margins);
    if (wanted == window.geometry()) return;
    // The placement is Qt's or the caller's, not a position the user asked for.
    const bool was_moved = window.testAttribute(Qt::WA_Moved);
    window.setGeometry(wanted);
    window.setAttribute(Qt::WA_Moved, was_moved);
}

bool CScreenFit::eventFilter(QObject* watched, QEvent* event) {
    // The native window's Show comes after Qt has placed and sized the widget (a dialog centres
    // itself on its own Show) and before the window reaches the screen. A window coming back
    // from the task bar (a spontaneous show) stays where the user left it.
    if (event->type() == QEvent::Show && !event->spontaneous() && watched->isWindowType()) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->windowHandle() != watched) continue;
            if (IsFittedType(*window)) FitOnScreen(*window);
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}
