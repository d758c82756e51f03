// drovick-peer's share table commands and a serve that waits for its port.

#include "DrovickPeerUsers.h"

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>

namespace {

using namespace drovickpeertest;

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
    EXPECT_FALSE(Contains(shared.output, "note:")) << shared.output;
    EXPECT_TRUE(fs::exists(user.SettingsFile()));
    // A folder written with "." and ".." and a trailing slash is the same folder.
    shared = user.Run({"share", (base / "photos" / ".." / "photos" / "").string()});
    EXPECT_EQ(shared.code, 0) << shared.output;
    EXPECT_EQ(Lines(user.Run({"shares"}).output),
              (std::vector<std::string>{(base / "music").string(), (base / "photos").string()}));

    // Each refusal of the share table, said in words, and nothing changed.
    const auto before = ReadFile(user.SettingsFile());
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
    EXPECT_EQ(ReadFile(user.SettingsFile()), before);

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
    WriteFile(user.SettingsFile(), damaged);

    Result shared = user.Run({"share", files.Path().string()});
    EXPECT_EQ(shared.code, 1);
    EXPECT_TRUE(Contains(shared.output, "damaged")) << shared.output;
    EXPECT_EQ(user.Run({"shares"}).code, 1);
    EXPECT_EQ(ReadFile(user.SettingsFile()), damaged);

    // Serving goes on with the defaults and leaves the file as it found it.
    auto serve = user.Serve();
    ASSERT_TRUE(Listening(*serve)) << serve->Output();
    EXPECT_TRUE(Contains(serve->Output(), "serving 0 shared folders")) << serve->Output();
    serve->Signal(SIGTERM);
    EXPECT_EQ(serve->Wait(5s), 0);
    EXPECT_EQ(ReadFile(user.SettingsFile()), damaged);
}

TEST(DrovickPeerShares, AHolderOfTheGuardThatDoesNotListenGetsTheFileChangedAndANote) {
    User user("127.0.0.2");
    testsupport::TempDir files;
    const fs::path session = user.Runtime() / "halvara";
    fs::create_directories(session);
    fs::permissions(session, fs::perms::owner_all);
    const int guard = open((session / "Pellow Class.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(flock(guard, LOCK_EX), 0);

    Result shared = user.Run({"share", files.Path().string()});
    close(guard);
    EXPECT_EQ(shared.code, 0) << shared.output;
    EXPECT_TRUE(Contains(shared.output, "note: Drovick runs for this user but did not take"))
        << shared.output;
    EXPECT_EQ(user.Run({"shares"}).output, fs::canonical(files.Path()).string() + "\n");
}

TEST(DrovickPeerServe, SaysSoWhileItsPortIsTakenAndStillStops) {
    User user("127.0.0.2");
    PortTaker taker(user.Address(), user.NfsPort());
    ASSERT_TRUE(taker.Listening());
    auto serve = user.Serve();
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(serve->Output(), "TransferServer listening on"); }, 15s))
        << serve->Output();
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(serve->Output(), "NFSServer cannot listen on"); }, 10s))
        << serve->Output();
    EXPECT_FALSE(Contains(serve->Output(), "NFSServer listening"));
    // A server waiting between attempts at its port stops at once too.
    serve->Signal(SIGTERM);
    EXPECT_EQ(serve->Wait(5s), 0) << serve->Output();
}

} // namespace
