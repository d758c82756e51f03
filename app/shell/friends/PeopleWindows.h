#pragma once

#include "app/shell/messenger/MessageSending.h"

#include <QObject>
#include <atomic>
#include <memory>

class DrovickSettings;
class FriendsSource;
class InstantMessageDisplay;
class MainFrame;
class PresenceSession;
class SessionMessages;
class WindowKinds;

// Plugs the friends list and the messenger into the main frame: their window
// factories, "Halvara: update contacts" refreshing the list, and the toolbar's
// send button, enabled only while the presence library is initialised.
class PeopleWindows : public QObject {
    Q_OBJECT
public:
    PeopleWindows(WindowKinds& kinds, MainFrame& frame, SessionMessages& messages,
                  InstantMessageDisplay& display, PresenceSession& presence,
                  const DrovickSettings& settings);
    ~PeopleWindows() override;

    // The presence start answered; ready when the library is initialised.
    void PresenceAnswered(bool ready);

private:
    void RefreshFriends();

    WindowKinds& m_kinds;
    MainFrame& m_frame;
    // Set when the presence start answered registered; shared with the
    // friends list's fill, which may outlive this object by one question.
    std::shared_ptr<std::atomic<bool>> m_presenceReady = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<FriendsSource> m_friends;
    MessageSend m_send;
};
