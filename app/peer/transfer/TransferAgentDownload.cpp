#include "app/peer/transfer/TransferAgentDownload.h"

#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/TimeOutSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return LowerAscii(c); });
    return text;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t wrote = write(fd, data + done, count - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

struct OutputFile {
    int fd = -1;
    ~OutputFile() {
        if (fd >= 0)
            close(fd);
    }
};

// The request field: the source path as a 261-byte field would carry it (at
// most 260 characters), the rest of the 520 bytes zero.
std::vector<std::uint8_t> RequestField(const std::string& sourcePath) {
    std::vector<std::uint8_t> field(kTransferPathWidth, 0);
    std::size_t length =
        std::min({sourcePath.size(), kTransferSourcePathText, sourcePath.find('\0')});
    std::copy_n(sourcePath.begin(), length, field.begin());
    return field;
}

DownloadResult DesignedDownload(const TransferItem& item, FriendResolver* friends,
                                const std::atomic<bool>& running, const TransferProgress& progress,
                                const TransferDownloadOptions& options);

} // namespace

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

const char* DownloadResultName(DownloadResult result) {
    switch (result) {
    case DownloadResult::Done:
        return "Done";
    case DownloadResult::WrongDirection:
        return "WrongDirection";
    case DownloadResult::CannotCreate:
        return "CannotCreate";
    case DownloadResult::NoAddress:
        return "NoAddress";
    case DownloadResult::CannotConnect:
        return "CannotConnect";
    case DownloadResult::RequestFailed:
        return "RequestFailed";
    case DownloadResult::Refused:
        return "Refused";
    case DownloadResult::ReceiveFailed:
        return "ReceiveFailed";
    case DownloadResult::WriteFailed:
        return "WriteFailed";
    case DownloadResult::Stopped:
        return "Stopped";
    case DownloadResult::SourceChanged:
        return "SourceChanged";
    case DownloadResult::DigestMismatch:
        return "DigestMismatch";
    case DownloadResult::TooLarge:
        return "TooLarge";
    }
    return "?";
}

DownloadResult DownloadTransferItem(const TransferItem& item, FriendResolver* friends,
                                    const std::atomic<bool>& running,
                                    const TransferProgress& progress,
                                    const TransferDownloadOptions& options) {
    return DownloadTransferItemEx(item, friends, running, progress, options).result;
}

DownloadOutcome DownloadTransferItemEx(const TransferItem& item, FriendResolver* friends,
                                       const std::atomic<bool>& running,
                                       const TransferProgress& progress,
                                       const TransferDownloadOptions& options) {
    DownloadOutcome outcome;
    outcome.result = DesignedDownload(item, friends, running, progress, options);
    return outcome;
}

namespace {
DownloadResult DesignedDownload(const TransferItem& item, FriendResolver* friends,
                                    const std::atomic<bool>& running,
                                    const TransferProgress& progress,
                                    const TransferDownloadOptions& options) {
    // Only downloads: from another computer to this one.
    if (EqualIgnoringAsciiCase(item.sourceHost, kLocalHostAddress) ||
        !EqualIgnoringAsciiCase(item.destinationHost, kLocalHostAddress))
        return DownloadResult::WrongDirection;

    OutputFile file;
    file.fd = open(item.destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file.fd < 0)
        return DownloadResult::CannotCreate;

    std::string host = item.sourceHost;
    if (host.find('@') != std::string::npos) {
        host = friends ? friends->AddressOf(LowerAscii(host)) : std::string();
        // "0.0.0.0" is an offline friend: nobody connects to it.
        if (!AddressBytes(host) || host == "0.0.0.0")
            return DownloadResult::NoAddress;
    }

    TimeOutSocket connection;
    connection.WatchRunFlag(&running);
    if (!connection.Connect(host, options.port))
        return DownloadResult::CannotConnect;
    if (!connection.SendBlock(RequestField(item.sourcePath), options.callLimit))
        return DownloadResult::RequestFailed;

    std::int32_t size = 0;
    if (!connection.ReceiveInt32(size, options.callLimit) || size <= 0)
        return DownloadResult::Refused;

    std::array<std::uint8_t, kTransferBlockSize> block{};
    std::int64_t written = 0;
    while (written < size) {
        if (!running.load())
            return DownloadResult::Stopped;
        std::size_t got = 0;
        while (got < kTransferBlockSize) {
            connection.SetTimeOut(options.callLimit);
            long received = connection.Receive(block.data() + got, kTransferBlockSize - got);
            if (received <= 0)
                return running.load() ? DownloadResult::ReceiveFailed : DownloadResult::Stopped;
            got += static_cast<std::size_t>(received);
            if (progress)
                progress(written + static_cast<std::int64_t>(got), size);
        }
        std::size_t keep = static_cast<std::size_t>(
            std::min<std::int64_t>(size - written, static_cast<std::int64_t>(kTransferBlockSize)));
        if (!WriteAll(file.fd, block.data(), keep))
            return DownloadResult::WriteFailed;
        written += static_cast<std::int64_t>(keep);
    }
    connection.Close();
    if (close(file.fd) != 0) {
        file.fd = -1;
        return DownloadResult::WriteFailed;
    }
    file.fd = -1;
    return DownloadResult::Done;
}
} // namespace
