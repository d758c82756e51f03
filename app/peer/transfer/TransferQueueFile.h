#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

#include <filesystem>
#include <vector>

// The downloads the transfer agent still has to do, kept in a file of its own
// so that a restart brings them back. Layout, numbers little-endian:
//   4 bytes "DTQ1", u32 count, then per download four texts (u16 length and
//   bytes): source path, source host, destination path, destination host.
inline constexpr std::size_t kMostSavedTransfers = 4096;
inline constexpr const char* kTransferQueueFileName = "Transfers.queue";

// Written whole or not at all (temporary file and rename).
bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<TransferItem>& items);
// What the file holds, read as untrusted: a count past kMostSavedTransfers, a
// text longer than an item holds, or bytes left over make the whole file
// count as empty. A missing file is an empty queue.
std::vector<TransferItem> LoadTransferQueue(const std::filesystem::path& file);
