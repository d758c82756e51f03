#include "platform/SharedPage.h"

#include "platform/SessionNamespace.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace {

class SharedPageTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1); }
    testsupport::TempDir m_runtime;
};

TEST_F(SharedPageTest, FirstOpenerCreatesAZeroedPrivatePageThatOthersShare) {
    auto page = platform::SharedPage::OpenOrCreate("Quembly bridge global memory", 4096);
    ASSERT_TRUE(page->Created());
    ASSERT_EQ(page->Size(), 4096u);
    bool zero = true;
    for (std::size_t i = 0; i < page->Size(); ++i)
        zero = zero && page->Data()[i] == 0;
    EXPECT_TRUE(zero);
    struct stat info {};
    auto path = platform::SessionObjectPath("Quembly bridge global memory");
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 4096);

    pid_t writer = fork();
    if (writer == 0) {
        auto other = platform::SharedPage::OpenOrCreate("Quembly bridge global memory", 4096);
        if (other->Created())
            _exit(2);
        other->Data()[4095] = 0x5a;
        other->Data()[0] = 0xa5;
        _exit(0);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(page->Data()[4095], 0x5a);
    EXPECT_EQ(page->Data()[0], 0xa5);
}

TEST_F(SharedPageTest, ASmallerExistingFileIsGrownAndALinkIsRefused) {
    auto path = platform::SessionObjectPath("grown");
    {
        auto small = platform::SharedPage::OpenOrCreate("grown", 16);
        small->Data()[15] = 7;
    }
    auto large = platform::SharedPage::OpenOrCreate("grown", 8192);
    EXPECT_FALSE(large->Created());
    EXPECT_EQ(large->Data()[15], 7);
    EXPECT_EQ(large->Data()[8191], 0);
    EXPECT_EQ(std::filesystem::file_size(path), 8192u);

    auto target = m_runtime.Path() / "elsewhere";
    std::filesystem::create_symlink(target, platform::SessionObjectPath("linked"));
    EXPECT_THROW(platform::SharedPage::OpenOrCreate("linked", 4096), std::system_error);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_THROW(platform::SharedPage::OpenOrCreate("empty", 0), std::system_error);
}

} // namespace
