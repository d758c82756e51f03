// Malformed and hostile queries: each is refused in a way the presence
// service understands, halvdir keeps running and no row changes.

#include "HalvdirProcess.h"

#include <gtest/gtest.h>

namespace {

using halvdirtest::HalvdirProcess;
using halvdirtest::HttpReply;

class DirectoryBadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.Started()) << m_directory.Output();
        // Something in every table, so that a stray change shows.
        ASSERT_EQ(m_directory.Get("/cgi-bin/registerid").body, "NewID: 1\n");
        ASSERT_EQ(m_directory.Get("/cgi-bin/registerid").body, "NewID: 2\n");
        ASSERT_EQ(m_directory.Get("/cgi-bin/updateinfo?1+Ann+ann@example.org+pw").body,
                  "Result: 1\n");
        ASSERT_EQ(m_directory.Get("/cgi-bin/updateip?1+127.0.0.2+pw").body, "Result: 1\n");
        ASSERT_EQ(m_directory.Get("/cgi-bin/regasacq?1+2").body, "Result: 1\n");
        ASSERT_EQ(m_directory.Get("/cgi-bin/insertrandomip?155+127.0.0.2").body, "Result: 1\n");
        ASSERT_EQ(m_directory
                      .Get("/cgi-bin/notify_mail?ann@example.org+bob@example.org+App+"
                           "Ann+url+155")
                      .body,
                  "Success");
        m_directory.SystemMessage("Title", "Text");
        m_directory.SetVersion("1000");
        m_before = halvdirtest::DumpDatabase(m_directory);
    }

    void ExpectNothingChanged() {
        EXPECT_EQ(halvdirtest::DumpDatabase(m_directory), m_before);
        EXPECT_TRUE(m_directory.Running());
        EXPECT_EQ(m_directory.Get("/cgi-bin/lookupinfo?1").body,
                  "Name: Ann\nEMail: ann@example.org\n");
    }

    HalvdirProcess m_directory;
    std::string m_before;
};

TEST_F(DirectoryBadInput, MalformedArgumentsGetStatus400) {
    const std::string longName(256, 'n');
    const char* const targets[] = {
        // missing and extra arguments
        "/cgi-bin/updateip",
        "/cgi-bin/updateip?1",
        "/cgi-bin/updateip?1++pw",
        "/cgi-bin/updateip?1+127.0.0.3+pw%",
        "/cgi-bin/updateinfo?1+Ann+ann@example.org",
        "/cgi-bin/updateinfo?1+Ann+a@b+pw+pw",
        "/cgi-bin/updateinfo?1++ann@example.org+pw",
        "/cgi-bin/updateinfo?1+Ann++pw",
        "/cgi-bin/updateinfo?1+Ann+ann@example.org+",
        "/cgi-bin/regasacq?1",
        "/cgi-bin/regasacq?1+2+3",
        "/cgi-bin/lookupinfo",
        "/cgi-bin/lookupinfo?1+2",
        "/cgi-bin/lookupid",
        "/cgi-bin/lookupid?",
        "/cgi-bin/checkpassword?1",
        "/cgi-bin/checkpassword?1+",
        "/cgi-bin/delacqs",
        "/cgi-bin/registerid?5",
        "/cgi-bin/notify_mail?a@b.c+d@e.f+App+Ann+url",
        "/cgi-bin/sysmestime",
        "/cgi-bin/insertrandomip?155",
        "/cgi-bin/removerandomip?155+127.0.0.2+1",
        "/sysmessage?1",
        // numbers that are not plain 32-bit decimals
        "/cgi-bin/lookupip?abc",
        "/cgi-bin/delacqs?1.5",
        "/cgi-bin/delacqs?0x10",
        "/cgi-bin/delacqs?99999999999",
        "/cgi-bin/delacqs?2147483648",
        "/cgi-bin/delacqs?-",
        "/cgi-bin/delacqs?%201",
        "/cgi-bin/delacqs?0",
        "/cgi-bin/delacqs?-4",
        "/cgi-bin/regasacq?1+two",
        "/cgi-bin/insertrandomip?x+127.0.0.3",
        "/cgi-bin/notify_mail?a@b.c+d@e.f+App+Ann+url+1e3",
        // addresses that are not dotted quads
        "/cgi-bin/updateip?1+127.0.0",
        "/cgi-bin/updateip?1+127.0.0.256",
        "/cgi-bin/updateip?1+127.0.0.1.5",
        "/cgi-bin/updateip?1+localhost",
        "/cgi-bin/insertrandomip?155+1..2.3",
        "/cgi-bin/insertrandomip?155+0127.0.0.1",
        "/cgi-bin/removerandomip?155+%20127.0.0.2",
        // broken percent-escapes
        "/cgi-bin/lookupid?ann%",
        "/cgi-bin/lookupid?ann%4",
        "/cgi-bin/lookupid?ann%G0@x",
        "/cgi-bin/updateinfo?1+A%zzB+ann@example.org+pw",
        // control characters that would forge answer lines
        "/cgi-bin/updateinfo?1+Ann%0AEMail:%20evil@example.org+ann@example.org+pw",
        "/cgi-bin/updateinfo?1+Ann%00x+ann@example.org+pw",
        "/cgi-bin/updateinfo?1+Ann%7F+ann@example.org+pw",
        "/cgi-bin/lookupid?a%0Db@x",
    };
    for (const char* target : targets) {
        HttpReply reply = m_directory.Get(target);
        EXPECT_EQ(reply.status, 400) << target << ": " << reply.body;
        EXPECT_EQ(reply.body.rfind("Error: ", 0), 0u) << target;
    }
    for (const std::string& target :
         {"/cgi-bin/updateinfo?1+" + longName + "+ann@example.org+pw",
          "/cgi-bin/updateinfo?1+Ann+" + std::string(120, 'e') + "@example.org+pw",
          "/cgi-bin/updateinfo?1+Ann+ann@example.org+" + std::string(128, 'p'),
          "/cgi-bin/lookupid?" + std::string(2049, 'a')}) {
        EXPECT_EQ(m_directory.Get(target).status, 400) << target.substr(0, 60);
    }
    ExpectNothingChanged();
}

TEST_F(DirectoryBadInput, OversizedRequestsAndStrangeRequestLinesAreRefused) {
    // Several kilobytes of query: over the directory's own limit, then over
    // the HTTP layer's.
    for (size_t size : {3000u, 7000u, 20000u, 100000u}) {
        HttpReply reply =
            halvdirtest::Get(m_directory.Port(), "/cgi-bin/lookupid?" + std::string(size, 'a'),
                             std::chrono::seconds(5));
        // Far over every limit the server may also just close the connection.
        if (size < 20000 || reply.status != 0) {
            EXPECT_GE(reply.status, 400) << size;
            EXPECT_LT(reply.status, 500) << size;
        }
    }
    // A raw space splits the request line.
    EXPECT_EQ(halvdirtest::RawExchange(m_directory.Port(),
                                       "GET /cgi-bin/updateinfo?1+Ann Lee+ann@example.org+pw "
                                       "HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                  .status,
              400);
    HttpReply garbage = halvdirtest::RawExchange(m_directory.Port(), "\x01\x02garbage\r\n\r\n");
    EXPECT_TRUE(garbage.status == 0 || garbage.status == 400) << garbage.status;
    EXPECT_EQ(halvdirtest::RawExchange(m_directory.Port(),
                                       "POST /cgi-bin/registerid HTTP/1.1\r\nHost: x\r\n"
                                       "Content-Length: 0\r\nConnection: close\r\n\r\n")
                  .status,
              405);
    ExpectNothingChanged();
}

TEST_F(DirectoryBadInput, NegativeTosNumbersOpenNoPool) {
    EXPECT_EQ(m_directory.Get("/cgi-bin/insertrandomip?-155+127.0.0.3").body, "Result: 2\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/insertrandomip?-1+127.0.0.3").body, "Result: 2\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/lookuprandomip?-155").body, "0.0.0.0\n");
    ExpectNothingChanged();
}

TEST_F(DirectoryBadInput, UnknownPathsGet404) {
    for (const char* target :
         {"/", "/cgi-bin/", "/cgi-bin/dropusers", "/cgi-bin/../sysmessage", "/sysmessage.",
          "/sysmessage.0", "/sysmessage.-3", "/sysmessage.abc", "/sysmessage.99999999999",
          "/latestversion/", "/cgi-bin/registerid/extra", "/CGI-BIN/registerid"}) {
        HttpReply reply = m_directory.Get(target);
        EXPECT_GE(reply.status, 400) << target;
        EXPECT_LT(reply.status, 500) << target;
    }
    ExpectNothingChanged();
}

TEST_F(DirectoryBadInput, SqlMetaCharactersAreJustText) {
    // Well-formed queries whose texts look like SQL: answered as any other
    // text, and the refusals leave the rows alone.
    EXPECT_EQ(m_directory.Get("/cgi-bin/lookupid?x'%20OR%20'1'='1").body, "ID: -1\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/lookupid?ann@example.org';--").body, "ID: -1\n");
    EXPECT_EQ(m_directory
                  .Get("/cgi-bin/updateinfo?1+Robert');%20DROP%20TABLE%20users;--+"
                       "ann@example.org+wrong")
                  .body,
              "Result: 2\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/checkpassword?1+'%20OR%201=1;--").body, "NoMatch\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/removerandomip?155+127.0.0.9").body, "Result: 0\n");
    ExpectNothingChanged();

    // And stored verbatim when the password is right.
    EXPECT_EQ(m_directory
                  .Get("/cgi-bin/updateinfo?1+Robert');%20DROP%20TABLE%20users;--+"
                       "ann@example.org+pw")
                  .body,
              "Result: 1\n");
    EXPECT_EQ(m_directory.Get("/cgi-bin/lookupinfo?1").body,
              "Name: Robert'); DROP TABLE users;--\nEMail: ann@example.org\n");
}

} // namespace
