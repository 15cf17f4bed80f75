#pragma once

#include <QApplication>
#include <QFontMetrics>
#include <QLayout>
#include <QRect>
#include <QScreen>
#include <QString>
#include <QWidget>
#include <algorithm>

// Pixel rectangle of a dialog-template rectangle given in dialog units, from the average
// character size of the widget's font: a unit is a quarter of the average character width
// horizontally and an eighth of the font's height vertically. Shared by the dialogs that are
// laid out from their templates.
inline QRect DialogUnitsToPixels(const QWidget& dialog, int x, int y, int width, int height) {
    const QFontMetrics metrics(dialog.font());
    static const QString kLetters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    // Average letter width rounded to the nearest pixel, as dialog base units are.
    const int average_width_px = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
    const int average_height_px = metrics.height();
    return QRect(x * average_width_px / 4, y * average_height_px / 8, width * average_width_px / 4,
                 height * average_height_px / 8);
}

// The width a window needs for its whole title in the title bar: the title's text in the title
// bar's font, with room for the window's icon and its three buttons on either side.
inline int TitleBarWidth(const QWidget& window) {
    const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
    const int button_px = metrics.height() + 12;
    return metrics.horizontalAdvance(window.windowTitle()) + 4 * button_px + 2 * metrics.averageCharWidth();
}

// A window's layout gives it no more than its minimum height, which does not count the lines a
// wrapped text takes at the window's width: the window is made tall enough for every line of
// its texts at its present width (at most the screen's available height, moved up to stay on it), and
// no shorter after.
inline void FitHeightToWrappedTexts(QWidget& window) {
    QLayout* layout = window.layout();
    if (layout == nullptr) return;
    // The texts' own layouts learn of their new sizes first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    layout->invalidate();
    layout->activate();
    if (!layout->hasHeightForWidth()) return;
    int height_px = layout->totalHeightForWidth(window.width());
    const QScreen* screen = window.screen();
    const int frame_px = window.frameGeometry().height() - window.height();
    if (screen != nullptr) height_px = std::min(height_px, screen->availableGeometry().height() - frame_px);
    window.setMinimumHeight(height_px);
    if (window.height() < height_px) window.resize(window.width(), height_px);
    // Placed by its smaller first size: moved up as far as it now reaches below the screen.
    if (screen == nullptr || !window.isWindow()) return;
    const int below_px =
        window.frameGeometry().top() + window.height() + frame_px - 1 - screen->availableGeometry().bottom();
    if (below_px > 0) window.move(window.x(), window.y() - below_px);
}
