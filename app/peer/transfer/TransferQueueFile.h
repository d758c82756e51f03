#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

#include <filesystem>
#include <string>
#include <vector>

// The transfer agent's rows, kept in a file of their own so that a restart
// brings back the downloads still to do and the final state of those that
// ended, until the user clears them. Layout, numbers little-endian:
//   4 bytes "DTQ2", u32 count, then per row five texts (u16 length and
//   bytes): source path, source host, destination path, destination host,
//   and the final state ("Verified", "Done", "Digest mismatch", "Failed"),
//   empty for a download still to do.
// Files of the first layout, "DTQ1", hold the same rows without the fifth
// text, every one still to do; they are read as such.
inline constexpr std::size_t kMostSavedTransfers = 4096;
inline constexpr const char* kTransferQueueFileName = "Transfers.queue";

struct SavedTransfer {
    TransferItem item;
    std::string finalState; // empty: still to do
};

// Written whole or not at all (temporary file and rename).
bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<SavedTransfer>& rows);
// Downloads still to do, and nothing else.
bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<TransferItem>& items);
// What the file holds, read as untrusted: a count past kMostSavedTransfers, a
// text longer than a row holds, a final state not among those above or bytes
// left over make the whole file count as empty. A missing file is empty.
std::vector<SavedTransfer> LoadSavedTransfers(const std::filesystem::path& file);
// The downloads in the file still to do.
std::vector<TransferItem> LoadTransferQueue(const std::filesystem::path& file);
