#pragma once

#include <QLoggingCategory>

// The program's shell: start-up, shutdown and the main window's own commands.
Q_DECLARE_LOGGING_CATEGORY(lcApp)
