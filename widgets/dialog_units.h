#pragma once

#include <QApplication>
#include <QFontMetrics>
#include <QRect>
#include <QString>
#include <QWidget>

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
