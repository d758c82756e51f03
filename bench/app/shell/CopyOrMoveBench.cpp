// How long the user-interface thread goes without turning while copy-or-move
// copies a large local file, against the same copy made on that thread.
// Run by hand from a Release build:
//   bench_shell_CopyOrMoveBench [MiB, default 512] [folder, default /tmp]

#include "app/files/LocalFileSystem.h"
#include "app/shell/copy/CopyOrMove.h"
#include "app/shell/copy/CopyQuestions.h"
#include "app/shell/copy/TransferHandOff.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class AlwaysYes : public CopyQuestions {
public:
    bool AskOverwrite(const QString&) override { return true; }
};

class NoAgent : public TransferHandOff {
public:
    bool HandOff(const TransferItem&) override { return false; }
};

void WriteFile(const std::filesystem::path& path, long mebibytes) {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 + 7);
    std::ofstream out(path, std::ios::binary);
    for (long i = 0; i < mebibytes; ++i)
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// The longest gap between ticks of a 5 ms timer while the loop runs.
class StallMeter : public QObject {
public:
    StallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
        m_sinceTick.start();
        m_timer.start(5);
    }
    qint64 LongestMs() const { return std::max(m_longest, m_sinceTick.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const long mebibytes = argc > 1 ? std::max(1L, std::atol(argv[1])) : 512;
    const std::filesystem::path folder = std::filesystem::path(argc > 2 ? argv[2] : "/tmp") /
                                         ("copy-or-move-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const auto source = folder / "source.bin";
    WriteFile(source, mebibytes);

    AlwaysYes questions;
    NoAgent agent;
    CopyOrMove operation(questions, agent);
    {
        StallMeter meter;
        QElapsedTimer clock;
        clock.start();
        QEventLoop loop;
        int result = -1;
        operation.Start({"(Local)", QString::fromStdString(source.string()), "(Local)",
                         QString::fromStdString((folder / "worker.bin").string()), false},
                        [&](int value) {
                            result = value;
                            loop.quit();
                        });
        loop.exec();
        const qint64 took = clock.elapsed();
        std::printf("copy-or-move of %ld MiB: result %d, %lld ms (%.0f MiB/s), "
                    "user-interface thread stalled at most %lld ms\n",
                    mebibytes, result, static_cast<long long>(took),
                    took > 0 ? mebibytes * 1000.0 / static_cast<double>(took) : 0.0,
                    static_cast<long long>(meter.LongestMs()));
    }
    {
        // The same copy on the user-interface thread, for comparison.
        StallMeter meter;
        QElapsedTimer clock;
        clock.start();
        LocalFileSystem files;
        bool copied = files.CopyFile(source.string(), (folder / "inline.bin").string(), false);
        const qint64 took = clock.elapsed();
        QCoreApplication::processEvents();
        std::printf("the same copy on the user-interface thread: %s, %lld ms, "
                    "stalled %lld ms\n",
                    copied ? "done" : "failed", static_cast<long long>(took),
                    static_cast<long long>(meter.LongestMs()));
    }
    std::filesystem::remove_all(folder);
    return 0;
}
