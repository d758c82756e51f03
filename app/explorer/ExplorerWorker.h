#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <functional>
#include <memory>

class FileSystem;

// The thread through which an explorer window reaches its file system. A
// friend's computer may stop answering for the client's time limits, so no
// call of the window's FileSystem runs on the user-interface thread: the file
// system is even built here (building a remote one asks the friend for an
// instance).
//
// Jobs run one at a time in the order posted. Destroying the worker does not
// wait: the job in progress finishes (bounded by the client's time limits),
// the rest are dropped, and the file system is destroyed on the thread.
class ExplorerWorker {
public:
    using FileSystemMaker = std::function<std::unique_ptr<FileSystem>()>;
    // job gets the file system, or null when it could not be made.
    using Job = std::function<void(FileSystem*)>;

    explicit ExplorerWorker(FileSystemMaker make);
    ~ExplorerWorker();
    ExplorerWorker(const ExplorerWorker&) = delete;
    ExplorerWorker& operator=(const ExplorerWorker&) = delete;

    void Post(Job job);
    // Jobs posted and not finished yet (the one running included).
    int Pending() const;

    // Runs done on the user-interface thread unless context is gone by then.
    // Any thread.
    static void HandBack(QPointer<QObject> context, std::function<void()> done);
    // Waits until every worker thread of the process has ended or the bound
    // passes; true when all ended. For the end of the program and of tests.
    static bool WaitForAll(std::chrono::milliseconds bound);

private:
    struct State;
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
};
