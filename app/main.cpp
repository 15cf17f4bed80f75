#include <QApplication>
#include <csignal>
#include <cstdio>

#include "app/cindral_app.h"
#include "app/command_line.h"
#include "app/shutdown_signals.h"
#include "cindral_version.h"

int main(int argc, char** argv) {
    // Read before QApplication, which needs a display: help and version work anywhere.
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLineRequest request = ParseCommandLine(arguments);
    switch (request.action) {
        case CommandLineRequest::Action::kShowHelp: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return 0;
        case CommandLineRequest::Action::kShowVersion:
            std::fputs(VersionText().toLocal8Bit().constData(), stdout);
            return 0;
        case CommandLineRequest::Action::kUsageError:
            std::fprintf(stderr, "cindral: %s Try 'cindral --help'.\n", request.error.toLocal8Bit().constData());
            return 2;
        case CommandLineRequest::Action::kRun: break;
    }

    // A file size limit fails a write with EFBIG, reported like a full disk, instead of killing
    // the program with archives unfinished.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral(CINDRAL_APP_ID));
    QCoreApplication::setApplicationVersion(QStringLiteral(CINDRAL_VERSION));
    CCindralApp cindral;
    CShutdownSignals shutdown_signals(&application);
    if (!shutdown_signals.IsInstalled()) {
        // The program still runs; only an orderly end on SIGINT/SIGTERM is lost.
        std::fprintf(stderr, "cindral: signal handling not set up: %s\n",
                     shutdown_signals.ErrorText().toLocal8Bit().constData());
    }
    QObject::connect(&shutdown_signals, &CShutdownSignals::ShutdownRequested, &cindral,
                     &CCindralApp::OnShutdownRequest);
    if (!cindral.InitInstance()) return 1;
    return application.exec();
}
