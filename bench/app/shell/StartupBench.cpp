// From the start of the program to its main window shown, with "Show main
// window on start" set and the four peer servers started, and the resident
// memory then. Each round is a process of its own (this program run again with
// --once), as a start is only ever measured once per process; the figures are
// the median and the largest of the rounds.
//
//   bench_shell_StartupBench [ROUNDS]
//
// Run it in a network namespace of its own: the servers take their fixed ports.
#include "app/files/DrovickSettings.h"
#include "app/shell/frame/DrovickApplication.h"
#include "app/shell/frame/MainFrame.h"

#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Milliseconds since this process began, from the kernel's start time.
double MillisecondsSinceProcessStart() {
    // The whole of /proc/self/stat is one line.
    std::ifstream stat("/proc/self/stat");
    std::string text;
    std::getline(stat, text);
    // Field 22 (starttime, in clock ticks since boot) follows the ")" of the name.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int index = 3; index < 22 && fields >> field;)
        ++index;
    unsigned long long startTicks = 0;
    fields >> startTicks;
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double nowMs = boot.tv_sec * 1000.0 + boot.tv_nsec / 1e6;
    return nowMs - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

class ShownProbe : public QObject {
public:
    double shownMs = -1;
    long residentKiB = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && shownMs < 0 &&
            watched->objectName() == QStringLiteral("MainFrame")) {
            shownMs = MillisecondsSinceProcessStart();
            residentKiB = ResidentKiB();
        }
        return false;
    }
};

int RunOnce(int argc, char** argv) {
    DrovickApplication application(argc, argv);
    ShownProbe probe;
    application.installEventFilter(&probe);
    QTimer::singleShot(0, [&application] {
        if (application.Frame())
            application.Frame()->Exit();
    });
    application.Run();
    std::printf("%.1f %ld\n", probe.shownMs, probe.residentKiB);
    std::fflush(stdout);
    // The presence start may still be inside the library; the figures are out.
    std::_Exit(probe.shownMs < 0 ? 1 : 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0)
        return RunOnce(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    // One prepared user for every round: the window shown at start.
    char folder[] = "/tmp/drovick-startup-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string home = folder;
    std::filesystem::create_directories(home + "/run");
    std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("HALVARA_ADDRESS", "127.0.0.2", 0);
    // No directory answers: the presence start runs beside, as it would.
    setenv("HALVARA_DIRECTORY", "127.0.0.1:9", 0);
    {
        DrovickSettings settings;
        settings.showMainWindowOnStart = 1;
        const auto file = DrovickSettings::LocationOf();
        std::filesystem::create_directories(file.parent_path());
        settings.SaveSettings(file);
    }

    std::vector<double> shown;
    std::vector<long> resident;
    for (int round = 0; round < rounds; ++round) {
        const std::string command = std::string("'") + argv[0] + "' --once";
        FILE* child = popen(command.c_str(), "r");
        double ms = -1;
        long kib = -1;
        if (!child || std::fscanf(child, "%lf %ld", &ms, &kib) != 2 || ms < 0) {
            std::fprintf(stderr, "round %d: the window did not show\n", round);
            if (child)
                pclose(child);
            continue;
        }
        pclose(child);
        shown.push_back(ms);
        resident.push_back(kib);
    }
    std::filesystem::remove_all(home);
    if (shown.empty())
        return 1;
    std::sort(shown.begin(), shown.end());
    std::sort(resident.begin(), resident.end());
    std::printf("rounds %zu\n", shown.size());
    std::printf("start to main window shown: median %.1f ms, largest %.1f ms (target < 400)\n",
                shown[shown.size() / 2], shown.back());
    std::printf("resident memory then: median %.1f MiB, largest %.1f MiB (target < 80)\n",
                resident[resident.size() / 2] / 1024.0, resident.back() / 1024.0);
    return 0;
}
