#include "directory/HttpMessage.h"

#include "directory/QueryArguments.h"

#include <array>
#include <charconv>

namespace halvdir {

namespace {

// Methods HTTP knows: any other than GET and HEAD is answered 405; a token
// that is none of them is not HTTP and gets 400.
constexpr std::array<std::string_view, 10> kKnownMethods = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "PRI"};

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// b is lower case already; no copy of either, as every header of every
// request goes through here.
bool EqualsIgnoringCase(std::string_view a, std::string_view lowerB) {
    if (a.size() != lowerB.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != lowerB[i])
            return false;
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

const char* Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

} // namespace

std::optional<std::size_t> FindHeadEnd(std::string_view received) {
    auto end = received.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return std::nullopt;
    return end + 4;
}

std::optional<RequestHead> ParseRequestHead(std::string_view head, int& errorStatus) {
    errorStatus = 400;
    auto lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos)
        return std::nullopt;
    std::string_view line = head.substr(0, lineEnd);
    if (line.size() > kMaxRequestLine) {
        errorStatus = 414;
        return std::nullopt;
    }
    // Method, target and version, separated by spaces; a raw space inside the
    // target makes a fourth part and a refusal.
    std::array<std::string_view, 3> parts;
    size_t count = 0;
    for (size_t at = 0; at < line.size();) {
        auto space = line.find(' ', at);
        if (space == std::string_view::npos)
            space = line.size();
        if (space > at) {
            if (count == parts.size())
                return std::nullopt;
            parts[count++] = line.substr(at, space - at);
        }
        at = space + 1;
    }
    if (count != parts.size())
        return std::nullopt;
    bool known = false;
    for (auto method : kKnownMethods)
        known = known || method == parts[0];
    if (!known || (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
        return std::nullopt;

    RequestHead request;
    request.method = std::string(parts[0]);
    request.http10 = parts[2] == "HTTP/1.0";
    std::string_view target = parts[1];
    if (auto hash = target.find('#'); hash != std::string_view::npos)
        target = target.substr(0, hash);
    auto question = target.find('?');
    std::string_view rawPath = target.substr(0, question);
    if (question != std::string_view::npos)
        request.query = std::string(target.substr(question + 1));
    if (!PercentDecode(rawPath, request.path))
        return std::nullopt;

    for (size_t at = lineEnd + 2; at < head.size();) {
        auto end = head.find("\r\n", at);
        if (end == std::string_view::npos || end == at)
            break;
        std::string_view field = head.substr(at, end - at);
        at = end + 2;
        auto colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return std::nullopt;
        std::string_view name = field.substr(0, colon);
        std::string_view value = Trim(field.substr(colon + 1));
        if (EqualsIgnoringCase(name, "connection")) {
            request.closeRequested = value == "close";
            request.keepAliveRequested = value == "Keep-Alive";
        } else if (EqualsIgnoringCase(name, "content-length")) {
            unsigned long long length = 0;
            auto [end2, error] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (error != std::errc() || end2 != value.data() + value.size())
                return std::nullopt;
            if (length > kMaxRequestBody) {
                errorStatus = 413;
                return std::nullopt;
            }
            request.contentLength = static_cast<std::size_t>(length);
        } else if (EqualsIgnoringCase(name, "x-forwarded-for")) {
            auto comma = value.rfind(',');
            request.forwardedFor = std::string(
                Trim(comma == std::string_view::npos ? value : value.substr(comma + 1)));
        } else if (EqualsIgnoringCase(name, "transfer-encoding")) {
            // No directory request has a body worth streaming.
            return std::nullopt;
        }
    }
    return request;
}

std::string FormatResponse(int status, std::string_view body, bool headRequest,
                           bool closeConnection, bool withContentType) {
    std::string response;
    response.reserve(160 + body.size());
    response += "HTTP/1.1 ";
    response += std::to_string(status);
    response += ' ';
    response += Reason(status);
    response += "\r\n";
    if (headRequest)
        response += "Accept-Ranges: bytes\r\n";
    if (closeConnection)
        response += "Connection: close\r\n";
    response += "Content-Length: ";
    response += std::to_string(body.size());
    response += "\r\n";
    if (withContentType)
        response += "Content-Type: text/plain\r\n";
    if (!closeConnection)
        response += "Keep-Alive: timeout=5, max=10000\r\n";
    response += "\r\n";
    if (!headRequest)
        response += body;
    return response;
}

} // namespace halvdir
