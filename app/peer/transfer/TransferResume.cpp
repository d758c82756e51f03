#include "app/peer/transfer/TransferResume.h"

#include "app/peer/transfer/TransferPartRecord.h"

#include <cstdio>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

void RemovePart(const fs::path& part, const fs::path& record) {
    std::error_code ignored;
    fs::remove(record, ignored);
    fs::remove(part, ignored);
}

// Where the part file lets the download go on from: its length when its
// record names the same source and it is not longer than the size recorded,
// else 0 (and whatever lay there is dropped). The record's hash state comes
// along when the part reaches it; one past the part's end is not trusted.
std::uint64_t ResumeOffset(const TransferItem& item, const fs::path& part, const fs::path& record,
                           TransferDownloadOptions& options) {
    options.expectedSize.reset();
    options.hashFrom.reset();
    const auto kept = ReadPartRecord(record);
    std::error_code failure;
    const auto length = fs::file_size(part, failure);
    if (kept && !failure && kept->sourceHost == item.sourceHost &&
        kept->sourcePath == item.sourcePath && length > 0 &&
        length <= static_cast<std::uint64_t>(kept->size)) {
        options.expectedSize = static_cast<std::uint64_t>(kept->size);
        if (kept->checkpoint && kept->checkpoint->bytes <= length)
            options.hashFrom = kept->checkpoint;
        return length;
    }
    RemovePart(part, record);
    return 0;
}

// The record of one attempt, written by the receiving thread once the size
// is known and by the hashing thread at each hash state.
class RecordKeeper {
public:
    RecordKeeper(fs::path file, TransferPartRecord record)
        : m_file(std::move(file))
        , m_record(std::move(record)) {}

    void Sized(std::int64_t size) {
        std::lock_guard lock(m_mutex);
        m_record.size = size;
        m_sized = true;
        WritePartRecord(m_file, m_record);
    }
    // Before the size is known the state waits for it; a resumed attempt
    // keeps its state until a later one replaces it.
    void Hashed(const Sha256Checkpoint& state) {
        std::lock_guard lock(m_mutex);
        m_record.checkpoint = state;
        if (m_sized)
            WritePartRecord(m_file, m_record);
    }

private:
    const fs::path m_file;
    std::mutex m_mutex;
    TransferPartRecord m_record; // under m_mutex
    bool m_sized = false;        // under m_mutex
};

} // namespace

DownloadOutcome DownloadResumable(const TransferItem& item, FriendResolver* friends,
                                  const std::atomic<bool>& running,
                                  const ResumableProgress& progress,
                                  TransferDownloadOptions options) {
    const fs::path destination = item.destinationPath;
    const fs::path part = PartFileOf(destination);
    const fs::path record = PartRecordOf(destination);
    TransferItem partItem = item;
    partItem.destinationPath = part.string();
    options.wantDigest = true;

    DownloadOutcome outcome;
    // A second round only when the source changed under the first.
    for (int round = 0; round < 2; ++round) {
        options.startOffset = ResumeOffset(item, part, record, options);
        RecordKeeper keeper(record, {item.sourceHost, item.sourcePath, 0, 0, options.hashFrom});
        options.hashCheckpoint = [&keeper](const Sha256Checkpoint& state) { keeper.Hashed(state); };
        bool recorded = false;
        int resuming = -1; // not known before the first receive
        outcome = DownloadTransferItemEx(
            partItem, friends, running,
            [&](std::int64_t received, std::int64_t size) {
                // The record goes down before the first block is written.
                if (!recorded) {
                    recorded = true;
                    keeper.Sized(size);
                }
                // A classic server sends from byte 0 whatever was asked.
                if (resuming < 0)
                    resuming = options.startOffset > 0 &&
                               static_cast<std::uint64_t>(received) >= options.startOffset;
                if (progress)
                    progress(resuming > 0, received, size);
            },
            options);
        if (outcome.result != DownloadResult::SourceChanged || !running.load())
            break;
        RemovePart(part, record);
    }

    // A stop that cut a connect or a request short is still a stop, and
    // leaves what there is for the next attempt.
    if (!running.load() && outcome.result != DownloadResult::Done &&
        outcome.result != DownloadResult::DigestMismatch)
        outcome.result = DownloadResult::Stopped;

    std::error_code failure;
    switch (outcome.result) {
    case DownloadResult::Done:
        fs::rename(part, destination, failure);
        if (failure) {
            outcome.result = DownloadResult::WriteFailed;
            break;
        }
        fs::remove(record, failure);
        break;
    case DownloadResult::DigestMismatch:
    case DownloadResult::SourceChanged:
        fs::remove(record, failure);
        break;
    default:
        // A part file that never got a byte is no start for anything.
        if (fs::file_size(part, failure) == 0 && !failure)
            RemovePart(part, record);
        break;
    }
    return outcome;
}

std::string FinalTransferState(const DownloadOutcome& outcome) {
    switch (outcome.result) {
    case DownloadResult::Done:
        return outcome.digest == DownloadOutcome::Digest::Verified ? "Verified" : "Done";
    case DownloadResult::DigestMismatch:
        return "Digest mismatch";
    case DownloadResult::Stopped:
        return "Stopped";
    default:
        return "Failed";
    }
}

std::string ProgressState(bool resuming, int percent) {
    char text[40];
    std::snprintf(text, sizeof text, resuming ? "Resuming (%i%%)" : "Transferring (%i%%)", percent);
    return text;
}
