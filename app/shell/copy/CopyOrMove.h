#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>

class CopyQuestions;
class TransferHandOff;

// One file to copy or move, each side named by its computer: "(Local)" or
// "127.0.0.1" for this computer, else a friend's address or e-mail address.
// Paths are the file names' bytes as the file system holds them: a name that
// is not UTF-8 must reach the disk and the transfer agent unchanged.
struct CopyOrMoveRequest {
    QString sourceComputer;
    QByteArray sourcePath;
    QString targetComputer;
    QByteArray targetPath; // the full path of the file to create
    bool move = false;
};

// The application's copy-or-move operation, used by paste, by drag and drop
// and by the search window's download. On this computer it copies or moves
// the file itself, asking before it replaces one (a replaced file goes to the
// trash when moving); with a friend's computer on either side it hands the
// file to the transfer agent.
//
// A local copy of a large file takes long, so it runs on a worker thread while
// the wait cursor shows and the window keeps painting; the result therefore
// arrives through a callback on the user-interface thread.
class CopyOrMove : public QObject {
    Q_OBJECT
public:
    static constexpr int kNothingDone = 0;
    static constexpr int kHandedOff = 1; // the agent queued a friend's file
    static constexpr int kDoneLocally = 2;

    // Both must outlive the operation.
    CopyOrMove(CopyQuestions& questions, TransferHandOff& handOff, QObject* parent = nullptr);
    // Waits for local copies still running; their callbacks then never run.
    ~CopyOrMove() override;

    // On the user-interface thread. finished gets 0 when nothing was done or
    // the local copy or move failed, 2 when it succeeded, and for a friend's
    // file the agent's answer (1 queued, 0 refused). Everything but a local
    // copy or move has finished before Start returns.
    using Finished = std::function<void(int result)>;
    void Start(const CopyOrMoveRequest& request, Finished finished);

    // Local copies and moves still running.
    int Running() const { return static_cast<int>(m_jobs.size()); }

    // "(Local)" and "127.0.0.1" both become "127.0.0.1"; other names stay.
    static QString ComputerAddress(const QString& computer);

private:
    void StartLocal(const CopyOrMoveRequest& request, bool replace, Finished finished);
    void JobDone(std::uint64_t id, int result);

    struct Job {
        std::thread worker;
        Finished finished;
    };

    CopyQuestions& m_questions;
    TransferHandOff& m_handOff;
    std::uint64_t m_nextJob = 0;
    // Touched on the user-interface thread only.
    std::map<std::uint64_t, Job> m_jobs;
};
