// The explorer window against this computer's files and against a friend's
// remote file system and transfer servers on a second loopback address.

#include "app/explorer/DirectoryListModel.h"
#include "app/explorer/DirectoryRows.h"
#include "app/explorer/ExplorerWindow.h"
#include "app/explorer/ExplorerWindows.h"
#include "app/explorer/ExplorerWorker.h"
#include "app/explorer/FolderTreeModel.h"
#include "app/files/DrovickSettings.h"
#include "app/files/IconIndexCache.h"
#include "app/files/LocalFileSystem.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/shell/copy/CopyOrMove.h"
#include "app/shell/copy/CopyQuestions.h"
#include "app/shell/copy/HeadlessTransferAgent.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QListView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utime.h>

// Font configuration keeps a cache for the life of the process, which the
// leak checker would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kFriend = "127.0.0.2";

void Write(const fs::path& path, const std::string& text, std::time_t modified = 0) {
    std::ofstream(path, std::ios::binary) << text;
    if (modified != 0) {
        utimbuf times{modified, modified};
        ::utime(path.c_str(), &times);
    }
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The names the list shows, in its order.
QStringList Names(ExplorerWindow& window) {
    QStringList names;
    DirectoryListModel& list = window.List();
    for (int row = 0; row < list.rowCount(); ++row)
        names << list.index(row, DirectoryListModel::kName).data().toString();
    return names;
}

// With SHELL_SCREENSHOTS set to a folder, writes the window there as a PNG.
void Screenshot(QWidget& widget, const QString& name) {
    const char* folder = std::getenv("SHELL_SCREENSHOTS");
    if (folder == nullptr || *folder == '\0')
        return;
    QApplication::processEvents();
    widget.grab().save(QString::fromLocal8Bit(folder) + "/" + name + ".png");
}

bool WaitIdle(ExplorerWindow& window) {
    return testsupport::WaitFor(
        [&] {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            return !window.IsBusy();
        },
        10s);
}

// Lists the folder and waits until the window has shown its answer.
bool Show(ExplorerWindow& window, const fs::path& folder) {
    QSignalSpy listed(&window, &ExplorerWindow::FolderListed);
    window.Navigate(folder.string());
    const bool idle = WaitIdle(window);
    // The worker hands its answers back before it counts itself idle.
    QApplication::processEvents();
    const QString wanted = QString::fromStdString(WithSlash(folder.string()));
    for (const QList<QVariant>& answer : listed)
        if (answer.at(0).toString() == wanted)
            return idle;
    return false;
}

// The context with its transfers made by the copy-or-move operation, as the
// program wires it.
ExplorerContext ThroughCopyOrMove(ExplorerContext context, CopyOrMove& operation) {
    context.transfer = [&operation](const ExplorerTransfer& transfer,
                                    std::function<void(int)> done) {
        operation.Start({transfer.sourceComputer, transfer.sourcePath, transfer.targetComputer,
                         transfer.targetPath, transfer.move},
                        std::move(done));
    };
    return context;
}

class ScriptedQuestions : public CopyQuestions {
public:
    bool AskOverwrite(const QString&) override { return true; }
};

// A friend whose computer takes connections and never answers.
class SilentListener {
public:
    SilentListener(const char* address, int port) {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address, &where.sin_addr);
        m_ok = ::bind(m_socket, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
               ::listen(m_socket, 16) == 0;
    }
    ~SilentListener() { ::close(m_socket); }
    bool Ok() const { return m_ok; }

private:
    int m_socket = -1;
    bool m_ok = false;
};

// Acts on the widget find gives once it is shown (a popup or a modal box
// runs its own event loop, so the test answers it from a timer).
template <typename Widget>
void WhenShown(std::function<Widget*()> find, std::function<void(Widget*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, find, act] {
        Widget* shown = find();
        if (shown == nullptr)
            return;
        poll->stop();
        poll->deleteLater();
        act(shown);
    });
    poll->start(20);
}

// Answers the next popup menu by choosing the entry of that text, keeping
// the texts it offered.
void ChooseInPopup(const QString& entry, QStringList* offered) {
    WhenShown<QMenu>([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); },
                     [entry, offered](QMenu* menu) {
                         offered->clear();
                         for (QAction* action : menu->actions())
                             if (!action->isSeparator())
                                 *offered << action->text();
                         for (QAction* action : menu->actions())
                             if (action->text() == entry)
                                 menu->setActiveAction(action);
                         QTest::keyClick(menu, Qt::Key_Return);
                     });
}

// Answers the next message box with the button, keeping its caption and text.
void AnswerMessageBox(QMessageBox::StandardButton button, QStringList* shown) {
    WhenShown<QMessageBox>(
        [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
        [button, shown](QMessageBox* box) {
            *shown << box->windowTitle() << box->text();
            box->button(button)->click();
        });
}

// Drops the data on the view at the point, as the window system delivers it.
void DropAt(QAbstractItemView* view, const QPoint& where, const QMimeData* data,
            Qt::DropAction action) {
    QDragEnterEvent enter(where, action, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QDragMoveEvent move(where, action, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QDropEvent drop(QPointF(where), action, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &drop);
}

// Expands the tree folder by folder down to the folder; its item then.
QModelIndex RevealInTree(ExplorerWindow& window, const fs::path& folder) {
    FolderTreeModel& tree = window.Tree();
    QModelIndex item = tree.Root();
    fs::path reached = "/";
    for (const fs::path& part : folder.relative_path()) {
        reached /= part;
        window.TreeView()->expand(item);
        const bool listed = testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return tree.Find(reached.string()).isValid();
            },
            10s);
        if (!listed)
            return {};
        item = tree.Find(reached.string());
    }
    return item;
}

} // namespace

class ExplorerGuiTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_environment.Set("XDG_DATA_HOME", (m_home.Path() / "data").string());
        m_environment.Set("HALVARA_ADDRESS", kFriend);
        m_context.log = &m_log;
        m_context.icons = &m_icons;
        m_context.shares = std::make_shared<ShareTable>();
        // As on X11 without a desktop session: the theme and its fallback
        // are "hicolor", which the program's other windows load before the
        // first explorer draws a file.
        QIcon::setThemeSearchPaths({QStringLiteral("/usr/share/icons")});
        QIcon::setThemeName(QStringLiteral("hicolor"));
        QIcon::setFallbackThemeName(QStringLiteral("hicolor"));
        (void)QIcon::fromTheme(QStringLiteral("dialog-information"));
    }

    void cleanupTestCase() { QVERIFY(ExplorerWorker::WaitForAll(10s)); }

    // A friend's shares at the root, then a share and its subfolder, with
    // type names and icons taken from this computer's file types.
    void browsesAFriendsSharedFoldersAndASubfolder() {
        testsupport::TempDir dir;
        const fs::path share = dir.Path() / "share";
        fs::create_directories(share / "sub");
        Write(share / "notes.txt", std::string(1500, 'n'));
        Write(share / "song.mp3", "tune");
        Write(share / "sub" / "inner.txt", "in");
        Write(dir.Path() / "secret.txt", "not shared");
        auto table = std::make_shared<ShareTable>();
        QVERIFY(table->Add(share.string()));
        const int port = testsupport::FreeTcpPort(kFriend);
        NFSServer server(table, nullptr, port);
        QVERIFY(server.Start());
        QVERIFY(testsupport::WaitFor([&] { return server.IsListening(); }, 10s));

        ExplorerContext context = m_context;
        context.remotePort = port;
        ExplorerWindow window(context, QString::fromLatin1(kFriend), true);
        window.resize(800, 500);
        window.show();
        QCOMPARE(window.MachineLabel(), QString::fromLatin1(kFriend));
        // The tree's root lists the friend's shares, not its disk.
        QVERIFY(WaitIdle(window));
        const QModelIndex root = window.Tree().Root();
        QCOMPARE(window.Tree().rowCount(root), 1);
        QCOMPARE(window.Tree().PathOf(window.Tree().index(0, 0, root)), share.string());
        QVERIFY(Show(window, "/"));
        QCOMPARE(Names(window), QStringList{QStringLiteral("share")});

        QVERIFY(Show(window, share));
        window.SetViewMode(3);
        QCOMPARE(Names(window), (QStringList{"sub", "notes.txt", "song.mp3"}));
        DirectoryListModel& list = window.List();
        const int notes = list.RowOfPath((share / "notes.txt").string());
        QCOMPARE(list.index(notes, DirectoryListModel::kSize).data().toString(),
                 QStringLiteral("2KB"));
        QVERIFY(!list.index(notes, DirectoryListModel::kType).data().toString().isEmpty());
        QVERIFY(!list.index(notes, DirectoryListModel::kModified).data().toString().isEmpty());
        QVERIFY(!list.index(notes, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        // Drawn from the installed theme by its type, not the style's generic page.
        bool themeInstalled = false;
        for (const QString& base : QIcon::themeSearchPaths())
            themeInstalled = themeInstalled || QFileInfo::exists(base + "/Adwaita/index.theme");
        if (themeInstalled)
            QCOMPARE(list.index(notes, 0).data(Qt::DecorationRole).value<QIcon>().name(),
                     QStringLiteral("text-x-generic"));
        Screenshot(window, QStringLiteral("explorer-friend"));
        // Shares drawn as shared belong to this computer only.
        QVERIFY(list.index(list.RowOfPath((share / "sub").string()), 0)
                    .data(Qt::DecorationRole)
                    .value<QIcon>()
                    .name() != QStringLiteral("folder-publicshare"));

        window.Open((share / "sub").string());
        QVERIFY(testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return Names(window) == QStringList{QStringLiteral("inner.txt")};
            },
            10s));
        // A folder outside the shares reads as nothing.
        QVERIFY(Show(window, dir.Path()));
        QCOMPARE(list.rowCount(), 0);
        server.Stop(true);
    }

    // The four view modes over one model, and the four sort keys with the
    // folders first whatever the key.
    void viewModesAndSortKeys() {
        testsupport::TempDir dir;
        fs::create_directories(dir.Path() / "Zeta");
        fs::create_directories(dir.Path() / "alpha");
        Write(dir.Path() / "b.txt", std::string(999 * 1024, 'b'), 300000000);
        Write(dir.Path() / "A.mp3", std::string(1024 * 1024, 'a'), 200000000);
        Write(dir.Path() / "c.html", "c", 100000000);
        ExplorerWindow window(m_context, QStringLiteral("(Local)"), false);
        window.show();
        QVERIFY(Show(window, dir.Path()));

        const QStringList byName{"alpha", "Zeta", "A.mp3", "b.txt", "c.html"};
        QCOMPARE(Names(window), byName);
        window.SetSortKey(DirectoryListModel::kBySize);
        // 1,024KB after 999KB: sizes compare as numbers.
        QCOMPARE(Names(window), (QStringList{"alpha", "Zeta", "c.html", "b.txt", "A.mp3"}));
        window.SetSortKey(DirectoryListModel::kByDate);
        QCOMPARE(Names(window), (QStringList{"alpha", "Zeta", "c.html", "A.mp3", "b.txt"}));
        window.SetSortKey(DirectoryListModel::kByType);
        QCOMPARE(Names(window).mid(0, 2), (QStringList{"alpha", "Zeta"}));
        QStringList types;
        for (int row = 2; row < 5; ++row)
            types
                << window.List().index(row, DirectoryListModel::kType).data().toString().toLower();
        QStringList sorted = types;
        sorted.sort();
        QCOMPARE(types, sorted);
        window.SetSortKey(7);
        QCOMPARE(window.SortKey(), int(DirectoryListModel::kByName));

        for (int mode = 0; mode < 4; ++mode) {
            window.SetViewMode(mode);
            Screenshot(window, QStringLiteral("explorer-mode-%1").arg(mode));
            QCOMPARE(window.ViewMode(), mode);
            QCOMPARE(window.CurrentListView(), mode == 3
                                                   ? static_cast<QWidget*>(window.DetailsView())
                                                   : static_cast<QWidget*>(window.IconView()));
        }
        QCOMPARE(window.IconView()->model(), window.DetailsView()->model());
        window.SetViewMode(9);
        QCOMPARE(window.ViewMode(), 0);
    }

    // Rename in place (never over an existing entry), Delete to the trash, and
    // the "New Folder (%i)" numbering.
    void renameDeleteAndNewFolder() {
        testsupport::TempDir dir;
        Write(dir.Path() / "old.txt", "old");
        Write(dir.Path() / "taken.txt", "taken");
        ExplorerWindow window(m_context, QStringLiteral("(Local)"), false);
        window.show();
        QVERIFY(Show(window, dir.Path()));

        // Through the model, as the view's editor commits a typed name.
        DirectoryListModel& list = window.List();
        const int old = list.RowOfPath((dir.Path() / "old.txt").string());
        list.setData(list.index(old, 0), QStringLiteral("taken.txt"), Qt::EditRole);
        QVERIFY(WaitIdle(window));
        QCOMPARE(Read(dir.Path() / "taken.txt"), std::string("taken"));
        list.setData(list.index(old, 0), QStringLiteral("new.txt"), Qt::EditRole);
        QVERIFY(WaitIdle(window));
        QCOMPARE(Read(dir.Path() / "new.txt"), std::string("old"));
        QCOMPARE(Names(window), (QStringList{"new.txt", "taken.txt"}));

        window.SelectPath((dir.Path() / "taken.txt").string());
        window.DeleteSelected();
        QVERIFY(WaitIdle(window));
        QVERIFY(!fs::exists(dir.Path() / "taken.txt"));
        QCOMPARE(Read(m_home.Path() / "data" / "Trash" / "files" / "taken.txt"),
                 std::string("taken"));
        QCOMPARE(Names(window), QStringList{QStringLiteral("new.txt")});
        // The trash is never browsed: not in the list, not in the tree.
        const fs::path trash = m_home.Path() / "data" / "Trash";
        QVERIFY(Show(window, trash));
        QVERIFY(!Names(window).contains(QStringLiteral("files")));
        QVERIFY(Names(window).contains(QStringLiteral("info")));
        std::atomic<bool> stop{false};
        LocalFileSystem files(&m_icons);
        for (const Subfolder& folder : ReadSubfolders(files, trash.string(), &stop))
            QVERIFY(folder.path != (trash / "files").string());
        QVERIFY(Show(window, dir.Path()));

        for (int i = 0; i < 3; ++i) {
            window.NewFolder();
            QVERIFY(WaitIdle(window));
        }
        QVERIFY(fs::is_directory(dir.Path() / "New Folder"));
        QVERIFY(fs::is_directory(dir.Path() / "New Folder (2)"));
        QVERIFY(fs::is_directory(dir.Path() / "New Folder (3)"));
        QCOMPARE(Names(window).size(), 4);
    }

    // A friend's file dropped on a local folder is downloaded through the
    // transfer agent and arrives byte for byte; a friend's file opened goes
    // to the download folder.
    void friendsFileDroppedOnALocalFolderArrives() {
        testsupport::TempDir dir;
        const fs::path share = dir.Path() / "share";
        const fs::path local = dir.Path() / "local";
        fs::create_directories(share);
        fs::create_directories(local);
        std::string content(70000, '\0');
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 13 + 1);
        const std::string name = "odd name 'q' \"x\".bin";
        Write(share / name, content);

        auto table = std::make_shared<ShareTable>();
        QVERIFY(table->Add(share.string()));
        TransferDownloadOptions options;
        options.port = testsupport::FreeTcpPort(kFriend);
        TransferServer transfers(table, nullptr, options.port);
        QVERIFY(transfers.Start());
        QVERIFY(testsupport::WaitFor([&] { return transfers.IsListening(); }, 10s));

        ScriptedQuestions questions;
        HeadlessTransferAgent agent(nullptr, options);
        CopyOrMove operation(questions, agent);
        ExplorerContext context = ThroughCopyOrMove(m_context, operation);
        ExplorerWindow window(context, QStringLiteral("(Local)"), false);
        window.show();
        QVERIFY(Show(window, local));
        QSignalSpy closed(&agent, &HeadlessTransferAgent::Closed);
        connect(&agent, &HeadlessTransferAgent::DownloadFolderChanged, &window,
                [&](const QString&) { window.Refresh(); });

        window.Receive(QString::fromLatin1(kFriend), {(share / name).string()}, local.string(),
                       DropChoice::Move);
        QVERIFY(closed.wait(10000) || !closed.isEmpty());
        QCOMPARE(Read(local / name), content);
        // A download never takes the friend's file away.
        QVERIFY(fs::exists(share / name));
        QVERIFY(testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return window.List().RowOfPath((local / name).string()) >= 0;
            },
            10s));
        transfers.Stop(true);
    }

    // A friend's file whose name is not UTF-8, dragged from the friend's
    // explorer onto a local folder and copied through the drop popup: the
    // drag's data, copy-or-move and the transfer agent carry the name's
    // bytes, so the file arrives under its exact name. Dragged on from there
    // to a second local folder, the local copy keeps the name as well.
    void nonUtf8NameDraggedFromAFriendArrivesUnderItsBytes() {
        testsupport::TempDir dir;
        const fs::path share = dir.Path() / "share";
        const fs::path local = dir.Path() / "local";
        const fs::path again = dir.Path() / "again";
        for (const fs::path& folder : {share, local, again})
            fs::create_directories(folder);
        const std::string name = "caf\xe9 \xff\xfe.bin";
        const std::string content = "bytes \x01\x02 of a file whose name is Latin-1";
        Write(share / name, content);

        auto table = std::make_shared<ShareTable>();
        QVERIFY(table->Add(share.string()));
        const int port = testsupport::FreeTcpPort(kFriend);
        NFSServer files(table, nullptr, port);
        TransferDownloadOptions options;
        options.port = testsupport::FreeTcpPort(kFriend);
        TransferServer transfers(table, nullptr, options.port);
        QVERIFY(files.Start());
        QVERIFY(transfers.Start());
        QVERIFY(testsupport::WaitFor([&] { return files.IsListening() && transfers.IsListening(); },
                                     10s));

        ScriptedQuestions questions;
        HeadlessTransferAgent agent(nullptr, options);
        CopyOrMove operation(questions, agent);
        ExplorerContext context = ThroughCopyOrMove(m_context, operation);
        context.remotePort = port;
        ExplorerWindow remote(context, QString::fromLatin1(kFriend), true);
        ExplorerWindow window(context, QStringLiteral("(Local)"), false);
        int asked = 0;
        window.askDrop = [&](const QPoint&) {
            ++asked;
            return DropChoice::Copy;
        };
        QVERIFY(Show(remote, share));
        const int row = remote.List().RowOfPath((share / name).string());
        QVERIFY(row >= 0);
        std::unique_ptr<QMimeData> drag(remote.List().mimeData({remote.List().index(row, 0)}));
        QVERIFY(Show(window, local));

        QSignalSpy closed(&agent, &HeadlessTransferAgent::Closed);
        window.List().dropMimeData(drag.get(), Qt::MoveAction, -1, -1, QModelIndex());
        QCOMPARE(asked, 1);
        QVERIFY(closed.wait(10000) || !closed.isEmpty());
        QCOMPARE(Read(local / name), content);
        QVERIFY(fs::exists(share / name));

        // This computer's file, dragged as the desktop's file manager sees it.
        QVERIFY(Show(window, local));
        const int mine = window.List().RowOfPath((local / name).string());
        QVERIFY(mine >= 0);
        std::unique_ptr<QMimeData> localDrag(
            window.List().mimeData({window.List().index(mine, 0)}));
        QCOMPARE(localDrag->urls().size(), 1);
        QMimeData desktop;
        desktop.setUrls(localDrag->urls());
        ExplorerWindow second(context, QStringLiteral("(Local)"), false);
        second.askDrop = window.askDrop;
        QVERIFY(Show(second, again));
        second.List().dropMimeData(&desktop, Qt::CopyAction, -1, -1, QModelIndex());
        QVERIFY(testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return fs::exists(again / name);
            },
            10s));
        QCOMPARE(asked, 2);
        QCOMPARE(Read(again / name), content);
        files.Stop(true);
        transfers.Stop(true);
    }

    // Drops as the user makes them, through the views and the real popup and
    // question: files from the desktop's file manager copied, moved and
    // linked through the drop popup; an explorer's file dropped on a folder
    // of the tree; and a local move onto an existing file, asked first, the
    // old file put in the trash.
    void dropsThroughTheViewsThePopupAndTheQuestion() {
        testsupport::TempDir dir;
        const fs::path from = dir.Path() / "from";
        const fs::path to = dir.Path() / "to";
        fs::create_directories(from);
        fs::create_directories(to);
        for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"})
            Write(from / name, std::string("new ") + name);
        Write(to / "d.txt", "old d");

        HeadlessTransferAgent agent(nullptr, TransferDownloadOptions{});
        ExplorerWindow source(m_context, QStringLiteral("(Local)"), false);
        source.resize(700, 400);
        source.show();
        MessageBoxCopyQuestions questions(&source);
        CopyOrMove operation(questions, agent);
        ExplorerContext context = ThroughCopyOrMove(m_context, operation);
        ExplorerWindow window(context, QStringLiteral("(Local)"), false);
        window.resize(700, 400);
        window.show();
        window.SetViewMode(3);
        QVERIFY(Show(source, from));
        QVERIFY(Show(window, to));
        QAbstractItemView* list = window.DetailsView();
        const QPoint empty(list->viewport()->width() / 2, list->viewport()->height() - 5);
        const auto desktop = [](const fs::path& file) {
            auto data = std::make_unique<QMimeData>();
            data->setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
            return data;
        };
        const auto arrived = [&](const fs::path& file) {
            return testsupport::WaitFor(
                [&] {
                    QApplication::processEvents(QEventLoop::AllEvents, 20);
                    return fs::exists(fs::symlink_status(file)) && operation.Running() == 0;
                },
                10s);
        };

        QStringList offered;
        ChooseInPopup(QStringLiteral("Create &Shortcut"), &offered);
        DropAt(list, empty, desktop(from / "a.txt").get(), Qt::CopyAction);
        QVERIFY(arrived(to / "Shortcut to a.lnk"));
        QCOMPARE(offered, (QStringList{"&Copy Here", "&Move Here", "Create &Shortcut", "C&ancel"}));
        QCOMPARE(fs::read_symlink(to / "Shortcut to a.lnk"), from / "a.txt");
        QVERIFY(fs::exists(from / "a.txt"));

        ChooseInPopup(QStringLiteral("&Copy Here"), &offered);
        DropAt(list, empty, desktop(from / "b.txt").get(), Qt::MoveAction);
        QVERIFY(arrived(to / "b.txt"));
        QCOMPARE(Read(to / "b.txt"), std::string("new b.txt"));
        QVERIFY(fs::exists(from / "b.txt"));
        ChooseInPopup(QStringLiteral("&Move Here"), &offered);
        DropAt(list, empty, desktop(from / "c.txt").get(), Qt::CopyAction);
        QVERIFY(arrived(to / "c.txt"));
        QVERIFY(!fs::exists(from / "c.txt"));
        ChooseInPopup(QStringLiteral("C&ancel"), &offered);
        DropAt(list, empty, desktop(from / "e.txt").get(), Qt::CopyAction);
        QVERIFY(WaitIdle(window));
        QCOMPARE(operation.Running(), 0);
        QVERIFY(!fs::exists(to / "e.txt"));

        // An explorer's own file on a folder of the tree: no popup between
        // two windows of this computer; the drop's action decides.
        const QModelIndex folder = RevealInTree(window, to);
        QVERIFY(folder.isValid());
        window.TreeView()->scrollTo(folder);
        std::unique_ptr<QMimeData> dragged(source.List().mimeData(
            {source.List().index(source.List().RowOfPath((from / "a.txt").string()), 0)}));
        fs::remove(to / "Shortcut to a.lnk");
        DropAt(window.TreeView(), window.TreeView()->visualRect(folder).center(), dragged.get(),
               Qt::CopyAction);
        QVERIFY(arrived(to / "a.txt"));
        QCOMPARE(Read(to / "a.txt"), std::string("new a.txt"));
        QVERIFY(fs::exists(from / "a.txt"));

        // A move onto a file of that name asks, and Yes trashes the old one.
        std::unique_ptr<QMimeData> moved(source.List().mimeData(
            {source.List().index(source.List().RowOfPath((from / "d.txt").string()), 0)}));
        QStringList shown;
        AnswerMessageBox(QMessageBox::Yes, &shown);
        DropAt(list, empty, moved.get(), Qt::MoveAction);
        QVERIFY(testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return !fs::exists(from / "d.txt") && operation.Running() == 0;
            },
            10s));
        QCOMPARE(shown, (QStringList{"Move File", "Do you want to overwrite the existing file?"}));
        QCOMPARE(Read(to / "d.txt"), std::string("new d.txt"));
        QCOMPARE(Read(m_home.Path() / "data" / "Trash" / "files" / "d.txt"), std::string("old d"));
        // The window shows the result.
        QVERIFY(testsupport::WaitFor(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 20);
                return Names(window) == QStringList({"a.txt", "b.txt", "c.txt", "d.txt"});
            },
            10s));
    }

    // The main frame's clipboard commands on the active explorer: a copy in
    // one window pasted into another's folder, and paste disabled while a
    // friend's computer is the active window.
    void clipboardCommandsFollowTheActiveExplorer() {
        testsupport::TempDir dir;
        fs::create_directories(dir.Path() / "from");
        fs::create_directories(dir.Path() / "to");
        Write(dir.Path() / "from" / "a.txt", "a");
        std::vector<ExplorerTransfer> transfers;
        ExplorerContext context = m_context;
        context.remotePort = testsupport::FreeTcpPort(kFriend);
        context.transfer = [&](const ExplorerTransfer& transfer, std::function<void(int)> done) {
            transfers.push_back(transfer);
            done(0);
        };
        QMdiArea area;
        area.resize(900, 700);
        area.show();
        std::map<QString, QAction*> actions;
        for (const char* name : {"cut", "copy", "paste", "delete"})
            actions[QString::fromLatin1(name)] = new QAction(&area);
        ExplorerWindows windows(context, m_settings, &area, [&](const QString& name) -> QAction* {
            auto found = actions.find(name);
            return found == actions.end() ? nullptr : found->second;
        });
        ExplorerWindow* source = windows.OpenComputer(QStringLiteral("(Local)"), false);
        QVERIFY(Show(*source, dir.Path() / "from"));
        QVERIFY(!actions["copy"]->isEnabled());
        source->SelectPath((dir.Path() / "from" / "a.txt").string());
        QVERIFY(actions["copy"]->isEnabled());
        actions["copy"]->trigger();

        ExplorerWindow* target = windows.OpenComputer(QStringLiteral("(Local)"), false);
        QVERIFY(Show(*target, dir.Path() / "to"));
        QCOMPARE(windows.Active(), target);
        QVERIFY(actions["paste"]->isEnabled());
        actions["paste"]->trigger();
        QCOMPARE(transfers.size(), std::size_t(1));
        QCOMPARE(transfers[0].sourcePath.toStdString(), (dir.Path() / "from" / "a.txt").string());
        QCOMPARE(transfers[0].targetPath.toStdString(), (dir.Path() / "to" / "a.txt").string());
        QCOMPARE(transfers[0].targetComputer, QStringLiteral("127.0.0.1"));
        QVERIFY(!transfers[0].move);

        ExplorerWindow* remote = windows.OpenComputer(QString::fromLatin1(kFriend), true);
        QCOMPARE(windows.Active(), remote);
        // Every window opens inside the area, none past its edges.
        for (QMdiSubWindow* frame : area.subWindowList())
            QVERIFY2(area.viewport()->rect().contains(frame->geometry()),
                     qPrintable(frame->windowTitle()));
        QVERIFY(!actions["paste"]->isEnabled());
        actions["paste"]->trigger();
        QCOMPARE(transfers.size(), std::size_t(1));
        area.closeAllSubWindows();
    }

    // A friend whose computer takes the connection and never answers: the
    // window keeps its event loop turning, and closes at once.
    void silentFriendLeavesTheWindowResponsive() {
        const int port = testsupport::FreeTcpPort(kFriend);
        auto silent = std::make_unique<SilentListener>(kFriend, port);
        QVERIFY(silent->Ok());
        ExplorerContext context = m_context;
        context.remotePort = port;
        auto window = std::make_unique<ExplorerWindow>(context, QString::fromLatin1(kFriend), true);
        window->show();
        window->Navigate("/");

        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 longest = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        tick.start(5);
        QTest::qWait(3000);
        QVERIFY(window->IsBusy());
        qInfo("longest stall of the window thread while the friend is silent: %lld ms",
              static_cast<long long>(longest));
        QVERIFY2(longest < 1000, "the window thread stalled");

        QElapsedTimer closing;
        closing.start();
        window.reset();
        QVERIFY(closing.elapsed() < 1000);
        // The friend goes away; the abandoned worker ends.
        silent.reset();
        QVERIFY(ExplorerWorker::WaitForAll(60s));
    }

private:
    testsupport::TempDir m_home;
    testsupport::ScopedEnvironment m_environment;
    LogEvent m_log;
    IconIndexCache m_icons;
    DrovickSettings m_settings;
    ExplorerContext m_context;
};

QTEST_MAIN(ExplorerGuiTest)
#include "ExplorerGuiTest.moc"
