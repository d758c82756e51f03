#pragma once

#include <QObject>
#include <cstdint>
#include <memory>

class QSocketNotifier;
namespace platform {
class MessageReceiver;
}

// The registered messages other programs and the library post on the session
// message bus, turned into signals on the user-interface thread: a socket
// notifier wakes the event loop, nothing polls and no thread waits.
class SessionMessages : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWakeUp = "Pellow WakeUp";
    static constexpr const char* kTransferDone = "Pellow Transfer Done";
    static constexpr const char* kDisplayMessenger = "Pellow Display IMessenger";
    static constexpr const char* kUpdateContacts = "Halvara: update contacts";

    // Takes this process's place on the bus; Listening() says whether it got it.
    explicit SessionMessages(QObject* parent = nullptr);
    ~SessionMessages() override;
    bool Listening() const { return m_receiver != nullptr; }

    // Posts "Pellow WakeUp" to every program on the bus; the number reached.
    static int PostWakeUp();

signals:
    void WakeUp();
    void TransferDone();
    void DisplayMessenger();
    void UpdateContacts();

private:
    void Drain();

    std::unique_ptr<platform::MessageReceiver> m_receiver;
    QSocketNotifier* m_notifier = nullptr;
    std::uint32_t m_wakeUp = 0;
    std::uint32_t m_transferDone = 0;
    std::uint32_t m_displayMessenger = 0;
    std::uint32_t m_updateContacts = 0;
};
