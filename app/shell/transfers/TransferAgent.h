#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/shell/copy/TransferHandOff.h"

#include <QObject>
#include <QString>
#include <filesystem>

class DrovickSettings;
class TransferAgentView;
class WindowKinds;

// The program's transfer agent: it makes the "Transfer Agent" tool window
// (its factory in the window kinds) and is the hand-off of copy-or-move. A
// download handed off opens the window when it is closed, marking it to close
// itself once no download is left to do; a window the user opened stays open.
// With a queue file, a window brings back the downloads an earlier one left,
// and downloads left at the last exit open the window once the event loop
// runs.
// Lives on the user-interface thread, as long as the window kinds.
class TransferAgent : public QObject, public TransferHandOff {
    Q_OBJECT
public:
    static constexpr const char* kKind = "transfers";

    // friends may be null; settings, kinds and friends must outlive the agent.
    TransferAgent(WindowKinds& kinds, DrovickSettings& settings, FriendResolver* friends,
                  TransferDownloadOptions options = {}, std::filesystem::path queueFile = {},
                  QObject* parent = nullptr);
    ~TransferAgent() override;

    bool HandOff(const TransferItem& download) override;
    // The open window, else null.
    TransferAgentView* View() const;

signals:
    // A download wrote into this folder ("Pellow Transfer Done"): explorer
    // windows showing it refresh.
    void FolderReceived(const QString& folder);

private:
    QWidget* MakeView();
    void ResumeSaved();

    WindowKinds& m_kinds;
    DrovickSettings& m_settings;
    FriendResolver* m_friends;
    const TransferDownloadOptions m_options;
    const std::filesystem::path m_queueFile;
};
