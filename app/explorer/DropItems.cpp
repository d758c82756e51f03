#include "app/explorer/DropItems.h"

#include "app/explorer/DirectoryListModel.h"

#include <QMenu>
#include <QMimeData>
#include <QUrl>

DropItems ReadDropItems(const QMimeData* data) {
    DropItems items;
    if (data == nullptr)
        return items;
    const QString format = QString::fromLatin1(DirectoryListModel::kItemMimeType);
    if (data->hasFormat(format)) {
        const QList<QByteArray> lines = data->data(format).split('\n');
        for (qsizetype i = 0; i + 1 < lines.size() && items.paths.size() < kMaxDropItems; i += 2) {
            const QString computer = QString::fromUtf8(lines[i]);
            if (computer.isEmpty() || lines[i + 1].isEmpty())
                continue;
            if (items.paths.empty())
                items.computer = computer;
            if (computer == items.computer)
                items.paths.push_back(lines[i + 1].toStdString());
        }
        return items;
    }
    for (const QUrl& url : data->urls()) {
        if (items.paths.size() >= kMaxDropItems)
            break;
        std::string path = LocalFilePath(url);
        if (!path.empty())
            items.paths.push_back(std::move(path));
    }
    items.computer = QStringLiteral("127.0.0.1");
    items.fromDesktop = true;
    return items;
}

QUrl LocalFileUrl(const std::string& path) {
    const QByteArray bytes(path.data(), static_cast<qsizetype>(path.size()));
    return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode);
}

std::string LocalFilePath(const QUrl& url) {
    if (!url.isLocalFile())
        return {};
    // Decoded from the encoded form: the text form would turn bytes that are
    // not UTF-8 into replacement characters.
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

DropChoice AskDropChoice(QWidget* parent, const QPoint& where) {
    QMenu menu(parent);
    QAction* copy = menu.addAction(QStringLiteral("&Copy Here"));
    QAction* move = menu.addAction(QStringLiteral("&Move Here"));
    QAction* shortcut = menu.addAction(QStringLiteral("Create &Shortcut"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("C&ancel"));
    menu.setDefaultAction(copy);
    QAction* chosen = menu.exec(where);
    if (chosen == copy)
        return DropChoice::Copy;
    if (chosen == move)
        return DropChoice::Move;
    if (chosen == shortcut)
        return DropChoice::Shortcut;
    return DropChoice::Cancel;
}
