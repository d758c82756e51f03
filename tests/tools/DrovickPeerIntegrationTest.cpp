// drovick-peer as its users run it: two users on their own loopback addresses,
// each with its own home, settings and session folder, serving real files.

#include "FakeService.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildProcess;

namespace {

struct Result {
    int code = -1;
    std::string output;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// One user of the machine: a home with its settings and session folders, and
// an address of its own.
class User {
public:
    explicit User(std::string address)
        : m_address(std::move(address)) {
        fs::create_directories(Home() / ".config");
        fs::create_directories(m_root.Path() / "runtime");
        fs::permissions(m_root.Path() / "runtime", fs::perms::owner_all);
        m_nfsPort = testsupport::FreeTcpPort(m_address);
        m_transferPort = testsupport::FreeTcpPort(m_address);
    }

    fs::path Home() const { return m_root.Path() / "home"; }
    fs::path Runtime() const { return m_root.Path() / "runtime"; }
    fs::path SettingsFile() const { return Home() / ".config" / "drovick" / "Drovick.settings"; }
    const std::string& Address() const { return m_address; }
    int NfsPort() const { return m_nfsPort; }
    int TransferPort() const { return m_transferPort; }

    std::map<std::string, std::string> Environment() const {
        return {{"HOME", Home().string()},
                {"XDG_CONFIG_HOME", (Home() / ".config").string()},
                {"XDG_RUNTIME_DIR", Runtime().string()},
                {"HALVARA_ADDRESS", m_address},
                // No presence service is started behind these tests' backs.
                {"HALVSERVE_PATH", (m_root.Path() / "no-halvserve").string()}};
    }

    Result Run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& extra = {}) const {
        auto environment = Environment();
        for (const auto& [name, value] : extra)
            environment[name] = value;
        ChildProcess child(testsupport::BuildBin("drovick-peer"), arguments, environment);
        Result result;
        result.code = child.Wait(30s);
        result.output = child.Output();
        return result;
    }

    std::unique_ptr<ChildProcess> Serve() const {
        return std::make_unique<ChildProcess>(
            testsupport::BuildBin("drovick-peer"),
            std::vector<std::string>{"serve", "--nfs-port", std::to_string(m_nfsPort),
                                     "--transfer-port", std::to_string(m_transferPort)},
            Environment());
    }

private:
    testsupport::TempDir m_root;
    std::string m_address;
    int m_nfsPort = 0;
    int m_transferPort = 0;
};

bool Listening(ChildProcess& serve) {
    return testsupport::WaitFor(
        [&] {
            std::string output = serve.Output();
            return Contains(output, "NFSServer listening on") &&
                   Contains(output, "TransferServer listening on");
        },
        15s);
}

TEST(DrovickPeerShares, ShareUnshareAndListRoundTrip) {
    User user("127.0.0.2");
    testsupport::TempDir files;
    const fs::path base = fs::canonical(files.Path());
    fs::create_directories(base / "music" / "live");
    fs::create_directories(base / "photos");

    Result listed = user.Run({"shares"});
    EXPECT_EQ(listed.code, 0);
    EXPECT_EQ(listed.output, "");

    Result shared = user.Run({"share", (base / "music").string()});
    EXPECT_EQ(shared.code, 0) << shared.output;
    EXPECT_TRUE(fs::exists(user.SettingsFile()));
    // A folder written with "." and ".." and a trailing slash is the same folder.
    shared = user.Run({"share", (base / "photos" / ".." / "photos" / "").string()});
    EXPECT_EQ(shared.code, 0) << shared.output;
    EXPECT_EQ(Lines(user.Run({"shares"}).output),
              (std::vector<std::string>{(base / "music").string(), (base / "photos").string()}));

    // Each refusal of the share table, said in words, and nothing changed.
    const auto before = ReadAll(user.SettingsFile());
    Result again = user.Run({"share", (base / "music").string()});
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(Contains(again.output, "is already shared")) << again.output;
    Result inside = user.Run({"share", (base / "music" / "live").string()});
    EXPECT_EQ(inside.code, 1);
    EXPECT_TRUE(Contains(inside.output, "already shared as part of " + (base / "music").string()))
        << inside.output;
    for (const std::string& never :
         {std::string("/"), std::string("/etc"), (user.Home() / ".config" / "drovick").string()}) {
        fs::create_directories(user.Home() / ".config" / "drovick");
        Result refused = user.Run({"share", never});
        EXPECT_EQ(refused.code, 1) << never;
        EXPECT_TRUE(Contains(refused.output, "never shared")) << refused.output;
    }
    Result missing = user.Run({"share", (base / "nothing").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.output, "cannot share")) << missing.output;
    EXPECT_EQ(user.Run({"share"}).code, 2);
    EXPECT_EQ(ReadAll(user.SettingsFile()), before);

    // Sharing the parent takes the shares below it in.
    Result parent = user.Run({"share", base.string()});
    EXPECT_EQ(parent.code, 0) << parent.output;
    EXPECT_TRUE(Contains(parent.output, "now part of it: " + (base / "music").string()));
    EXPECT_EQ(Lines(user.Run({"shares"}).output), (std::vector<std::string>{base.string()}));

    Result notRoot = user.Run({"unshare", (base / "music").string()});
    EXPECT_EQ(notRoot.code, 1);
    EXPECT_TRUE(Contains(notRoot.output, "shared as part of " + base.string())) << notRoot.output;
    // A shared folder that was deleted since can still be taken out.
    fs::remove_all(base);
    Result unshared = user.Run({"unshare", base.string()});
    EXPECT_EQ(unshared.code, 0) << unshared.output;
    EXPECT_EQ(user.Run({"shares"}).output, "");
    EXPECT_EQ(user.Run({"unshare", base.string()}).code, 1);
}

TEST(DrovickPeerShares, DamagedSettingsFileIsNeverOverwritten) {
    User user("127.0.0.2");
    testsupport::TempDir files;
    fs::create_directories(user.SettingsFile().parent_path());
    const std::string damaged(700, 'x');
    WriteBytes(user.SettingsFile(), damaged);

    Result shared = user.Run({"share", files.Path().string()});
    EXPECT_EQ(shared.code, 1);
    EXPECT_TRUE(Contains(shared.output, "damaged")) << shared.output;
    EXPECT_EQ(user.Run({"shares"}).code, 1);
    EXPECT_EQ(ReadAll(user.SettingsFile()), damaged);
}

// Two users serving at once; the second one's programs browse and download
// from the first.
class TwoUsers : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = fs::canonical(m_files.Path()) / "share";
        m_outside = fs::canonical(m_files.Path()) / "outside";
        fs::create_directories(m_share / "sub" / "deeper");
        fs::create_directories(m_outside);
        m_small = RandomBytes(1500, 1);
        // Not a whole number of blocks, so the padded tail block is cut off.
        m_large = RandomBytes(3 * 1024 * 1024 + 777, 2);
        WriteBytes(m_share / "small.txt", m_small);
        WriteBytes(m_share / "sub" / "large.bin", m_large);
        WriteBytes(m_share / "sub" / "deeper" / "exact.bin", RandomBytes(10240, 3));
        WriteBytes(m_outside / "secret.txt", "secret");
        fs::last_write_time(m_share / "small.txt",
                            fs::file_time_type::clock::now() - std::chrono::hours(24));

        ASSERT_EQ(m_first.Run({"share", m_share.string()}).code, 0);
        ASSERT_EQ(m_second.Run({"share", m_outside.string()}).code, 0);
        m_firstServe = m_first.Serve();
        m_secondServe = m_second.Serve();
        ASSERT_TRUE(Listening(*m_firstServe)) << m_firstServe->Output();
        ASSERT_TRUE(Listening(*m_secondServe)) << m_secondServe->Output();
    }

    Result List(const std::string& path) {
        return m_second.Run(
            {"ls", m_first.Address(), path, "--nfs-port", std::to_string(m_first.NfsPort())});
    }

    Result Get(const std::string& path, const fs::path& destination) {
        return m_second.Run({"get", m_first.Address(), path, destination.string(),
                             "--transfer-port", std::to_string(m_first.TransferPort())});
    }

    testsupport::TempDir m_files;
    testsupport::TempDir m_downloads;
    fs::path m_share;
    fs::path m_outside;
    std::string m_small;
    std::string m_large;
    User m_first{"127.0.0.2"};
    User m_second{"127.0.0.3"};
    std::unique_ptr<ChildProcess> m_firstServe;
    std::unique_ptr<ChildProcess> m_secondServe;
};

TEST_F(TwoUsers, BrowsesTheSharedFolderAndItsSubfolders) {
    Result root = List("/");
    EXPECT_EQ(root.code, 0) << root.output;
    ASSERT_EQ(Lines(root.output).size(), 1u) << root.output;
    EXPECT_TRUE(StartsWith(Lines(root.output)[0], m_share.string() + "\t-\tfolder\t"));

    Result top = List(m_share.string());
    ASSERT_EQ(top.code, 0) << top.output;
    auto lines = Lines(top.output);
    ASSERT_EQ(lines.size(), 2u) << top.output;
    EXPECT_TRUE(StartsWith(lines[0], "small.txt\t1500\tfile\t20")) << lines[0];
    EXPECT_TRUE(StartsWith(lines[1], "sub\t-\tfolder\t")) << lines[1];
    // The date is the file's own, a day ago, in UTC.
    const auto dayAgo = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() -
                                                             std::chrono::hours(24));
    char expected[16];
    std::strftime(expected, sizeof expected, "%Y-%m-%d", std::gmtime(&dayAgo));
    EXPECT_TRUE(Contains(lines[0], std::string("\t") + expected + "T")) << lines[0];

    Result sub = List(m_share.string() + "/sub/");
    ASSERT_EQ(sub.code, 0) << sub.output;
    lines = Lines(sub.output);
    ASSERT_EQ(lines.size(), 2u) << sub.output;
    EXPECT_TRUE(StartsWith(lines[0], "deeper\t-\tfolder\t")) << lines[0];
    EXPECT_TRUE(StartsWith(lines[1], "large.bin\t3146505\tfile\t20")) << lines[1];

    // Every step was an event line of the first user's server.
    EXPECT_TRUE(Contains(m_firstServe->Output(), "NFSServer: "));
}

TEST_F(TwoUsers, RefusesFoldersOutsideTheShares) {
    for (const std::string& path :
         {m_outside.string(), m_share.string() + "/../outside", std::string("/etc"),
          m_share.string() + "/small.txt", m_share.string() + "/missing"}) {
        Result refused = List(path);
        EXPECT_EQ(refused.code, 1) << path << "\n" << refused.output;
        EXPECT_TRUE(Contains(refused.output, "does not list")) << refused.output;
        EXPECT_FALSE(Contains(refused.output, "secret.txt"));
    }
    Result relative = List("share");
    EXPECT_EQ(relative.code, 2);
    // Nobody serves on the second user's address at the first user's port.
    Result nobody =
        m_second.Run({"ls", "127.0.0.4", "/", "--nfs-port", std::to_string(m_first.NfsPort())});
    EXPECT_EQ(nobody.code, 1);
    EXPECT_TRUE(Contains(nobody.output, "cannot reach")) << nobody.output;
}

TEST_F(TwoUsers, DownloadsArriveByteIdentical) {
    Result small = Get(m_share.string() + "/small.txt", m_downloads.Path() / "small.txt");
    ASSERT_EQ(small.code, 0) << small.output;
    EXPECT_EQ(ReadAll(m_downloads.Path() / "small.txt"), m_small);

    // Into a folder: the file keeps its name. Not a terminal: plain lines.
    Result large = Get(m_share.string() + "/sub/large.bin", m_downloads.Path());
    ASSERT_EQ(large.code, 0) << large.output;
    EXPECT_EQ(ReadAll(m_downloads.Path() / "large.bin"), m_large);
    EXPECT_TRUE(Contains(large.output, "received 3146505 of 3146505 bytes (100%)")) << large.output;
    EXPECT_EQ(Lines(large.output).size(), 12u) << large.output; // 0% to 100% and the result

    Result exact = Get(m_share.string() + "/sub/deeper/exact.bin", m_downloads.Path() / "e");
    ASSERT_EQ(exact.code, 0) << exact.output;
    EXPECT_EQ(ReadAll(m_downloads.Path() / "e"), RandomBytes(10240, 3));

    // No temporary file is left beside the downloads.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_downloads.Path()))
        ++files;
    EXPECT_EQ(files, 3);
    EXPECT_TRUE(Contains(m_firstServe->Output(), "TransferServer: "));
}

TEST_F(TwoUsers, RefusedDownloadsLeaveTheDestinationAlone) {
    const fs::path kept = m_downloads.Path() / "kept.txt";
    WriteBytes(kept, "mine");
    for (const std::string& path :
         {(m_outside / "secret.txt").string(), m_share.string() + "/../outside/secret.txt",
          m_share.string() + "/missing.txt", m_share.string() + "/sub"}) {
        Result refused = Get(path, kept);
        EXPECT_EQ(refused.code, 1) << path << "\n" << refused.output;
        EXPECT_TRUE(Contains(refused.output, "refused")) << refused.output;
        EXPECT_EQ(ReadAll(kept), "mine");
    }
    Result self =
        m_second.Run({"get", "127.0.0.1", m_share.string() + "/small.txt", kept.string()});
    EXPECT_EQ(self.code, 1);
    EXPECT_TRUE(Contains(self.output, "this computer")) << self.output;
    EXPECT_EQ(ReadAll(kept), "mine");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_downloads.Path()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(TwoUsers, SharesReadAgainOnHangUp) {
    fs::create_directories(m_files.Path() / "later");
    WriteBytes(m_files.Path() / "later" / "new.txt", "new");
    ASSERT_EQ(m_first.Run({"share", (m_files.Path() / "later").string()}).code, 0);
    EXPECT_EQ(List(fs::canonical(m_files.Path() / "later").string()).code, 1);

    m_firstServe->Signal(SIGHUP);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_firstServe->Output(), "shares read again: 2 shared folders"); },
        5s))
        << m_firstServe->Output();
    Result later = List(fs::canonical(m_files.Path() / "later").string());
    EXPECT_EQ(later.code, 0) << later.output;
    EXPECT_TRUE(Contains(later.output, "new.txt\t3\tfile")) << later.output;
}

TEST_F(TwoUsers, OneServePerUserAndAPromptStop) {
    const std::string settingsBefore = ReadAll(m_first.SettingsFile());
    Result second = m_first.Run({"serve", "--nfs-port", std::to_string(m_first.NfsPort() + 1),
                                 "--transfer-port", std::to_string(m_first.TransferPort() + 1)});
    EXPECT_EQ(second.code, 1);
    EXPECT_TRUE(Contains(second.output, "already runs for this user")) << second.output;
    EXPECT_TRUE(m_firstServe->Running());

    const auto start = std::chrono::steady_clock::now();
    m_firstServe->Signal(SIGTERM);
    EXPECT_EQ(m_firstServe->Wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(Contains(m_firstServe->Output(), "stopping on SIGTERM"));
    EXPECT_FALSE(testsupport::CanConnect(m_first.Address(), m_first.NfsPort(), 500ms));
    EXPECT_FALSE(testsupport::CanConnect(m_first.Address(), m_first.TransferPort(), 500ms));
    EXPECT_EQ(ReadAll(m_first.SettingsFile()), settingsBefore);

    // With the first gone the guard is free again; SIGINT stops it as well.
    auto again = m_first.Serve();
    ASSERT_TRUE(Listening(*again)) << again->Output();
    again->Signal(SIGINT);
    EXPECT_EQ(again->Wait(5s), 0);

    // The other user's serve never noticed.
    EXPECT_TRUE(m_secondServe->Running());
}

TEST_F(TwoUsers, AFriendsEMailAddressNeedsThePresenceService) {
    // No halvserve can be started here, so no friend can be looked up; the
    // program says so and fails without creating the destination. (The
    // library gives the missing service about ten seconds.)
    const fs::path destination = m_downloads.Path() / "from-friend.txt";
    Result get = m_second.Run(
        {"get", "Friend@Example.com", m_share.string() + "/small.txt", destination.string()});
    EXPECT_EQ(get.code, 1);
    EXPECT_TRUE(Contains(get.output, "presence service is not available")) << get.output;
    EXPECT_TRUE(Contains(get.output, "friend@example.com")) << get.output;
    EXPECT_FALSE(fs::exists(destination));
}

// The presence service played by a scripted bridge in the second user's
// session: its friends list holds the user itself, a friend online at the
// first user's address, and a friend who is away.
class ScriptedPresence {
public:
    ScriptedPresence(const User& user, std::string friendAddress, bool registered)
        : m_friendAddress(std::move(friendAddress))
        , m_registered(registered) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>(
            [this](const BridgeRecord& request) { return Answer(request); });
    }

    std::vector<BridgeRecord> Requests() const { return m_service->Requests(); }

    static constexpr int kMyId = 7;
    static constexpr int kFriendId = 42;
    static constexpr int kAwayId = 43;

private:
    std::vector<BridgeRecord> Answer(const BridgeRecord& request) const {
        const int first = request.I32At(4);
        switch (request.Code()) {
        case kCmdIsRegistered:
            return {FakeService::Reply(request, m_registered ? 1 : 0)};
        case kCmdGetFriend: {
            const int ids[] = {kMyId, kFriendId, kAwayId};
            return {FakeService::Reply(request, first >= 0 && first < 3 ? ids[first] : -1)};
        }
        case kCmdGetProfile: {
            BridgeRecord reply = FakeService::Reply(request, 1);
            const char* email = first == kMyId       ? "me@example.com"
                                : first == kFriendId ? "friend@example.com"
                                                     : "away@example.com";
            reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kEMailOffset,
                            email, PersonalInfoLayout::kEMailWidth);
            return {reply};
        }
        case kCmdIsOnline:
            return {FakeService::Reply(request, first == kAwayId ? 0 : 1)};
        case kCmdGetIP: {
            BridgeRecord reply = FakeService::Reply(request, 1);
            reply.SetTextAt(BridgeRecord::kAddressOffset,
                            first == kFriendId ? m_friendAddress : "0.0.0.0",
                            BridgeRecord::kAddressWidth);
            return {reply};
        }
        default:
            return {FakeService::Reply(request, 1)};
        }
    }

    const std::string m_friendAddress;
    const bool m_registered;
    std::unique_ptr<FakeService> m_service;
};

// Nothing is launched: the scripted service is the only one.
const std::map<std::string, std::string> kNoLaunch{{"HALVSERVE_PATH", "/bin/true"}};

TEST_F(TwoUsers, AFriendFoundThroughThePresenceService) {
    ScriptedPresence presence(m_second, m_first.Address(), true);
    const fs::path destination = m_downloads.Path() / "from-friend.txt";
    Result get = m_second.Run({"get", "Friend@Example.com", m_share.string() + "/small.txt",
                               destination.string(), "--transfer-port",
                               std::to_string(m_first.TransferPort())},
                              kNoLaunch);
    ASSERT_EQ(get.code, 0) << get.output;
    EXPECT_EQ(ReadAll(destination), m_small);
    Result ls = m_second.Run({"ls", "friend@example.com", m_share.string(), "--nfs-port",
                              std::to_string(m_first.NfsPort())},
                             kNoLaunch);
    EXPECT_EQ(ls.code, 0) << ls.output;
    EXPECT_TRUE(Contains(ls.output, "small.txt\t1500\tfile")) << ls.output;

    Result away = m_second.Run({"ls", "away@example.com", m_share.string()}, kNoLaunch);
    EXPECT_EQ(away.code, 1);
    EXPECT_TRUE(Contains(away.output, "away@example.com is not online")) << away.output;
    Result stranger = m_second.Run({"ls", "stranger@example.com", m_share.string()}, kNoLaunch);
    EXPECT_EQ(stranger.code, 1);
    EXPECT_TRUE(Contains(stranger.output, "not among this user's friends")) << stranger.output;

    // Each run registered as Drovick, asked the friend live and gave its
    // registration back at the end.
    int registrations = 0;
    int releases = 0;
    int liveChecks = 0;
    for (const BridgeRecord& request : presence.Requests()) {
        if (request.Code() == kCmdUpdateTOS && request.I32At(4) == 155)
            ++(request.I32At(8) == 1 ? registrations : releases);
        if (request.Code() == kCmdIsOnline) {
            EXPECT_EQ(request.I32At(8), 155);
            EXPECT_NE(request.I32At(12), 0);
            ++liveChecks;
        }
    }
    EXPECT_EQ(registrations, 4);
    EXPECT_EQ(releases, 4);
    EXPECT_EQ(liveChecks, 3);
}

TEST_F(TwoUsers, AnUnregisteredIdentityFindsNoFriends) {
    ScriptedPresence presence(m_second, m_first.Address(), false);
    const auto start = std::chrono::steady_clock::now();
    Result ls = m_second.Run({"ls", "friend@example.com", m_share.string(), "--nfs-port",
                              std::to_string(m_first.NfsPort())},
                             kNoLaunch);
    EXPECT_EQ(ls.code, 1);
    EXPECT_TRUE(Contains(ls.output, "presence service is not available")) << ls.output;
    // Refused at once: no wizard waits for anybody, and nothing else is asked.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    for (const BridgeRecord& request : presence.Requests())
        EXPECT_NE(request.Code(), kCmdGetFriend);
}

} // namespace
