#include "platform/SessionNamespace.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

struct RuntimeDir {
    testsupport::TempDir dir;
    RuntimeDir() { setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1); }
};

TEST(SessionNamespace, CreatesPrivateFolderAndFollowsTheEnvironment) {
    RuntimeDir first;
    auto path = platform::SessionNamespacePath();
    EXPECT_EQ(path, first.dir.Path() / "halvara");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    RuntimeDir second;
    EXPECT_EQ(platform::SessionNamespacePath(), second.dir.Path() / "halvara");

    // A relative runtime folder is not trusted: the per-user fallback is used.
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(platform::SessionNamespacePath(),
              std::filesystem::path("/tmp") / ("halvara-" + std::to_string(getuid())));
}

TEST(SessionNamespace, TightensALooseFolderAndRefusesALink) {
    RuntimeDir runtime;
    auto folder = runtime.dir.Path() / "halvara";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    platform::SessionNamespacePath();
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    std::filesystem::remove(folder);
    auto elsewhere = runtime.dir.Path() / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::create_directory_symlink(elsewhere, folder);
    EXPECT_THROW(platform::SessionNamespacePath(), std::system_error);

    std::filesystem::remove(folder);
    std::ofstream(folder.string()) << "not a folder";
    EXPECT_THROW(platform::SessionNamespacePath(), std::system_error);
}

TEST(SessionNamespace, RefusesAFolderOfAnotherUser) {
    if (getuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    RuntimeDir runtime;
    auto folder = runtime.dir.Path() / "halvara";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_THROW(platform::SessionNamespacePath(), std::system_error);
    EXPECT_THROW(platform::SessionObjectPath("Quembly class Class", ".lock"), std::system_error);
}

TEST(SessionNamespace, ObjectNamesStayInsideTheFolder) {
    RuntimeDir runtime;
    auto folder = runtime.dir.Path() / "halvara";
    EXPECT_EQ(platform::SessionObjectPath("Quembly bridge global memory"),
              folder / "Quembly bridge global memory");
    EXPECT_EQ(platform::SessionObjectPath("a/../b", ".lock"), folder / "a_.._b.lock");
    EXPECT_EQ(platform::SessionObjectPath("..").parent_path(), folder);
    EXPECT_EQ(platform::SessionObjectPath("").parent_path(), folder);
}

} // namespace
