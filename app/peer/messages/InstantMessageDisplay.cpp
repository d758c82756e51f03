#include "app/peer/messages/InstantMessageDisplay.h"

#include "app/files/DrovickSettings.h"
#include "app/files/SafeText.h"
#include "app/peer/transfer/TransferAgentDownload.h"

bool InstantMessageEntry::CanReply() const {
    return address != kLocalHostAddress;
}

InstantMessageDisplay::InstantMessageDisplay(const DrovickSettings* settings,
                                             InstantMessengerOpener* opener,
                                             UserInterfaceQueue* queue)
    : m_settings(settings)
    , m_opener(opener)
    , m_queue(queue) {}

void InstantMessageDisplay::Register(InstantMessageReceiver* receiver) {
    std::lock_guard lock(m_mutex);
    m_receiver = receiver;
}

void InstantMessageDisplay::Unregister(InstantMessageReceiver* receiver) {
    std::lock_guard lock(m_mutex);
    if (m_receiver == receiver)
        m_receiver = nullptr;
}

bool InstantMessageDisplay::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_receiver != nullptr;
}

bool InstantMessageDisplay::PopUpOnReceipt() const {
    // The display may run on a server's worker: never the fields themselves.
    return m_settings ? m_settings->Options().popUpOnReceipt : true;
}

std::string InstantMessageDisplay::ShownText(const std::string& senderLabel,
                                             const std::string& text, bool outgoing) {
    std::string shown = outgoing ? "To " : "";
    shown += senderLabel;
    shown += ": ";
    shown += text;
    return shown;
}

void InstantMessageDisplay::ShowInstantMessage(const std::string& address,
                                               const std::string& senderLabel,
                                               const std::string& text, std::uint32_t bubbleColour,
                                               std::uint32_t textColour, bool outgoing) {
    // The sender chose the label and the text: neither may steer the window
    // or the terminal that shows them.
    const std::string label = SafeText(senderLabel);
    InstantMessageEntry entry;
    entry.shownText = ShownText(label, SafeText(text), outgoing);
    entry.senderLabel = label;
    entry.address = address;
    entry.bubbleColour = bubbleColour;
    entry.textColour = textColour;
    entry.outgoing = outgoing;

    if (!m_queue) {
        Deliver(entry);
        return;
    }
    // The user-interface thread may be stopping the very server whose worker
    // calls here, waiting for it to end: only the message goes across.
    m_queue->Post([this, alive = std::weak_ptr<const bool>(m_alive), entry = std::move(entry)] {
        if (!alive.expired())
            Deliver(entry);
    });
}

void InstantMessageDisplay::Deliver(const InstantMessageEntry& entry) {
    // Opening registers the window, which takes the lock.
    if (PopUpOnReceipt() && m_opener && !IsOpen())
        m_opener->OpenMessenger();
    std::lock_guard lock(m_mutex);
    if (m_receiver)
        m_receiver->AppendMessage(entry);
}
