// The Qt side of the library: message boxes, the loading icon and the
// library's dialogs. Loaded by the library only into processes that run a
// QApplication; every window is made on the user-interface thread.

#include "ChangeIdentityDialog.h"
#include "ClientCalls.h"
#include "FindFriendDialog.h"
#include "GuiThread.h"
#include "LibraryIcon.h"
#include "QtPresenterAbi.h"
#include "RegisterWizard.h"
#include "SystemMessageDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

// The handle is only compared with live widgets, never dereferenced, so a stale
// or foreign handle simply means "no owner".
QWidget* OwnerWidget(void* owner) {
    if (!owner)
        return nullptr;
    const QWidgetList widgets = QApplication::allWidgets();
    for (QWidget* widget : widgets) {
        if (static_cast<void*>(widget) == owner)
            return widget;
    }
    return nullptr;
}

QPointer<QSystemTrayIcon> g_loadingIcon;

// The answer of a dialog that only informs.
int Seen(const QDialog&) {
    return 0;
}

void ShowError(void* owner, const char* text, const char* caption) {
    const QString message = QString::fromUtf8(text);
    const QString title = QString::fromUtf8(caption);
    GuiThread::RunDialog(
        [=]() -> QDialog* {
            return new QMessageBox(QMessageBox::Critical, title, message, QMessageBox::Ok,
                                   OwnerWidget(owner));
        },
        &Seen, 0);
}

void ShowSystemMessage(void* owner, const char* title, const char* text) {
    const QString message = QString::fromUtf8(text);
    const QString caption = QString::fromUtf8(title);
    GuiThread::RunDialog(
        [=]() -> QDialog* { return new SystemMessageDialog(OwnerWidget(owner), caption, message); },
        &Seen, 0);
}

void ShowLoadingIcon(const char* tip) {
    // Notification-area tips are cut to 63 characters.
    const QString toolTip = QString::fromUtf8(tip).left(63);
    GuiThread::Run(
        [=] {
            if (g_loadingIcon || !QSystemTrayIcon::isSystemTrayAvailable())
                return 0;
            auto* icon = new QSystemTrayIcon(qApp);
            icon->setIcon(LibraryIcon());
            icon->setToolTip(toolTip);
            icon->show();
            g_loadingIcon = icon;
            return 0;
        },
        0);
}

void RemoveLoadingIcon() {
    GuiThread::Run(
        [] {
            if (g_loadingIcon) {
                g_loadingIcon->hide();
                delete g_loadingIcon.data();
            }
            return 0;
        },
        0);
}

int FindFriend(void* owner, const HalvaraQtClientCalls* calls, const char* applicationName,
               const char* applicationWebAddress, int applicationId) {
    if (!calls)
        return HALVARA_QT_CANCELLED;
    const ClientCalls client(*calls);
    const FindFriendDialog::Application application{QString::fromUtf8(applicationName),
                                                    QString::fromUtf8(applicationWebAddress),
                                                    applicationId};
    return GuiThread::RunDialog(
        [=]() -> QDialog* { return new FindFriendDialog(OwnerWidget(owner), client, application); },
        [](const QDialog& dialog) { return static_cast<const FindFriendDialog&>(dialog).Answer(); },
        HALVARA_QT_CANCELLED);
}

int RegisterIdentity(void* owner, const HalvaraQtClientCalls* calls) {
    if (!calls)
        return 0;
    const ClientCalls client(*calls);
    // Without the directory no ID can be handed out or confirmed: no wizard.
    if (GuiThread::RunOffGui([&] { return client.DirectoryReachable() ? 1 : 0; }) == 0)
        return 0;
    return GuiThread::RunDialog(
        [=]() -> QDialog* { return new RegisterWizard(OwnerWidget(owner), client); },
        [](const QDialog& wizard) { return static_cast<const RegisterWizard&>(wizard).Answer(); },
        0);
}

int ChangeIdentity(void* owner, const HalvaraQtClientCalls* calls) {
    if (!calls)
        return HALVARA_QT_CANCELLED;
    const ClientCalls client(*calls);
    return GuiThread::RunDialog(
        [=]() -> QDialog* { return new ChangeIdentityDialog(OwnerWidget(owner), client); },
        [](const QDialog& dialog) {
            return static_cast<const ChangeIdentityDialog&>(dialog).Answer();
        },
        HALVARA_QT_CANCELLED);
}

const HalvaraQtPresenter kPresenter{HALVARA_QT_ABI_VERSION, &ShowError,         &ShowSystemMessage,
                                    &ShowLoadingIcon,       &RemoveLoadingIcon, &FindFriend,
                                    &RegisterIdentity,      &ChangeIdentity};

} // namespace

extern "C" __attribute__((visibility("default"))) const HalvaraQtPresenter* HalvaraQt_Presenter() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return nullptr;
    GuiThread::WatchQuit();
    return &kPresenter;
}
