#pragma once

#include <QString>
#include <string>

#include "capture/live_session.h"

// The phase's name for remote viewers: "starting", "live", "recording", "camera-lost",
// "no-camera", "stopped".
std::string LivePhaseName(LivePhase phase);
// The status-bar text of a state: "REC 00:12:34", "Watching", "Not recording: <reason>",
// "Camera lost, retrying in 4 s", "No camera", ...
QString LiveStateText(const LiveState& state);
// The short text the view paints over a missing picture ("No camera", "No signal"); empty while
// pictures flow.
QString LiveStateCaption(const LiveState& state);
