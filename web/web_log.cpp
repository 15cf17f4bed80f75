#include "web/web_log.h"

// Failures to authenticate are warnings: they are shown by default.
Q_LOGGING_CATEGORY(lcWeb, "cindral.web", QtInfoMsg)
