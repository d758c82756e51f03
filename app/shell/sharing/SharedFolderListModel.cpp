#include "app/shell/sharing/SharedFolderListModel.h"

#include "app/files/ShareTable.h"
#include "app/shell/resources/ShellIcons.h"

#include <QFile>
#include <algorithm>

SharedFolderListModel::SharedFolderListModel(std::shared_ptr<ShareTable> table, QObject* parent)
    : QAbstractListModel(parent)
    , m_table(std::move(table)) {
    // The listener only posts: it runs on whichever thread changed the table.
    m_listener = m_table->AddListener([this] {
        if (!m_reloadPending.exchange(true))
            QMetaObject::invokeMethod(this, &SharedFolderListModel::Reload, Qt::QueuedConnection);
    });
    Reload();
}

SharedFolderListModel::~SharedFolderListModel() {
    // Once it returns no listener call is running; a reload already posted
    // goes with this object.
    m_table->RemoveListener(m_listener);
}

void SharedFolderListModel::Reload() {
    m_reloadPending.store(false);
    std::vector<QByteArray> paths;
    for (const std::string& entry : m_table->Entries()) {
        QByteArray path = QByteArray::fromStdString(entry);
        if (path.size() > 1 && path.endsWith('/'))
            path.chop(1);
        paths.push_back(std::move(path));
    }
    std::sort(paths.begin(), paths.end(), [](const QByteArray& a, const QByteArray& b) {
        const int order = a.compare(b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a < b;
    });
    // A handful of rows: a reset is cheaper than working out the difference.
    beginResetModel();
    m_paths = std::move(paths);
    endResetModel();
    emit Reloaded();
}

int SharedFolderListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_paths.size());
}

QVariant SharedFolderListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const QByteArray& path = m_paths[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QFile::decodeName(path);
    case Qt::DecorationRole:
        return ShellIcons::Get("shared-folder");
    case kPathRole:
        return path;
    default:
        return {};
    }
}
