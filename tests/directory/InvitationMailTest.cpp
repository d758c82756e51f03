#include "directory/InvitationMail.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using halvdir::ComposeInvitationMail;
using halvdir::Invitation;

Invitation AnInvitation() {
    Invitation invitation;
    invitation.senderEmail = "ann@example.org";
    invitation.recipient = "bob@example.net";
    invitation.appName = "Drovick";
    invitation.senderName = "Ann Lee";
    invitation.appUrl = "https://directory.example.org/get";
    return invitation;
}

std::string Head(const std::string& mail) {
    return mail.substr(0, mail.find("\r\n\r\n") + 2);
}

// Header lines that start a field (not continuations).
std::vector<std::string> HeaderNames(const std::string& mail) {
    std::vector<std::string> names;
    std::string head = Head(mail);
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find("\r\n", at);
        std::string line = head.substr(at, end - at);
        if (!line.empty() && line[0] != ' ' && line[0] != '\t')
            names.push_back(line.substr(0, line.find(':')));
        at = end + 2;
    }
    return names;
}

std::string DecodeBase64(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        auto value = alphabet.find(c);
        if (value == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The Subject's encoded words joined and decoded; each word checked for length.
std::string DecodedSubject(const std::string& mail) {
    std::string head = Head(mail);
    auto start = head.find("Subject: ") + 9;
    auto end = head.find("\r\n", start);
    while (head.compare(end + 2, 1, " ") == 0)
        end = head.find("\r\n", end + 2);
    std::string subject = head.substr(start, end - start);
    std::string decoded;
    for (size_t at = subject.find("=?UTF-8?B?"); at != std::string::npos;
         at = subject.find("=?UTF-8?B?", at + 1)) {
        auto close = subject.find("?=", at + 10);
        EXPECT_LE(close + 2 - at, 75u) << subject;
        decoded += DecodeBase64(subject.substr(at + 10, close - at - 10));
    }
    return decoded.empty() ? subject : decoded;
}

TEST(InvitationMail, NamesTheInviterTheApplicationAndHowToJoin) {
    auto mail = ComposeInvitationMail(AnInvitation(), "directory@example.org", 7, 1796760000);
    ASSERT_TRUE(mail);
    EXPECT_EQ(HeaderNames(*mail),
              (std::vector<std::string>{"Date", "From", "To", "Reply-To", "Subject", "Message-ID",
                                        "MIME-Version", "Content-Type", "Content-Transfer-Encoding",
                                        "Auto-Submitted"}));
    EXPECT_NE(mail->find("Date: Tue, 08 Dec 2026 20:00:00 +0000\r\n"), std::string::npos) << *mail;
    EXPECT_NE(mail->find("To: <bob@example.net>\r\n"), std::string::npos);
    EXPECT_NE(mail->find("Subject: Ann Lee invites you to Drovick\r\n"), std::string::npos);
    std::string body = mail->substr(mail->find("\r\n\r\n") + 4);
    EXPECT_NE(body.find("Ann Lee (ann@example.org) invites you"), std::string::npos) << body;
    EXPECT_NE(body.find("https://directory.example.org/get"), std::string::npos);
    EXPECT_NE(body.find("add ann@example.org to your friends"), std::string::npos);
}

TEST(InvitationMail, ControlBytesInAnyFieldAddNoHeaderAndBreakNoLine) {
    Invitation invitation = AnInvitation();
    invitation.senderName = "Ann\r\nBcc: victim@example.com";
    invitation.appName = "App\nX-Injected: 1";
    invitation.appUrl = "https://x.example\r\n\r\nforged body";
    invitation.senderEmail = "ann@example.org\r\nCc: victim@example.com";
    auto mail = ComposeInvitationMail(invitation, "directory@example.org", 7, 1796760000);
    ASSERT_TRUE(mail);
    auto names = HeaderNames(*mail);
    for (const char* forged : {"Bcc", "Cc", "X-Injected"})
        EXPECT_EQ(std::count(names.begin(), names.end(), forged), 0) << *mail;
    // The broken sender address is neither offered for replies nor shown.
    EXPECT_EQ(std::count(names.begin(), names.end(), "Reply-To"), 0);
    // The forged text stays inside the one Subject line, as text.
    EXPECT_NE(
        mail->find("Subject: Ann  Bcc: victim@example.com invites you to App X-Injected: 1\r\n"),
        std::string::npos)
        << *mail;
    // Every line ends in CRLF: no bare CR or LF anywhere.
    for (size_t at = 0; at < mail->size(); ++at) {
        if ((*mail)[at] == '\n') {
            EXPECT_TRUE(at > 0 && (*mail)[at - 1] == '\r') << at;
        }
        if ((*mail)[at] == '\r') {
            EXPECT_TRUE(at + 1 < mail->size() && (*mail)[at + 1] == '\n') << at;
        }
    }
    EXPECT_EQ(mail->find("\r\n\r\n"), Head(*mail).size() - 2);
}

TEST(InvitationMail, NamesBeyondAsciiAreEncodedWordsThatDecodeBack) {
    Invitation invitation = AnInvitation();
    // Long enough for several encoded words, with two-, three- and four-byte
    // characters that must not be split between words.
    invitation.senderName = "Zo\xc3\xab \xe5\xb1\xb1\xe7\x94\xb0 \xf0\x9f\x98\x80 ";
    for (int i = 0; i < 6; ++i)
        invitation.senderName += "\xc3\xa9\xe5\xb1\xb1\xf0\x9f\x98\x80";
    auto mail = ComposeInvitationMail(invitation, "directory@example.org", 1, 1796760000);
    ASSERT_TRUE(mail);
    for (char c : Head(*mail))
        EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << "raw 8-bit byte in the header";
    EXPECT_EQ(DecodedSubject(*mail), invitation.senderName + " invites you to Drovick");

    // Bytes that are not UTF-8 are read as Latin-1.
    invitation.senderName = "Ren\xe9";
    mail = ComposeInvitationMail(invitation, "directory@example.org", 1, 1796760000);
    EXPECT_EQ(DecodedSubject(*mail), "Ren\xc3\xa9 invites you to Drovick");
    // Plain ASCII that looks like an encoded word is encoded, not taken as one.
    invitation.senderName = "=?UTF-8?B?QmNjOg==?=";
    mail = ComposeInvitationMail(invitation, "directory@example.org", 1, 1796760000);
    EXPECT_EQ(DecodedSubject(*mail), invitation.senderName + " invites you to Drovick");
}

TEST(InvitationMail, OnlyPlainAddressesAreMailed) {
    for (const char* good : {"bob@example.net", "a.b+tag@sub.example-1.org", "x@y.z"})
        EXPECT_TRUE(halvdir::IsMailableAddress(good)) << good;
    for (const char* bad :
         {"", "bob", "@example.net", "bob@", "bob@localhost", "bob@@example.net", "a@b@example.net",
          "bob smith@example.net", "<bob@example.net>", "bob@example.net>\r\nRCPT TO:<x@y.z",
          "bob@example.net\n", "\"bob\"@example.net", "bob@-example.net", "bob@example..net",
          ".bob@example.net", "bo..b@example.net", "bob@exa_mple.net", "b\xc3\xb6@example.net",
          "bob@[127.0.0.1]"})
        EXPECT_FALSE(halvdir::IsMailableAddress(bad)) << bad;
    EXPECT_FALSE(halvdir::IsMailableAddress(std::string(65, 'a') + "@example.net"));
    EXPECT_FALSE(halvdir::IsMailableAddress("a@" + std::string(250, 'b') + ".net"));

    Invitation invitation = AnInvitation();
    invitation.recipient = "bob@example.net\r\nRCPT TO:<x@y.z>";
    EXPECT_FALSE(ComposeInvitationMail(invitation, "directory@example.org", 1, 0));
    EXPECT_FALSE(ComposeInvitationMail(AnInvitation(), "not an address", 1, 0));
}

} // namespace
