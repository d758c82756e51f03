#include "app/shell/update/VersionFetch.h"

#include <QUrl>
#include <charconv>
#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace {

constexpr std::size_t kMostBytes = 2048;
constexpr long kConnectLimitMs = 5000;
constexpr long kTotalLimitMs = 10000;

struct Transfer {
    std::string body;
    const std::atomic<bool>* stop = nullptr;
};

// Stops reading once the buffer is full: a larger reply is not a version file.
size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const size_t room = kMostBytes - transfer->body.size();
    transfer->body.append(data, std::min(bytes, room));
    return bytes <= room ? bytes : 0;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop->load() ? 1 : 0;
}

} // namespace

int NewestVersionFrom(long status, std::string_view body) {
    if (status < 200 || status >= 300)
        return -1;
    std::size_t start = body.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos)
        return -1;
    int version = -1;
    auto [end, failure] = std::from_chars(body.data() + start, body.data() + body.size(), version);
    if (failure != std::errc() || version < 0)
        return -1;
    return version;
}

int FetchNewestVersion(const std::string& url, const std::atomic<bool>& stop) {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return -1;
    Transfer transfer;
    transfer.stop = &stop;
    // Always the server's copy, never a cache's.
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Cache-Control: no-cache"), curl_slist_free_all);
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "CheckNewVersion 1.0");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectLimitMs);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, kTotalLimitMs);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = curl_easy_perform(handle);
    // A reply cut at the byte limit still holds its leading number.
    const bool full = result == CURLE_WRITE_ERROR && transfer.body.size() == kMostBytes;
    if ((result != CURLE_OK && !full) || stop.load())
        return -1;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return NewestVersionFrom(status, transfer.body);
}

QString ProductPage(const std::string& updateUrl) {
    QUrl url(QString::fromStdString(updateUrl));
    if (!url.isValid() || url.host().isEmpty())
        return {};
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                        QUrl::RemoveUserInfo)
               .toString() +
           QLatin1Char('/');
}
