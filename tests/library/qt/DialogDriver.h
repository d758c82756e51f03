#pragma once

// Drives the library's dialogs as a user would: waits for a window to show,
// types, clicks, and reads what the window says, while the client's call that
// opened it runs on a thread of its own, as an application's presence thread
// calls the library.

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QWidget>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace dialogdriver {

// Generous: the sanitizer build on two loaded cores is slow.
constexpr std::chrono::seconds kLimit{10};

// Keeps the user-interface thread's events going until the condition holds.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The visible top-level window of that object name, or null after the limit.
inline QWidget* WaitForWindow(const QString& objectName) {
    QWidget* found = nullptr;
    WaitUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->objectName() == objectName) {
                found = widget;
                return true;
            }
        }
        return false;
    });
    return found;
}

inline QMessageBox* WaitForMessageBox() {
    QMessageBox* found = nullptr;
    WaitUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                found = box;
                return true;
            }
        }
        return false;
    });
    return found;
}

inline bool NoWindowShows(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->objectName() == objectName)
            return false;
    }
    return true;
}

template <typename Widget = QWidget>
Widget* Child(QWidget* window, const char* name) {
    return window ? window->findChild<Widget*>(name) : nullptr;
}

inline QString TextOf(QWidget* window, const char* name) {
    auto* label = Child<QLabel>(window, name);
    return label ? label->text() : QString("<no %1>").arg(name);
}

inline void Type(QWidget* window, const char* name, const QString& text) {
    if (auto* edit = Child<QLineEdit>(window, name))
        edit->setText(text);
}

// The button of the window whose text, without its mnemonic, is `text`.
inline QAbstractButton* Button(QWidget* window, const QString& text) {
    if (!window)
        return nullptr;
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        if (button->isVisible() && button->text().remove(u'&') == text)
            return button;
    }
    return nullptr;
}

// Clicks the button once it is enabled; false when it never was.
inline bool Click(QAbstractButton* button) {
    if (!button || !WaitUntil([&] { return button->isEnabled(); }))
        return false;
    button->click();
    return true;
}

// A client call on its own thread; the answer is read once it ended.
class Caller {
public:
    explicit Caller(std::function<int()> call)
        : m_thread([this, call = std::move(call)] {
            m_answer = call();
            m_done = true;
        }) {}
    ~Caller() {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Done() const { return m_done; }
    // Waits with the events going; -1000 when the call never ended.
    int Answer() {
        if (!WaitUntil([&] { return m_done.load(); }))
            return -1000;
        m_thread.join();
        return m_answer;
    }

private:
    std::atomic<bool> m_done{false};
    int m_answer = 0;
    std::thread m_thread;
};

// A TCP port on loopback that accepts connections: the directory host as the
// registration's probe sees it.
class ListeningPort {
public:
    ListeningPort() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(m_fd, 16) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~ListeningPort() { close(m_fd); }
    ListeningPort(const ListeningPort&) = delete;
    ListeningPort& operator=(const ListeningPort&) = delete;
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace dialogdriver
