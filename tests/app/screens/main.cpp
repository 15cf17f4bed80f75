// Window-fit tests on a virtual screen of CINDRAL_TEST_SCREEN ("WIDTHxHEIGHT", default
// 800x600), at whatever QT_SCALE_FACTOR the run sets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <filesystem>
#include <fstream>

#include "support/temp_folder.h"
#include "support/test_home.h"

int main(int argc, char** argv) {
    const TestHome home;
    const QByteArray size =
        qEnvironmentVariableIsSet("CINDRAL_TEST_SCREEN") ? qgetenv("CINDRAL_TEST_SCREEN") : "800x600";
    const QList<QByteArray> sides = size.split('x');
    if (sides.size() != 2) return 2;
    // The offscreen platform takes its screens from a configuration file.
    const TempFolder config_folder;
    const auto config = config_folder.Path() / "screen.json";
    std::ofstream(config) << R"({"screens": [{"name": "test", "width": )" << sides[0].toStdString() << R"(, "height": )"
                          << sides[1].toStdString() << "}]}";
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QByteArray::fromStdString(config.string()));
    QApplication application(argc, argv);
    std::filesystem::remove(config);  // read at start-up
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (qRound(screen->geometry().width() * screen->devicePixelRatio()) != sides[0].toInt()) {
        qCritical("the virtual screen was not set up: %dx%d", screen->geometry().width(), screen->geometry().height());
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
