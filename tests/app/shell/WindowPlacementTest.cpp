#include "app/shell/frame/WindowPlacement.h"

#include <QTest>
#include <climits>

// The placement rule for a tool window's saved rectangle inside the main
// window's client area.
class WindowPlacementTest : public QObject {
    Q_OBJECT
private slots:
    void RectWithoutSizeKeepsTheDefaultPlacement() {
        const QSize client(800, 600);
        QVERIFY(!WindowPlacement::Place({10, 10, 10, 300}, client));
        QVERIFY(!WindowPlacement::Place({10, 10, 300, 10}, client));
        QVERIFY(!WindowPlacement::Place({300, 10, 10, 300}, client));
        QVERIFY(!WindowPlacement::Place({}, client));
        // Edges far apart must not wrap round into a small positive width.
        QVERIFY(!WindowPlacement::Place({INT_MAX, 0, INT_MIN, 100}, client));
    }

    void NegativeCornerMovesToZeroKeepingTheSize() {
        const auto placed = WindowPlacement::Place({-50, -30, 150, 170}, QSize(800, 600));
        QVERIFY(placed);
        QCOMPARE(*placed, QRect(0, 0, 200, 200));
    }

    void CornerBeyondTheClientAreaIsPulledBackTwentyInside() {
        const auto placed = WindowPlacement::Place({5000, 4000, 5300, 4100}, QSize(800, 600));
        QVERIFY(placed);
        QCOMPARE(*placed, QRect(780, 580, 300, 100));
        // A client area narrower than the margin leaves the window at 0.
        const auto tiny = WindowPlacement::Place({100, 100, 200, 200}, QSize(10, 10));
        QVERIFY(tiny);
        QCOMPARE(tiny->topLeft(), QPoint(0, 0));
    }

    void RectRoundTripsThroughTheSettings() {
        const QRect rect(12, 34, 560, 78);
        const SettingsRect saved = WindowPlacement::ToSettings(rect);
        QCOMPARE(saved, (SettingsRect{12, 34, 572, 112}));
        QCOMPARE(*WindowPlacement::Place(saved, QSize(2000, 2000)), rect);
    }
};

QTEST_APPLESS_MAIN(WindowPlacementTest)
#include "WindowPlacementTest.moc"
