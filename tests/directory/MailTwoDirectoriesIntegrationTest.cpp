// Two halvdir processes on one PostgreSQL database, both mailing the outbox:
// every invitation arrives once.

#include "HalvdirProcess.h"
#include "SmtpSink.h"
#include "support/PostgresServer.h"

#include <gtest/gtest.h>
#include <memory>
#include <set>

namespace {

using halvdirtest::SmtpSink;
using testsupport::ChildProcess;

TEST(MailTwoDirectories, EachInvitationIsMailedOnceWhateverDirectoryRecordedIt) {
    auto* postgres = testsupport::PostgresServer::Shared();
    if (!postgres)
        GTEST_SKIP() << "no PostgreSQL server to run: " << testsupport::PostgresServer::Problem();
    const std::string database = postgres->Uri(postgres->NewDatabase());
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    // Slow enough that the other directory polls while a batch is being sent.
    sink.SetAcceptDelay(std::chrono::milliseconds(300));

    // Both poll the outbox every second, so their claims meet often.
    const std::map<std::string, std::string> quick{{"HALVDIR_MAIL_RETRY_SECONDS", "1"}};
    std::vector<int> ports;
    std::vector<std::unique_ptr<ChildProcess>> directories;
    for (int i = 0; i < 2; ++i) {
        int port = testsupport::FreeTcpPort();
        directories.push_back(std::make_unique<ChildProcess>(
            testsupport::BuildBin("halvdir"),
            std::vector<std::string>{"serve", "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--db", database, "--smtp", sink.Url(), "--mail-from",
                                     "directory@example.org"},
            quick));
        ASSERT_TRUE(testsupport::WaitFor(
            [&] {
                return testsupport::CanConnect("127.0.0.1", port, std::chrono::milliseconds(200));
            },
            std::chrono::seconds(30)))
            << directories.back()->Output();
        ports.push_back(port);
    }

    constexpr int kInvitations = 20;
    for (int i = 0; i < kInvitations; ++i) {
        auto reply =
            halvdirtest::Get(ports[static_cast<size_t>(i % 2)],
                             "/cgi-bin/notify_mail?ann@example.org+friend" + std::to_string(i) +
                                 "@example.org+Drovick+Ann+http%3A%2F%2Fexample.org%2Fget+155");
        ASSERT_EQ(reply.body, "Success") << i;
    }
    ASSERT_TRUE(sink.WaitForMails(kInvitations, std::chrono::seconds(90)))
        << sink.Mails().size() << "\n"
        << directories[0]->Output() << directories[1]->Output();
    // Several polls of both later, still one mail each.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    auto mails = sink.Mails();
    std::set<std::string> recipients;
    for (const auto& mail : mails)
        recipients.insert(mail.recipients.at(0));
    EXPECT_EQ(mails.size(), static_cast<size_t>(kInvitations));
    EXPECT_EQ(recipients.size(), static_cast<size_t>(kInvitations));
}

} // namespace
