#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class DrovickSettings;

// One bubble of the messenger window: what it shows and what a reply needs.
struct InstantMessageEntry {
    // "label: text", or "To label: text" for a message this user sent.
    std::string shownText;
    std::string senderLabel;
    // Dotted address of the peer; "127.0.0.1" for the echo of an own message.
    std::string address;
    std::uint32_t bubbleColour = 0;
    std::uint32_t textColour = 0;
    bool outgoing = false;

    // A double-click answers a received message, never an own echo.
    bool CanReply() const;
};

// The messenger window: it registers while it is open. AppendMessage is called
// on the thread the display delivers on (the user-interface thread when the
// display has a queue) under the display's lock.
class InstantMessageReceiver {
public:
    virtual ~InstantMessageReceiver() = default;
    virtual void AppendMessage(const InstantMessageEntry& entry) = 0;
};

// Opens the messenger window when a message arrives and pop-up is on. Called on
// the thread the display delivers on, so a main frame opens (and registers) the
// window there and then, or refuses; it never waits for another thread.
class InstantMessengerOpener {
public:
    virtual ~InstantMessengerOpener() = default;
    virtual void OpenMessenger() = 0;
};

// The user-interface thread's queue. Post is called from the message server's
// workers and from senders and returns at once; the work runs later on the
// user-interface thread, in the order posted. A Qt main window implements it
// with one queued invocation on itself.
class UserInterfaceQueue {
public:
    virtual ~UserInterfaceQueue() = default;
    virtual void Post(std::function<void()> work) = 0;
};

// Where received messages and the echoes of sent ones go: the application's
// ShowInstantMessage. Messages that find no open window are dropped; nothing is
// kept for a window opened later.
class InstantMessageDisplay {
public:
    // settings may be null: pop-up on receipt is then on, as by default;
    // otherwise its published options are read (DrovickSettings::Options).
    // opener may be null: the window is then never opened for a message.
    // queue may be null: messages are then delivered on the thread that shows
    // them, as the command-line programs want. With a queue, the window,
    // the opener and the settings are only touched on the user-interface
    // thread, and the display must be destroyed there.
    InstantMessageDisplay(const DrovickSettings* settings, InstantMessengerOpener* opener,
                          UserInterfaceQueue* queue = nullptr);
    InstantMessageDisplay(const InstantMessageDisplay&) = delete;
    InstantMessageDisplay& operator=(const InstantMessageDisplay&) = delete;

    // Replaces any window registered before.
    void Register(InstantMessageReceiver* receiver);
    // Clears the registration when it is still this receiver's. On return no
    // message is being handed to it, so it may be destroyed.
    void Unregister(InstantMessageReceiver* receiver);
    bool IsOpen() const;

    // Makes the bubble (the label and the text made safe to show, SafeText)
    // and delivers it: posted to the queue when there is one, else at once.
    // Called from any thread; never waits for the user-interface thread, so a
    // server's worker may show a message while that thread stops the server.
    void ShowInstantMessage(const std::string& address, const std::string& senderLabel,
                            const std::string& text, std::uint32_t bubbleColour,
                            std::uint32_t textColour, bool outgoing);

    // The bubble's text: the label, ": " and the text, with "To " in front of
    // an outgoing message.
    static std::string ShownText(const std::string& senderLabel, const std::string& text,
                                 bool outgoing);

private:
    // Opens the window first when pop-up on receipt is set and none is open,
    // then appends the entry to the open window, if any.
    void Deliver(const InstantMessageEntry& entry);
    bool PopUpOnReceipt() const;

    const DrovickSettings* m_settings;
    InstantMessengerOpener* m_opener;
    UserInterfaceQueue* m_queue;
    // Posted deliveries hold it weakly: one still queued when the display is
    // gone is dropped.
    const std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    mutable std::mutex m_mutex;
    InstantMessageReceiver* m_receiver = nullptr;
};
