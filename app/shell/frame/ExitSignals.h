#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT (a session logout, a service manager, Ctrl+C) end the
// program through the same close path as "E&xit": the handler only writes a
// byte into a pipe, and the user-interface thread reads it through a socket
// notifier and emits ExitRequested.
class ExitSignals : public QObject {
    Q_OBJECT
public:
    // One per process; installs the handlers. Installed() is false when the
    // pipe could not be made (the signals then end the program as by default).
    explicit ExitSignals(QObject* parent = nullptr);
    ~ExitSignals() override; // restores the default handlers
    bool Installed() const { return m_notifier != nullptr; }

signals:
    void ExitRequested(int signalNumber);

private:
    void Read();
    QSocketNotifier* m_notifier = nullptr;
};
