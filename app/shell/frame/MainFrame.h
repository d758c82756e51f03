#pragma once

#include <QMainWindow>
#include <functional>

class DrovickSettings;
class QAction;
class QLabel;
class QMdiArea;
class QToolBar;
class TrayIcon;
class VersionCheck;
class WindowKinds;

// Drovick's main window: the multiple-document area the tool windows open in,
// the menus and the toolbar with their commands, the status bar panes and the
// info bar at the top. It lives on the user-interface thread; every command
// that may wait for the presence service runs on a thread of its own.
class MainFrame : public QMainWindow {
    Q_OBJECT
public:
    // presenceReady tells whether the presence library was initialised; it is
    // asked on the user-interface thread and must not block.
    MainFrame(DrovickSettings& settings, WindowKinds& kinds, std::function<bool()> presenceReady,
              QWidget* parent = nullptr);
    ~MainFrame() override;

    QMdiArea* Area() const { return m_area; }
    TrayIcon* Tray() const { return m_tray; }
    // The toolbar, status bar and info bar shown or hidden from the settings.
    void ApplyBarSettings();
    // Shows the window, or leaves only the notification icon when "Show main
    // window on start" is off and a notification area exists to come back from.
    void ShowAtStart();
    // Shows the window and brings it to the front ("Pellow WakeUp", the tray).
    void ShowAndRaise();
    // Ends the program through the close path, whether the window is shown
    // or hidden in the notification area ("E&xit", SIGTERM, SIGINT).
    void Exit();
    void SetPresenceText(const QString& text);
    void SetServersText(const QString& text);
    QAction* Command(const QString& name) const;
    // Opens an explorer on a computer named by address, host name or a
    // friend's e-mail address (the explorer connects OpenComputerRequested).
    void OpenComputer(const QString& nameOrAddress) { emit OpenComputerRequested(nameOrAddress); }

    // The product's web page: the root of the address the version check asks,
    // which is the bundled directory unless DROVICK_UPDATE_URL names another.
    static QString ProductAddress();
    static constexpr int kApplicationId = 155;

signals:
    // The window closed or "E&xit" was chosen: the program ends.
    void ExitRequested();
    void OpenComputerRequested(const QString& nameOrAddress);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBar();
    void BuildInfoBar();
    void StoreBarSettings();
    void BeginExit();
    void AddFriend();
    void ChangeIdentity();
    void ShowHelp();
    void ShowPreferences();
    void CheckVersion();
    QAction* MakeCommand(const QString& name, const QString& text, const char* icon = nullptr);
    QAction* MakeBarToggle(const QString& name, const QString& text, QWidget* bar);

    DrovickSettings& m_settings;
    WindowKinds& m_kinds;
    std::function<bool()> m_presenceReady;
    QMdiArea* m_area = nullptr;
    QToolBar* m_toolBar = nullptr;
    QWidget* m_infoBar = nullptr;
    QLabel* m_presencePane = nullptr;
    QLabel* m_serversPane = nullptr;
    QLabel* m_thirdPane = nullptr;
    TrayIcon* m_tray = nullptr;
    VersionCheck* m_versionCheck = nullptr;
    bool m_closing = false;
};
