#include "app/explorer/ExplorerIcons.h"

#include "app/files/SystemIconTable.h"

#include <QApplication>
#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>

namespace {

// Without a desktop session Qt's icon theme is "hicolor", which holds no file
// type or folder icons. An installed freedesktop theme takes its place, as the
// theme itself rather than as the fallback: Qt reads a theme's fallback once,
// when it first loads the theme, and the program's other windows have loaded
// "hicolor" long before the first explorer draws a file. A theme the desktop
// chose is left alone.
void UseInstalledThemeOnce() {
    static const bool done = [] {
        const QString current = QIcon::themeName();
        if (!current.isEmpty() && current != QStringLiteral("hicolor"))
            return true;
        for (const QString& base : QIcon::themeSearchPaths()) {
            if (QFileInfo::exists(base + QStringLiteral("/Adwaita/index.theme"))) {
                QIcon::setThemeName(QStringLiteral("Adwaita"));
                break;
            }
        }
        return true;
    }();
    (void)done;
}

QIcon Themed(const std::string& name, const std::string& fallback) {
    UseInstalledThemeOnce();
    QIcon icon = QIcon::fromTheme(QString::fromStdString(name));
    if (icon.isNull() && !fallback.empty())
        icon = QIcon::fromTheme(QString::fromStdString(fallback));
    return icon;
}

// The folder picture with a badge that reads at 16 px: a small green
// disc with an outward arrow in its lower left corner.
QPixmap WithShareBadge(const QIcon& folder, int size) {
    QPixmap picture = folder.pixmap(size, size);
    if (picture.isNull()) {
        picture = QPixmap(size, size);
        picture.fill(Qt::transparent);
    }
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal badge = size * 0.55;
    const QRectF circle(0.5, size - badge - 0.5, badge, badge);
    painter.setPen(QPen(QColor(255, 255, 255), qMax(1.0, size / 16.0)));
    painter.setBrush(QColor(38, 132, 64));
    painter.drawEllipse(circle);
    QPainterPath arrow;
    const QPointF c = circle.center();
    const qreal r = badge * 0.28;
    arrow.moveTo(c.x() - r, c.y() + r);
    arrow.lineTo(c.x() + r, c.y() - r);
    arrow.moveTo(c.x() + r * 0.1, c.y() - r);
    arrow.lineTo(c.x() + r, c.y() - r);
    arrow.lineTo(c.x() + r, c.y() - r * 0.1);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arrow);
    return picture;
}

} // namespace

QIcon ExplorerIcons::ByIndex(std::int32_t index, bool folder) {
    if (folder && SystemIconTable::NamesAt(index).name.empty())
        return Folder();
    auto found = m_byIndex.constFind(index);
    if (found != m_byIndex.constEnd())
        return *found;
    const IconNames names = SystemIconTable::NamesAt(index);
    QIcon icon = Themed(names.name, names.fallbackName);
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(
            names.name.rfind("folder", 0) == 0 ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    m_byIndex.insert(index, icon);
    return icon;
}

QIcon ExplorerIcons::Folder() {
    if (m_folder.isNull()) {
        m_folder = Themed("folder", {});
        if (m_folder.isNull())
            m_folder = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    }
    return m_folder;
}

QIcon ExplorerIcons::SharedFolder() {
    if (m_sharedFolder.isNull()) {
        m_sharedFolder = Themed("folder-publicshare", {});
        if (m_sharedFolder.isNull()) {
            for (int size : {16, 22, 32, 48})
                m_sharedFolder.addPixmap(WithShareBadge(Folder(), size));
        }
    }
    return m_sharedFolder;
}
