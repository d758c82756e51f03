#include "app/peer/search/SearchReply.h"

#include "app/peer/wire/PeerWire.h"
#include "platform/ByteOrder.h"

#include <algorithm>

std::vector<std::uint8_t> SearchReply::EncodeHeader() const {
    platform::ByteWriter writer;
    writer.WriteI32(static_cast<std::int32_t>(paths.size()));
    writer.WriteFixedText(responder, kResponderNameWidth);
    return writer.Take();
}

std::optional<std::int32_t> SearchReply::DecodeHeader(std::span<const std::uint8_t> bytes,
                                                      std::string& responder) {
    platform::ByteReader reader(bytes);
    std::int32_t count = 0;
    std::string name;
    if (bytes.size() < kSearchReplyHeaderSize || !reader.ReadI32(count) ||
        !reader.ReadFixedText(name, kResponderNameWidth))
        return std::nullopt;
    responder = std::move(name);
    return count;
}

std::vector<std::uint8_t> SearchReply::EncodeTable(const std::vector<std::string>& entries) {
    platform::ByteWriter writer;
    for (const auto& entry : entries)
        writer.WriteFixedText(entry, kResultEntryWidth);
    return writer.Take();
}

std::optional<std::vector<std::string>>
SearchReply::DecodeTable(std::span<const std::uint8_t> bytes, std::size_t count) {
    if (count > static_cast<std::size_t>(kSearchReplyResultLimit) ||
        bytes.size() != count * kResultEntryWidth)
        return std::nullopt;
    platform::ByteReader reader(bytes);
    std::vector<std::string> entries(count);
    for (auto& entry : entries)
        if (!reader.ReadFixedText(entry, kResultEntryWidth))
            return std::nullopt;
    return entries;
}

namespace {

bool SendInChunks(TimeOutSocket& connection, const std::vector<std::uint8_t>& bytes,
                  std::chrono::milliseconds limit) {
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t piece = std::min(kSearchReplyChunk, bytes.size() - done);
        connection.SetTimeOut(limit);
        if (connection.Send(bytes.data() + done, piece) != piece)
            return false;
        done += piece;
    }
    return true;
}

// Appends count bytes as they arrive, one chunk at a time.
bool ReceiveInChunks(TimeOutSocket& connection, std::size_t count, std::chrono::milliseconds limit,
                     std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    std::vector<std::uint8_t> piece;
    while (bytes.size() < count) {
        const std::size_t size = std::min(kSearchReplyChunk, count - bytes.size());
        if (!connection.ReceiveBlock(piece, size, limit))
            return false;
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    }
    return true;
}

} // namespace

bool SendSearchReply(TimeOutSocket& connection, const SearchReply& reply,
                     std::chrono::milliseconds limit) {
    if (reply.paths.empty() || reply.paths.size() != reply.titles.size() ||
        reply.paths.size() > static_cast<std::size_t>(kSearchReplyResultLimit))
        return false;
    if (!connection.SendBlock(reply.EncodeHeader(), limit))
        return false;
    // The limit for a table grows with its length (5 s per result);
    // a limit per chunk bounds a receiver that stops reading just as well and
    // keeps a dead originator from holding the server for minutes.
    return SendInChunks(connection, SearchReply::EncodeTable(reply.paths), limit) &&
           SendInChunks(connection, SearchReply::EncodeTable(reply.titles), limit);
}

std::optional<SearchReply> ReceiveSearchReply(TimeOutSocket& connection,
                                              std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> header;
    if (!connection.ReceiveBlock(header, kSearchReplyHeaderSize, limit))
        return std::nullopt;
    SearchReply reply;
    const auto count = SearchReply::DecodeHeader(header, reply.responder);
    // A stranger may announce any count: more than any server sends is a lie.
    if (!count || *count < 1 || *count > kSearchReplyResultLimit)
        return std::nullopt;
    const auto entries = static_cast<std::size_t>(*count);
    std::vector<std::uint8_t> table;
    if (!ReceiveInChunks(connection, entries * kResultEntryWidth, limit, table))
        return std::nullopt;
    auto paths = SearchReply::DecodeTable(table, entries);
    if (!ReceiveInChunks(connection, entries * kResultEntryWidth, limit, table))
        return std::nullopt;
    auto titles = SearchReply::DecodeTable(table, entries);
    if (!paths || !titles)
        return std::nullopt;
    reply.paths = std::move(*paths);
    reply.titles = std::move(*titles);
    return reply;
}
