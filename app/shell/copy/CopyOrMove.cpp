#include "app/shell/copy/CopyOrMove.h"

#include "app/files/LocalFileSystem.h"
#include "app/shell/copy/CopyQuestions.h"
#include "app/shell/copy/TransferHandOff.h"

#include <QCursor>
#include <QGuiApplication>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace {

bool Exists(const std::string& path) {
    std::error_code error;
    // A dangling symbolic link is still a file that a copy would replace.
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// The file work itself, on the worker: nothing here touches a window.
int CopyOrMoveHere(const std::string& source, const std::string& target, bool move, bool replace) {
    LocalFileSystem files;
    if (!move)
        return files.CopyFile(source, target, !replace) ? CopyOrMove::kDoneLocally
                                                        : CopyOrMove::kNothingDone;
    // A move never replaces: the old target goes to the trash first, and when
    // that fails the move fails on the file still in the way.
    if (replace && Exists(target))
        files.RecycleFile(target.c_str());
    return files.MoveFile(source, target) ? CopyOrMove::kDoneLocally : CopyOrMove::kNothingDone;
}

} // namespace

CopyOrMove::CopyOrMove(CopyQuestions& questions, TransferHandOff& handOff, QObject* parent)
    : QObject(parent)
    , m_questions(questions)
    , m_handOff(handOff) {}

CopyOrMove::~CopyOrMove() {
    for (auto& [id, job] : m_jobs) {
        job.worker.join();
        QGuiApplication::restoreOverrideCursor();
    }
}

QString CopyOrMove::ComputerAddress(const QString& computer) {
    if (computer == QLatin1String("(Local)"))
        return QString::fromLatin1(kLocalHostAddress);
    return computer;
}

void CopyOrMove::Start(const CopyOrMoveRequest& request, Finished finished) {
    const QString source = ComputerAddress(request.sourceComputer);
    const QString target = ComputerAddress(request.targetComputer);
    const QString local = QString::fromLatin1(kLocalHostAddress);
    if (source == target && request.sourcePath == request.targetPath) {
        finished(kNothingDone);
        return;
    }
    if (source != local || target != local) {
        TransferItem download{request.sourcePath.toStdString(), source.toStdString(),
                              request.targetPath.toStdString(), target.toStdString()};
        finished(m_handOff.HandOff(download) ? kHandedOff : kNothingDone);
        return;
    }
    bool replace = false;
    if (Exists(request.targetPath.toStdString())) {
        if (!m_questions.AskOverwrite(request.move ? QStringLiteral("Move File")
                                                   : QStringLiteral("Copy File"))) {
            // The copy or move would only fail on the file in the way.
            finished(kNothingDone);
            return;
        }
        replace = true;
    }
    StartLocal(request, replace, std::move(finished));
}

void CopyOrMove::StartLocal(const CopyOrMoveRequest& request, bool replace, Finished finished) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    const std::uint64_t id = m_nextJob++;
    Job& job = m_jobs[id];
    // The callback stays on this thread; the worker gets only the file work.
    job.finished = std::move(finished);
    job.worker =
        std::thread([this, id, source = request.sourcePath.toStdString(),
                     target = request.targetPath.toStdString(), move = request.move, replace] {
            // Below the window thread, so a long copy never takes its turn from it.
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
            int result = CopyOrMoveHere(source, target, move, replace);
            // Queued to the user-interface thread; dropped when this object is gone.
            QMetaObject::invokeMethod(
                this, [this, id, result] { JobDone(id, result); }, Qt::QueuedConnection);
        });
}

void CopyOrMove::JobDone(std::uint64_t id, int result) {
    auto found = m_jobs.find(id);
    if (found == m_jobs.end())
        return;
    found->second.worker.join();
    Finished finished = std::move(found->second.finished);
    m_jobs.erase(found);
    QGuiApplication::restoreOverrideCursor();
    finished(result);
}
