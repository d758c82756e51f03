#include "app/peer/transfer/TransferFileBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void AppendU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    platform::StoreLE32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

void AppendI64(std::vector<std::uint8_t>& out, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    AppendU32(out, static_cast<std::uint32_t>(bits));
    AppendU32(out, static_cast<std::uint32_t>(bits >> 32));
}

bool AppendText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t longest) {
    if (text.size() > longest || text.size() > 0xffff)
        return false;
    AppendU16(out, static_cast<std::uint16_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

bool ReadI64(platform::ByteReader& in, std::int64_t& value) {
    std::uint32_t low = 0, high = 0;
    if (!in.ReadU32(low) || !in.ReadU32(high))
        return false;
    value = static_cast<std::int64_t>(static_cast<std::uint64_t>(high) << 32 | low);
    return true;
}

bool ReadText(platform::ByteReader& in, std::string& text, std::size_t longest) {
    std::uint16_t length = 0;
    if (!in.ReadU16(length) || length > longest || length > in.Remaining())
        return false;
    std::string read(length, '\0');
    if (!in.ReadBytes(read.data(), length) || read.find('\0') != std::string::npos)
        return false;
    text = std::move(read);
    return true;
}

bool ReadSmallFile(const std::filesystem::path& file, std::size_t longest,
                   std::vector<std::uint8_t>& bytes) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat status {};
    bool read_ = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0 &&
                 static_cast<std::uint64_t>(status.st_size) <= longest;
    if (read_) {
        // One byte more than allowed tells a file that grew since the stat.
        bytes.assign(longest + 1, 0);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                read_ = n == 0;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        read_ = read_ && got <= longest;
    }
    close(fd);
    return read_;
}
