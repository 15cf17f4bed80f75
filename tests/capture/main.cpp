// Capture tests: GStreamer with the test elements, and a QApplication for the dialogs and
// for the queued calls that bring bus messages to this (the user-interface) thread.
#include <gst/gst.h>
#include <gtest/gtest.h>

#ifdef CINDRAL_WINDOWLESS_TESTS
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#else
#include <QApplication>
using TestApplication = QApplication;
#endif

#include "capture/busy_source.h"

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    RegisterBusyTestSource();
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
