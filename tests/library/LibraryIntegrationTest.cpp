// The real library against the real halvserve, each in its own processes, in a
// private session namespace.

#include "bridge/MemoryChannel.h"
#include "platform/SingleInstanceGuard.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using testsupport::BuildBin;
using testsupport::ChildProcess;
using testsupport::WaitFor;

namespace {

struct CallLine {
    std::string name;
    long long result = 0;
    long long ms = 0;
    std::string text;
};

// Every line of the test client's output that reports a call.
std::vector<CallLine> ParseCalls(const std::string& output) {
    std::vector<CallLine> calls;
    std::istringstream lines(output);
    std::string line;
    const std::vector<std::string> names{"init", "updatetos", "num",   "dealloc", "anon",
                                         "echo", "qtloaded",  "touch", "waitfile"};
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        CallLine call;
        if (!(fields >> call.name >> call.result >> call.ms))
            continue;
        if (std::find(names.begin(), names.end(), call.name) == names.end())
            continue;
        fields >> call.text;
        calls.push_back(call);
    }
    return calls;
}

class LibraryIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_root.Path() / "config");
        std::filesystem::create_directories(m_root.Path() / "home");
        m_environment = {
            {"XDG_RUNTIME_DIR", m_root.Path().string()},
            {"XDG_CONFIG_HOME", (m_root.Path() / "config").string()},
            {"HOME", (m_root.Path() / "home").string()},
            // Clients launch nothing unless a test says so: a launch racing with
            // the end of the running service would make a new one.
            {"HALVSERVE_PATH", "/bin/true"},
            // Nothing listens there: the service never reaches a directory.
            {"HALVARA_DIRECTORY", "127.0.0.1:" + std::to_string(testsupport::FreeTcpPort())},
            {"HALVARA_ADDRESS", "127.0.0.1"},
        };
        // This process looks at the same namespace for the service's guard.
        setenv("XDG_RUNTIME_DIR", m_root.Path().c_str(), 1);
        ASSERT_TRUE(std::filesystem::exists(BuildBin("halvserve")))
            << "halvserve is built beside the library";
    }

    void TearDown() override {
        for (auto& service : m_services) {
            if (service->Running())
                service->Signal(SIGKILL);
            service->Wait(5s);
        }
        // A service the library launched is nobody's child here; it is found by
        // the guard file of this test's own namespace.
        for (pid_t pid : LockHolders(m_root.Path() / "halvara" / "Quembly class Class.lock"))
            kill(pid, SIGKILL);
    }

    // Processes that have the file open.
    static std::vector<pid_t> LockHolders(const std::filesystem::path& file) {
        std::vector<pid_t> holders;
        std::error_code error;
        for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
            pid_t pid = static_cast<pid_t>(std::atoi(process.path().filename().c_str()));
            if (pid <= 0 || pid == getpid())
                continue;
            std::error_code fdError;
            for (const auto& fd :
                 std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
                std::error_code linkError;
                if (std::filesystem::read_symlink(fd.path(), linkError) == file) {
                    holders.push_back(pid);
                    break;
                }
            }
        }
        return holders;
    }

    // The library launches the real halvserve.
    std::map<std::string, std::string> Launching() const {
        return {{"HALVSERVE_PATH", BuildBin("halvserve").string()}};
    }

    bool ServiceRunning() const {
        return platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName);
    }

    std::unique_ptr<ChildProcess> Client(const std::vector<std::string>& calls,
                                         std::map<std::string, std::string> overrides = {}) {
        auto environment = m_environment;
        for (auto& [key, value] : overrides)
            environment[key] = value;
        return std::make_unique<ChildProcess>(BuildBin("halvara_test_client"), calls, environment);
    }

    // Runs a client to its end and returns its calls.
    std::vector<CallLine> RunClient(const std::vector<std::string>& calls,
                                    std::map<std::string, std::string> overrides = {}) {
        auto client = Client(calls, std::move(overrides));
        int code = client->Wait(90s);
        EXPECT_EQ(code, 0) << client->Output();
        m_lastOutput = client->Output();
        return ParseCalls(m_lastOutput);
    }

    // Starts halvserve directly and waits until it serves.
    ChildProcess& StartService() {
        m_services.push_back(std::make_unique<ChildProcess>(
            BuildBin("halvserve"), std::vector<std::string>{}, m_environment));
        EXPECT_TRUE(WaitFor([&] { return ServiceRunning(); }, 10s));
        return *m_services.back();
    }

    std::filesystem::path Path(const std::string& name) const { return m_root.Path() / name; }

    testsupport::TempDir m_root;
    std::map<std::string, std::string> m_environment;
    std::vector<std::unique_ptr<ChildProcess>> m_services;
    std::string m_lastOutput;
};

TEST_F(LibraryIntegrationTest, NumActiveTosCountsAndTheLastUnregistrationEndsTheService) {
    auto calls = RunClient({"init", "0", "155", "num", "updatetos", "155", "1", "num", "updatetos",
                            "156", "1", "num", "updatetos", "156", "0", "num"},
                           Launching());
    ASSERT_EQ(calls.size(), 8u) << m_lastOutput;
    // Without a parent window Initialize fails by design; the client object is
    // made all the same and reaches the service.
    EXPECT_EQ(calls[0].result, 0);
    EXPECT_EQ(calls[1].result, 0);
    EXPECT_EQ(calls[2].result, 1);
    EXPECT_EQ(calls[3].result, 1);
    EXPECT_EQ(calls[4].result, 1);
    EXPECT_EQ(calls[5].result, 2);
    EXPECT_EQ(calls[6].result, 1);
    EXPECT_EQ(calls[7].result, 1);
    EXPECT_TRUE(ServiceRunning());

    // Dropping the last registration still gets its reply; then the service ends.
    calls = RunClient({"init", "0", "155", "updatetos", "155", "0"});
    ASSERT_EQ(calls.size(), 2u) << m_lastOutput;
    EXPECT_EQ(calls[1].result, 1);
    EXPECT_TRUE(WaitFor([&] { return !ServiceRunning(); }, 10s));
}

TEST_F(LibraryIntegrationTest, DeallocateOfTheLastApplicationEndsTheService) {
    auto calls =
        RunClient({"init", "0", "155", "updatetos", "155", "1", "dealloc", "155"}, Launching());
    ASSERT_EQ(calls.size(), 3u) << m_lastOutput;
    EXPECT_EQ(calls[1].result, 1);
    EXPECT_EQ(calls[2].result, 1);
    EXPECT_TRUE(WaitFor([&] { return !ServiceRunning(); }, 10s));
}

TEST_F(LibraryIntegrationTest, ASecondLaunchEndsAtOnceWhileTheFirstKeepsServing) {
    ChildProcess& first = StartService();
    auto calls = RunClient({"init", "0", "155", "updatetos", "155", "1"});
    ASSERT_EQ(calls.size(), 2u) << m_lastOutput;
    EXPECT_EQ(calls[1].result, 1);

    ChildProcess second(BuildBin("halvserve"), {}, m_environment);
    EXPECT_NE(second.Wait(5s), -1) << "a second halvserve must end by itself";
    EXPECT_TRUE(first.Running());

    calls = RunClient({"init", "0", "155", "num"});
    ASSERT_EQ(calls.size(), 2u) << m_lastOutput;
    EXPECT_EQ(calls[1].result, 1);
}

TEST_F(LibraryIntegrationTest, ClientsCallingAtTheSameMomentNeverInterleave) {
    StartService();
    auto go = Path("go").string();
    auto a = Client({"waitfile", go, "echo", "300", "1"});
    auto b = Client({"waitfile", go, "echo", "300", "2"});
    std::ofstream(go) << "1";
    ASSERT_EQ(a->Wait(90s), 0) << a->Output();
    ASSERT_EQ(b->Wait(90s), 0) << b->Output();
    for (auto* client : {a.get(), b.get()}) {
        auto calls = ParseCalls(client->Output());
        ASSERT_EQ(calls.size(), 2u) << client->Output();
        EXPECT_EQ(calls[1].name, "echo");
        EXPECT_EQ(calls[1].result, 0) << "replies that were not the echo of their own request";
    }
}

TEST_F(LibraryIntegrationTest, AClientStartedBeforeTheServiceCompletesOnceItIsUp) {
    // The client's own launch does nothing, so the service comes only when the
    // test starts it, a while after the client's first call.
    auto client = Client({"init", "0", "155", "updatetos", "155", "1", "num"});
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(ServiceRunning());
    StartService();
    ASSERT_EQ(client->Wait(90s), 0) << client->Output();
    auto calls = ParseCalls(client->Output());
    ASSERT_EQ(calls.size(), 3u) << client->Output();
    EXPECT_EQ(calls[1].result, 1);
    EXPECT_EQ(calls[2].result, 1);
    EXPECT_GE(calls[0].ms + calls[1].ms, 200) << "the first calls waited for the service";
}

TEST_F(LibraryIntegrationTest, AKilledServiceMakesTheNextCallFailInsteadOfHanging) {
    ChildProcess& service = StartService();
    auto ready = Path("ready").string();
    auto killed = Path("killed").string();
    auto client = Client({"init", "0", "155", "updatetos", "155", "1", "touch", ready, "waitfile",
                          killed, "updatetos", "156", "1", "num"});
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(ready); }, 30s)) << client->Output();
    service.Signal(SIGKILL);
    ASSERT_NE(service.Wait(5s), -1);
    std::ofstream(killed) << "1";

    ASSERT_EQ(client->Wait(60s), 0) << "the client hung on a dead service";
    auto calls = ParseCalls(client->Output());
    ASSERT_EQ(calls.size(), 6u) << client->Output();
    EXPECT_EQ(calls[1].result, 1);
    EXPECT_EQ(calls[4].result, 0);
    EXPECT_EQ(calls[5].result, 0);
    EXPECT_LT(calls[4].ms, 30000);
}

TEST_F(LibraryIntegrationTest, GetAnonAcquaintancesSizesAnEmptyListAndStaysInStep) {
    auto calls = RunClient({"init", "0", "155", "updatetos", "155", "1", "anon", "155", "1", "1",
                            "anon", "155", "0", "2", "num"},
                           Launching());
    ASSERT_EQ(calls.size(), 5u) << m_lastOutput;
    if (calls[2].result == 2) {
        EXPECT_EQ(calls[3].result, 1);
        EXPECT_EQ(calls[3].text, "");
    } else {
        // A service whose new identity got no ID (the directory here never
        // answers) has no contact lists, so the listing answers failed.
        EXPECT_EQ(calls[2].result, 0);
        EXPECT_EQ(calls[3].result, 0);
    }
    // Every block of the exchange was consumed: the next call gets its own reply.
    EXPECT_EQ(calls[4].result, 1);
}

TEST_F(LibraryIntegrationTest, AnUnregisteredInitializeFailsOnceAndTheClientStillServes) {
    auto calls = RunClient(
        {"init", "1", "155", "init", "1", "155", "updatetos", "155", "1", "num", "qtloaded"},
        Launching());
    ASSERT_EQ(calls.size(), 5u) << m_lastOutput;
    // A program without widgets never gets Qt through the library.
    EXPECT_EQ(calls[4].result, 0);
    EXPECT_EQ(calls[0].result, 0);
    EXPECT_EQ(calls[1].result, 0);
    EXPECT_EQ(calls[2].result, 1);
    EXPECT_EQ(calls[3].result, 1);
    // Shown on standard error without a display, and only by the first call.
    std::string message = "Halvara: Cannot register Halvara; make sure";
    auto first = m_lastOutput.find(message);
    ASSERT_NE(first, std::string::npos) << m_lastOutput;
    EXPECT_EQ(m_lastOutput.find(message, first + 1), std::string::npos);
}

TEST_F(LibraryIntegrationTest, AMissingServiceProgramIsReportedAndCallsFail) {
    auto calls = RunClient({"init", "0", "155", "updatetos", "155", "1"},
                           {{"HALVSERVE_PATH", Path("no-such-halvserve").string()},
                            {"HALVARA_BRIDGE_START_LIMIT_MS", "1000"}});
    ASSERT_EQ(calls.size(), 2u) << m_lastOutput;
    EXPECT_EQ(calls[0].result, 0);
    EXPECT_EQ(calls[1].result, 0);
    EXPECT_NE(m_lastOutput.find("Severe error: Could not find Halvara library!"), std::string::npos)
        << m_lastOutput;
}

} // namespace
