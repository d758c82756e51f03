#pragma once

#include <cstdint>
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
// on the thread that shows the message (the message server's worker, or the
// sender's thread for an echo) under the display's lock, so it must not wait
// for the user-interface thread: a window posts the entry to its own thread.
class InstantMessageReceiver {
public:
    virtual ~InstantMessageReceiver() = default;
    virtual void AppendMessage(const InstantMessageEntry& entry) = 0;
};

// Opens the messenger window when a message arrives and pop-up is on. The main
// frame implements it: on the user-interface thread it opens the window at
// once, from another thread it hands the request to the user-interface thread
// and waits until the window has been opened (and registered) or refused.
class InstantMessengerOpener {
public:
    virtual ~InstantMessengerOpener() = default;
    virtual void OpenMessenger() = 0;
};

// Where received messages and the echoes of sent ones go: the application's
// ShowInstantMessage. Messages that find no open window are dropped; nothing is
// kept for a window opened later.
class InstantMessageDisplay {
public:
    // settings may be null: pop-up on receipt is then on, as by default.
    // opener may be null: the window is then never opened for a message.
    InstantMessageDisplay(const DrovickSettings* settings, InstantMessengerOpener* opener);
    InstantMessageDisplay(const InstantMessageDisplay&) = delete;
    InstantMessageDisplay& operator=(const InstantMessageDisplay&) = delete;

    // Replaces any window registered before.
    void Register(InstantMessageReceiver* receiver);
    // Clears the registration when it is still this receiver's. On return no
    // message is being handed to it, so it may be destroyed.
    void Unregister(InstantMessageReceiver* receiver);
    bool IsOpen() const;

    // Opens the window first when pop-up on receipt is set and none is open,
    // then appends the message to the open window, if any, with the label and
    // the text made safe to show (SafeText). Called from any
    // thread; never with the lock held across the opener.
    void ShowInstantMessage(const std::string& address, const std::string& senderLabel,
                            const std::string& text, std::uint32_t bubbleColour,
                            std::uint32_t textColour, bool outgoing);

    // The bubble's text: the label, ": " and the text, with "To " in front of
    // an outgoing message.
    static std::string ShownText(const std::string& senderLabel, const std::string& text,
                                 bool outgoing);

private:
    bool PopUpOnReceipt() const;

    const DrovickSettings* m_settings;
    InstantMessengerOpener* m_opener;
    mutable std::mutex m_mutex;
    InstantMessageReceiver* m_receiver = nullptr;
};
