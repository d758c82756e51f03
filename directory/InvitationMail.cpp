#include "directory/InvitationMail.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

namespace halvdir {

namespace {

// The product a mail names when the inviting client gave no application name.
constexpr std::string_view kDefaultApplication = "Drovick";

// An encoded word carries at most 45 bytes: 60 base64 characters plus
// "=?UTF-8?B?" and "?=" stay within the 75 the standard allows.
constexpr size_t kEncodedWordBytes = 45;

bool IsAtomText(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool IsDomainLabel(std::string_view label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
        return false;
    for (char c : label)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-'))
            return false;
    return true;
}

// Length of the UTF-8 sequence starting at text[at], or 0 when it is not one.
size_t Utf8Length(std::string_view text, size_t at) {
    auto byte = static_cast<unsigned char>(text[at]);
    size_t length = byte < 0x80                    ? 1
                    : byte >= 0xC2 && byte <= 0xDF ? 2
                    : byte >= 0xE0 && byte <= 0xEF ? 3
                    : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 0;
    return length;
}

bool IsUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        size_t length = Utf8Length(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::string DateHeader(std::int64_t now) {
    std::time_t time = static_cast<std::time_t>(now);
    std::tm utc{};
    gmtime_r(&time, &utc);
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000",
                  kDays[static_cast<size_t>(utc.tm_wday) % 7], utc.tm_mday,
                  kMonths[static_cast<size_t>(utc.tm_mon) % 12], utc.tm_year + 1900, utc.tm_hour,
                  utc.tm_min, utc.tm_sec);
    return text;
}

} // namespace

bool IsMailableAddress(std::string_view address) {
    if (address.size() < 3 || address.size() > 254)
        return false;
    auto at = address.find('@');
    if (at == std::string_view::npos || address.find('@', at + 1) != std::string_view::npos)
        return false;
    std::string_view local = address.substr(0, at);
    std::string_view domain = address.substr(at + 1);
    if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.' ||
        local.find("..") != std::string_view::npos)
        return false;
    for (char c : local)
        if (c != '.' && !IsAtomText(c))
            return false;
    if (domain.find('.') == std::string_view::npos)
        return false;
    for (size_t start = 0; start <= domain.size();) {
        auto dot = domain.find('.', start);
        if (dot == std::string_view::npos)
            dot = domain.size();
        if (!IsDomainLabel(domain.substr(start, dot - start)))
            return false;
        start = dot + 1;
    }
    return true;
}

std::string OneLineUtf8(std::string_view text) {
    const bool utf8 = IsUtf8(text);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += ' ';
        } else if (byte < 0x80 || utf8) {
            out += c;
        } else {
            // Latin-1 to UTF-8; C1 controls become spaces like the others.
            if (byte < 0xA0) {
                out += ' ';
                continue;
            }
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string EncodeHeaderText(std::string_view utf8) {
    bool plain = utf8.find("=?") == std::string_view::npos;
    for (char c : utf8) {
        auto byte = static_cast<unsigned char>(c);
        plain = plain && byte >= 0x20 && byte < 0x7F;
    }
    if (plain)
        return std::string(utf8);
    std::string out;
    size_t start = 0;
    while (start < utf8.size()) {
        size_t end = start;
        while (end < utf8.size()) {
            size_t length = std::max<size_t>(Utf8Length(utf8, end), 1);
            if (end + length - start > kEncodedWordBytes)
                break;
            end += length;
        }
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(utf8.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::optional<std::string> ComposeInvitationMail(const Invitation& invitation,
                                                 const std::string& from, std::int64_t id,
                                                 std::int64_t now) {
    if (!IsMailableAddress(invitation.recipient) || !IsMailableAddress(from))
        return std::nullopt;
    std::string sender = OneLineUtf8(invitation.senderName);
    std::string application = OneLineUtf8(invitation.appName);
    std::string url = OneLineUtf8(invitation.appUrl);
    if (application.empty())
        application = kDefaultApplication;
    // The inviter's address is shown and offered for replies only when it is
    // one the mail server can take in a header as it stands.
    const bool replyable = IsMailableAddress(invitation.senderEmail);
    std::string inviter = sender;
    if (replyable)
        inviter =
            sender.empty() ? invitation.senderEmail : sender + " (" + invitation.senderEmail + ")";
    if (inviter.empty())
        inviter = "A friend of yours";

    std::string mail;
    mail += "Date: " + DateHeader(now) + "\r\n";
    mail += "From: <" + from + ">\r\n";
    mail += "To: <" + invitation.recipient + ">\r\n";
    if (replyable)
        mail += "Reply-To: <" + invitation.senderEmail + ">\r\n";
    mail += "Subject: " +
            EncodeHeaderText((sender.empty() ? std::string("A friend") : sender) +
                             " invites you to " + application) +
            "\r\n";
    mail += "Message-ID: <invitation." + std::to_string(id) + "." + std::to_string(now) + "." +
            from.substr(from.find('@') + 1) + ">\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: text/plain; charset=UTF-8\r\n";
    mail += "Content-Transfer-Encoding: 8bit\r\n";
    mail += "Auto-Submitted: auto-generated\r\n";
    mail += "\r\n";
    mail += "Hello,\r\n\r\n";
    mail += inviter + " invites you to join them on " + application + ".\r\n\r\n";
    std::string friendToAdd =
        replyable ? invitation.senderEmail : std::string("the person who invited you");
    if (!url.empty())
        mail += "To join, install " + application + " from\r\n\r\n    " + url +
                "\r\n\r\nthen add " + friendToAdd + " to your friends.\r\n\r\n";
    else
        mail += "To join, install " + application + ", then add " + friendToAdd +
                " to your friends.\r\n\r\n";
    mail += "This mail was sent once, at their request. If you do not know them,\r\n"
            "you can ignore it.\r\n";
    return mail;
}

} // namespace halvdir
