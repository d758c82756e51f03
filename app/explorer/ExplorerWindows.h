#pragma once

#include "app/explorer/ExplorerContext.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

class DrovickSettings;
class ExplorerWindow;
class QAction;
class QMdiArea;
class QMdiSubWindow;
class QPoint;

// The open explorer windows of the main frame and the commands of its menus
// that act on the active one: cut, copy, paste, delete, the view modes and
// sort keys; and each window's popup (explore, new folder, refresh,
// properties). Keeps the program's one file clipboard. A new window starts
// with the view mode, sort key and tree width the last closed one had.
// User-interface thread.
class ExplorerWindows : public QObject {
    Q_OBJECT
public:
    // command gives the main frame's action of a name, null when absent.
    ExplorerWindows(ExplorerContext context, DrovickSettings& settings, QMdiArea* area,
                    std::function<QAction*(const QString&)> command, QObject* parent = nullptr);
    ~ExplorerWindows() override;

    // "(Local)" for this computer, else a friend's address or e-mail address.
    ExplorerWindow* OpenComputer(const QString& address, bool remote);
    ExplorerWindow* Active() const;
    std::vector<ExplorerWindow*> Windows() const;
    // Lists again every window of this computer showing the folder.
    void RefreshFolder(const QString& folder);
    // Lists again every window of this computer ("Pellow Transfer Done" names
    // no folder).
    void RefreshLocal();

    // The program ends: the active window's view mode, sort key and tree
    // width are kept, as closing it would.
    void KeepSettingsAtExit();

    // The file clipboard.
    void CopySelected(bool cut);
    void Paste();
    bool ClipboardHolds() const { return !m_clipboardPath.empty(); }

    // Names the main frame's actions carry for the view modes and sort keys.
    static QString ViewModeCommand(int mode);
    static QString SortKeyCommand(int key);

private:
    void WireCommands();
    void UpdateCommands();
    void ShowPopup(ExplorerWindow* window, const QPoint& where);
    void StoreSettings(ExplorerWindow* window);
    void KeepInside(QMdiSubWindow* frame) const;
    bool eventFilter(QObject* watched, QEvent* event) override;

    ExplorerContext m_context;
    DrovickSettings& m_settings;
    QPointer<QMdiArea> m_area;
    std::function<QAction*(const QString&)> m_command;
    std::vector<QPointer<ExplorerWindow>> m_windows;
    QPointer<ExplorerWindow> m_lastActive;
    std::string m_clipboardPath;
    QString m_clipboardComputer;
    bool m_clipboardCut = false;
};
