#include "app/shell/sharing/SharedDirectoryListView.h"

#include "app/shell/resources/ShellIcons.h"
#include "app/shell/sharing/SharedFolderListModel.h"
#include "app/shell/sharing/SharingPropertiesDialog.h"

#include <QMenu>

SharedDirectoryListView::SharedDirectoryListView(std::shared_ptr<ShareTable> table,
                                                 ShareEditor& editor, QWidget* parent)
    : QListView(parent)
    , m_editor(editor)
    , m_model(std::make_unique<SharedFolderListModel>(std::move(table))) {
    setObjectName(QStringLiteral("SharedDirectoryList"));
    setWindowTitle(QStringLiteral("Shared Directory List"));
    setViewMode(QListView::ListMode);
    setIconSize(QSize(16, 16));
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setModel(m_model.get());
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &SharedDirectoryListView::ShowPopup);
    connect(this, &QAbstractItemView::activated, this, &SharedDirectoryListView::EditSharing);
    setWindowIcon(ShellIcons::Get("shared"));
}

SharedDirectoryListView::~SharedDirectoryListView() {
    // The view lets go of the model before the model goes.
    setModel(nullptr);
}

bool SharedDirectoryListView::EditSharing(const QModelIndex& index) {
    if (!index.isValid())
        return false;
    const QByteArray path = index.data(SharedFolderListModel::kPathRole).toByteArray();
    // The list follows the table, so a change shows without more work here.
    return SharingPropertiesDialog::Run(this, path.toStdString(), m_editor);
}

void SharedDirectoryListView::ShowPopup(const QPoint& position) {
    const QModelIndex index = indexAt(position);
    if (!index.isValid())
        return;
    QMenu popup(this);
    QAction* sharing = popup.addAction(QStringLiteral("S&haring..."));
    if (popup.exec(viewport()->mapToGlobal(position)) == sharing)
        EditSharing(index);
}
