#include "capture/capture_log.h"

Q_LOGGING_CATEGORY(lcCapture, "cindral.capture", QtWarningMsg)
Q_LOGGING_CATEGORY(lcRecording, "cindral.recording", QtWarningMsg)
Q_LOGGING_CATEGORY(lcStorage, "cindral.storage", QtInfoMsg)
