#include "app/peer/PeerConnection.h"

#include <cstdlib>

std::unique_ptr<TimeOutSocket> OpenConnection(const std::string& host, int port, int* error) {
    auto connection = std::make_unique<TimeOutSocket>();
    if (connection->Connect(host, port)) {
        if (error)
            *error = 0;
        return connection;
    }
    if (error)
        *error = connection->LastError();
    return nullptr;
}

void CloseConnection(std::unique_ptr<TimeOutSocket>& connection) {
    if (connection)
        connection->Close();
    connection.reset();
}

std::string ListenAddress() {
    const char* configured = std::getenv("HALVARA_ADDRESS");
    if (!configured)
        return {};
    std::string address = configured;
    auto first = address.find_first_not_of(" \t");
    auto last = address.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : address.substr(first, last - first + 1);
}
