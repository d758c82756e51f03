// The Qt side of the library's messages: message boxes and the loading icon.
// Loaded by the library only into processes that run a QApplication.

#include "QtPresenterAbi.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QThread>
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

// Widgets live on the user-interface thread; a call from a worker thread (the
// application may initialise the library from one) waits there for the answer.
template <typename Work>
void OnGuiThread(Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, work, Qt::BlockingQueuedConnection);
}

QPointer<QSystemTrayIcon> g_loadingIcon;

void ShowError(void* owner, const char* text, const char* caption) {
    QString message = QString::fromLocal8Bit(text);
    QString title = QString::fromLocal8Bit(caption);
    OnGuiThread([=] { QMessageBox::critical(OwnerWidget(owner), title, message); });
}

void ShowSystemMessage(void* owner, const char* title, const char* text) {
    QString message = QString::fromLocal8Bit(text);
    QString caption = QString::fromLocal8Bit(title);
    OnGuiThread([=] { QMessageBox::information(OwnerWidget(owner), caption, message); });
}

void ShowLoadingIcon(const char* tip) {
    // Notification-area tips are cut to 63 characters.
    QString toolTip = QString::fromLocal8Bit(tip).left(63);
    OnGuiThread([=] {
        if (g_loadingIcon || !QSystemTrayIcon::isSystemTrayAvailable())
            return;
        auto* icon = new QSystemTrayIcon(qApp);
        icon->setIcon(qApp->style()->standardIcon(QStyle::SP_BrowserReload));
        icon->setToolTip(toolTip);
        icon->show();
        g_loadingIcon = icon;
    });
}

void RemoveLoadingIcon() {
    OnGuiThread([] {
        if (g_loadingIcon) {
            g_loadingIcon->hide();
            delete g_loadingIcon.data();
        }
    });
}

const HalvaraQtPresenter kPresenter{HALVARA_QT_ABI_VERSION, &ShowError, &ShowSystemMessage,
                                    &ShowLoadingIcon, &RemoveLoadingIcon};

} // namespace

extern "C" __attribute__((visibility("default"))) const HalvaraQtPresenter* HalvaraQt_Presenter() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) ? &kPresenter : nullptr;
}
