#include "InternetSession.h"

#include <algorithm>
#include <cstring>
#include <curl/curl.h>
#include <mutex>

namespace {

// libcurl's global set-up is not thread-safe; do it once before any handle.
void InitialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct BodySink {
    CURL* handle = nullptr;
    std::string body;
    std::size_t limit = 0;
    bool sized = false;
    bool limitKnown = false;
    // The body reached its limit and the transfer was ended on purpose.
    bool cut = false;
};

std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<BodySink*>(context);
    std::size_t length = size * count;
    if (sink->sized && !sink->limitKnown) {
        sink->limitKnown = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(sink->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced >= 0) {
            auto wanted = static_cast<unsigned long long>(announced) + 5;
            sink->limit = static_cast<std::size_t>(
                std::min<unsigned long long>(wanted, InternetSession::kSizedBodyCap));
        }
    }
    std::size_t room = sink->limit - std::min(sink->limit, sink->body.size());
    std::size_t taken = std::min(room, length);
    sink->body.append(data, taken);
    if (taken < length) {
        // Ending the transfer here is how the body is cut at its limit.
        sink->cut = true;
        return 0;
    }
    return length;
}

bool IsLoopbackHost(const std::string& host) {
    std::string name = SplitHostPort(host, 80).host;
    return name == "localhost" || name.rfind("127.", 0) == 0;
}

} // namespace

InternetSession::InternetSession(AddressSource currentAddress, std::string agent)
    : m_currentAddress(std::move(currentAddress))
    , m_agent(std::move(agent)) {
    InitialiseCurl();
}

std::string InternetSession::CurrentAddress(const std::string& directoryHost) const {
    if (m_currentAddress)
        return m_currentAddress();
    return FindLocalAddress(directoryHost);
}

void InternetSession::SetTimeLimits(std::chrono::milliseconds connect,
                                    std::chrono::milliseconds transfer) {
    m_connectLimit = connect;
    m_transferLimit = transfer;
}

HttpReply InternetSession::Get(const std::string& host, const std::string& target,
                               std::size_t bodyLimit, bool sizedByContentLength) const {
    HttpReply reply;
    CURL* handle = curl_easy_init();
    if (!handle)
        return reply;
    BodySink sink;
    sink.handle = handle;
    sink.sized = sizedByContentLength;
    sink.limit = sizedByContentLength ? kSizedBodyCap : bodyLimit;

    std::string url = "http://" + host + target;
    curl_slist* headers = nullptr;
    // A forced reload: no cache on the way may answer for the directory.
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");

    bool configured = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    if (!configured) {
        // A URL libcurl will not take is no request at all.
        curl_slist_free_all(headers);
        curl_easy_cleanup(handle);
        return reply;
    }
    curl_easy_setopt(handle, CURLOPT_USERAGENT, m_agent.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_connectLimit.count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(m_transferLimit.count()));
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    if (IsLoopbackHost(host))
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");

    CURLcode result = curl_easy_perform(handle);
    long status = 0;
    bool statusRead = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    curl_slist_free_all(headers);
    curl_easy_cleanup(handle);

    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && sink.cut)) {
        switch (result) {
        case CURLE_URL_MALFORMAT:
            // No request could be made of that address at all.
            reply.outcome = HttpReply::Outcome::NoFile;
            break;
        case CURLE_UNSUPPORTED_PROTOCOL: // the scheme is always http: a reply that is not HTTP
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_GOT_NOTHING:
            reply.outcome = HttpReply::Outcome::StatusUnreadable;
            break;
        default:
            reply.outcome = HttpReply::Outcome::Failed;
            break;
        }
        return reply;
    }
    if (!statusRead || status <= 0) {
        reply.outcome = HttpReply::Outcome::StatusUnreadable;
        return reply;
    }
    reply.outcome = HttpReply::Outcome::Done;
    reply.status = status;
    std::size_t nul = sink.body.find('\0');
    if (nul != std::string::npos)
        sink.body.erase(nul);
    reply.body = std::move(sink.body);
    return reply;
}
