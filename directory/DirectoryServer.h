#pragma once

#include "directory/DirectoryService.h"

#include <atomic>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace halvdir {

// The HTTP front of the directory: cpp-httplib with a thread pool large enough
// that kept-alive connections do not starve new clients, Nagle's algorithm off
// (with it every answer waits for a delayed acknowledgement), and one log line
// per request on standard output.
class DirectoryServer {
public:
    DirectoryServer(DirectoryService& service, int threads);
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    bool Bind(const std::string& host, int port);
    // Serves until Stop; returns false when listening failed.
    bool Run();
    // Safe from another thread.
    void Stop();
    bool IsRunning() const;

private:
    DirectoryService& m_service;
    std::unique_ptr<httplib::Server> m_server;
    std::atomic<int> m_listenSocket{-1};
};

} // namespace halvdir
