#include "app/shell/monitor/NetworkMonitorView.h"

#include "app/files/LogEvent.h"
#include "app/shell/monitor/NetworkMonitorFeed.h"
#include "app/shell/monitor/NetworkMonitorModel.h"

#include <QHeaderView>
#include <QScrollBar>

namespace {
constexpr int kColumnWidth = 300;
}

NetworkMonitorView::NetworkMonitorView(LogEvent& log, QWidget* parent)
    : NetworkMonitorView(log, NetworkMonitorModel::kDefaultCapacity, parent) {}

NetworkMonitorView::NetworkMonitorView(LogEvent& log, std::size_t capacity, QWidget* parent)
    : QTreeView(parent)
    , m_log(log)
    , m_model(std::make_unique<NetworkMonitorModel>(capacity))
    , m_feed(std::make_unique<NetworkMonitorFeed>(*m_model)) {
    setWindowTitle(tr("Network Monitor"));
    // A flat report list: one column with its header, no tree decoration.
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true); // keeps a hundred thousand rows cheap to lay out
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    setModel(m_model.get());
    // 300 pixels at least; a wider window gives the rows its whole width.
    header()->setMinimumSectionSize(kColumnWidth);
    header()->resizeSection(0, kColumnWidth);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(m_feed.get(), &NetworkMonitorFeed::RowsAppended, this,
            &NetworkMonitorView::FollowNewest);
    m_log.Register(m_feed.get());
}

NetworkMonitorView::~NetworkMonitorView() {
    // On return no worker is inside the feed any more.
    m_log.Unregister(m_feed.get());
}

void NetworkMonitorView::FollowNewest() {
    scrollToBottom();
}
