// Renders an SVG drawing into a square PNG of the given size: the installed icon's bitmaps are
// made from the one vector drawing at build time.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DRAWING.svg SIZE_PX OUT.png\n", argv[0]);
        return 2;
    }
    // No screen is needed to paint into an image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QString drawing = QString::fromLocal8Bit(argv[1]);
    char* end = nullptr;
    const long size_px = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || size_px < 1 || size_px > 4096) {
        std::fprintf(stderr, "render_icon: size '%s' is not a number of pixels from 1 to 4096\n", argv[2]);
        return 2;
    }
    QSvgRenderer renderer(drawing);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render_icon: cannot read the drawing %s\n", argv[1]);
        return 1;
    }
    const int side_px = static_cast<int>(size_px);
    QImage image(side_px, side_px, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        renderer.render(&painter);
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "render_icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
