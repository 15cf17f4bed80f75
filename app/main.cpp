#include <QApplication>

#include "app/cindral_app.h"
#include "app/shutdown_signals.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CCindralApp cindral;
    CShutdownSignals shutdown_signals(&application);
    QObject::connect(&shutdown_signals, &CShutdownSignals::ShutdownRequested, &cindral,
                     &CCindralApp::OnShutdownRequest);
    if (!cindral.InitInstance()) return 1;
    return application.exec();
}
