#include "archive_ui/archive_log.h"

Q_LOGGING_CATEGORY(lcArchive, "cindral.archive", QtWarningMsg)
