#pragma once

#include <QLabel>
#include <QPointer>
#include <QTimer>

class CLiveSession;

// The status bar's pane of the live session's state at a glance: "REC 00:12:34", "Watching",
// "Not recording: <reason>" (red), "Camera lost, retrying in 4 s", "No camera". Read afresh
// every second and at every change of the session.
class CSessionStatePane : public QLabel {
    Q_OBJECT
public:
    explicit CSessionStatePane(QWidget* parent);

    // The session may go away first; the pane then shows nothing.
    void SetSession(CLiveSession* session);
    // Whether the pane shows a failure (red).
    bool IsShowingFailure() const { return is_failure_; }

private:
    void Refresh();

    QPointer<CLiveSession> session_;
    QTimer tick_;
    bool is_failure_ = false;
};
