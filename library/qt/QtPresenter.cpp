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

void ShowError(void* owner, const char* text, const char* caption) {
    const QString message = QString::fromUtf8(text);
    const QString title = QString::fromUtf8(caption);
    GuiThread::Run(
        [=] {
            QMessageBox box(QMessageBox::Critical, title, message, QMessageBox::Ok,
                            OwnerWidget(owner));
            return GuiThread::ExecCancellable(box);
        },
        0);
}

void ShowSystemMessage(void* owner, const char* title, const char* text) {
    const QString message = QString::fromUtf8(text);
    const QString caption = QString::fromUtf8(title);
    GuiThread::Run(
        [=] {
            SystemMessageDialog dialog(OwnerWidget(owner), caption, message);
            return GuiThread::ExecCancellable(dialog);
        },
        0);
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
    FindFriendDialog::Application application{QString::fromUtf8(applicationName),
                                              QString::fromUtf8(applicationWebAddress),
                                              applicationId};
    return GuiThread::Run(
        [=] {
            FindFriendDialog dialog(OwnerWidget(owner), client, application);
            GuiThread::ExecCancellable(dialog);
            return dialog.Answer();
        },
        HALVARA_QT_CANCELLED);
}

int RegisterIdentity(void* owner, const HalvaraQtClientCalls* calls) {
    if (!calls)
        return 0;
    const ClientCalls client(*calls);
    // Without the directory no ID can be handed out or confirmed: no wizard.
    if (GuiThread::RunOffGui([&] { return client.DirectoryReachable() ? 1 : 0; }) == 0)
        return 0;
    return GuiThread::Run([=] { return RunRegisterWizard(OwnerWidget(owner), client); }, 0);
}

int ChangeIdentity(void* owner, const HalvaraQtClientCalls* calls) {
    if (!calls)
        return HALVARA_QT_CANCELLED;
    const ClientCalls client(*calls);
    return GuiThread::Run(
        [=] {
            ChangeIdentityDialog dialog(OwnerWidget(owner), client);
            GuiThread::ExecCancellable(dialog);
            return dialog.Answer();
        },
        HALVARA_QT_CANCELLED);
}

const HalvaraQtPresenter kPresenter{HALVARA_QT_ABI_VERSION,
                                    &ShowError,
                                    &ShowSystemMessage,
                                    &ShowLoadingIcon,
                                    &RemoveLoadingIcon,
                                    &FindFriend,
                                    &RegisterIdentity,
                                    &ChangeIdentity};

} // namespace

extern "C" __attribute__((visibility("default"))) const HalvaraQtPresenter* HalvaraQt_Presenter() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return nullptr;
    GuiThread::WatchQuit();
    return &kPresenter;
}
