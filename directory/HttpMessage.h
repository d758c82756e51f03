#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halvdir {

// The request head as far as the directory needs it.
struct RequestHead {
    std::string method;
    std::string path;  // percent-decoded
    std::string query; // raw text after "?"
    bool http10 = false;
    bool closeRequested = false;     // "Connection: close"
    bool keepAliveRequested = false; // "Connection: Keep-Alive", for HTTP/1.0
    std::size_t contentLength = 0;
    // The last entry of the last "X-Forwarded-For" header, trimmed but not
    // yet checked: the one a proxy in front appended. Empty when absent.
    std::string forwardedFor;
};

// Longest request head accepted, and longest request line (the longest real
// query is about 500 bytes).
constexpr std::size_t kMaxRequestHead = 16384;
constexpr std::size_t kMaxRequestLine = 8192;
// Longest request body read (and thrown away); GET requests carry none.
constexpr std::size_t kMaxRequestBody = 4096;

// Where the head ends in what has arrived: the offset just past the blank
// line, or nothing while it is incomplete.
std::optional<std::size_t> FindHeadEnd(std::string_view received);

// Parses a complete head (up to and including the blank line). On failure,
// errorStatus tells what to answer: 400, 413 or 414.
std::optional<RequestHead> ParseRequestHead(std::string_view head, int& errorStatus);

// A complete response as the directory has always sent it: status line,
// headers in alphabetical order, the body unless HEAD.
std::string FormatResponse(int status, std::string_view body, bool headRequest,
                           bool closeConnection, bool withContentType);

} // namespace halvdir
