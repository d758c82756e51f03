#include "app/shell/transfers/TransferAgent.h"

#include "app/shell/frame/WindowKinds.h"
#include "app/shell/transfers/TransferAgentView.h"

#include <QMdiSubWindow>

TransferAgent::TransferAgent(WindowKinds& kinds, DrovickSettings& settings, FriendResolver* friends,
                             TransferDownloadOptions options, QObject* parent)
    : QObject(parent)
    , m_kinds(kinds)
    , m_settings(settings)
    , m_friends(friends)
    , m_options(options) {
    m_kinds.SetFactory(QString::fromLatin1(kKind), [this] { return MakeView(); });
}

TransferAgent::~TransferAgent() {
    // A window made later would point at an agent that is gone.
    m_kinds.SetFactory(QString::fromLatin1(kKind), {});
}

QWidget* TransferAgent::MakeView() {
    auto* view = new TransferAgentView(m_settings, m_friends, m_options);
    connect(view, &TransferAgentView::FolderReceived, this, &TransferAgent::FolderReceived);
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
