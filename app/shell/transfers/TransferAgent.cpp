#include "app/shell/transfers/TransferAgent.h"

#include "app/peer/transfer/TransferQueueFile.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/transfers/TransferAgentView.h"

#include <QMdiSubWindow>

TransferAgent::TransferAgent(WindowKinds& kinds, DrovickSettings& settings, FriendResolver* friends,
                             TransferDownloadOptions options, std::filesystem::path queueFile,
                             QObject* parent)
    : QObject(parent)
    , m_kinds(kinds)
    , m_settings(settings)
    , m_friends(friends)
    , m_options(options)
    , m_queueFile(std::move(queueFile)) {
    m_kinds.SetFactory(QString::fromLatin1(kKind), [this] { return MakeView(); });
    if (!m_queueFile.empty())
        QMetaObject::invokeMethod(this, &TransferAgent::ResumeSaved, Qt::QueuedConnection);
}

void TransferAgent::ResumeSaved() {
    const QString kind = QString::fromLatin1(kKind);
    if (m_kinds.IsOpen(kind) || LoadTransferQueue(m_queueFile).empty())
        return;
    m_kinds.Open(kind);
    // Opened for the downloads, as a hand-off would have opened it.
    if (TransferAgentView* view = View())
        view->SetAutoClose(true);
}

TransferAgent::~TransferAgent() {
    // A window made later would point at an agent that is gone.
    m_kinds.SetFactory(QString::fromLatin1(kKind), {});
}

QWidget* TransferAgent::MakeView() {
    auto* view = new TransferAgentView(m_settings, m_friends, m_options, m_queueFile);
    connect(view, &TransferAgentView::FolderReceived, this, &TransferAgent::FolderReceived);
    // After whoever opened it has marked it for auto-close.
    QMetaObject::invokeMethod(
        view, [view] { view->Queue().RestoreSaved(); }, Qt::QueuedConnection);
    return view;
}

TransferAgentView* TransferAgent::View() const {
    return qobject_cast<TransferAgentView*>(m_kinds.ContentOf(QString::fromLatin1(kKind)));
}

bool TransferAgent::HandOff(const TransferItem& download) {
    const QString kind = QString::fromLatin1(kKind);
    const bool wasOpen = m_kinds.IsOpen(kind);
    m_kinds.Open(kind);
    TransferAgentView* view = View();
    if (!view)
        return false;
    if (!wasOpen)
        view->SetAutoClose(true);
    const bool queued =
        view->Queue().AddTransfer(download.sourcePath, download.sourceHost,
                                  download.destinationPath, download.destinationHost);
    // A window opened for a download it refused would wait for nothing.
    if (!queued && !wasOpen)
        m_kinds.Close(kind);
    return queued;
}
