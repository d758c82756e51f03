#include "app/peer/transfer/TransferPartRecord.h"

#include "app/peer/transfer/TransferFileBytes.h"
#include "platform/AtomicFile.h"

#include <algorithm>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kMagicFirst[] = "DPR1";
constexpr char kMagic[] = "DPR2";
// Host and path texts are far shorter than this; anything longer is damage.
constexpr std::size_t kLongestText = 1024;
constexpr std::size_t kStateBytes = 8 + 8 * 4 + 8;
constexpr std::size_t kCheckBytes = 8;
constexpr std::size_t kLongestRecord =
    4 + 2 * (2 + kLongestText) + 16 + 1 + kStateBytes + kCheckBytes;

void AppendU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    AppendI64(out, static_cast<std::int64_t>(value));
}

std::vector<std::uint8_t> StateBytes(const Sha256Checkpoint& state) {
    std::vector<std::uint8_t> out;
    AppendU64(out, state.bytes);
    for (std::uint32_t word : state.words)
        AppendU32(out, word);
    AppendU64(out, state.bits);
    return out;
}

// Catches a state damaged on disk, which would otherwise only show as a
// digest mismatch after the whole rest had been downloaded.
std::array<std::uint8_t, kCheckBytes> StateCheck(const std::vector<std::uint8_t>& state) {
    Sha256 hash;
    hash.Add(state.data(), state.size());
    const auto digest = hash.Finish();
    std::array<std::uint8_t, kCheckBytes> check{};
    std::copy_n(digest.begin(), kCheckBytes, check.begin());
    return check;
}

// The state and its check as the record holds them; nothing when the check
// fails or the numbers cannot belong to a state.
bool ReadState(platform::ByteReader& in, std::optional<Sha256Checkpoint>& state) {
    std::vector<std::uint8_t> bytes(kStateBytes);
    std::array<std::uint8_t, kCheckBytes> check{};
    if (!in.ReadBytes(bytes.data(), bytes.size()) || !in.ReadBytes(check.data(), check.size()))
        return false;
    platform::ByteReader fields(bytes);
    Sha256Checkpoint read;
    std::int64_t count = 0, bits = 0;
    ReadI64(fields, count);
    for (std::uint32_t& word : read.words)
        fields.ReadU32(word);
    ReadI64(fields, bits);
    read.bytes = static_cast<std::uint64_t>(count);
    read.bits = static_cast<std::uint64_t>(bits);
    if (check == StateCheck(bytes) && Sha256().Restore(read))
        state = read;
    return true;
}

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
    out.push_back(record.checkpoint ? 1 : 0);
    if (record.checkpoint) {
        const auto state = StateBytes(*record.checkpoint);
        const auto check = StateCheck(state);
        out.insert(out.end(), state.begin(), state.end());
        out.insert(out.end(), check.begin(), check.end());
    }
    return platform::ReplaceFileAtomically(file, file.string() + ".XXXXXX", out, 0644);
}

std::optional<TransferPartRecord> ReadPartRecord(const fs::path& file) {
    std::vector<std::uint8_t> bytes;
    if (!ReadSmallFile(file, kLongestRecord, bytes))
        return std::nullopt;
    platform::ByteReader in(bytes);
    TransferPartRecord record;
    char magic[4] = {};
    if (!in.ReadBytes(magic, 4))
        return std::nullopt;
    const bool first = std::equal(magic, magic + 4, kMagicFirst);
    if (!first && !std::equal(magic, magic + 4, kMagic))
        return std::nullopt;
    if (!ReadText(in, record.sourceHost, kLongestText) ||
        !ReadText(in, record.sourcePath, kLongestText) || !ReadI64(in, record.size) ||
        !ReadI64(in, record.modified) || record.size < 0)
        return std::nullopt;
    if (!first) {
        std::uint8_t hasState = 0;
        if (!in.ReadU8(hasState) || hasState > 1 ||
            (hasState == 1 && !ReadState(in, record.checkpoint)))
            return std::nullopt;
    }
    if (in.Remaining() != 0)
        return std::nullopt;
    return record;
}
