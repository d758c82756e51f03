#include "app/peer/wire/PeerConnection.h"

#include "platform/Environment.h"

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
    return platform::ConfiguredAddress();
}
