// The program's pictures and the help page. With DROVICK_SCREENSHOT_DIR set,
// a sheet of every bundled picture at 16, 32 and 52 px (and the 16 px one
// enlarged three times, to judge its pixels) is saved there.

#include "app/shell/resources/HelpLocation.h"
#include "app/shell/resources/ShellIcons.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTest>

namespace {

// Pixels that are not fully transparent: a picture that failed to load or
// render has none.
int PaintedPixels(const QImage& image) {
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            painted += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
    return painted;
}

} // namespace

class ShellResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void everyPictureRendersAtToolbarAndDesktopSizes() {
        const QStringList names = ShellIcons::Names();
        QCOMPARE(names.size(), 16);
        const QList<int> sizes{16, 32, 52, 64};
        QImage sheet(names.size() * 60 + 8, 8 + 16 + 32 + 52 + 48 + 4 * 8 + 8,
                     QImage::Format_ARGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (int column = 0; column < names.size(); ++column) {
            const QByteArray name = names[column].toLatin1();
            QIcon icon = ShellIcons::Bundled(name.constData());
            QVERIFY2(!icon.isNull(), name.constData());
            int y = 8;
            for (int size : sizes) {
                QImage image = icon.pixmap(size).toImage();
                QCOMPARE(image.width(), size);
                // Drawn pictures fill a good part of their square.
                QVERIFY2(PaintedPixels(image) > size * size / 4, name.constData());
                if (size != 64) {
                    painter.drawImage(8 + column * 60, y, image);
                    y += size + 8;
                }
                if (size == 16)
                    painter.drawImage(
                        8 + column * 60, 8 + 16 + 32 + 52 + 3 * 8,
                        image.scaled(48, 48, Qt::IgnoreAspectRatio, Qt::FastTransformation));
            }
            QVERIFY(!ShellIcons::Get(name.constData()).isNull());
        }
        painter.end();
        QVERIFY(ShellIcons::Get("no-such-picture").isNull());
        QVERIFY(ShellIcons::Get(nullptr).isNull());
        const QString folder = qEnvironmentVariable("DROVICK_SCREENSHOT_DIR");
        if (!folder.isEmpty())
            QVERIFY(sheet.save(folder + "/icon-sheet.png"));
    }

    // Without a theme that knows the names, the bundled picture is used.
    void withoutAThemeThePicturesAreTheBundledOnes() {
        QIcon::setThemeSearchPaths({});
        QIcon::setThemeName(QStringLiteral("none-such"));
        QImage fromGet = ShellIcons::Get("search").pixmap(32).toImage();
        QImage bundled = ShellIcons::Bundled("search").pixmap(32).toImage();
        QCOMPARE(fromGet, bundled);
    }

    void helpPageIsFoundFromTheBuildTree() {
        const QString page = HelpLocation::IndexPage();
        QVERIFY2(page.endsWith("help/index.html"), qPrintable(page));
        QFile file(page);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        for (const char* port : {"3782", "3785", "3791", "3794", "1287"})
            QVERIFY2(text.contains(port), port);
        // An installed page comes first: beside the program's folder.
        const QStringList places = HelpLocation::Candidates("/opt/drovick/bin");
        QCOMPARE(places.value(0), QString("/opt/drovick/share/drovick/help/index.html"));
    }
};

QTEST_MAIN(ShellResourcesTest)
#include "ShellResourcesTest.moc"
