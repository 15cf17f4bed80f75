#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

#include <QString>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* stream) { *stream << '"' << text.toStdString() << '"'; }

// Synthetic user input delivered straight to a widget, as the window system would.
inline void ClickAt(QWidget* widget, QPoint position, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QPointF local(position);
    const QPointF global(widget->mapToGlobal(position));
    QMouseEvent press(QEvent::MouseButtonPress, local, local, global, Qt::LeftButton, Qt::LeftButton, modifiers);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton, Qt::NoButton, modifiers);
    QApplication::sendEvent(widget, &release);
}

inline void DoubleClickAt(QWidget* widget, QPoint position) {
    ClickAt(widget, position);
    const QPointF local(position);
    const QPointF global(widget->mapToGlobal(position));
    QMouseEvent twice(QEvent::MouseButtonDblClick, local, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &twice);
    QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

inline void PressKey(QWidget* widget, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

// Shows a window and lets it lay itself out.
inline void ShowAndSettle(QWidget* widget) {
    widget->show();
    QApplication::processEvents();
}

// Runs the event loop until window is the active window; false when a generous deadline passes.
inline bool WaitForActive(QWidget* window) {
    QElapsedTimer clock;
    clock.start();
    while (QApplication::activeWindow() != window) {
        if (clock.elapsed() > 10000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}
