// Screen-size tests: the program on a virtual screen of CINDRAL_TEST_SCREEN ("WIDTHxHEIGHT",
// default 800x600), at whatever QT_SCALE_FACTOR the run sets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    int width_px = 800;
    int height_px = 600;
    if (const char* screen = std::getenv("CINDRAL_TEST_SCREEN")) {
        if (std::sscanf(screen, "%dx%d", &width_px, &height_px) != 2) {
            std::fprintf(stderr, "CINDRAL_TEST_SCREEN must read WIDTHxHEIGHT, not %s\n", screen);
            return 2;
        }
    }
    // The offscreen platform takes its screens from a configuration file.
    const std::filesystem::path config = std::filesystem::temp_directory_path() /
                                         ("cindral-screen-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream file(config);
        file << R"({"screens": [{"name": "test", "x": 0, "y": 0, "width": )" << width_px
             << R"(, "height": )" << height_px << "}]}";
    }
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QByteArray::fromStdString(config.string()));
    int status = 0;
    {
        QApplication application(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::filesystem::remove(config);
    return status;
}
