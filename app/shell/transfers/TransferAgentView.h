#pragma once

#include "app/peer/transfer/TransferAgentQueue.h"

#include <QTreeView>
#include <filesystem>
#include <memory>

class DrovickSettings;
class TransferAgentModel;

// The "Transfer Agent" window's content: the queue of downloads from friends'
// computers with its worker, shown as rows of "File name", "Host" and
// "Status". The worker never touches the window: every change of the queue
// reaches the model through a queued call, in the order it was made.
//
// Closing it while a download runs asks first and stops the workers. Opened
// for a copy request (auto-close), it closes itself once no row is waiting or
// in hand; finished rows keep their final state until "Clear finished".
class TransferAgentView : public QTreeView, private TransferQueueObserver {
    Q_OBJECT
public:
    // The column widths come from settings and go back to it as they change.
    // friends may be null; it must outlive the view.
    // With a queueFile, the downloads not yet done are kept there.
    TransferAgentView(DrovickSettings& settings, FriendResolver* friends,
                      TransferDownloadOptions options = {},
                      const std::filesystem::path& queueFile = {}, QWidget* parent = nullptr);
    // Stops the worker and waits for it.
    ~TransferAgentView() override;

    TransferAgentQueue& Queue() { return *m_queue; }
    TransferAgentModel& Model() const { return *m_model; }
    void SetAutoClose(bool autoClose) { m_queue->SetAutoClose(autoClose); }

    // The popup's commands: downloads taken out (one in hand is ended), the
    // workers stopped (the downloads in hand end at their next block) or
    // started again, the finished rows cleared.
    void RemoveSelected();
    void ClearFinished();
    void StopTransfers();
    void StartTransfers();
    // Room for the three columns as the settings keep them.
    QSize sizeHint() const override;

    static constexpr const char* kCloseQuestion =
        "Are you sure you want to close the Transfer\nAgent and stop your transfers?";

signals:
    // On the user-interface thread: a download wrote into this folder, so
    // windows showing it should refresh.
    void FolderReceived(const QString& folder);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void RowAdded(int row, const TransferQueueRow& shown) override;
    void RowStatusChanged(int row, const std::string& status) override;
    void RowRemoved(int row) override;
    void FolderChanged(const std::string& folder) override;
    void AutoCloseRequested() override;
    void AnnounceFolder(const QString& folder);
    void CloseWhenDone();
    void ShowPopup(const QPoint& position);
    void StoreColumnWidths();

    DrovickSettings& m_settings;
    // Declared before the queue: the queue (and its worker) goes first.
    std::unique_ptr<TransferAgentModel> m_model;
    std::unique_ptr<TransferAgentQueue> m_queue;
    // Set once a close was decided, so the close that follows asks nothing.
    bool m_closeDecided = false;
};
