#pragma once

#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/shell/messenger/MessageSending.h"

#include <QListView>
#include <memory>

class BubbleDelegate;
class MessengerModel;

// The instant messenger window's content: every message that arrives while it
// is open as a bubble, newest at the bottom. It is the display's window while
// it exists. A message appended while the view shows the newest one scrolls
// it into view; otherwise the reader's place is kept. A double click on a
// received message answers it; an own echo ("To ...") is never answered.
class MessengerView : public QListView, private InstantMessageReceiver {
    Q_OBJECT
public:
    MessengerView(InstantMessageDisplay& display, MessageSend send, QWidget* parent = nullptr);
    ~MessengerView() override;

    MessengerModel& Model() const { return *m_model; }

    // Called on the user-interface thread by the display.
    void AppendMessage(const InstantMessageEntry& entry) override;

    // What a double click on a received message does instead of opening the
    // send dialog (a test watches it).
    using ReplyHandler = std::function<void(const QString& address, const QString& label)>;
    void SetReplyHandler(ReplyHandler handler) { m_replyHandler = std::move(handler); }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void FlushArrivals();

    InstantMessageDisplay& m_display;
    MessageSend m_send;
    ReplyHandler m_replyHandler;
    std::unique_ptr<MessengerModel> m_model;
    std::unique_ptr<BubbleDelegate> m_delegate;
    // The reader is at the newest bubble: a longer scroll range (the layout
    // runs in batches over several turns of the loop) moves to its end.
    bool m_atNewest = true;
    // Messages that came in one turn of the event loop enter the model
    // together, so a flood costs one layout, not one per message.
    std::vector<InstantMessageEntry> m_arrivals;
};
