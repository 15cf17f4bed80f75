// The files the program finds around itself: its icons, drawn sharp at twice the size for
// high-density screens.
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>


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
