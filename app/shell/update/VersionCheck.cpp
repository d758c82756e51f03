#include "app/shell/update/VersionCheck.h"

#include "app/shell/update/NewVersionDialog.h"
#include "app/shell/update/VersionFetch.h"
#include "platform/Environment.h"

#include <QMessageBox>
#include <QMetaObject>

VersionCheck::VersionCheck(QObject* parent)
    : QObject(parent) {}

VersionCheck::~VersionCheck() {
    // The transfer notices the flag within its next progress call.
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
}

void VersionCheck::Start(QWidget* parent) {
    if (m_running)
        return;
    m_running = true;
    m_parent = parent;
    if (m_worker.joinable())
        m_worker.join();
    m_worker = std::thread([this, url = platform::UpdateUrl()] {
        const int newest = FetchNewestVersion(url, m_stop);
        // Dropped by Qt when this object is gone before the call runs.
        QMetaObject::invokeMethod(
            this, [this, newest] { Finish(newest); }, Qt::QueuedConnection);
    });
}

void VersionCheck::Finish(int newest) {
    m_worker.join();
    m_running = false;
    emit Finished(newest);
    // Window-modal and not waited for, so no nested event loop runs here.
    if (newest > kCurrentVersion) {
        auto* dialog = new NewVersionDialog(ProductPage(platform::UpdateUrl()), m_parent);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, tr("New version"),
                                tr("You have the latest version of the software."),
                                QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
