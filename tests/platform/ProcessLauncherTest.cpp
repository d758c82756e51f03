#include "platform/ProcessLauncher.h"

#include "support/TestSupport.h"

#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ProcessLauncher, StartsInANewSessionOnDevNullInTheWorkingFolderAndLeavesNoChild) {
    testsupport::TempDir folder;
    auto report = folder.Path() / "report";
    // The program writes, in its own words: its pid, its session, where its
    // standard input points, its working folder and its arguments.
    std::string script =
        "echo \"$$ $(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/0) "
        "$(readlink /proc/$$/fd/2) $(pwd) $1\" > report.tmp && mv report.tmp report";
    ASSERT_TRUE(platform::LaunchDetached("/bin/sh", {"-c", script, "halvserve", "first-arg"},
                                         folder.Path()));
    ASSERT_TRUE(testsupport::WaitFor([&] { return std::filesystem::exists(report); }, 10s));
    std::istringstream fields(ReadAll(report));
    std::string pid, session, input, error, workingFolder, argument;
    fields >> pid >> session >> input >> error >> workingFolder >> argument;
    EXPECT_EQ(pid, session) << "the program leads a session of its own";
    EXPECT_EQ(input, "/dev/null");
    EXPECT_EQ(error, "/dev/null");
    EXPECT_EQ(std::filesystem::canonical(workingFolder), std::filesystem::canonical(folder.Path()));
    EXPECT_EQ(argument, "first-arg");

    // Nothing is left for this process to reap: the intermediate was reaped and
    // the program itself is not our child.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessLauncher, ReportsAProgramThatCannotStart) {
    testsupport::TempDir folder;
    EXPECT_FALSE(platform::LaunchDetached(folder.Path() / "missing", {}, folder.Path()));
    auto notExecutable = folder.Path() / "plain";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    EXPECT_FALSE(platform::LaunchDetached(notExecutable, {}, folder.Path()));
    EXPECT_FALSE(platform::LaunchDetached("/bin/true", {}, folder.Path() / "no such folder"));
    EXPECT_FALSE(platform::LaunchDetached("", {}, folder.Path()));
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
