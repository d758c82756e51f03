#include "directory/DirectoryServer.h"

#include <algorithm>
#include <cstdio>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace halvdir {

namespace {

void LogLine(const httplib::Request& request, const httplib::Response& response) {
    std::string_view target = request.target;
    auto question = target.find('?');
    std::string query =
        question == std::string_view::npos
            ? std::string()
            : DirectoryService::RedactedQuery(request.path, target.substr(question + 1));
    std::string path = request.path.substr(0, 200);
    std::string method = request.method.substr(0, 16);
    char line[640];
    int size =
        std::snprintf(line, sizeof line, "%s %s %s%s%s %d %zu\n", request.remote_addr.c_str(),
                      method.c_str(), path.c_str(), query.empty() ? "" : "?", query.c_str(),
                      response.status, response.body.size());
    if (size <= 0)
        return;
    size_t length = std::min(static_cast<size_t>(size), sizeof line - 1);
    // Keep the log one line per request whatever the client sent.
    for (size_t i = 0; i + 1 < length; ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F)
            line[i] = '?';
    line[length - 1] = '\n';
    // One write per line: the kernel keeps concurrent writes to one file or
    // pipe from mixing, without a lock of ours around a system call.
    size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(STDOUT_FILENO, line + written, length - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
}

} // namespace

DirectoryServer::DirectoryServer(DirectoryService& service, int threads)
    : m_service(service)
    , m_server(std::make_unique<httplib::Server>()) {
    size_t count = threads > 0 ? static_cast<size_t>(threads) : 1;
    m_server->new_task_queue = [count] { return new httplib::ThreadPool(count); };
    m_server->set_tcp_nodelay(true);
    m_server->set_keep_alive_max_count(10000);
    m_server->set_keep_alive_timeout(5);
    m_server->set_read_timeout(10, 0);
    m_server->set_write_timeout(10, 0);
    m_server->set_payload_max_length(4096);
    m_server->set_logger(LogLine);
    // The library keeps the listening socket to itself; remember it here so
    // that Bind can widen its backlog.
    m_server->set_socket_options([this](socket_t fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        int none = -1;
        m_listenSocket.compare_exchange_strong(none, fd);
    });

    m_server->set_pre_routing_handler([this](const httplib::Request& request,
                                             httplib::Response& response) {
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = 405;
            response.set_content("Error: only GET\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string_view target = request.target;
        auto question = target.find('?');
        std::string_view query =
            question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
        Reply reply = m_service.Handle(request.path, query, request.remote_addr);
        response.status = reply.status;
        response.set_content(reply.body, "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
}

DirectoryServer::~DirectoryServer() = default;

bool DirectoryServer::Bind(const std::string& host, int port) {
    if (!m_server->bind_to_port(host, port))
        return false;
    // The library listens with a backlog of 5, which drops connections of a
    // burst of clients; listening again on the same socket raises it.
    if (m_listenSocket >= 0)
        ::listen(m_listenSocket, 1024);
    return true;
}

bool DirectoryServer::Run() {
    return m_server->listen_after_bind();
}

void DirectoryServer::Stop() {
    m_server->stop();
}

bool DirectoryServer::IsRunning() const {
    return m_server->is_running();
}

} // namespace halvdir
