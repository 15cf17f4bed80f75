// Capture tests: GStreamer with the test elements, and a QApplication for the dialogs and
// for the queued calls that bring bus messages to this (the user-interface) thread.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>

#include "capture/busy_source.h"

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    RegisterBusyTestSource();
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
