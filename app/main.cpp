#include <QApplication>
#include <cstdio>

#include "app/cindral_app.h"
#include "app/shutdown_signals.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
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
