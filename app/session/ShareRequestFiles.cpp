#include "app/session/ShareRequestFiles.h"

#include "platform/AtomicFile.h"
#include "platform/SessionNamespace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace sharerequest {

namespace {

constexpr const char* kShareWord = "share";
constexpr const char* kUnshareWord = "unshare";
constexpr const char* kMadeWord = "made";
constexpr const char* kRefusedWord = "refused";

std::vector<std::string> LinesOf(const std::string& text, std::size_t start) {
    std::vector<std::string> lines;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace

std::filesystem::path Folder() {
    auto folder = platform::SessionNamespacePath() / "share-requests";
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "cannot create " + folder.string());
    return folder;
}

std::filesystem::path FileOf(const std::filesystem::path& folder, std::uint64_t token,
                             const char* suffix) {
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(token));
    return folder / (std::string(name) + suffix);
}

std::uint64_t NewToken() {
    std::random_device random;
    std::uint64_t token = 0;
    while (token == 0)
        token = std::uint64_t(random()) << 32 | random();
    return token;
}

std::string EncodeRequest(const ShareChange& change) {
    std::string bytes = change.verb == ShareChange::Verb::Share ? kShareWord : kUnshareWord;
    bytes += '\0';
    bytes += change.path;
    return bytes;
}

std::optional<ShareChange> DecodeRequest(const std::string& bytes) {
    if (bytes.size() > kMaxRequestSize)
        return std::nullopt;
    const auto end = bytes.find('\0');
    if (end == std::string::npos)
        return std::nullopt;
    ShareChange change;
    const std::string verb = bytes.substr(0, end);
    if (verb == kShareWord)
        change.verb = ShareChange::Verb::Share;
    else if (verb == kUnshareWord)
        change.verb = ShareChange::Verb::Unshare;
    else
        return std::nullopt;
    change.path = bytes.substr(end + 1);
    if (change.path.empty() || change.path.front() != '/' ||
        change.path.find('\0') != std::string::npos)
        return std::nullopt;
    return change;
}

std::string EncodeAnswer(const ShareChangeOutcome& outcome) {
    std::string text = outcome.made ? kMadeWord : kRefusedWord;
    if (!outcome.made)
        return text + "\n" + outcome.refusal;
    for (const std::string& line : outcome.lines)
        text += "\n" + line;
    return text;
}

std::optional<ShareChangeOutcome> DecodeAnswer(const std::string& bytes) {
    const auto end = std::min(bytes.find('\n'), bytes.size());
    const std::string verdict = bytes.substr(0, end);
    ShareChangeOutcome outcome;
    outcome.made = verdict == kMadeWord;
    if (!outcome.made && verdict != kRefusedWord)
        return std::nullopt;
    if (outcome.made)
        outcome.lines = LinesOf(bytes, end + 1);
    else
        outcome.refusal = end < bytes.size() ? bytes.substr(end + 1) : "";
    if (!outcome.made && outcome.refusal.empty())
        outcome.refusal = "Drovick refused the change";
    return outcome;
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& file, std::size_t limit) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<std::string> text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uintmax_t>(info.st_size) <= limit) {
        // One byte more than its size shows a file that grew since.
        const auto size = static_cast<std::size_t>(info.st_size);
        std::string bytes(size + 1, '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        if (done <= size) {
            bytes.resize(done);
            text = std::move(bytes);
        }
    }
    close(fd);
    return text;
}

bool WriteWholeFile(const std::filesystem::path& file, const std::string& text) {
    return platform::ReplaceFileAtomically(
        file, (file.parent_path() / (file.filename().string() + ".XXXXXX")).string(),
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

} // namespace sharerequest
