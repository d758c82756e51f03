#include "app/shell/search/SearchCommand.h"

#include <QAction>
#include <QCoreApplication>
#include <QPointer>

void ConnectSearchCommand(QAction& command, QWidget* owner, SearchWindow::Services services) {
    command.setEnabled(true);
    auto window = std::make_shared<QPointer<SearchWindow>>();
    QObject::connect(&command, &QAction::triggered, owner, [owner, services, window] {
        if (!*window) {
            *window = new SearchWindow(services, std::nullopt, owner);
            (*window)->setAttribute(Qt::WA_DeleteOnClose);
        }
        (*window)->show();
        (*window)->raise();
        (*window)->activateWindow();
    });
    // The search thread asks the presence session, which the exit order
    // closes: the window and its thread go first.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, owner,
                     [window] { delete window->data(); });
}
