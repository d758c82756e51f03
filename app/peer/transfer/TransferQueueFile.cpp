#include "app/peer/transfer/TransferQueueFile.h"

#include "app/peer/transfer/TransferFileBytes.h"
#include "platform/AtomicFile.h"

#include <algorithm>
#include <array>

namespace {

constexpr char kMagic[] = "DTQ2";
constexpr char kFirstMagic[] = "DTQ1";
constexpr std::array<const char*, 4> kFinalStates = {"Verified", "Done", "Digest mismatch",
                                                     "Failed"};
constexpr std::size_t kLongestState = 15;
constexpr std::size_t kLongestItem =
    5 * 2 + 2 * kTransferItemPathText + 2 * kTransferItemHostText + kLongestState;
constexpr std::size_t kLongestFile = 8 + kMostSavedTransfers * kLongestItem;

bool KnownFinalState(const std::string& state) {
    return state.empty() ||
           std::find(kFinalStates.begin(), kFinalStates.end(), state) != kFinalStates.end();
}

} // namespace

bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<SavedTransfer>& rows) {
    if (rows.size() > kMostSavedTransfers)
        return false;
    std::vector<std::uint8_t> out(kMagic, kMagic + 4);
    AppendU32(out, static_cast<std::uint32_t>(rows.size()));
    for (const SavedTransfer& row : rows) {
        const TransferItem& item = row.item;
        if (!KnownFinalState(row.finalState) ||
            !AppendText(out, item.sourcePath, kTransferItemPathText) ||
            !AppendText(out, item.sourceHost, kTransferItemHostText) ||
            !AppendText(out, item.destinationPath, kTransferItemPathText) ||
            !AppendText(out, item.destinationHost, kTransferItemHostText) ||
            !AppendText(out, row.finalState, kLongestState))
            return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(file.parent_path(), failure);
    return platform::ReplaceFileAtomically(file, file.string() + ".XXXXXX", out);
}

bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<TransferItem>& items) {
    std::vector<SavedTransfer> rows;
    rows.reserve(items.size());
    for (const TransferItem& item : items)
        rows.push_back({item, {}});
    return SaveTransferQueue(file, rows);
}

std::vector<SavedTransfer> LoadSavedTransfers(const std::filesystem::path& file) {
    std::vector<std::uint8_t> bytes;
    if (!ReadSmallFile(file, kLongestFile, bytes))
        return {};
    platform::ByteReader in(bytes);
    char magic[4] = {};
    std::uint32_t count = 0;
    if (!in.ReadBytes(magic, 4) || !in.ReadU32(count) || count > kMostSavedTransfers)
        return {};
    const std::string layout(magic, 4);
    const bool withStates = layout == std::string(kMagic, 4);
    if (!withStates && layout != std::string(kFirstMagic, 4))
        return {};
    std::vector<SavedTransfer> rows(count);
    for (SavedTransfer& row : rows) {
        TransferItem& item = row.item;
        if (!ReadText(in, item.sourcePath, kTransferItemPathText) ||
            !ReadText(in, item.sourceHost, kTransferItemHostText) ||
            !ReadText(in, item.destinationPath, kTransferItemPathText) ||
            !ReadText(in, item.destinationHost, kTransferItemHostText) ||
            (withStates &&
             (!ReadText(in, row.finalState, kLongestState) || !KnownFinalState(row.finalState))))
            return {};
    }
    if (in.Remaining() != 0)
        return {};
    return rows;
}

std::vector<TransferItem> LoadTransferQueue(const std::filesystem::path& file) {
    std::vector<TransferItem> items;
    for (SavedTransfer& row : LoadSavedTransfers(file))
        if (row.finalState.empty())
            items.push_back(std::move(row.item));
    return items;
}
