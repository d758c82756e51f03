#include "app/peer/remotefs/NFSServer.h"

#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// These tests speak the protocol byte by byte to a real server on loopback,
// over real shared folders, so they check the wire and not our own encoders.

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kAddress[] = "127.0.0.1";

std::vector<std::uint8_t> Le(std::int32_t value) {
    auto v = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::int32_t At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::int32_t>(bytes[offset] | bytes[offset + 1] << 8 |
                                     bytes[offset + 2] << 16 |
                                     static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

std::string TextAt(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t width) {
    std::string text;
    for (std::size_t i = offset; i < offset + width && bytes[i] != 0; ++i)
        text.push_back(static_cast<char>(bytes[i]));
    return text;
}

// A plain blocking socket with a 5-second limit on every call, connecting from
// the given loopback address.
class RawClient {
public:
    explicit RawClient(int port, const char* from = kAddress) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        // Each field goes out at once, as the peers' own sockets send them.
        int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            throw std::runtime_error("bind failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, kAddress, &address.sin_addr);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect failed");
    }
    ~RawClient() { close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void Send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Int(std::int32_t value) { Send(Le(value)); }
    // A 512-byte path field.
    void Path(const std::string& path) {
        std::vector<std::uint8_t> field(512, 0);
        std::copy_n(path.begin(), std::min<std::size_t>(path.size(), 511), field.begin());
        Send(field);
    }
    // Exactly count bytes, or fewer when the server closed or went silent.
    std::vector<std::uint8_t> Read(std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        while (done < count) {
            ssize_t got = recv(m_fd, bytes.data() + done, count - done, 0);
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        return bytes;
    }
    std::int32_t ReadInt() {
        auto bytes = Read(4);
        if (bytes.size() != 4)
            throw std::runtime_error("no integer");
        return At(bytes, 0);
    }
    std::string ReadText() {
        auto bytes = Read(512);
        if (bytes.size() != 512)
            throw std::runtime_error("no text");
        return TextAt(bytes, 0, 512);
    }
    // True when the server closed the connection without sending anything more.
    bool ClosedWithoutReply() {
        std::uint8_t byte = 0;
        return recv(m_fd, &byte, 1, 0) == 0;
    }

private:
    int m_fd = -1;
};

class CollectedLog : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }
    int Count(const std::string& line) {
        auto lines = Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

struct Listed {
    std::int32_t isHidden, isDirectory, statusResult, isDots, hasSubdirectories;
    std::int32_t infoResultA, infoResultB, infoResultC;
    std::int32_t size;
    std::uint8_t attribute;
    std::string path, statusPath, displayA, displayB, displayC, typeB;
};

// A home with a shared folder "share" (a file, a hidden file, a folder with a
// subfolder, a link inside the share and a link out of it), a second shared
// folder "music", and a private folder that holds this user's trash.
class NFSServerProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path root = m_dir.Path();
        m_share = (root / "share").string();
        m_private = (root / "private").string();
        fs::create_directories(root / "share" / "sub" / "deeper");
        fs::create_directories(root / "music");
        fs::create_directories(root / "private" / "data" / "Trash" / "files");
        std::ofstream(root / "share" / "a.txt") << "hello world";
        std::ofstream(root / "share" / ".hidden") << "x";
        std::ofstream(root / "private" / "secret.txt") << "secret";
        fs::create_directory_symlink(root / "private", root / "share" / "escape");
        fs::create_symlink(root / "private" / "secret.txt", root / "share" / "secret-link.txt");
        fs::create_symlink("sub", root / "share" / "inner");
        setenv("XDG_DATA_HOME", (root / "private" / "data").c_str(), 1);
        setenv("HALVARA_ADDRESS", kAddress, 1);
        ASSERT_TRUE(m_table->Add(m_share));
        ASSERT_TRUE(m_table->Add((root / "music").string()));
        m_log.Register(&m_lines);
    }
    void TearDown() override {
        m_server.reset();
        m_log.Unregister(&m_lines);
        unsetenv("HALVARA_ADDRESS");
    }

    void StartServer(NFSServer::Limits limits = {},
                     std::chrono::milliseconds requestLimit = PeerServer::kRequestLimit) {
        m_port = testsupport::FreeTcpPort(kAddress);
        PeerServer::Timing timing;
        timing.requestLimit = requestLimit;
        timing.acceptLimit = 200ms;
        timing.listenAttempts = 2;
        timing.listenRetryDelay = 100ms;
        m_server = std::make_unique<NFSServer>(m_table, &m_log, m_port, timing, limits);
        ASSERT_TRUE(m_server->Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return m_server->IsListening(); }, 5s));
    }

    // Type 1: the session id and the agreed version.
    std::pair<std::int32_t, std::int32_t> NewSession(std::int32_t version = 1000,
                                                     const char* from = kAddress) {
        RawClient client(m_port, from);
        client.Int(1);
        client.Int(version);
        std::int32_t id = client.ReadInt();
        return {id, client.ReadInt()};
    }

    // Type 2 up to the request code; nothing when the server did not know the session.
    std::unique_ptr<RawClient> Operation(std::int32_t id, std::int32_t code,
                                         const char* from = kAddress) {
        auto client = std::make_unique<RawClient>(m_port, from);
        client->Int(2);
        client->Int(id);
        if (client->ReadInt() != 1)
            return nullptr;
        client->Int(code);
        return client;
    }

    std::int32_t AskInt(std::int32_t id, std::int32_t code, const std::string& path,
                        const char* from = kAddress) {
        auto client = Operation(id, code, from);
        if (!client)
            return -100;
        client->Path(path);
        return client->ReadInt();
    }

    std::int32_t StatusOf(std::int32_t id, const std::string& path, std::int32_t* size = nullptr) {
        auto client = Operation(id, 0x710);
        client->Path(path);
        auto record = client->Read(280);
        EXPECT_EQ(record.size(), 280u);
        if (size)
            *size = At(record, 12);
        return client->ReadInt();
    }

    std::int32_t FileInfoOf(std::int32_t id, const std::string& path, std::string* name = nullptr) {
        auto client = Operation(id, 0x711);
        client->Path(path);
        client->Int(0x600);
        auto record = client->Read(352);
        EXPECT_EQ(record.size(), 352u);
        if (name)
            *name = TextAt(record, 12, 260);
        return client->ReadInt();
    }

    std::string ResolveOf(std::int32_t id, const std::string& path) {
        auto client = Operation(id, 0x50F);
        client->Path(path);
        return client->ReadText();
    }

    std::vector<Listed> List(std::int32_t id, const std::string& pattern) {
        auto client = Operation(id, 0x713);
        client->Path(pattern);
        std::int32_t count = client->ReadInt();
        std::vector<Listed> items;
        if (count <= 0)
            return items;
        auto block = client->Read(static_cast<std::size_t>(count) * 1628);
        EXPECT_EQ(block.size(), static_cast<std::size_t>(count) * 1628);
        for (std::size_t base = 0; base + 1628 <= block.size(); base += 1628) {
            std::vector<std::uint8_t> e(block.begin() + static_cast<long>(base),
                                        block.begin() + static_cast<long>(base + 1628));
            items.push_back(Listed{At(e, 0), At(e, 4), At(e, 288), At(e, 1348), At(e, 1352),
                                   At(e, 1360), At(e, 1356), At(e, 1364), At(e, 8 + 12), e[8 + 16],
                                   TextAt(e, 1368, 260), TextAt(e, 8 + 18, 260),
                                   TextAt(e, 292 + 12, 260), TextAt(e, 644 + 12, 260),
                                   TextAt(e, 996 + 12, 260), TextAt(e, 644 + 272, 80)});
        }
        return items;
    }

    testsupport::TempDir m_dir;
    std::string m_share, m_private;
    std::shared_ptr<ShareTable> m_table = std::make_shared<ShareTable>();
    LogEvent m_log;
    CollectedLog m_lines;
    int m_port = 0;
    std::unique_ptr<NFSServer> m_server;
};

TEST_F(NFSServerProtocol, SessionsCountFromZeroAndTheVersionIsTheSmallerUnsigned) {
    StartServer();
    EXPECT_EQ(NewSession(1000), std::make_pair(0, 1000));
    EXPECT_EQ(NewSession(2000), std::make_pair(1, 1000));
    EXPECT_EQ(NewSession(999), std::make_pair(2, 999));
    EXPECT_EQ(NewSession(-1), std::make_pair(3, 1000));
    EXPECT_EQ(m_lines.Count("NFSServer: Got a request"), 4);
    EXPECT_EQ(m_lines.Count("NFSServer: New client connection"), 4);

    // A released id is never handed out again.
    auto release = Operation(1, 0x103);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->ReadInt(), 1);
    EXPECT_EQ(NewSession().first, 4);
}

TEST_F(NFSServerProtocol, AReleasedOrUnknownSessionIsAnsweredZero) {
    StartServer();
    auto [id, version] = NewSession();
    ASSERT_EQ(id, 0);
    EXPECT_EQ(AskInt(id, 0x20A, m_share + "/*.*"), 1);

    auto release = Operation(id, 0x103);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->ReadInt(), 1);

    for (std::int32_t unknown : {id, 17, -1}) {
        RawClient client(m_port);
        client.Int(2);
        client.Int(unknown);
        EXPECT_EQ(client.ReadInt(), 0);
        EXPECT_TRUE(client.ClosedWithoutReply());
    }
    EXPECT_EQ(m_lines.Count("NFSServer: Client not get secury filesystem"), 3);
}

TEST_F(NFSServerProtocol, CodesWithoutAnOperationGetNoReplyAndAreLoggedDone) {
    StartServer();
    auto id = NewSession().first;
    m_lines.Clear();
    for (std::int32_t code : {0x712, 0x101, 0x20C, 0x40D, 0x900, 0}) {
        auto client = Operation(id, code);
        ASSERT_TRUE(client);
        EXPECT_TRUE(client->ClosedWithoutReply()) << std::hex << code;
    }
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return m_lines.Count("NFSServer: Done with request") == 6; }, 5s));
    EXPECT_EQ(m_lines.Count("NFSServer: Fulfilling client request"), 6);
    // The session is still good.
    EXPECT_EQ(AskInt(id, 0x20A, m_share + "/*.*"), 1);
}

TEST_F(NFSServerProtocol, BrokenConnectionsAreLoggedAndLeaveTheTableAlone) {
    StartServer();
    {
        RawClient client(m_port);
        client.Int(3);
        EXPECT_TRUE(client.ClosedWithoutReply());
    }
    {
        RawClient client(m_port);
        client.Send({1, 0}); // half a connection type
    }
    {
        RawClient client(m_port);
        client.Int(1); // no version follows
    }
    {
        RawClient client(m_port);
        client.Int(2);
        client.Send({0, 0});
    }
    auto id = NewSession().first;
    EXPECT_EQ(id, 0); // none of the broken ones made a session
    {
        RawClient client(m_port);
        client.Int(2);
        client.Int(id);
        EXPECT_EQ(client.ReadInt(), 1);
    }
    {
        auto client = Operation(id, 0x710);
        client->Send(std::vector<std::uint8_t>(100, 'a')); // a fifth of a path
    }
    std::vector<std::string> expected{
        "NFSServer: Client did not identify himself", "NFSServer: Could not get request type",
        "NFSServer: Could not receive client version", "NFSServer: Client not get client identity",
        "NFSServer: Client not get client request"};
    for (const auto& line : expected)
        EXPECT_TRUE(testsupport::WaitFor([&] { return m_lines.Count(line) == 1; }, 5s)) << line;
    // The cut-off path ended the exchange before any reply.
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return m_lines.Count("NFSServer: Fulfilling client request") == 1; }, 5s));
    EXPECT_EQ(m_lines.Count("NFSServer: Done with request"), 0);
    EXPECT_EQ(NewSession().first, 1);
}

TEST_F(NFSServerProtocol, TheVirtualRootListsDotAndTheSharedFolders) {
    StartServer();
    auto id = NewSession().first;
    for (const std::string pattern : {"/*.*", "/*", "/"}) {
        auto items = List(id, pattern);
        ASSERT_EQ(items.size(), 3u) << pattern;
        EXPECT_EQ(items[0].path, ".");
        EXPECT_EQ(items[0].isDots, 1);
        EXPECT_EQ(items[1].path, m_share);
        EXPECT_EQ(items[2].path, (m_dir.Path() / "music").string());
        for (std::size_t i = 1; i < items.size(); ++i) {
            EXPECT_EQ(items[i].isDots, 0);
            EXPECT_EQ(items[i].isDirectory, 1);
            EXPECT_EQ(items[i].isHidden, 0);
            EXPECT_EQ(items[i].statusResult, 1);
            EXPECT_EQ(items[i].attribute & 0x10, 0x10);
        }
        EXPECT_EQ(items[1].hasSubdirectories, 1);
        EXPECT_EQ(items[2].hasSubdirectories, 0);
    }
    // Outside every shared folder nothing lists.
    EXPECT_TRUE(List(id, m_private + "/*.*").empty());
    EXPECT_TRUE(List(id, m_dir.Path().string() + "/*.*").empty());
    EXPECT_TRUE(List(id, "/etc/*.*").empty());
}

TEST_F(NFSServerProtocol, ASharedFolderListsEveryItemWithHiddenOnesMarked) {
    StartServer();
    auto id = NewSession().first;
    auto items = List(id, m_share + "/*.*");
    std::vector<std::string> names;
    for (const auto& item : items)
        names.push_back(fs::path(item.path).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "a.txt", "escape", "inner",
                                               "secret-link.txt", "sub"}));
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0].isDots, 1);
    EXPECT_EQ(items[1].isDots, 1);

    const Listed& hidden = items[2];
    EXPECT_EQ(hidden.isHidden, 1);
    EXPECT_EQ(hidden.attribute & 0x02, 0x02);
    EXPECT_EQ(hidden.statusResult, 1);

    const Listed& file = items[3];
    EXPECT_EQ(file.path, m_share + "/a.txt");
    EXPECT_EQ(file.isHidden, 0);
    EXPECT_EQ(file.isDirectory, 0);
    EXPECT_EQ(file.statusResult, 1);
    EXPECT_EQ(file.size, 11);
    EXPECT_EQ(file.statusPath, m_share + "/a.txt");
    EXPECT_EQ(file.hasSubdirectories, 0);
    EXPECT_NE(file.infoResultB, 0);
    EXPECT_EQ(file.infoResultA, file.infoResultB);
    EXPECT_EQ(file.infoResultC, file.infoResultB);
    EXPECT_EQ(file.displayB, "a.txt");
    EXPECT_EQ(file.displayA, "a.txt");
    EXPECT_EQ(file.displayC, "a.txt");
    EXPECT_FALSE(file.typeB.empty());

    // The links out of the share are named but tell nothing about their targets.
    for (const Listed* escape : {&items[4], &items[6]}) {
        EXPECT_EQ(escape->statusResult, 0) << escape->path;
        EXPECT_EQ(escape->size, 0);
        EXPECT_EQ(escape->infoResultB, 0);
        EXPECT_EQ(escape->hasSubdirectories, 0);
    }
    EXPECT_EQ(items[5].statusResult, 1); // "inner" stays inside
    const Listed& sub = items[7];
    EXPECT_EQ(sub.isDirectory, 1);
    EXPECT_EQ(sub.hasSubdirectories, 1);

    // The same listing walked item by item on the session.
    ASSERT_EQ(AskInt(id, 0x20A, m_share + "/*.*"), 1);
    std::vector<std::string> walked;
    std::int32_t more = 1;
    while (more) {
        auto next = Operation(id, 0x109);
        more = next->ReadInt();
        walked.push_back(Operation(id, 0x40C)->ReadText());
        auto hiddenAnswer = Operation(id, 0x106)->ReadInt();
        EXPECT_EQ(hiddenAnswer, walked.back() == m_share + "/.hidden" ? 1 : 0) << walked.back();
    }
    ASSERT_EQ(walked.size(), 8u);
    EXPECT_EQ(walked.back(), m_share + "/sub");
    EXPECT_EQ(Operation(id, 0x107)->ReadInt(), 1);
    EXPECT_EQ(Operation(id, 0x108)->ReadInt(), 0);
}

// Every request that takes a path refuses "..", a link leading out of a share
// and absolute paths elsewhere; the same request on a shared path answers, so
// the refusals are the gate's and not a broken request.
TEST_F(NFSServerProtocol, PathsLeadingOutOfTheSharesAreRefusedOnEveryRequest) {
    StartServer();
    auto id = NewSession().first;
    const std::string trash = m_private + "/data/Trash/files";
    const std::vector<std::string> escapes{m_share + "/../private/secret.txt",
                                           m_share + "/escape/secret.txt",
                                           m_share + "/secret-link.txt",
                                           m_share + "/escape",
                                           m_private + "/secret.txt",
                                           m_share + "/./a.txt",
                                           "share/a.txt",
                                           m_share + "/sub/../../private/secret.txt",
                                           "/etc/passwd"};

    std::int32_t size = 0;
    ASSERT_EQ(StatusOf(id, m_share + "/a.txt", &size), 1);
    EXPECT_EQ(size, 11);
    std::string name;
    ASSERT_NE(FileInfoOf(id, m_share + "/a.txt", &name), 0);
    EXPECT_EQ(name, "a.txt");
    ASSERT_EQ(ResolveOf(id, m_share + "/inner"), m_share + "/sub");
    ASSERT_NE(AskInt(id, 0x60D, m_share), 1);
    ASSERT_EQ(AskInt(id, 0x20A, m_share + "/sub/*.*"), 1);
    ASSERT_EQ(List(id, m_share + "/sub/*.*").size(), 3u);

    for (const auto& path : escapes) {
        SCOPED_TRACE(path);
        EXPECT_EQ(StatusOf(id, path, &size), 0);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(FileInfoOf(id, path, &name), 0);
        EXPECT_EQ(name, "");
        EXPECT_EQ(ResolveOf(id, path), "");
        EXPECT_EQ(AskInt(id, 0x60D, path), 1);
        EXPECT_EQ(AskInt(id, 0x204, path), 0);
        EXPECT_EQ(AskInt(id, 0x20B, path), 0);
        EXPECT_EQ(AskInt(id, 0x20A, path), 0);
        EXPECT_EQ(AskInt(id, 0x20A, path + "/*.*"), 0);
        EXPECT_TRUE(List(id, path).empty());
        EXPECT_TRUE(List(id, path + "/*.*").empty());
        auto move = Operation(id, 0x30E);
        move->Path(path);
        move->Path(m_share + "/moved.txt");
        EXPECT_EQ(move->ReadInt(), 0);
    }
    // A refused listing leaves no earlier one to walk.
    EXPECT_EQ(Operation(id, 0x40C)->ReadText(), "");
    // The root lists only virtually and tells nothing of itself.
    EXPECT_TRUE(List(id, "/*.txt").empty());
    EXPECT_EQ(StatusOf(id, "/"), 0);
    EXPECT_EQ(ResolveOf(id, "/"), "");

    // The link that leads out of the share is not followed, the trash elsewhere
    // is not recognised, and nothing moved.
    EXPECT_EQ(ResolveOf(id, m_share + "/secret-link.txt"), "");
    EXPECT_EQ(AskInt(id, 0x204, trash), 0);
    EXPECT_TRUE(fs::exists(m_private + "/secret.txt"));
    EXPECT_FALSE(fs::exists(m_share + "/moved.txt"));
}

TEST_F(NFSServerProtocol, AFullTableReplacesItsLeastRecentlyUsedSession) {
    NFSServer::Limits limits;
    limits.sessionsPerAddress = 1000;
    StartServer(limits);
    for (std::int32_t expected = 0; expected <= 500; ++expected)
        ASSERT_EQ(NewSession().first, expected);
    EXPECT_EQ(AskInt(0, 0x20A, m_share + "/*.*"), 1);

    // 501 sessions fill the table: the next takes the place of the least
    // recently used one (1, since 0 was just used), and the version still follows.
    EXPECT_EQ(NewSession(999), std::make_pair(501, 999));
    EXPECT_FALSE(Operation(1, 0x20A));
    EXPECT_EQ(AskInt(0, 0x20A, m_share + "/*.*"), 1);
    EXPECT_EQ(AskInt(500, 0x20A, m_share + "/*.*"), 1);

    // A released session makes room without replacing anybody.
    ASSERT_EQ(Operation(250, 0x103)->ReadInt(), 1);
    EXPECT_EQ(NewSession().first, 502);
    EXPECT_EQ(AskInt(2, 0x20A, m_share + "/*.*"), 1);
}

TEST_F(NFSServerProtocol, ASessionBelongsToItsAddressWhichHoldsOnlySoMany) {
    NFSServer::Limits limits;
    limits.sessionsPerAddress = 3;
    StartServer(limits);
    const char* owner = "127.0.0.2";
    const char* other = "127.0.0.3";
    auto mine = NewSession(1000, owner).first;
    auto theirs = NewSession(1000, other).first;

    // Another address can neither use nor release the session.
    EXPECT_FALSE(Operation(mine, 0x20A, other));
    EXPECT_FALSE(Operation(mine, 0x103, other));
    EXPECT_EQ(m_lines.Count("NFSServer: Client not get secury filesystem"), 2);
    EXPECT_EQ(AskInt(mine, 0x20A, m_share + "/*.*", owner), 1);

    // A fourth session of the owner replaces the owner's least recently used
    // one, never another address's.
    std::vector<std::int32_t> more;
    for (int i = 0; i < 3; ++i)
        more.push_back(NewSession(1000, owner).first);
    EXPECT_FALSE(Operation(mine, 0x20A, owner));
    for (auto id : more)
        EXPECT_EQ(AskInt(id, 0x20A, m_share + "/*.*", owner), 1) << id;
    EXPECT_EQ(AskInt(theirs, 0x20A, m_share + "/*.*", other), 1);
}

TEST_F(NFSServerProtocol, SessionsNobodyUsesExpire) {
    NFSServer::Limits limits;
    limits.sessionIdleLimit = 1500ms;
    StartServer(limits);
    auto idle = NewSession().first;
    auto busy = NewSession().first;
    for (int i = 0; i < 7; ++i) {
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(AskInt(busy, 0x20A, m_share + "/*.*"), 1) << i;
    }
    EXPECT_FALSE(Operation(idle, 0x20A));
    EXPECT_TRUE(Operation(busy, 0x20A));
}

TEST_F(NFSServerProtocol, ASilentPeerHoldsTheServerOnlyForOneCallLimit) {
    NFSServer::Limits limits;
    limits.callLimit = 400ms;
    limits.listingEntryLimit = 5;
    StartServer(limits);
    auto id = NewSession().first;
    RawClient silent(m_port);
    auto halfPath = Operation(id, 0x710);
    halfPath->Send(std::vector<std::uint8_t>(10, 'a'));

    const auto start = std::chrono::steady_clock::now();
    // Served after both stalled connections ran out of time, one after the other.
    auto items = List(id, m_share + "/*.*");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(silent.ClosedWithoutReply());
    EXPECT_TRUE(halfPath->ClosedWithoutReply());

    // A folder longer than the listing limit is cut there.
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(fs::path(items.back().path).filename(), "escape");
}

TEST_F(NFSServerProtocol, ARequestTrickledFieldByFieldEndsAtTheRequestLimit) {
    NFSServer::Limits limits;
    limits.callLimit = 800ms;
    StartServer(limits, 1500ms);
    auto id = NewSession().first;
    // Each field comes well within the per-field limit, the last one after the
    // whole request's limit.
    RawClient client(m_port);
    client.Int(2);
    std::this_thread::sleep_for(600ms);
    client.Int(id);
    ASSERT_EQ(client.ReadInt(), 1);
    std::this_thread::sleep_for(600ms);
    client.Int(0x710);
    std::this_thread::sleep_for(600ms);
    client.Path(m_share + "/a.txt");
    EXPECT_TRUE(client.Read(280).empty());
    EXPECT_EQ(m_lines.Count("NFSServer: Done with request"), 0);
}

TEST_F(NFSServerProtocol, IdleConnectionsFromOneAddressDelayNobodyElse) {
    StartServer();
    // 300 connections that send nothing: those over the address's bound are
    // closed at once, the others wait out the request limit on workers.
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(std::make_unique<RawClient>(m_port, "127.0.0.2"));

    const auto start = std::chrono::steady_clock::now();
    auto id = NewSession(1000, "127.0.0.3").first;
    ASSERT_GE(id, 0);
    EXPECT_EQ(AskInt(id, 0x20A, m_share + "/*.*", "127.0.0.3"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(idle.back()->ClosedWithoutReply());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    // The stop ends the connections still held.
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_TRUE(m_server->Stop(true));
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
}

TEST_F(NFSServerProtocol, DrivesPropertiesAndRecycleBin) {
    StartServer();
    auto id = NewSession().first;

    auto drives = Operation(id, 0x412)->Read(512);
    ASSERT_EQ(drives.size(), 512u);
    EXPECT_EQ(drives[0], '/');
    EXPECT_TRUE(std::all_of(drives.begin() + 1, drives.end(), [](auto b) { return b == 0; }));

    auto properties = Operation(id, 0x714);
    auto description = properties->Read(465);
    ASSERT_EQ(description.size(), 465u);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(TextAt(description, 0, 155), std::string(host).substr(0, 150));
    EXPECT_EQ(TextAt(description, 155, 155), "Unimplemented");
    EXPECT_EQ(TextAt(description, 310, 155), "Unimplemented");
    EXPECT_EQ(properties->ReadInt(), 1);

    // Where this user's trash is says who the user is.
    EXPECT_EQ(Operation(id, 0x405)->ReadText(), "");

    // Without shares no drive is listed and the root lists only ".".
    ASSERT_TRUE(m_table->Remove(m_share));
    ASSERT_TRUE(m_table->Remove((m_dir.Path() / "music").string()));
    drives = Operation(id, 0x412)->Read(512);
    ASSERT_EQ(drives.size(), 512u);
    EXPECT_TRUE(std::all_of(drives.begin(), drives.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(List(id, "/*.*").size(), 1u);
    EXPECT_TRUE(List(id, m_share + "/*.*").empty());
}

TEST_F(NFSServerProtocol, AThousandConnectionsLeaveNoDescriptorBehind) {
    StartServer();
    auto round = [&] {
        auto id = NewSession().first;
        ASSERT_GE(id, 0);
        ASSERT_EQ(List(id, m_share + "/*.*").size(), 8u);
        ASSERT_EQ(AskInt(id, 0x20A, m_share + "/sub/*.*"), 1);
        ASSERT_EQ(Operation(id, 0x103)->ReadInt(), 1);
    };
    for (int i = 0; i < 5; ++i)
        round();
    // Let the server close the last connection.
    std::this_thread::sleep_for(100ms);
    const std::size_t before = OpenDescriptors();
    for (int i = 0; i < 250; ++i) // four connections each
        round();
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(OpenDescriptors(), before);
}

} // namespace
