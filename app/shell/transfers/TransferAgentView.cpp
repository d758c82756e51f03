#include "app/shell/transfers/TransferAgentView.h"

#include "app/files/DrovickSettings.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/resources/ShellIcons.h"
#include "app/shell/transfers/TransferAgentModel.h"
#include "platform/MessageBus.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <algorithm>

namespace {
// A stored width outside these bounds is a damaged file, not a choice.
constexpr int kNarrowest = 20;
constexpr int kWidest = 4000;
} // namespace

TransferAgentView::TransferAgentView(DrovickSettings& settings, FriendResolver* friends,
                                     TransferDownloadOptions options,
                                     const std::filesystem::path& queueFile, QWidget* parent)
    : QTreeView(parent)
    , m_settings(settings)
    , m_model(std::make_unique<TransferAgentModel>())
    , m_queue(std::make_unique<TransferAgentQueue>(static_cast<TransferQueueObserver*>(this),
                                                   friends, options, queueFile)) {
    setObjectName(QStringLiteral("TransferAgent"));
    setWindowTitle(QStringLiteral("Transfer Agent"));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    // A path's end names the file.
    setTextElideMode(Qt::ElideMiddle);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setModel(m_model.get());
    header()->setStretchLastSection(true);
    for (int column = 0; column < TransferAgentModel::kColumnCount; ++column)
        header()->resizeSection(
            column, std::clamp(m_settings.transferColumnWidths[static_cast<std::size_t>(column)],
                               kNarrowest, kWidest));
    // Kept in the settings as they change: the settings are saved before the
    // windows of an ending program are destroyed.
    connect(header(), &QHeaderView::sectionResized, this, &TransferAgentView::StoreColumnWidths);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &TransferAgentView::ShowPopup);
    setWindowIcon(ShellIcons::Get("transfers"));
}

QSize TransferAgentView::sizeHint() const {
    int width = frameWidth() * 2 + verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < TransferAgentModel::kColumnCount; ++column)
        width += header()->sectionSize(column);
    return {std::max(width, 360), 200};
}

TransferAgentView::~TransferAgentView() {
    // The worker may still call the observer until the queue has waited for it.
    m_queue.reset();
    setModel(nullptr);
}

void TransferAgentView::StoreColumnWidths() {
    for (int column = 0; column < TransferAgentModel::kColumnCount; ++column)
        m_settings.transferColumnWidths[static_cast<std::size_t>(column)] =
            header()->sectionSize(column);
}

// The observer calls come on the queue's worker (or on this thread, for a
// row added), under the queue's lock: each only posts.
void TransferAgentView::RowAdded(int row, const TransferQueueRow& shown) {
    QMetaObject::invokeMethod(
        this, [this, row, shown] { m_model->AddRow(row, shown); }, Qt::QueuedConnection);
}

void TransferAgentView::RowStatusChanged(int row, const std::string& status) {
    QMetaObject::invokeMethod(
        this, [this, row, text = QString::fromStdString(status)] { m_model->SetStatus(row, text); },
        Qt::QueuedConnection);
}

void TransferAgentView::RowRemoved(int row) {
    QMetaObject::invokeMethod(
        this, [this, row] { m_model->RemoveRow(row); }, Qt::QueuedConnection);
}

void TransferAgentView::FolderChanged(const std::string& folder) {
    QMetaObject::invokeMethod(
        this,
        [this, text = QFile::decodeName(QByteArray::fromStdString(folder))] {
            AnnounceFolder(text);
        },
        Qt::QueuedConnection);
}

void TransferAgentView::AutoCloseRequested() {
    QMetaObject::invokeMethod(this, &TransferAgentView::CloseWhenDone, Qt::QueuedConnection);
}

void TransferAgentView::AnnounceFolder(const QString& folder) {
    emit FolderReceived(folder);
    // Told on the session bus too, as other programs of the session expect.
    if (const std::uint32_t number =
            platform::MessageBus::RegisterMessage(SessionMessages::kTransferDone))
        platform::MessageBus::PostToAll(number);
}

void TransferAgentView::CloseWhenDone() {
    // A download queued after the worker asked keeps the window open; the
    // worker asks again once that one is done.
    if (m_queue->PendingCount() != 0)
        return;
    m_queue->StopWorker(true);
    m_closeDecided = true;
    if (auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
        frame->close();
    else
        close();
}

void TransferAgentView::closeEvent(QCloseEvent* event) {
    if (!m_closeDecided && m_queue->IsWorkerActive()) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Transfer Agent"), QString::fromLatin1(kCloseQuestion),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        m_queue->StopWorker(true);
        QGuiApplication::restoreOverrideCursor();
    }
    m_closeDecided = true;
    event->accept();
}

void TransferAgentView::RemoveSelected() {
    std::vector<std::pair<std::string, std::string>> chosen;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        chosen.emplace_back(m_model->SourceOf(index.row()));
    for (const auto& [fileName, host] : chosen)
        m_queue->Remove(fileName, host);
}

void TransferAgentView::ClearFinished() {
    m_queue->ClearFinished();
}

void TransferAgentView::StopTransfers() {
    m_queue->StopWorker(false);
}

void TransferAgentView::StartTransfers() {
    if (m_queue->PendingCount() != 0)
        m_queue->StartWorker();
}

void TransferAgentView::ShowPopup(const QPoint& position) {
    QMenu popup(this);
    QAction* remove = popup.addAction(QStringLiteral("&Remove"));
    remove->setEnabled(selectionModel()->hasSelection());
    QAction* stop = popup.addAction(QStringLiteral("&Stop Transfers"));
    stop->setEnabled(m_queue->IsWorkerActive());
    QAction* start = popup.addAction(QStringLiteral("S&tart Transfers"));
    start->setEnabled(!m_queue->IsWorkerActive() && m_queue->PendingCount() != 0);
    popup.addSeparator();
    QAction* clear = popup.addAction(QStringLiteral("&Clear finished"));
    clear->setEnabled(m_queue->PendingCount() != m_queue->RowCount());
    QAction* chosen = popup.exec(viewport()->mapToGlobal(position));
    if (chosen == remove)
        RemoveSelected();
    else if (chosen == stop)
        StopTransfers();
    else if (chosen == start)
        StartTransfers();
    else if (chosen == clear)
        ClearFinished();
}
