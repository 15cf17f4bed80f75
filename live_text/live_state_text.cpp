#include "live_text/live_state_text.h"

#include <QCoreApplication>
#include <algorithm>
#include <climits>

namespace {

// The translation context of the texts below.
class LiveStateTexts {
    Q_DECLARE_TR_FUNCTIONS(LiveStateTexts)
};

QString Text(const std::string& text) { return QString::fromStdString(text); }

QString StateTextOfPhase(const LiveState& state) {
    if (!state.recorder_failure.empty() && (state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording)) {
        return LiveStateTexts::tr("Not recording: %1").arg(Text(state.recorder_failure));
    }
    const bool is_over_limit = !state.storage_problem.empty();
    switch (state.phase) {
        case LivePhase::kStarting: return LiveStateTexts::tr("Starting camera");
        case LivePhase::kLive:
            return is_over_limit ? LiveStateTexts::tr("Watching, storage over its limit")
                                 : LiveStateTexts::tr("Watching");
        case LivePhase::kRecording: {
            const int64_t seconds = state.recording_ms / 1000;
            const QString text = LiveStateTexts::tr("REC %1:%2:%3")
                                     .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                                     .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                     .arg(seconds % 60, 2, 10, QLatin1Char('0'));
            return is_over_limit ? LiveStateTexts::tr("%1, storage over its limit").arg(text) : text;
        }
        case LivePhase::kCameraLost:
            if (state.retry_in_s < 0) return LiveStateTexts::tr("Camera lost, retrying");
            return LiveStateTexts::tr("Camera lost, retrying in %1 s").arg(state.retry_in_s);
        case LivePhase::kNoCamera: return LiveStateTexts::tr("No camera");
        case LivePhase::kStopped: return LiveStateTexts::tr("Stopped");
    }
    return {};
}

}  // namespace

QString LiveStateText(const LiveState& state) {
    QString text = StateTextOfPhase(state);
    const bool is_running = state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording;
    if (!is_running || state.dropped_frames == 0) return text;
    return LiveStateTexts::tr("%1, %n frame(s) dropped", nullptr,
                              static_cast<int>(std::min<int64_t>(state.dropped_frames, INT32_MAX)))
        .arg(text);
}

std::string LivePhaseName(LivePhase phase) {
    switch (phase) {
        case LivePhase::kStarting: return "starting";
        case LivePhase::kLive: return "live";
        case LivePhase::kRecording: return "recording";
        case LivePhase::kCameraLost: return "camera-lost";
        case LivePhase::kNoCamera: return "no-camera";
        case LivePhase::kStopped: return "stopped";
    }
    return "stopped";
}

QString LiveStateCaption(const LiveState& state) {
    switch (state.phase) {
        case LivePhase::kNoCamera: return LiveStateTexts::tr("No camera");
        case LivePhase::kCameraLost:
        case LivePhase::kStopped: return LiveStateTexts::tr("No signal");
        case LivePhase::kStarting: return state.lost_reason.empty() ? QString() : LiveStateTexts::tr("No signal");
        case LivePhase::kLive:
        case LivePhase::kRecording: return {};
    }
    return {};
}
