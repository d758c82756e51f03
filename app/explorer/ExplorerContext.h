#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class IconIndexCache;
class LogEvent;
class ShareTable;
class PresenceSession;

// One file to copy or move between two computers, each named by its machine
// label ("127.0.0.1" for this computer, else the friend's address).
struct ExplorerTransfer {
    QString sourceComputer;
    QByteArray sourcePath;
    QString targetComputer;
    QByteArray targetPath; // the full path of the file to create
    bool move = false;
};

// What the explorer windows take from the program around them. The shell
// fills it: the copy-or-move operation lives above this layer.
class QWidget;

struct ExplorerContext {
    LogEvent* log = nullptr;
    IconIndexCache* icons = nullptr;
    std::shared_ptr<ShareTable> shares;
    // Resolves a friend's e-mail address; asked on the explorer's worker.
    PresenceSession* presence = nullptr;
    // The friend's remote file system server port.
    int remotePort = 0;
    // Copies or moves; done(result) on the user-interface thread, 0 when
    // nothing was done. Unset: nothing is transferred.
    std::function<void(const ExplorerTransfer&, std::function<void(int)> done)> transfer;
    // The folder a friend's opened file is downloaded into.
    std::function<QByteArray()> downloadFolder;
    // Shows the sharing properties of a folder of this computer; true when
    // the shares changed. Unset: the command is not offered.
    std::function<bool(QWidget* parent, const std::string& folder)> sharing;
};

// How a drop is to be carried out.
enum class DropChoice { Copy, Move, Shortcut, Cancel };
