// The files the program finds around itself: its help page in a build tree and in an installed
// tree, and its icons, drawn sharp at twice the size for high-density screens.
#include <gtest/gtest.h>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include "app/cindral_app.h"
#include "support/temp_folder.h"

namespace {

void WriteFile(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    QFile file(QString::fromStdString(path.string()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<html></html>");
}

}  // namespace

TEST(ProgramFiles, HelpPageBesideTheProgramComesBeforeTheInstalledOne) {
    TempFolder prefix;
    const QString bin = QString::fromStdString((prefix.Path() / "bin").string()) + QLatin1Char('/');
    const QString beside = bin + QStringLiteral("Cindral.html");
    std::filesystem::create_directories(prefix.Path() / "bin");
    EXPECT_EQ(CCindralApp::HelpFileFor(bin), beside);  // neither: the usual place, silently missing

    const std::filesystem::path installed = prefix.Path() / "share" / "doc" / "cindral" / "Cindral.html";
    WriteFile(installed);
    EXPECT_EQ(CCindralApp::HelpFileFor(bin), QString::fromStdString(installed.string()));

    WriteFile(prefix.Path() / "bin" / "Cindral.html");
    EXPECT_EQ(CCindralApp::HelpFileFor(bin), beside);
}

TEST(ProgramFiles, IconsAreDrawnWithTwiceThePixelsAtTwiceTheScale) {
    Q_INIT_RESOURCE(cindral);
    const struct {
        const char* path;
        QSize size;
    } icons[] = {
        {":/toolbar/properties.svg", QSize(16, 15)},
        {":/toolbar/archive.svg", QSize(16, 15)},
        {":/toolbar/about.svg", QSize(16, 15)},
        {":/icons/cindral.svg", QSize(32, 32)},
    };
    for (const auto& icon : icons) {
        SCOPED_TRACE(icon.path);
        const QPixmap pixmap = QIcon(QString::fromLatin1(icon.path)).pixmap(icon.size, 2.0);
        const QImage image = pixmap.toImage();
        ASSERT_EQ(image.size(), icon.size * 2);
        int drawn = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) drawn += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        EXPECT_GT(drawn, image.width() * image.height() / 4);
    }
}
