// The halvara command-line client as one user runs it: the real halvserve
// started by the library, the real halvdir as the directory, and the user's
// own home, settings, session folder and loopback address.

#include "MachineUser.h"
#include "bridge/MemoryChannel.h"
#include "platform/SingleInstanceGuard.h"
#include "tests/support/HalvdirServer.h"
#include "tests/support/TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace machineuser;
using testsupport::BuildBin;

class HalvaraCliIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(BuildBin("halvara"))) << "halvara is built beside the library";
        // This process watches the user's session for the service's guard.
        setenv("XDG_RUNTIME_DIR", Runtime().c_str(), 1);
        ASSERT_TRUE(m_directory.Started()) << m_directory.Output();
        m_user.SetEnvironment("HALVARA_DIRECTORY", DirectoryHost());
        m_user.SetEnvironment("HALVARA_PROBE_HOSTS", DirectoryHost());
        m_user.SetEnvironment("HALVSERVE_PATH", BuildBin("halvserve").string());
    }

    void TearDown() override {
        if (m_hold && m_hold->Running()) {
            m_hold->Signal(SIGTERM);
            m_hold->Wait(20s);
        }
        // The service ends by itself once nobody holds a TOS.
        EXPECT_TRUE(testsupport::WaitFor([&] { return !ServiceRunning(); }, 15s))
            << "a halvserve outlived the last registration";
        for (pid_t pid : GuardHolders())
            kill(pid, SIGKILL);
    }

    // The processes that have the service's guard file open.
    std::vector<pid_t> GuardHolders() const {
        const fs::path guard = Runtime() / "halvara" / "Quembly class Class.lock";
        std::vector<pid_t> holders;
        std::error_code error;
        for (const auto& process : fs::directory_iterator("/proc", error)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(process.path().filename().c_str()));
            if (pid <= 0 || pid == getpid())
                continue;
            std::error_code fdError;
            for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
                std::error_code linkError;
                if (fs::read_symlink(fd.path(), linkError) == guard) {
                    holders.push_back(pid);
                    break;
                }
            }
        }
        return holders;
    }

    fs::path Home() const { return m_user.Home(); }
    fs::path Runtime() const { return m_user.Runtime(); }
    std::string DirectoryHost() const { return m_directory.Host(); }
    const std::map<std::string, std::string>& Environment() const { return m_user.Environment(); }

    // Runs halvara with standard error kept apart from standard output.
    Outcome Halvara(const std::vector<std::string>& arguments, const std::string& input = {},
                    const std::map<std::string, std::string>& extra = {}) {
        return m_user.Run(BuildBin("halvara"), arguments, input, 60s, extra);
    }

    // Runs halvara on a pseudo-terminal and types each answer once its prompt
    // shows and the terminal no longer echoes. All the terminal showed comes
    // back; code gets the exit code (-1 when it did not end in time).
    std::string OnTerminal(const std::vector<std::string>& arguments,
                           const std::vector<std::pair<std::string, std::string>>& answers,
                           int& code) const {
        return RunOnTerminal(BuildBin("halvara"), arguments, Environment(), answers, code);
    }

    bool ServiceRunning() const {
        return platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName);
    }

    // Keeps the service up between commands, as a user's session would.
    void Hold() {
        m_hold = std::make_unique<ChildProcess>(BuildBin("halvara"),
                                                std::vector<std::string>{"hold"}, Environment());
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return m_hold->Output().find("holding\n") != std::string::npos; }, 30s))
            << m_hold->Output();
    }

    // Registers an identity and returns its ID.
    int Register(const std::string& name, const std::string& eMail, const std::string& password) {
        Outcome run = Halvara({"register", name, eMail}, password + "\n");
        EXPECT_EQ(run.code, 0) << run.err;
        std::vector<std::string> fields = Fields(run.out.substr(0, run.out.find('\n')));
        if (fields.size() != 2 || fields[0] != "ID")
            return -1;
        return std::atoi(fields[1].c_str());
    }

    static void ExpectOneComplaint(const Outcome& run, int code, const std::string& about) {
        EXPECT_EQ(run.code, code) << run.out << run.err;
        EXPECT_EQ(run.out, "");
        std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_EQ(lines[0].rfind("halvara: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(about), std::string::npos) << lines[0];
    }

    MachineUser m_user{"127.0.0.23"};
    testsupport::HalvdirServer m_directory{{"--threads", "2"}};
    std::unique_ptr<ChildProcess> m_hold;
};

TEST_F(HalvaraCliIntegrationTest, RegisterTakesThePasswordFromStandardInputOnly) {
    Hold();
    ExpectOneComplaint(Halvara({"register", "Ann", "ann@example.org", "secret"}), 2,
                       "standard input");
    ExpectOneComplaint(Halvara({"register", "Ann", "ann@example.org"}), 2, "empty password");
    ExpectOneComplaint(Halvara({"register", "Ann", "ann@example.org"}, "   \nsecret\n"), 2,
                       "empty password");
    // Nothing was registered by the refusals.
    EXPECT_EQ(Halvara({"identities"}).out, "");

    // Only the first line counts, without the blanks around it.
    const int id = Register("Ann Smith", "Ann@Example.org", "  s3cret \nnot this\n");
    ASSERT_GT(id, 0);
    Outcome me = Halvara({"me"});
    EXPECT_EQ(me.code, 0) << me.err;
    EXPECT_EQ(me.out, std::to_string(id) + "\tAnn Smith\tann@example.org\n");
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn Smith\tactive\n");
    // The directory has it under that address.
    Outcome added = Halvara({"add", "ann@example.org"});
    ExpectOneComplaint(added, 1, "own identity");

    // The same address again is refused, whatever the password.
    ExpectOneComplaint(Halvara({"register", "Other", "ann@example.org"}, "s3cret\n"), 1,
                       "already uses ann@example.org");
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn Smith\tactive\n");
}

TEST_F(HalvaraCliIntegrationTest, SecondIdentitySwitchesOnlyWithItsPassword) {
    Hold();
    const int ann = Register("Ann", "ann@example.org", "s3cret");
    const int ben = Register("Ben", "ben@example.org", "b3n");
    ASSERT_GT(ann, 0);
    ASSERT_GT(ben, 0);
    EXPECT_NE(ann, ben);
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn\t-\n1\tBen\tactive\n");
    EXPECT_EQ(Halvara({"me"}).out, std::to_string(ben) + "\tBen\tben@example.org\n");

    ExpectOneComplaint(Halvara({"switch", "0"}, "b3n\n"), 1, "password");
    ExpectOneComplaint(Halvara({"switch", "7"}, "s3cret\n"), 1, "no identity 7");
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn\t-\n1\tBen\tactive\n");

    // Passwords are compared without regard to case.
    Outcome switched = Halvara({"switch", "0"}, "S3CRET\n");
    EXPECT_EQ(switched.code, 0) << switched.err;
    EXPECT_EQ(switched.out, "0\n");
    EXPECT_EQ(Halvara({"me"}).out, std::to_string(ann) + "\tAnn\tann@example.org\n");

    // A stored identity's address is refused even with its own password.
    ExpectOneComplaint(Halvara({"register", "Ben again", "BEN@example.org"}, "b3n\n"), 1,
                       "switch to it");
}

TEST_F(HalvaraCliIntegrationTest, UsageErrorsExitTwoWithoutStartingTheService) {
    const std::vector<std::vector<std::string>> wrong{
        {},
        {"frobnicate"},
        {"--tos"},
        {"--tos", "abc", "me"},
        {"--tos", "-1", "me"},
        {"me", "extra"},
        {"friends", "--bogus"},
        {"register", "OnlyName"},
        {"register", "Ann", "not-an-address"},
        {"switch"},
        {"switch", "first"},
        {"switch", "0", "password"},
        {"add"},
        {"add", "neither"},
        {"add", "a@b.org", "c@d.org"},
        {"remove"},
        {"online", "a@b.org", "--tos"},
        {"online", "a@b.org", "--tos", "x"},
        {"online", "a@b.org", "--tos", "-2"},
        {"hold", "now"},
        {"message", "--tos", "-5"},
    };
    for (const auto& arguments : wrong) {
        Outcome run = Halvara(arguments, "password\n");
        std::string shown;
        for (const std::string& word : arguments)
            shown += word + " ";
        EXPECT_EQ(run.code, 2) << shown << run.err;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find("halvara: "), std::string::npos) << shown << run.err;
    }
    Outcome help = Halvara({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("default 161"), std::string::npos) << help.out;
    EXPECT_FALSE(ServiceRunning());
    EXPECT_FALSE(fs::exists(Home() / ".config" / "halvara"));
}

TEST_F(HalvaraCliIntegrationTest, FailedOperationsExitOneWithOneLine) {
    // A new user has no identity yet: the commands that need one say so.
    ExpectOneComplaint(Halvara({"me"}), 1, "no registered identity");
    ExpectOneComplaint(Halvara({"friends"}), 1, "no registered identity");
    const int id = Register("Ann", "ann@example.org", "s3cret");
    ASSERT_GT(id, 0);
    ExpectOneComplaint(Halvara({"add", "nobody@example.org"}), 1, "nobody@example.org");
    ExpectOneComplaint(Halvara({"remove", "nobody@example.org"}), 1, "nobody@example.org");
    ExpectOneComplaint(Halvara({"online", "nobody@example.org"}), 1, "nobody@example.org");
    // Without a directory nothing can be registered.
    m_directory.Stop();
    ExpectOneComplaint(Halvara({"register", "Ben", "ben@example.org"}, "b\n"), 1,
                       "could not be reached");
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn\tactive\n");
}

TEST_F(HalvaraCliIntegrationTest, TheIdentitiesSurviveTheServiceAndHoldKeepsItUp) {
    // Each command ends the service it started; the next one starts it anew
    // from what the last one wrote.
    const int ann = Register("Ann", "ann@example.org", "s3cret");
    ASSERT_GT(ann, 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return !ServiceRunning(); }, 15s));
    const int ben = Register("Ben", "ben@example.org", "b3n");
    ASSERT_GT(ben, 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return !ServiceRunning(); }, 15s));
    EXPECT_EQ(Halvara({"identities"}).out, "0\tAnn\t-\n1\tBen\tactive\n");
    // Started while the service of the command before is still ending.
    EXPECT_EQ(Halvara({"me"}).out, std::to_string(ben) + "\tBen\tben@example.org\n");
    EXPECT_EQ(Halvara({"me"}).out, std::to_string(ben) + "\tBen\tben@example.org\n");

    Hold();
    EXPECT_TRUE(ServiceRunning());
    ExpectOneComplaint(Halvara({"online", "424242"}), 1, "neither a friend nor an acquaintance");
    EXPECT_TRUE(ServiceRunning());
    m_hold->Signal(SIGTERM);
    EXPECT_EQ(m_hold->Wait(20s), 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return !ServiceRunning(); }, 15s));
}

TEST_F(HalvaraCliIntegrationTest, ASystemMessageIsHandedOutOnce) {
    Hold();
    ASSERT_GT(Register("Ann", "ann@example.org", "s3cret"), 0);
    const auto published = m_directory.SystemMessage("Maintenance", "Down at noon.\tBack soon.");
    ASSERT_EQ(published.code, 0) << published.output;
    Outcome first = Halvara({"message"});
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.out, "Maintenance\nDown at noon.\\tBack soon.\n");
    Outcome second = Halvara({"message"});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, "");
}

TEST_F(HalvaraCliIntegrationTest, OnATerminalThePasswordIsAskedTwiceAndNeverShown) {
    int code = -1;
    std::string shown =
        OnTerminal({"register", "Ann", "ann@example.org"},
                   {{"Password: ", "t3rm1nal"}, {"Password again: ", "other"}}, code);
    EXPECT_EQ(code, 2) << shown;
    EXPECT_NE(shown.find("halvara: the passwords do not match"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("t3rm1nal"), std::string::npos) << shown;

    shown = OnTerminal({"register", "Ann", "ann@example.org"},
                       {{"Password: ", "t3rm1nal"}, {"Password again: ", "t3rm1nal"}}, code);
    EXPECT_EQ(code, 0) << shown;
    EXPECT_NE(shown.find("ID\t"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("t3rm1nal"), std::string::npos) << shown;
    EXPECT_EQ(Halvara({"switch", "0"}, "t3rm1nal\n").code, 0);
}

} // namespace
