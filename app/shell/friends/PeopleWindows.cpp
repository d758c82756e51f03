#include "app/shell/friends/PeopleWindows.h"

#include "app/peer/PresenceDirectory.h"
#include "app/session/PresenceSession.h"
#include "app/shell/frame/MainFrame.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/FriendsSource.h"
#include "app/shell/messenger/MessengerView.h"

#include <QAction>

PeopleWindows::PeopleWindows(WindowKinds& kinds, MainFrame& frame, SessionMessages& messages,
                             InstantMessageDisplay& display, PresenceSession& presence,
                             const DrovickSettings& settings)
    : QObject(&frame)
    , m_kinds(kinds)
    , m_frame(frame)
    , m_friends(std::make_shared<HalvaraFriendsSource>(
          kDrovickTos, [ready = m_presenceReady] { return ready->load(); })) {
    InstantMessageSendContext context;
    context.friends = &presence;
    context.ownName = &presence;
    context.settings = &settings;
    context.display = &display;
    m_send = MakeMessageSend(context);

    m_kinds.SetFactory(QStringLiteral("friends"), [this]() -> QWidget* {
        return new FriendsListView(m_friends, [this](const QString& eMail) {
            m_frame.OpenComputer(eMail);
        });
    });
    m_kinds.SetFactory(QStringLiteral("messenger"), [this, &display]() -> QWidget* {
        return new MessengerView(display, m_send);
    });
    connect(&messages, &SessionMessages::UpdateContacts, this, &PeopleWindows::RefreshFriends);
    if (QAction* send = m_frame.Command(QStringLiteral("sendMessage"))) {
        send->setEnabled(false);
        connect(send, &QAction::triggered, this, [this] { AskAndSend(&m_frame, m_send); });
    }
}

PeopleWindows::~PeopleWindows() = default;

void PeopleWindows::PresenceAnswered(bool ready) {
    m_presenceReady->store(ready);
    if (QAction* send = m_frame.Command(QStringLiteral("sendMessage")))
        send->setEnabled(ready);
}

void PeopleWindows::RefreshFriends() {
    if (auto* list = qobject_cast<FriendsListView*>(m_kinds.ContentOf(QStringLiteral("friends"))))
        list->Refresh();
}
