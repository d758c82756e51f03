#pragma once

// What the window tests share: one QApplication for the program, a way to run
// its event loop until something holds, and screenshots on request.

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdlib>

// Included by one file per test program. Font configuration keeps a cache for the life of the process, which the leak
// checker of the sanitizer build would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace shelltest {

inline QApplication& Application() {
    static int argc = 1;
    static char name[] = "shell-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until the condition holds or the limit passes.
template <typename Condition>
bool ProcessUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > limit.count())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// With SHELL_SCREENSHOTS set to a folder, writes the widget there as a PNG.
inline void Screenshot(QWidget& widget, const QString& name) {
    const char* folder = std::getenv("SHELL_SCREENSHOTS");
    if (folder == nullptr || *folder == '\0')
        return;
    QApplication::processEvents();
    widget.grab().save(QString::fromLocal8Bit(folder) + "/" + name + ".png");
}

} // namespace shelltest
