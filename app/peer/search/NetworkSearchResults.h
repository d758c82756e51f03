#pragma once

#include "app/peer/search/SearchReply.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TransferAgentQueue;
struct TransferItem;

// One row of the search results, in the columns the search window shows. The
// texts are as the peer sent them, since a download must name the file
// exactly; whatever shows them passes them through SafeText first.
struct NetworkSearchRow {
    std::string fileTitle;   // the text that matched
    std::string fileName;    // last component of the result path
    std::string host;        // the responder's name from the reply
    std::string location;    // the result path without its last component
    std::string hostAddress; // the responder's address as the connection saw it
};

// Whatever shows the results (the search window). Calls come on the thread
// that changed the rows, under the rows' lock, so they arrive in the order of
// the changes; they must not block and must not call back into the results.
class NetworkSearchObserver {
public:
    virtual ~NetworkSearchObserver() = default;
    virtual void RowInserted(int position, const NetworkSearchRow& row);
    virtual void RowsCleared();
    // A search could not be sent; the text is what the user is told.
    virtual void SearchFailed(const std::string& message);
};

// The rows of one search window, kept sorted by "File title" in descending
// order (ASCII letter case ignored, then byte order) whatever order the
// results arrive in. Guarded by one lock: the search thread adds rows while
// the user interface reads them.
class NetworkSearchResults {
public:
    explicit NetworkSearchResults(NetworkSearchObserver* observer = nullptr)
        : m_observer(observer) {}

    // Adds one row per result of the reply, from the peer at hostAddress.
    void AddReply(const SearchReply& reply, const std::string& hostAddress);
    void Clear();
    std::vector<NetworkSearchRow> Rows() const;
    std::size_t Count() const;

    // Splits a result path at its last separator; a path without one is used
    // whole for both parts.
    static void SplitPath(const std::string& path, std::string& location, std::string& fileName);

    // The file a download of a row with this name writes: the download
    // directory joined with the name. The name comes from a stranger, so it
    // must be one plain file name: not empty, not "." or "..", without a
    // separator; and the target must not already be a symbolic link, which
    // would lead the write elsewhere. False (target empty) when refused.
    static bool DownloadTarget(const std::string& downloadDirectory, const std::string& fileName,
                               std::string& target);

    // The download of a row into the download directory, from the row's host
    // to this computer; nothing when a text is empty or the name is refused
    // (above).
    static std::optional<TransferItem> DownloadItem(const NetworkSearchRow& row,
                                                    const std::string& downloadDirectory);

    // Queues the download of the row into the download directory through the
    // transfer agent. False when the row does not exist, a text is empty, the
    // name is refused (above) or the agent refuses the download.
    bool Download(std::size_t row, TransferAgentQueue& agent,
                  const std::string& downloadDirectory) const;

private:
    NetworkSearchObserver* m_observer;
    mutable std::mutex m_mutex;
    std::vector<NetworkSearchRow> m_rows;
};
