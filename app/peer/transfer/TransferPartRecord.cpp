#include "app/peer/transfer/TransferPartRecord.h"

#include "app/peer/transfer/TransferFileBytes.h"
#include "platform/AtomicFile.h"

#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[] = "DPR1";
// Host and path texts are far shorter than this; anything longer is damage.
constexpr std::size_t kLongestText = 1024;
constexpr std::size_t kLongestRecord = 4 + 2 * (2 + kLongestText) + 16;

} // namespace

fs::path PartFileOf(const fs::path& destination) {
    fs::path part = destination;
    part += ".drovick-part";
    return part;
}

fs::path PartRecordOf(const fs::path& destination) {
    fs::path record = PartFileOf(destination);
    record += ".info";
    return record;
}

bool WritePartRecord(const fs::path& file, const TransferPartRecord& record) {
    if (record.sourceHost.size() > kLongestText || record.sourcePath.size() > kLongestText)
        return false;
    std::vector<std::uint8_t> out(kMagic, kMagic + 4);
    if (!AppendText(out, record.sourceHost, kLongestText) ||
        !AppendText(out, record.sourcePath, kLongestText))
        return false;
    AppendI64(out, record.size);
    AppendI64(out, record.modified);
    return platform::ReplaceFileAtomically(file, file.string() + ".XXXXXX", out, 0644);
}

std::optional<TransferPartRecord> ReadPartRecord(const fs::path& file) {
    std::vector<std::uint8_t> bytes;
    if (!ReadSmallFile(file, kLongestRecord, bytes))
        return std::nullopt;
    platform::ByteReader in(bytes);
    TransferPartRecord record;
    char magic[4] = {};
    if (!in.ReadBytes(magic, 4) || std::string(magic, 4) != std::string(kMagic, 4) ||
        !ReadText(in, record.sourceHost, kLongestText) ||
        !ReadText(in, record.sourcePath, kLongestText) || !ReadI64(in, record.size) ||
        !ReadI64(in, record.modified) || in.Remaining() != 0 || record.size < 0)
        return std::nullopt;
    return record;
}
