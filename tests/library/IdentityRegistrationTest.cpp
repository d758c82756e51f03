// Registering an identity without windows, against a scripted service end of a
// real bridge channel: which commands go out in which order, and what each
// refusal leaves behind.

#include "IdentityRegistration.h"

#include "DirectoryProbe.h"
#include "FakeService.h"
#include "HalvaraClient.h"
#include "RecordingMessages.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <array>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Outcome = IdentityRegistration::Outcome;

// What the scripted service answers, by command: the value at 4 (and at 8 for
// command 24, whose index comes first).
struct Script {
    int taken = 0;
    int lookedUp = -1;
    int passwordMatches = 0;
    int newIndex = 3;
    int added = 1;
    int activated = 1;
    int claimed = 1;
    int profileStored = 1;
    int flushed = 1;
};

FakeService::Handler Scripted(const Script& script) {
    return [script](const BridgeRecord& request) {
        switch (request.Code()) {
        case kCmdIsIdentityTaken:
            return std::vector{FakeService::Reply(request, script.taken)};
        case kCmdLookupID:
            return std::vector{FakeService::Reply(request, script.lookedUp)};
        case kCmdCheckPassword:
            return std::vector{FakeService::Reply(request, script.passwordMatches)};
        case kCmdAddIdentity:
            return std::vector{FakeService::Reply(request, script.newIndex, script.added)};
        case kCmdSetIdentity:
            return std::vector{FakeService::Reply(request, script.activated)};
        case kCmdClaimID:
            return std::vector{FakeService::Reply(request, script.claimed)};
        case kCmdSetMyProfile:
            return std::vector{FakeService::Reply(request, script.profileStored)};
        case kCmdFlushData:
            return std::vector{FakeService::Reply(request, script.flushed)};
        default:
            return std::vector{FakeService::Reply(request, 1)};
        }
    };
}

std::vector<int> Codes(const FakeService& service) {
    std::vector<int> codes;
    for (const BridgeRecord& request : service.Requests())
        codes.push_back(request.Code());
    return codes;
}

const BridgeRecord* Find(const std::vector<BridgeRecord>& requests, int code) {
    for (const BridgeRecord& request : requests) {
        if (request.Code() == code)
            return &request;
    }
    return nullptr;
}

class IdentityRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        setenv("HALVSERVE_PATH", "/bin/true", 1);
    }

    Outcome Register(const std::string& name, const std::string& eMail, const std::string& password,
                     bool reachable = true) {
        HalvaraClient client(m_messages);
        IdentityRegistration registration(client, [reachable] { return reachable; });
        return registration.Register(name, eMail, password);
    }

    testsupport::TempDir m_runtime;
    RecordingMessages m_messages;
};

TEST_F(IdentityRegistrationTest, ANewAddressIsCreatedActivatedRegisteredAndWritten) {
    FakeService service(Scripted({}));
    EXPECT_EQ(Register("Ann Smith", "  ann@example.org ", "  s3cret "), Outcome::Registered);
    EXPECT_EQ(Codes(service), (std::vector<int>{kCmdIsIdentityTaken, kCmdLookupID, kCmdAddIdentity,
                                                kCmdSetIdentity, kCmdSetMyProfile, kCmdFlushData}));
    const auto requests = service.Requests();
    EXPECT_EQ(requests[0].TextAt(4), "ann@example.org");
    EXPECT_EQ(requests[1].TextAt(4), "ann@example.org");
    // The identity is made under the name with the password the wizard reads:
    // blanks at both ends cut off.
    EXPECT_EQ(requests[2].TextAt(4), "Ann Smith");
    EXPECT_EQ(requests[2].TextAt(132), "s3cret");
    // The index the service handed out is the one switched to.
    EXPECT_EQ(requests[3].I32At(4), 3);
    EXPECT_EQ(requests[3].TextAt(8), "s3cret");
    PersonalInfo profile{};
    requests[4].CopyOut(BridgeRecord::kProfileRequestOffset, &profile, sizeof profile);
    EXPECT_STREQ(profile.name, "Ann Smith");
    EXPECT_STREQ(profile.eMail, "ann@example.org");
    EXPECT_STREQ(profile.password, "s3cret");
}

TEST_F(IdentityRegistrationTest, ARegisteredAddressIsClaimedOnlyWithItsPassword) {
    Script matching;
    matching.lookedUp = 42;
    matching.passwordMatches = 1;
    {
        FakeService service(Scripted(matching));
        EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret"), Outcome::Registered);
        EXPECT_EQ(
            Codes(service),
            (std::vector<int>{kCmdIsIdentityTaken, kCmdLookupID, kCmdCheckPassword, kCmdAddIdentity,
                              kCmdSetIdentity, kCmdClaimID, kCmdSetMyProfile, kCmdFlushData}));
        const auto requests = service.Requests();
        EXPECT_EQ(requests[2].I32At(4), 42);
        EXPECT_EQ(requests[2].TextAt(8), "s3cret");
        EXPECT_EQ(requests[5].I32At(4), 42);
        EXPECT_EQ(requests[5].TextAt(8), "s3cret");
    }
    Script other = matching;
    other.passwordMatches = 0;
    FakeService service(Scripted(other));
    EXPECT_EQ(Register("Ann", "ann@example.org", "guess"), Outcome::TakenElsewhere);
    // Refused before anything was created.
    EXPECT_EQ(Codes(service),
              (std::vector<int>{kCmdIsIdentityTaken, kCmdLookupID, kCmdCheckPassword}));
}

TEST_F(IdentityRegistrationTest, RefusalsAskNoMoreThanTheyNeed) {
    {
        Script local;
        local.taken = 1;
        FakeService service(Scripted(local));
        EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret"), Outcome::AlreadyLocal);
        EXPECT_EQ(Codes(service), (std::vector<int>{kCmdIsIdentityTaken}));
    }
    FakeService service(Scripted({}));
    EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret", false), Outcome::NoDirectory);
    const std::string longest(127, 'a');
    // Name, e-mail address and password, each refused before the service is asked.
    const std::vector<std::array<std::string, 3>> badInputs = {
        {"", "ann@example.org", "s3cret"},
        {"Ann", "ann.example.org", "s3cret"},
        {"Ann", "ann@example.org", "   "},
        {longest + "n", "ann@example.org", "s3cret"},
        {"Ann", longest + "@x", "s3cret"},
        {"Ann", "ann@example.org", longest + "p"},
        {"Ann", "ann@example.org", std::string("s3\0cret", 7)},
    };
    for (const auto& [name, eMail, password] : badInputs)
        EXPECT_EQ(Register(name, eMail, password), Outcome::BadInput)
            << "name " << name.size() << " characters, e-mail " << eMail << ", password "
            << password.size() << " characters";
    EXPECT_EQ(service.RequestCount(), 0u);
    // The longest texts the fields hold are taken.
    EXPECT_EQ(Register(longest, "a@" + std::string(125, 'b'), longest), Outcome::Registered);
}

TEST_F(IdentityRegistrationTest, AFailedStepStopsTheRegistrationAndSaysWhere) {
    {
        Script script;
        script.activated = 0;
        FakeService service(Scripted(script));
        EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret"), Outcome::ServiceFailed);
        // The identity that could not be made active is not left behind.
        const auto requests = service.Requests();
        ASSERT_EQ(Codes(service).back(), kCmdDeleteIdentity);
        EXPECT_EQ(requests.back().I32At(4), 3);
        EXPECT_EQ(Find(requests, kCmdSetMyProfile), nullptr);
    }
    // The step that fails is the last one asked.
    struct FailedStep {
        const char* step;
        Script script;
        int lastCode;
    };
    const FailedStep failedSteps[] = {
        {"adding the identity", {.added = 0}, kCmdAddIdentity},
        {"claiming the ID", {.lookedUp = 42, .passwordMatches = 1, .claimed = 0}, kCmdClaimID},
        {"storing the profile", {.profileStored = 0}, kCmdSetMyProfile},
    };
    for (const FailedStep& failed : failedSteps) {
        FakeService service(Scripted(failed.script));
        EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret"), Outcome::ServiceFailed)
            << failed.step;
        EXPECT_EQ(Codes(service).back(), failed.lastCode) << failed.step;
    }
    Script script;
    script.flushed = 0;
    FakeService service(Scripted(script));
    EXPECT_EQ(Register("Ann", "ann@example.org", "s3cret"), Outcome::NotSaved);
}

TEST_F(IdentityRegistrationTest, TheVerdictsAreTheWizardsTexts) {
    IdentityRegistration::Decision decision;
    decision.outcome = Outcome::Registered;
    EXPECT_EQ(IdentityRegistration::VerdictText(decision), "");
    decision.registeredId = 42;
    EXPECT_NE(IdentityRegistration::VerdictText(decision).find("Your passwords do, however, match"),
              std::string::npos);
    decision.outcome = Outcome::TakenElsewhere;
    EXPECT_NE(IdentityRegistration::VerdictText(decision).find("you must use a different e-mail"),
              std::string::npos);
    decision.outcome = Outcome::AlreadyLocal;
    EXPECT_NE(IdentityRegistration::VerdictText(decision).find("you should just switch"),
              std::string::npos);
}

TEST_F(IdentityRegistrationTest, TheProbeConnectsWithinItsLimit) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    EXPECT_TRUE(DirectoryProbe::Reachable("127.0.0.1:" + port));
    EXPECT_TRUE(DirectoryProbe::Reachable(" localhost:" + port + " "));
    close(listener);
    EXPECT_FALSE(DirectoryProbe::Reachable("127.0.0.1:" + port));
    EXPECT_FALSE(DirectoryProbe::Reachable("127.0.0.1:99999"));
    EXPECT_FALSE(DirectoryProbe::Reachable("127.0.0.1:"));
    EXPECT_FALSE(DirectoryProbe::Reachable(":" + port));

    setenv("HALVARA_DIRECTORY", "  dir.example:81 ", 1);
    EXPECT_EQ(DirectoryProbe::Host(), "dir.example:81");
    unsetenv("HALVARA_DIRECTORY");
    EXPECT_EQ(DirectoryProbe::Host(), "127.0.0.1:8080");
}

// Command 20's reply: the flag, then two texts each counted with its NUL.
BridgeRecord SystemMessageReply(const BridgeRecord& request, const std::string& title,
                                const std::string& text, int titleCount) {
    BridgeRecord reply = FakeService::Reply(request, 1);
    std::size_t at = 8;
    reply.SetI32At(at, titleCount);
    reply.SetTextAt(at + 4, title, title.size() + 1);
    at += 4 + title.size() + 1;
    reply.SetI32At(at, static_cast<int>(text.size() + 1));
    reply.SetTextAt(at + 4, text, text.size() + 1);
    return reply;
}

TEST_F(IdentityRegistrationTest, TheSystemMessageIsCopiedOutInsteadOfShown) {
    std::mutex lock;
    std::string title = "Maintenance";
    int titleCount = 12;
    int flag = 1;
    FakeService service([&](const BridgeRecord& request) {
        std::lock_guard hold(lock);
        if (flag == 0)
            return std::vector{FakeService::Reply(request, 0)};
        return std::vector{SystemMessageReply(request, title, "Down at noon.", titleCount)};
    });
    HalvaraClient client(m_messages);
    char shownTitle[1024];
    char shownText[1024];
    // Too small a buffer is refused before the message, given out once, is fetched.
    EXPECT_EQ(client.GetSystemMessageHeadless(161, shownTitle, 1023, shownText, 1024), -2);
    EXPECT_EQ(client.GetSystemMessageHeadless(161, nullptr, 1024, shownText, 1024), -2);
    EXPECT_EQ(service.RequestCount(), 0u);

    std::memset(shownTitle, 'x', sizeof shownTitle);
    EXPECT_EQ(client.GetSystemMessageHeadless(161, shownTitle, 1024, shownText, 1024), 1);
    EXPECT_STREQ(shownTitle, "Maintenance");
    EXPECT_STREQ(shownText, "Down at noon.");
    EXPECT_EQ(shownTitle[1023], 0);
    EXPECT_EQ(service.Requests()[0].Code(), kCmdSystemMessage);
    EXPECT_EQ(service.Requests()[0].I32At(4), 161);
    EXPECT_TRUE(m_messages.All().empty());

    {
        // A count that runs past the record is a broken reply.
        std::lock_guard hold(lock);
        titleCount = 2000;
    }
    EXPECT_EQ(client.GetSystemMessageHeadless(161, shownTitle, 1024, shownText, 1024), -1);
    {
        std::lock_guard hold(lock);
        flag = 0;
    }
    EXPECT_EQ(client.GetSystemMessageHeadless(161, shownTitle, 1024, shownText, 1024), 0);
    EXPECT_STREQ(shownTitle, "");
    EXPECT_STREQ(shownText, "");
}

TEST_F(IdentityRegistrationTest, AnAcquaintanceIsAddedWithTheFriendFlagClear) {
    FakeService service([](const BridgeRecord& request) {
        return std::vector{FakeService::Reply(request, request.I32At(4) == 7 ? 1 : 0)};
    });
    HalvaraClient client(m_messages);
    EXPECT_EQ(client.AddAcquaintance(7), 1);
    EXPECT_EQ(client.AddAcquaintance(8), 0);
    const auto requests = service.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Code(), kCmdAdd);
    EXPECT_EQ(requests[0].I32At(4), 7);
    EXPECT_EQ(requests[0].I32At(8), 0);
}

} // namespace
