// Test entry for suites with widgets: one QApplication for the whole program.
#include <gtest/gtest.h>
#include <QApplication>

#include "support/test_home.h"

int main(int argc, char** argv) {
    const TestHome home;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
