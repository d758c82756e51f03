#pragma once

#include <QSystemTrayIcon>

class QMenu;

// The notification icon the program lives in while its window is hidden: tip
// "Drovick", a double click shows the window, its menu has "Show window" and
// "E&xit".
class TrayIcon : public QSystemTrayIcon {
    Q_OBJECT
public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;
    QMenu* Menu() const { return m_menu; }

signals:
    void ShowWindowRequested();
    void ExitRequested();

private:
    QMenu* m_menu;
};
