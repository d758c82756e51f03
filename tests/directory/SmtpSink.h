#pragma once

// A small SMTP server on loopback for the mail tests: it takes every message
// (a recipient starting with "refuse" is refused for good), keeps them and
// counts them. It offers no TLS, so a sender that only tries STARTTLS goes on
// in clear. Start it on a port of its own choosing, or on a port chosen
// before, to play a mail server that comes up late.

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace halvdirtest {

class SmtpSink {
public:
    struct Mail {
        std::string from;
        std::vector<std::string> recipients;
        std::string data; // headers and body as received, dot-stuffing undone
    };

    ~SmtpSink() { Stop(); }

    // A free loopback port, for a sink started later.
    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = -1;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        close(fd);
        return port;
    }

    bool Start(int port = 0) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_listen, 16) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        m_stop = false;
        m_acceptor = std::thread([this] { AcceptLoop(); });
        return true;
    }

    void Stop() {
        m_stop = true;
        if (m_acceptor.joinable())
            m_acceptor.join();
        for (auto& session : m_sessions)
            session.join();
        m_sessions.clear();
        if (m_listen >= 0)
            close(m_listen);
        m_listen = -1;
    }

    // A slow mail server: each message is acknowledged only after this long.
    void SetAcceptDelay(std::chrono::milliseconds delay) { m_acceptDelay = delay; }

    int Port() const { return m_port; }
    std::string Url() const { return "smtp://127.0.0.1:" + std::to_string(m_port); }

    std::vector<Mail> Mails() const {
        std::lock_guard lock(m_lock);
        return m_mails;
    }

    // Waits until at least count mails arrived; false after the limit.
    bool WaitForMails(size_t count, std::chrono::seconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Mails().size() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return Mails().size() >= count;
    }

private:
    void AcceptLoop() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                m_sessions.emplace_back([this, fd] { Session(fd); });
        }
    }

    // The next CRLF-ended line, or false when the client left or the sink stops.
    bool ReadLine(int fd, std::string& buffer, std::string& line) {
        while (!m_stop) {
            auto end = buffer.find("\r\n");
            if (end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return false;
    }

    static void Say(int fd, const std::string& text) {
        std::string line = text + "\r\n";
        [[maybe_unused]] auto sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    }

    static std::string Upper(std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    }

    void Session(int fd) {
        Say(fd, "220 sink ready");
        std::string buffer, line;
        Mail mail;
        while (ReadLine(fd, buffer, line)) {
            std::string verb = Upper(line.substr(0, 4));
            if (verb == "EHLO") {
                Say(fd, "250-sink");
                Say(fd, "250 8BITMIME");
            } else if (verb == "HELO" || verb == "RSET" || verb == "NOOP") {
                Say(fd, "250 OK");
                mail = Mail{};
            } else if (verb == "MAIL") {
                mail.from = line.substr(10);
                Say(fd, "250 OK");
            } else if (verb == "RCPT") {
                std::string to = line.substr(8);
                if (to.starts_with("<refuse")) {
                    Say(fd, "550 no such user");
                    continue;
                }
                mail.recipients.push_back(to);
                Say(fd, "250 OK");
            } else if (verb == "DATA") {
                Say(fd, "354 go ahead");
                std::string data;
                bool ended = false;
                while (ReadLine(fd, buffer, line)) {
                    if (line == ".") {
                        ended = true;
                        break;
                    }
                    data += (line.starts_with(".") ? line.substr(1) : line) + "\r\n";
                }
                if (!ended)
                    break;
                mail.data = data;
                std::this_thread::sleep_for(m_acceptDelay.load());
                {
                    std::lock_guard lock(m_lock);
                    m_mails.push_back(mail);
                }
                mail = Mail{};
                Say(fd, "250 queued");
            } else if (verb == "QUIT") {
                Say(fd, "221 bye");
                break;
            } else {
                Say(fd, "502 not here");
            }
        }
        close(fd);
    }

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<std::chrono::milliseconds> m_acceptDelay{std::chrono::milliseconds(0)};
    std::thread m_acceptor;
    std::vector<std::thread> m_sessions;
    mutable std::mutex m_lock;
    std::vector<Mail> m_mails;
};

} // namespace halvdirtest
