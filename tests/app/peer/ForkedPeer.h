#pragma once

#include <functional>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// A peer in a process of its own: body runs in a forked child that ends when
// it returns. Fork before starting any thread in the test, so the child holds
// no lock another thread owned. The child is killed if it still runs when the
// object goes.
class ForkedPeer {
public:
    explicit ForkedPeer(const std::function<void()>& body) {
        m_pid = fork();
        if (m_pid < 0)
            throw std::runtime_error("fork failed");
        if (m_pid == 0) {
            body();
            _exit(0);
        }
    }
    ~ForkedPeer() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ForkedPeer(const ForkedPeer&) = delete;
    ForkedPeer& operator=(const ForkedPeer&) = delete;

    // The child's exit status as waitpid reports it.
    int Wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
};
