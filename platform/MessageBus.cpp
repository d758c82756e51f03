#include "platform/MessageBus.h"

#include "platform/ByteOrder.h"
#include "platform/SessionNamespace.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr std::uint32_t kFirstMessage = 0xC000;
constexpr std::uint32_t kLastMessage = 0xFFFF;
// Longer names are refused, as the system this stands for refuses them.
constexpr std::size_t kMaxNameLength = 255;
// The table never holds more than the 16384 numbers of the range; a larger file
// is damaged and is read only this far.
constexpr std::size_t kMaxTableSize = (kLastMessage - kFirstMessage + 1) * (8 + kMaxNameLength);

// One datagram on the bus: number, then wParam and lParam as two 32-bit halves
// each, low half first.
constexpr std::size_t kDatagramSize = 20;

std::vector<std::uint8_t> EncodeMessage(const BusMessage& message) {
    ByteWriter writer;
    writer.WriteU32(message.number);
    writer.WriteU32(static_cast<std::uint32_t>(message.wParam));
    writer.WriteU32(static_cast<std::uint32_t>(message.wParam >> 32));
    writer.WriteU32(static_cast<std::uint32_t>(message.lParam));
    writer.WriteU32(static_cast<std::uint32_t>(message.lParam >> 32));
    return writer.Take();
}

std::optional<BusMessage> DecodeMessage(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kDatagramSize)
        return std::nullopt;
    ByteReader reader(bytes);
    BusMessage message;
    std::uint32_t low = 0, high = 0;
    reader.ReadU32(message.number);
    reader.ReadU32(low);
    reader.ReadU32(high);
    message.wParam = std::uint64_t(high) << 32 | low;
    reader.ReadU32(low);
    reader.ReadU32(high);
    message.lParam = std::uint64_t(high) << 32 | low;
    return message;
}

// Table file: records of (uint32 number, uint32 name length, name bytes).
struct TableEntry {
    std::uint32_t number;
    std::string name;
};

// Reads the records up to the first one that does not parse; validLength tells
// where that one starts, so a record half-written by a crashed process can be
// cut off instead of hiding everything appended after it.
std::vector<TableEntry> ParseTable(std::span<const std::uint8_t> bytes, std::size_t& validLength) {
    std::vector<TableEntry> entries;
    ByteReader reader(bytes);
    validLength = 0;
    while (reader.Remaining() > 0) {
        std::uint32_t number = 0, length = 0;
        if (!reader.ReadU32(number) || !reader.ReadU32(length))
            break;
        if (number < kFirstMessage || number > kLastMessage || length == 0 ||
            length > kMaxNameLength || length > reader.Remaining())
            break;
        std::string name(length, '\0');
        reader.ReadBytes(name.data(), length);
        entries.push_back({number, std::move(name)});
        validLength = reader.Offset();
    }
    return entries;
}

bool ReadAll(int fd, std::vector<std::uint8_t>& bytes) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxTableSize);
    bytes.resize(size);
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return true;
}

bool WriteAllAt(int fd, const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put =
            pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

std::filesystem::path WindowsFolder() {
    auto folder = SessionNamespacePath() / "windows";
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "cannot create " + folder.string());
    return folder;
}

bool MakeAddress(const std::filesystem::path& path, sockaddr_un& address) {
    const std::string& text = path.native();
    if (text.size() >= sizeof address.sun_path)
        return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

// Closes the descriptor when the scope ends.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

std::uint32_t MessageBus::RegisterMessage(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return 0;
    std::filesystem::path table;
    try {
        table = SessionNamespacePath() / "registered-messages";
    } catch (const std::system_error&) {
        return 0;
    }
    FdGuard file{open(table.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)};
    if (file.fd < 0)
        return 0;
    // Every process of the session reads, decides and appends under this lock,
    // so two processes never hand out one number twice or one name two numbers.
    while (flock(file.fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return 0;
    }
    std::vector<std::uint8_t> bytes;
    if (!ReadAll(file.fd, bytes))
        return 0;
    std::size_t validLength = 0;
    auto entries = ParseTable(bytes, validLength);
    std::uint32_t next = kFirstMessage;
    for (const auto& entry : entries) {
        if (entry.name == name)
            return entry.number;
        next = std::max(next, entry.number + 1);
    }
    if (next > kLastMessage)
        return 0;
    if (validLength != bytes.size() && ftruncate(file.fd, static_cast<off_t>(validLength)) != 0)
        return 0;
    ByteWriter writer;
    writer.WriteU32(next);
    writer.WriteU32(static_cast<std::uint32_t>(name.size()));
    writer.WriteBytes(name.data(), name.size());
    if (!WriteAllAt(file.fd, writer.Bytes(), validLength))
        return 0;
    return next;
}

int MessageBus::PostToAll(std::uint32_t number, std::uint64_t wParam, std::uint64_t lParam) {
    std::filesystem::path folder;
    try {
        folder = WindowsFolder();
    } catch (const std::system_error&) {
        return 0;
    }
    FdGuard sender{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sender.fd < 0)
        return 0;
    auto datagram = EncodeMessage({number, wParam, lParam});
    int delivered = 0;
    std::error_code error;
    // Never throws: a folder that changes under the walk ends it early.
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const auto& entry = *it;
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
            continue;
        sockaddr_un address{};
        if (!MakeAddress(entry.path(), address))
            continue;
        // Never wait on a receiver: a full queue loses this message for it alone.
        ssize_t sent =
            sendto(sender.fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent == static_cast<ssize_t>(datagram.size()))
            ++delivered;
        else if (sent < 0 && errno == ECONNREFUSED)
            // Nobody is bound to it any more: its process ended without cleaning up.
            unlink(entry.path().c_str());
    }
    return delivered;
}

std::unique_ptr<MessageReceiver> MessageReceiver::Create() {
    auto folder = WindowsFolder();
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "message receiver socket");
    // The pid keeps names of live processes apart; the random part keeps a
    // reused pid from meeting a stale file that a poster is about to remove.
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    auto path = folder / (std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1)) +
                          "." + std::to_string(random() & 0xFFFFFF));
    sockaddr_un address{};
    if (!MakeAddress(path, address)) {
        close(fd);
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "message receiver path");
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int bindError = errno;
        close(fd);
        throw std::system_error(bindError, std::generic_category(), "bind " + path.string());
    }
    return std::unique_ptr<MessageReceiver>(new MessageReceiver(fd, std::move(path)));
}

MessageReceiver::MessageReceiver(int fd, std::filesystem::path path)
    : m_fd(fd)
    , m_path(std::move(path)) {}

MessageReceiver::~MessageReceiver() {
    close(m_fd);
    unlink(m_path.c_str());
}

std::optional<BusMessage> MessageReceiver::Receive(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::uint8_t buffer[64];
    unsigned dropped = 0;
    while (true) {
        // MSG_TRUNC reports the real length, so an oversized datagram is
        // recognised and dropped like a short one.
        ssize_t got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (got >= 0) {
            if (static_cast<std::size_t>(got) <= sizeof buffer) {
                if (auto message = DecodeMessage({buffer, static_cast<std::size_t>(got)}))
                    return message;
            }
            // Junk queued before a message must not hide it, but a flood of
            // junk must not hold the caller past its limit either.
            if (++dropped % 64 == 0 && std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return std::nullopt;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd waiting{m_fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready < 0 && errno != EINTR)
            return std::nullopt;
    }
}

} // namespace platform
