#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

// A tiny HTTP responder on a loopback port that answers every request with what
// the test scripted: a status and body, raw bytes, or silence. It records the
// request targets so a test can check the addresses a client built. One
// connection at a time, which is all a directory client makes.
class ScriptedHttpResponder {
public:
    enum class Mode { Answer, Raw, Silent };

    ScriptedHttpResponder() {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
            listen(m_listener, 16) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            throw std::runtime_error("scripted responder cannot listen");
        m_port = ntohs(local.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }

    ~ScriptedHttpResponder() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }

    ScriptedHttpResponder(const ScriptedHttpResponder&) = delete;
    ScriptedHttpResponder& operator=(const ScriptedHttpResponder&) = delete;

    int Port() const { return m_port; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Answers with this status and body (with a Content-Length).
    void Answer(int status, const std::string& body) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_mode = Mode::Answer;
        m_status = status;
        m_body = body;
    }
    // Sends these bytes as they are, then closes.
    void SendRaw(const std::string& bytes) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_mode = Mode::Raw;
        m_body = bytes;
    }
    // Reads the request and never answers.
    void StaySilent() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_mode = Mode::Silent;
    }

    std::vector<std::string> Targets() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_targets;
    }
    std::string LastTarget() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_targets.empty() ? std::string() : m_targets.back();
    }
    std::string LastRequest() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lastRequest;
    }

private:
    bool WaitReadable(int fd, int ms) const {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    void Serve() {
        while (!m_stop) {
            if (!WaitReadable(m_listener, 50))
                continue;
            int fd = accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            Handle(fd);
            close(fd);
        }
    }

    void Handle(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            if (!WaitReadable(fd, 2000))
                return;
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        Mode mode;
        std::string reply;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_lastRequest = request;
            std::size_t space = request.find(' ');
            std::size_t second = request.find(' ', space + 1);
            if (space != std::string::npos && second != std::string::npos)
                m_targets.push_back(request.substr(space + 1, second - space - 1));
            mode = m_mode;
            if (mode == Mode::Answer)
                reply = "HTTP/1.1 " + std::to_string(m_status) +
                        " Scripted\r\nContent-Length: " + std::to_string(m_body.size()) +
                        "\r\nConnection: close\r\n\r\n" + m_body;
            else
                reply = m_body;
        }
        if (mode == Mode::Silent) {
            // Hold the connection open without a word until the client gives up.
            while (!m_stop) {
                if (WaitReadable(fd, 50) && recv(fd, buffer, sizeof buffer, 0) <= 0)
                    return;
            }
            return;
        }
        std::size_t sent = 0;
        while (sent < reply.size()) {
            ssize_t result = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (result <= 0)
                return;
            sent += static_cast<std::size_t>(result);
        }
    }

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_lock;
    Mode m_mode = Mode::Answer;
    int m_status = 200;
    std::string m_body;
    std::vector<std::string> m_targets;
    std::string m_lastRequest;
};

} // namespace testsupport
