#pragma once

#include "app/peer/transfer/TransferAgentQueue.h"
#include "app/shell/copy/TransferHandOff.h"

#include <QObject>
#include <QString>
#include <memory>

// The transfer agent without its window: a queue that is opened for a hand-off
// and closes itself once its queue is done, as the window does when it was
// opened for a transfer. Lives on the user-interface thread; the queue's
// worker reaches it only through queued calls and signals.
class HeadlessTransferAgent : public QObject,
                              public TransferHandOff,
                              private TransferQueueObserver {
    Q_OBJECT
public:
    // friends may be null (then a friend's e-mail address finds no address);
    // it must outlive the agent.
    explicit HeadlessTransferAgent(FriendResolver* friends, TransferDownloadOptions options = {},
                                   QObject* parent = nullptr);
    // Stops the worker and waits for it.
    ~HeadlessTransferAgent() override;

    bool HandOff(const TransferItem& download) override;

    bool IsOpen() const { return m_queue != nullptr; }
    // The open agent's queue, else null.
    const TransferAgentQueue* Queue() const { return m_queue.get(); }

signals:
    // A download wrote into this folder, so windows showing it should refresh.
    void DownloadFolderChanged(const QString& folder);
    // The queue ran empty and the agent closed.
    void Closed();

private:
    void FolderChanged(const std::string& folder) override;
    void AutoCloseRequested() override;
    void CloseWhenDone();

    FriendResolver* m_friends;
    const TransferDownloadOptions m_options;
    std::unique_ptr<TransferAgentQueue> m_queue;
};
