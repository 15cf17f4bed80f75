#pragma once

#include <QLoggingCategory>

// Browsing and exporting archives; quiet by default apart from warnings.
Q_DECLARE_LOGGING_CATEGORY(lcArchive)
