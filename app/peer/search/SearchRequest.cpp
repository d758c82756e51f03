#include "app/peer/search/SearchRequest.h"

#include "app/peer/wire/PeerConnection.h"
#include "app/peer/wire/PeerWire.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <thread>

std::vector<std::uint8_t> SearchRequest::Encode(std::size_t queryText) const {
    std::vector<std::uint8_t> bytes(kSize, 0);
    platform::StoreLE32s(bytes.data(), mode);
    platform::StoreLE32s(bytes.data() + 4, hopCount);
    std::memcpy(bytes.data() + 8, originator.data(), originator.size());
    platform::StoreLE32s(bytes.data() + 12, stamp);
    // A forwarded query may fill the whole field, so the width-minus-one rule
    // of the text fields does not apply here.
    const std::size_t width = kSize - kQueryOffset;
    const std::size_t length = std::min({query.size(), queryText, width});
    std::memcpy(bytes.data() + kQueryOffset, query.data(), length);
    return bytes;
}

std::optional<SearchRequest> SearchRequest::Decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kSize)
        return std::nullopt;
    SearchRequest request;
    request.mode = platform::LoadLE32s(bytes.data());
    request.hopCount = platform::LoadLE32s(bytes.data() + 4);
    std::memcpy(request.originator.data(), bytes.data() + 8, request.originator.size());
    request.stamp = platform::LoadLE32s(bytes.data() + 12);
    request.query = platform::ReadFixedText(bytes.data() + kQueryOffset, kSize - kQueryOffset);
    return request;
}

std::string SearchRequest::OriginatorText() const {
    return DottedAddress(std::span<const std::uint8_t, 4>(originator));
}

std::unique_ptr<TimeOutSocket> OpenSearchConnection(const std::string& host, int port, int attempts,
                                                    std::chrono::milliseconds budget,
                                                    const std::atomic<bool>* running) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (running && !running->load())
            return nullptr;
        if (attempt > 0 && std::chrono::steady_clock::now() >= deadline)
            return nullptr;
        auto connection = std::make_unique<TimeOutSocket>();
        connection->WatchRunFlag(running);
        // From the address this user's servers listen on, so that the peer,
        // which takes the sender's address from the connection, sees this
        // user's address when several users share one machine.
        if (connection->Connect(host, port, ListenAddress()))
            return connection;
        // A refused port answers at once; a short pause gives a listener that
        // is just starting a chance without burning the attempts in a burst.
        if (attempt + 1 < attempts)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

bool SendSearchRequest(TimeOutSocket& connection, const SearchRequest& request,
                       std::size_t queryText, std::chrono::milliseconds limit) {
    const std::vector<std::uint8_t> bytes = request.Encode(queryText);
    const std::vector<std::uint8_t> header(bytes.begin(),
                                           bytes.begin() + SearchRequest::kHeaderSize);
    const std::vector<std::uint8_t> query(bytes.begin() + SearchRequest::kHeaderSize, bytes.end());
    return connection.SendBlock(header, limit) && connection.SendBlock(query, limit);
}

bool DeliverSearchRequest(const std::string& host, int port, const SearchRequest& request,
                          std::size_t queryText, int attempts, const std::atomic<bool>* running) {
    auto connection = OpenSearchConnection(host, port, attempts, kPeerCallLimit, running);
    if (!connection)
        return false;
    const bool sent = SendSearchRequest(*connection, request, queryText, kPeerCallLimit);
    CloseConnection(connection);
    return sent;
}
