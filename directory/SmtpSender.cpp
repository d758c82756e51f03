#include "directory/SmtpSender.h"

#include <algorithm>
#include <cstring>
#include <curl/curl.h>
#include <mutex>

namespace halvdir {

namespace {

struct Upload {
    const std::string* message;
    size_t offset = 0;
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* userData) {
    auto* upload = static_cast<Upload*>(userData);
    size_t room = size * count;
    size_t left = upload->message->size() - upload->offset;
    size_t length = std::min(room, left);
    std::memcpy(buffer, upload->message->data() + upload->offset, length);
    upload->offset += length;
    return length;
}

int CheckStop(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(userData)->load() ? 1 : 0;
}

} // namespace

SmtpSender::SmtpSender(SmtpSettings settings, const std::atomic<bool>& stop)
    : m_settings(std::move(settings))
    , m_stop(stop) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
}

SmtpSender::~SmtpSender() {
    if (m_curl)
        curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

SmtpSender::Result SmtpSender::Send(const std::string& recipient, const std::string& message) {
    auto* curl = static_cast<CURL*>(m_curl);
    if (!curl)
        return {Outcome::kRetry, "libcurl did not start"};
    curl_easy_reset(curl);
    Upload upload{&message};
    curl_slist* recipients = curl_slist_append(nullptr, ("<" + recipient + ">").c_str());
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, m_settings.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + m_settings.from + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kConnectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(kSendTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckStop);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &m_stop);
    if (!m_settings.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, m_settings.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, m_settings.password.c_str());
        // A password never crosses the network in clear: without TLS the
        // message is not sent.
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    } else {
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    }
    CURLcode code = curl_easy_perform(curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    curl_slist_free_all(recipients);
    if (code == CURLE_OK)
        return {Outcome::kSent, {}};
    if (code == CURLE_ABORTED_BY_CALLBACK)
        return {Outcome::kStopped, "stopped"};
    std::string error = errorText[0] ? errorText : curl_easy_strerror(code);
    for (char& c : error)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    // A refused login or sender is the operator's to fix and holds every
    // message alike; only a refused recipient or message is this message's.
    const bool refusedSetup = code == CURLE_LOGIN_DENIED || error.starts_with("MAIL failed");
    if (reply >= 500 && reply < 600 && !refusedSetup)
        return {Outcome::kRejected, error};
    return {Outcome::kRetry, error};
}

} // namespace halvdir
