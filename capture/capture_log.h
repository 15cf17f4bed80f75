#pragma once

#include <QLoggingCategory>

// Logging categories of the live path; quiet by default apart from warnings
// (QT_LOGGING_RULES="cindral.*.debug=true" shows everything).
Q_DECLARE_LOGGING_CATEGORY(lcCapture)
Q_DECLARE_LOGGING_CATEGORY(lcRecording)
// Retention: every archive it deletes is logged at the info level, shown by default.
Q_DECLARE_LOGGING_CATEGORY(lcStorage)
