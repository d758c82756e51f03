// The info bar and its tip rotation: the first tip shortly after start, a
// repaint only when the text changes.

#include "ShellGuiTestSupport.h"
#include "app/shell/infobar/InfoBar.h"
#include "app/shell/infobar/TipRotation.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <gtest/gtest.h>

namespace {

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST(InfoBarGuiTest, ShowsTheFirstTipSoonAndRepaintsOnlyOnChange) {
    shelltest::Application();
    InfoBar bar;
    bar.resize(700, bar.sizeHint().height());
    EXPECT_EQ(bar.Text(), "default");
    EXPECT_GE(bar.sizeHint().height(), 2 * QFontMetrics(QApplication::font("QStatusBar")).height());
    bar.show();
    PaintCounter counter;
    bar.installEventFilter(&counter);

    TipRotation rotation(TipList("http://127.0.0.1:8080/", 3), bar);
    rotation.Start();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return bar.Text() != "default"; }));
    EXPECT_TRUE(TipList::Texts("http://127.0.0.1:8080/").contains(bar.Text()));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return counter.paints > 0; }));
    shelltest::Screenshot(bar, "info-bar");

    // Every paint the show and the first tip asked for comes first: the count
    // holds still for half a second.
    int settled = -1;
    while (settled != counter.paints) {
        settled = counter.paints;
        QElapsedTimer quiet;
        quiet.start();
        while (quiet.elapsed() < 500)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const int paints = counter.paints;
    bar.ShowText(bar.Text());
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, paints);
    bar.ShowText("Another text");
    EXPECT_TRUE(shelltest::ProcessUntil([&] { return counter.paints > paints; }));
}

} // namespace
