#include "platform/MessageBus.h"

#include "platform/SessionNamespace.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct RuntimeDir {
    testsupport::TempDir dir;
    RuntimeDir() { setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1); }
    std::filesystem::path Windows() const { return dir.Path() / "halvara" / "windows"; }
};

// Another process running body; what it writes to its pipe comes back through
// ReadLine. It is killed if still running when the object goes.
class Forked {
public:
    explicit Forked(const std::function<void(int out)>& body) {
        int fds[2];
        if (pipe(fds) != 0)
            throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid < 0)
            throw std::runtime_error("fork");
        if (m_pid == 0) {
            close(fds[0]);
            body(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        m_in = fds[0];
    }
    ~Forked() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Reap();
        }
        close(m_in);
    }
    // One line the child wrote, or "" at its end.
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(m_in, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void Kill() {
        kill(m_pid, SIGKILL);
        Reap();
    }
    int Reap() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
};

void WriteText(int fd, const std::string& text) {
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
}

std::vector<std::string> SocketFiles(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_socket())
            names.push_back(entry.path().string());
    return names;
}

TEST(MessageBus, ProcessesAgreeOnNumbersPerName) {
    RuntimeDir runtime;
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back("Pellow message " + std::to_string(i));

    // Four processes register the same names at once, each in another order; the
    // lock on the table must give every name one number.
    std::vector<std::unique_ptr<Forked>> children;
    for (int c = 0; c < 4; ++c) {
        children.push_back(std::make_unique<Forked>([&, c](int out) {
            std::vector<std::string> order = names;
            std::rotate(order.begin(), order.begin() + c * 10, order.end());
            if (c % 2)
                std::reverse(order.begin(), order.end());
            std::map<std::string, std::uint32_t> numbers;
            for (const auto& name : order)
                numbers[name] = platform::MessageBus::RegisterMessage(name);
            for (const auto& name : names)
                WriteText(out, std::to_string(numbers[name]) + "\n");
        }));
    }
    std::vector<std::vector<std::uint32_t>> results;
    for (auto& child : children) {
        std::vector<std::uint32_t> numbers;
        for (std::size_t i = 0; i < names.size(); ++i)
            numbers.push_back(static_cast<std::uint32_t>(std::stoul(child->ReadLine())));
        results.push_back(numbers);
    }
    for (std::size_t c = 1; c < results.size(); ++c)
        EXPECT_EQ(results[c], results[0]) << "process " << c;
    std::set<std::uint32_t> distinct(results[0].begin(), results[0].end());
    EXPECT_EQ(distinct.size(), names.size());
    EXPECT_GE(*distinct.begin(), 0xC000u);
    EXPECT_LT(*distinct.rbegin(), 0xC000u + names.size());

    // This process sees the same table, and a new name gets a new number.
    EXPECT_EQ(platform::MessageBus::RegisterMessage(names[7]), results[0][7]);
    auto fresh = platform::MessageBus::RegisterMessage("Halvara: update identity");
    EXPECT_EQ(fresh, 0xC000u + names.size());
    EXPECT_EQ(platform::MessageBus::RegisterMessage("Halvara: update identity"), fresh);
    EXPECT_EQ(platform::MessageBus::RegisterMessage(""), 0u);
    EXPECT_EQ(platform::MessageBus::RegisterMessage(std::string(300, 'x')), 0u);

    // Another session has a table of its own.
    RuntimeDir other;
    EXPECT_EQ(platform::MessageBus::RegisterMessage("Halvara: update identity"), 0xC000u);
}

TEST(MessageBus, AHalfWrittenTableRecordDoesNotHideLaterNames) {
    RuntimeDir runtime;
    auto first = platform::MessageBus::RegisterMessage("Pellow WakeUp");
    // A process died while appending: a record header that promises more bytes
    // than follow.
    {
        std::ofstream table(runtime.dir.Path() / "halvara" / "registered-messages",
                            std::ios::binary | std::ios::app);
        const char partial[] = {'\x01', '\xC0', 0, 0, 100, 0, 0, 0, 'P', 'e'};
        table.write(partial, sizeof partial);
    }
    auto second = platform::MessageBus::RegisterMessage("Pellow Transfer Done");
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_EQ(platform::MessageBus::RegisterMessage("Pellow Transfer Done"), second);
    EXPECT_EQ(platform::MessageBus::RegisterMessage("Pellow WakeUp"), first);
    EXPECT_NE(platform::MessageBus::RegisterMessage("Pellow Icon Click"), second);
}

TEST(MessageBus, APostReachesReceiversInOtherProcesses) {
    RuntimeDir runtime;
    auto number = platform::MessageBus::RegisterMessage("Halvara: update contacts");
    auto receiverBody = [](int out) {
        auto receiver = platform::MessageReceiver::Create();
        WriteText(out, "ready\n");
        auto message = receiver->Receive(10s);
        if (!message) {
            WriteText(out, "none\n");
            return;
        }
        WriteText(out, std::to_string(message->number) + " " + std::to_string(message->wParam) +
                           " " + std::to_string(message->lParam) + "\n");
    };
    Forked first(receiverBody), second(receiverBody);
    ASSERT_EQ(first.ReadLine(), "ready");
    ASSERT_EQ(second.ReadLine(), "ready");

    const std::uint64_t wParam = 0x1122334455667788ull, lParam = 7;
    EXPECT_EQ(platform::MessageBus::PostToAll(number, wParam, lParam), 2);
    std::string expected = std::to_string(number) + " " + std::to_string(wParam) + " 7";
    EXPECT_EQ(first.ReadLine(), expected);
    EXPECT_EQ(second.ReadLine(), expected);
    EXPECT_EQ(first.Reap(), 0);
    EXPECT_EQ(second.Reap(), 0);
    // Each receiver took its socket file away when it ended.
    EXPECT_TRUE(SocketFiles(runtime.Windows()).empty());
    EXPECT_EQ(platform::MessageBus::PostToAll(number), 0);
}

TEST(MessageBus, AStaleSocketOfADeadProcessIsRemovedAndCostsNothing) {
    RuntimeDir runtime;
    // A process that dies without its destructor leaves its socket file behind.
    Forked dying([](int out) {
        auto receiver = platform::MessageReceiver::Create();
        WriteText(out, "ready\n");
        pause();
    });
    ASSERT_EQ(dying.ReadLine(), "ready");
    dying.Kill();
    ASSERT_EQ(SocketFiles(runtime.Windows()).size(), 1u);
    // Other files in the folder are nobody's socket and are left alone.
    std::ofstream(runtime.Windows() / "notes") << "not a socket";

    auto live = platform::MessageReceiver::Create();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::MessageBus::PostToAll(0xC001, 1, 2), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_EQ(SocketFiles(runtime.Windows()).size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(runtime.Windows() / "notes"));
    auto message = live->Receive(1s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->number, 0xC001u);
    EXPECT_EQ(message->wParam, 1u);
    EXPECT_EQ(message->lParam, 2u);
}

TEST(MessageBus, MalformedDatagramsAreIgnoredAndReceiveKeepsItsLimit) {
    RuntimeDir runtime;
    auto receiver = platform::MessageReceiver::Create();
    auto sockets = SocketFiles(runtime.Windows());
    ASSERT_EQ(sockets.size(), 1u);

    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(receiver->Receive(200ms));
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 190ms);
    EXPECT_LT(waited, 2s);

    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sockets[0].c_str(), sizeof address.sun_path - 1);
    auto sendRaw = [&](const std::vector<std::uint8_t>& bytes) {
        return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                      sizeof address);
    };
    // A truncated message, an empty one and one with trailing bytes.
    EXPECT_EQ(sendRaw({0x01, 0xC0, 0, 0, 9, 9, 9}), 7);
    EXPECT_EQ(sendRaw({}), 0);
    EXPECT_EQ(sendRaw(std::vector<std::uint8_t>(200, 0x42)), 200);
    EXPECT_FALSE(receiver->Receive(50ms));
    EXPECT_EQ(sendRaw({0x02, 0xC0, 0, 0, 9, 9, 9}), 7);
    ASSERT_EQ(platform::MessageBus::PostToAll(0xC003, 4, 5), 1);
    // A socket notifier drains the queue without waiting: a posted message is
    // already there when PostToAll returns.
    auto message = receiver->Receive(0ms);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->number, 0xC003u);
    EXPECT_EQ(message->wParam, 4u);
    EXPECT_EQ(message->lParam, 5u);
    EXPECT_FALSE(receiver->Receive(0ms));
    close(fd);

    receiver.reset();
    EXPECT_TRUE(SocketFiles(runtime.Windows()).empty());
}

} // namespace
