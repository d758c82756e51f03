#include "app/shell/frame/TrayIcon.h"

#include "app/shell/resources/ShellIcons.h"

#include <QAction>
#include <QMenu>

TrayIcon::TrayIcon(QObject* parent)
    : QSystemTrayIcon(parent)
    , m_menu(new QMenu) {
    setIcon(ShellIcons::Get("tray"));
    setToolTip(QStringLiteral("Drovick"));
    QAction* show = m_menu->addAction(QStringLiteral("Show window"));
    show->setObjectName(QStringLiteral("trayShow"));
    QAction* exit = m_menu->addAction(QStringLiteral("E&xit"));
    exit->setObjectName(QStringLiteral("trayExit"));
    connect(show, &QAction::triggered, this, &TrayIcon::ShowWindowRequested);
    connect(exit, &QAction::triggered, this, &TrayIcon::ExitRequested);
    setContextMenu(m_menu);
    connect(this, &QSystemTrayIcon::activated, this, [this](ActivationReason reason) {
        if (reason == DoubleClick)
            emit ShowWindowRequested();
    });
}

// The menu has no parent widget (a tray menu must not be a child of a window
// that may be hidden), so the icon owns it.
TrayIcon::~TrayIcon() {
    delete m_menu;
}
