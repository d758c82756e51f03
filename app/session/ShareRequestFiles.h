#pragma once

#include "app/session/ShareChange.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// How share and unshare hand a change to the Drovick that runs for the user,
// and how its answer comes back. A bus datagram carries two numbers only, so
// the words travel in files of a folder in the session namespace, named by a
// random token that both messages carry:
//
//   <token>.request  written by the asker: "share" or "unshare", a NUL, the
//                    absolute path
//   <token>.taken    the same file once the running program took it
//   <token>.answer   written by the running program: "made" and the lines to
//                    show, or "refused" and the reason, one a line
//
// kAskMessage (wParam the token) is posted once the request is in place,
// kAnswerMessage (wParam the token) once the answer is. The messages only
// wake the other side: a full queue may lose one, so the asker posts again
// and looks for the answer file every second while it waits.
namespace sharerequest {

inline constexpr const char* kAskMessage = "Pellow Change Shares";
inline constexpr const char* kAnswerMessage = "Pellow Shares Changed";

// A path no longer than the system's longest, its verb and the NUL.
inline constexpr std::size_t kMaxRequestSize = 4096 + 16;
// Far more than the lines of a table that fits a settings file.
inline constexpr std::size_t kMaxAnswerSize = 1 << 20;

// The folder of the exchange's files, created when missing. Throws
// std::system_error when the session namespace cannot be reached.
std::filesystem::path Folder();
std::filesystem::path FileOf(const std::filesystem::path& folder, std::uint64_t token,
                             const char* suffix);
// A fresh token; never 0.
std::uint64_t NewToken();

std::string EncodeRequest(const ShareChange& change);
// Nothing for a request that is not a verb, a NUL and an absolute path.
std::optional<ShareChange> DecodeRequest(const std::string& bytes);

std::string EncodeAnswer(const ShareChangeOutcome& outcome);
// Nothing for an answer that says neither "made" nor "refused".
std::optional<ShareChangeOutcome> DecodeAnswer(const std::string& bytes);

// The whole file when it is a regular file of at most limit bytes.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& file, std::size_t limit);
// Puts the file in place whole, so its reader never sees part of it.
bool WriteWholeFile(const std::filesystem::path& file, const std::string& text);

} // namespace sharerequest
