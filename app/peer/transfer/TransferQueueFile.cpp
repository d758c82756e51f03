#include "app/peer/transfer/TransferQueueFile.h"

#include "app/peer/transfer/TransferFileBytes.h"
#include "platform/AtomicFile.h"

namespace {

constexpr char kMagic[] = "DTQ1";
constexpr std::size_t kLongestItem = 4 * 2 + 2 * kTransferItemPathText + 2 * kTransferItemHostText;
constexpr std::size_t kLongestFile = 8 + kMostSavedTransfers * kLongestItem;

} // namespace

bool SaveTransferQueue(const std::filesystem::path& file, const std::vector<TransferItem>& items) {
    if (items.size() > kMostSavedTransfers)
        return false;
    std::vector<std::uint8_t> out(kMagic, kMagic + 4);
    AppendU32(out, static_cast<std::uint32_t>(items.size()));
    for (const TransferItem& item : items) {
        if (!AppendText(out, item.sourcePath, kTransferItemPathText) ||
            !AppendText(out, item.sourceHost, kTransferItemHostText) ||
            !AppendText(out, item.destinationPath, kTransferItemPathText) ||
            !AppendText(out, item.destinationHost, kTransferItemHostText))
            return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(file.parent_path(), failure);
    return platform::ReplaceFileAtomically(file, file.string() + ".XXXXXX", out);
}

std::vector<TransferItem> LoadTransferQueue(const std::filesystem::path& file) {
    std::vector<std::uint8_t> bytes;
    if (!ReadSmallFile(file, kLongestFile, bytes))
        return {};
    platform::ByteReader in(bytes);
    char magic[4] = {};
    std::uint32_t count = 0;
    if (!in.ReadBytes(magic, 4) || std::string(magic, 4) != std::string(kMagic, 4) ||
        !in.ReadU32(count) || count > kMostSavedTransfers)
        return {};
    std::vector<TransferItem> items(count);
    for (TransferItem& item : items) {
        if (!ReadText(in, item.sourcePath, kTransferItemPathText) ||
            !ReadText(in, item.sourceHost, kTransferItemHostText) ||
            !ReadText(in, item.destinationPath, kTransferItemPathText) ||
            !ReadText(in, item.destinationHost, kTransferItemHostText))
            return {};
    }
    if (in.Remaining() != 0)
        return {};
    return items;
}
