#include "app/shell/frame/ToolWindowKinds.h"

#include "app/files/LogEvent.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/monitor/NetworkMonitorView.h"

void RegisterToolWindowKinds(WindowKinds& kinds, LogEvent& log) {
    using S = DrovickSettings;
    // The friends list's and the messenger's factories come from
    // PeopleWindows, which needs the main frame and the presence session.
    kinds.Register({QStringLiteral("friends"),
                    QStringLiteral("Friends List"),
                    QStringLiteral("Friends List"),
                    &S::friendsListOpen,
                    &S::friendsListRect,
                    {}});
    kinds.Register({QStringLiteral("shared"),
                    QStringLiteral("Shared Directory List"),
                    QStringLiteral("Shared Directories"),
                    &S::sharedListOpen,
                    &S::sharedListRect,
                    {}});
    kinds.Register({QStringLiteral("transfers"),
                    QStringLiteral("Transfer Agent"),
                    QStringLiteral("Transfer Agent"),
                    &S::transferAgentOpen,
                    &S::transferAgentRect,
                    {}});
    kinds.Register({QStringLiteral("messenger"),
                    QStringLiteral("Instant Messenger"),
                    QStringLiteral("Instant &Messenger"),
                    &S::messengerOpen,
                    &S::messengerRect,
                    {}});
    WindowKind monitor{QStringLiteral("monitor"),
                       QStringLiteral("Network Monitor"),
                       QStringLiteral("&Network Monitor"),
                       &S::monitorOpen,
                       &S::monitorRect,
                       {}};
    monitor.factory = [&log]() -> QWidget* { return new NetworkMonitorView(log); };
    kinds.Register(std::move(monitor));
}
