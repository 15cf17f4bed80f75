#pragma once

#include <QString>
#include <QStringList>

// What the desktop program's command line asks for. It is read before the window system is
// touched, so help, version and usage errors work without a display.
struct CommandLineRequest {
    enum class Action { kRun, kShowHelp, kShowVersion, kUsageError };
    Action action = Action::kRun;
    QString error;  // for kUsageError: what is wrong, one line
};

// arguments: the program's arguments without the program's own name. Qt's own options
// (-platform NAME, -style NAME, ...) are let through for QApplication.
CommandLineRequest ParseCommandLine(const QStringList& arguments);

// For standard output; each ends with a line break.
QString UsageText();
QString VersionText();
