#pragma once

// The transfer server the download tests run against.

#include "app/files/ShareTable.h"
#include "app/peer/transfer/TransferServer.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace peertest {

// A share table sharing folder, which is made first; null when it cannot be.
inline std::shared_ptr<ShareTable> TableSharing(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    auto table = std::make_shared<ShareTable>();
    return table->Add(folder.string()) ? table : nullptr;
}

// The timing the tests give their servers: few listen attempts, close together.
inline PeerServer::Timing QuickTiming(int listenAttempts = 3) {
    return {listenAttempts, std::chrono::milliseconds(100), std::chrono::milliseconds(5000)};
}

// A transfer server sharing table on address (set as HALVARA_ADDRESS, which
// the server binds) and port, started and listening; null when it did not
// listen within 5 s.
inline std::unique_ptr<TransferServer>
ListeningTransferServer(std::shared_ptr<ShareTable> table, LogEvent* log, const char* address,
                        int port, PeerServer::Timing timing = QuickTiming(),
                        TransferServer::Limits limits = {}) {
    setenv("HALVARA_ADDRESS", address, 1);
    auto server = std::make_unique<TransferServer>(std::move(table), log, port, timing, limits);
    if (!server->Start() ||
        !testsupport::WaitFor([&] { return server->IsListening(); }, std::chrono::seconds(5)))
        return nullptr;
    return server;
}

} // namespace peertest
