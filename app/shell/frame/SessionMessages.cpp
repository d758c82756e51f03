#include "app/shell/frame/SessionMessages.h"

#include "platform/MessageBus.h"

#include <QSocketNotifier>
#include <chrono>
#include <system_error>

SessionMessages::SessionMessages(QObject* parent)
    : QObject(parent) {
    using platform::MessageBus;
    m_wakeUp = MessageBus::RegisterMessage(kWakeUp);
    m_transferDone = MessageBus::RegisterMessage(kTransferDone);
    m_displayMessenger = MessageBus::RegisterMessage(kDisplayMessenger);
    m_updateContacts = MessageBus::RegisterMessage(kUpdateContacts);
    try {
        m_receiver = platform::MessageReceiver::Create();
    } catch (const std::system_error&) {
        // Without the bus the window still works; nobody can reach it.
        return;
    }
    m_notifier = new QSocketNotifier(m_receiver->Fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionMessages::Drain);
}

SessionMessages::~SessionMessages() = default;

int SessionMessages::PostWakeUp() {
    const std::uint32_t number = platform::MessageBus::RegisterMessage(kWakeUp);
    return number ? platform::MessageBus::PostToAll(number) : 0;
}

void SessionMessages::Drain() {
    // A burst is taken in one go but bounded, so a flood of datagrams cannot
    // hold the user-interface thread; the notifier fires again for the rest.
    constexpr int kBatch = 64;
    for (int taken = 0; taken < kBatch; ++taken) {
        auto message = m_receiver->Receive(std::chrono::milliseconds(0));
        if (!message)
            return;
        // Unknown numbers (anything else posted to all) are ignored.
        const std::uint32_t number = message->number;
        if (number == 0)
            continue;
        if (number == m_wakeUp)
            emit WakeUp();
        else if (number == m_transferDone)
            emit TransferDone();
        else if (number == m_displayMessenger)
            emit DisplayMessenger();
        else if (number == m_updateContacts)
            emit UpdateContacts();
    }
}
