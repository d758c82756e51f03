#pragma once

#include "directory/DirectoryStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvdir {

// The invitation mail a user asked the directory to send: headers and a
// plain-text body, ready for the mail server. Every recorded field is
// untrusted here: fields go into headers only after control bytes are gone,
// names that are not ASCII are encoded words, and addresses are checked.

// An address the directory is willing to mail: local@domain in plain ASCII,
// no quoting, no comments, no spaces or control bytes, a domain of dotted
// labels. Anything else could smuggle commands or headers to the mail server.
bool IsMailableAddress(std::string_view address);

// The text with every control byte (CR, LF, tab, ...) replaced by a space and
// bytes that are not UTF-8 read as Latin-1, so the result is one line of UTF-8.
std::string OneLineUtf8(std::string_view text);

// An unstructured header value: as it is when it is plain ASCII, otherwise
// base64 encoded words of at most 75 characters, folded onto lines of their
// own, never splitting a character.
std::string EncodeHeaderText(std::string_view utf8);

// The whole message. from is the directory's own sender address; the mail is
// identified by the outbox entry's id and the sending time (seconds since
// 1970, also its Date). Nothing when the recipient or the sender address is
// not mailable.
std::optional<std::string> ComposeInvitationMail(const Invitation& invitation,
                                                 const std::string& from, std::int64_t id,
                                                 std::int64_t now);

} // namespace halvdir
