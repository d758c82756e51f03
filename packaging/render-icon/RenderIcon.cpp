// Renders the application's SVG picture to a square PNG of one size for the
// icon theme, at build time, through Qt's SVG image plugin. Fails rather than
// write a picture that came out empty or of the wrong size.

#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QSize>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kSmallest = 8;
constexpr int kLargest = 1024;

bool HasVisiblePixel(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: render-icon PICTURE.svg SIZE OUT.png\n");
        return 2;
    }
    // No display is needed to draw into an image.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    const int size = std::atoi(argv[2]);
    if (size < kSmallest || size > kLargest) {
        std::fprintf(stderr, "render-icon: size %s is not between %d and %d\n", argv[2], kSmallest,
                     kLargest);
        return 2;
    }
    QImageReader reader(QString::fromLocal8Bit(argv[1]), "svg");
    reader.setScaledSize(QSize(size, size));
    const QImage image = reader.read();
    if (image.isNull() || image.size() != QSize(size, size) || !HasVisiblePixel(image)) {
        std::fprintf(stderr, "render-icon: %s gave no %dx%d picture: %s\n", argv[1], size, size,
                     qPrintable(reader.errorString()));
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "render-icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
