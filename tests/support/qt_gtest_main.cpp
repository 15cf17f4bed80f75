// Test entry for Qt suites: one application for the whole program, with widgets unless the suite
// runs without a window.
#include <gtest/gtest.h>
#ifdef CINDRAL_WINDOWLESS_TESTS
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#else
#include <QApplication>
using TestApplication = QApplication;
#endif

#include "support/test_home.h"

int main(int argc, char** argv) {
    const TestHome home;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    TestApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
