#pragma once

#include "app/explorer/ExplorerContext.h"

#include <QPoint>
#include <QString>
#include <string>
#include <vector>

class QMimeData;
class QUrl;
class QWidget;

// What a drop carries: entries of one computer, dragged from an explorer
// window or from the desktop's file manager (text/uri-list, this computer's
// files only).
struct DropItems {
    QString computer;
    std::vector<std::string> paths;
    bool fromDesktop = false;
};

// The explorer's own format first; entries of another computer than the
// first one's are left out. At most kMaxDropItems entries are taken.
DropItems ReadDropItems(const QMimeData* data);
inline constexpr std::size_t kMaxDropItems = 10000;

// A file of this computer as the desktop's file manager takes it: the
// name's bytes percent-encoded, so a name that is not UTF-8 survives.
QUrl LocalFileUrl(const std::string& path);
// The bytes of a local file's path; empty for any other address.
std::string LocalFilePath(const QUrl& url);

// The drop popup: "&Copy Here", "&Move Here", "Create &Shortcut", "C&ancel".
DropChoice AskDropChoice(QWidget* parent, const QPoint& where);
