#include "app/peer/search/NetworkSearchResults.h"

#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferAgentQueue.h"

#include <algorithm>
#include <sys/stat.h>

void NetworkSearchObserver::RowInserted(int, const NetworkSearchRow&) {}
void NetworkSearchObserver::RowsCleared() {}
void NetworkSearchObserver::SearchFailed(const std::string&) {}

namespace {

int CompareTitles(const std::string& a, const std::string& b) {
    const std::size_t length = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        const int x = fold(static_cast<unsigned char>(a[i]));
        const int y = fold(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

} // namespace

void NetworkSearchResults::SplitPath(const std::string& path, std::string& location,
                                     std::string& fileName) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        location = path;
        fileName = path;
        return;
    }
    location = path.substr(0, slash);
    fileName = path.substr(slash + 1);
}

void NetworkSearchResults::AddReply(const SearchReply& reply, const std::string& hostAddress) {
    const std::size_t count = std::min(reply.paths.size(), reply.titles.size());
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < count; ++i) {
        NetworkSearchRow row;
        row.fileTitle = reply.titles[i];
        SplitPath(reply.paths[i], row.location, row.fileName);
        row.host = reply.responder;
        row.hostAddress = hostAddress;
        // Descending: the row goes after every row whose title is not smaller.
        auto place = std::upper_bound(m_rows.begin(), m_rows.end(), row,
                                      [](const NetworkSearchRow& a, const NetworkSearchRow& b) {
                                          return CompareTitles(a.fileTitle, b.fileTitle) > 0;
                                      });
        place = m_rows.insert(place, std::move(row));
        if (m_observer)
            m_observer->RowInserted(static_cast<int>(place - m_rows.begin()), *place);
    }
}

void NetworkSearchResults::Clear() {
    std::lock_guard lock(m_mutex);
    m_rows.clear();
    if (m_observer)
        m_observer->RowsCleared();
}

std::vector<NetworkSearchRow> NetworkSearchResults::Rows() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}

std::size_t NetworkSearchResults::Count() const {
    std::lock_guard lock(m_mutex);
    return m_rows.size();
}

bool NetworkSearchResults::DownloadTarget(const std::string& downloadDirectory,
                                          const std::string& fileName, std::string& target) {
    target.clear();
    // The row joins the directory and whatever name the peer sent; a name
    // of "..", or one holding a separator, would then write anywhere.
    if (downloadDirectory.empty() || fileName.empty() || fileName == "." || fileName == ".." ||
        fileName.find('/') != std::string::npos || fileName.find('\0') != std::string::npos)
        return false;
    std::string joined = downloadDirectory;
    if (joined.back() != '/')
        joined += '/';
    joined += fileName;
    struct stat info {};
    if (lstat(joined.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return false;
    target = std::move(joined);
    return true;
}

std::optional<TransferItem>
NetworkSearchResults::DownloadItem(const NetworkSearchRow& row,
                                   const std::string& downloadDirectory) {
    std::string target;
    if (row.location.empty() || row.hostAddress.empty() ||
        !DownloadTarget(downloadDirectory, row.fileName, target))
        return std::nullopt;
    return TransferItem{row.location + "/" + row.fileName, row.hostAddress, target,
                        kLocalHostAddress};
}

bool NetworkSearchResults::Download(std::size_t row, TransferAgentQueue& agent,
                                    const std::string& downloadDirectory) const {
    NetworkSearchRow chosen;
    {
        std::lock_guard lock(m_mutex);
        if (row >= m_rows.size())
            return false;
        chosen = m_rows[row];
    }
    const auto item = DownloadItem(chosen, downloadDirectory);
    return item && agent.AddTransfer(item->sourcePath, item->sourceHost, item->destinationPath,
                                     item->destinationHost);
}
