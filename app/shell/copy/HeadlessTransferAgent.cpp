#include "app/shell/copy/HeadlessTransferAgent.h"

HeadlessTransferAgent::HeadlessTransferAgent(FriendResolver* friends,
                                             TransferDownloadOptions options, QObject* parent)
    : QObject(parent)
    , m_friends(friends)
    , m_options(options) {}

HeadlessTransferAgent::~HeadlessTransferAgent() {
    // The queue's destructor waits for the worker, which may still call us.
    m_queue.reset();
}

bool HeadlessTransferAgent::HandOff(const TransferItem& download) {
    if (!m_queue) {
        m_queue = std::make_unique<TransferAgentQueue>(static_cast<TransferQueueObserver*>(this),
                                                       m_friends, m_options);
        m_queue->SetAutoClose(true);
    }
    return m_queue->AddTransfer(download.sourcePath, download.sourceHost, download.destinationPath,
                                download.destinationHost);
}

void HeadlessTransferAgent::FolderChanged(const std::string& folder) {
    // Emitted on the worker; receivers on the user-interface thread get it queued.
    emit DownloadFolderChanged(QString::fromStdString(folder));
}

void HeadlessTransferAgent::AutoCloseRequested() {
    QMetaObject::invokeMethod(this, &HeadlessTransferAgent::CloseWhenDone, Qt::QueuedConnection);
}

void HeadlessTransferAgent::CloseWhenDone() {
    // A hand-off that came after the worker asked keeps the agent open; the
    // worker asks again once that download is done.
    if (!m_queue || m_queue->PendingCount() != 0)
        return;
    m_queue.reset();
    emit Closed();
}
