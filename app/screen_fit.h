#pragma once

#include <QMargins>
#include <QObject>
#include <QRect>

class QWidget;

// Keeps every dialog and tool window inside the available area of its screen, whatever the
// screen's size and scale: a window that would open larger than the area is shrunk to it (as
// far as its minimum size allows), one partly off it is moved on, and one whose parent is not
// on show yet (the first-start Properties dialog) is centred on the screen.
class CScreenFit : public QObject {
    Q_OBJECT
public:
    explicit CScreenFit(QObject* parent);

    // The frame rectangle moved inside `available`; where it cannot fit, its top-left corner
    // (title bar and system menu) stays on the area.
    static QRect KeepInside(const QRect& frame, const QRect& available);
    // The window's frame margins; until the window manager has framed it, those of a framed
    // window of this program, else a typical frame.
    static QMargins EstimatedFrameMargins(const QWidget& window);
    // Client geometry for a main window restored from maximised: a frame of four-fifths of
    // the available area, centred on it.
    static QRect RestoredGeometry(const QRect& available, const QMargins& frame_margins);

    // Applies the rules above to a window about to be shown.
    static void FitOnScreen(QWidget& window);
    // Shows the window in front as it was before it was minimised: maximised stays maximised.
    static void BringToFront(QWidget& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
