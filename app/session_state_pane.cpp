#include "app/session_state_pane.h"

#include <QFile>

#include "capture/live_session.h"
#include "live_text/live_state_text.h"

CSessionStatePane::CSessionStatePane(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("SessionState"));
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // As wide as the longest usual state, so the pane does not jump as the state changes.
    LiveState widest;
    widest.phase = LivePhase::kCameraLost;
    widest.retry_in_s = 30;
    setMinimumWidth(fontMetrics().horizontalAdvance(LiveStateText(widest)));
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &CSessionStatePane::Refresh);
}

void CSessionStatePane::SetSession(CLiveSession* session) {
    if (session_) disconnect(session_, nullptr, this, nullptr);
    session_ = session;
    if (session_) connect(session_, &CLiveSession::StateChanged, this, &CSessionStatePane::Refresh);
    tick_.start();
    Refresh();
}

void CSessionStatePane::Refresh() {
    if (!session_) {
        clear();
        setToolTip(QString());
        is_failure_ = false;
        return;
    }
    const LiveState state = session_->State();
    setText(LiveStateText(state));
    is_failure_ =
        !state.recorder_failure.empty() && (state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording);
    // Red says at a glance that frames which should be recorded are not.
    setStyleSheet(is_failure_ ? QStringLiteral("QLabel { color: white; background-color: #c01818; }") : QString());
    QString tip = QString::fromStdString(state.camera);
    if (!state.archive_path.empty()) tip += QStringLiteral("\n") + QString::fromStdString(state.archive_path);
    if (!state.lost_reason.empty()) tip += QStringLiteral("\n") + QString::fromStdString(state.lost_reason);
    if (!state.storage_problem.empty()) tip += QStringLiteral("\n") + QString::fromStdString(state.storage_problem);
    tip += QLatin1Char('\n') +
           tr("Recordings: %1").arg(QFile::decodeName(QByteArray::fromStdString(state.storage_folder)));
    setToolTip(tip);
}
