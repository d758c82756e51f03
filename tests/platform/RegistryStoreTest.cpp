#include "platform/RegistryStore.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
const char* const kSettings = "Software\\Halvara 1.17\\Settings";

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

TEST(RegistryStore, ValuesSurviveANewStoreAndKeepTheirBytes) {
    testsupport::TempDir dir;
    Bytes binary{0, 1, 2, 0, 255, '\n', 0};
    {
        platform::RegistryStore store(dir.Path());
        ASSERT_TRUE(store.WriteValue(kSettings, "Identities", binary));
        ASSERT_TRUE(store.WriteValue("Software/Halvara 1.17/Settings/0", "Globals", Text("state")));
        ASSERT_TRUE(store.WriteValue(kSettings, "Empty", {}));
    }
    platform::RegistryStore again(dir.Path());
    EXPECT_EQ(again.ReadValue(kSettings, "Identities"), binary);
    // Both separators name the same key.
    EXPECT_EQ(again.ReadValue("Software/Halvara 1.17\\Settings\\0", "Globals"), Text("state"));
    EXPECT_EQ(again.ReadValue(kSettings, "Empty"), Bytes{});
    EXPECT_FALSE(again.ReadValue(kSettings, "Missing").has_value());
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() / "Software" / "Halvara 1.17" /
                                                 "Settings" / "Identities"));

    // A rewrite replaces the whole value, a shorter one included.
    ASSERT_TRUE(again.WriteValue(kSettings, "Identities", Text("x")));
    EXPECT_EQ(again.ReadValue(kSettings, "Identities"), Text("x"));
    EXPECT_TRUE(again.DeleteValue(kSettings, "Identities"));
    EXPECT_FALSE(again.ReadValue(kSettings, "Identities").has_value());
    EXPECT_FALSE(again.DeleteValue(kSettings, "Identities"));

    // Values are private to the user and no temporary is left behind.
    struct stat info {};
    ASSERT_EQ(
        stat((dir.Path() / "Software" / "Halvara 1.17" / "Settings" / "Empty").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".~")) << entry.path();
}

TEST(RegistryStore, SubKeysAreListedAndDeleteKeyRemovesEverythingBelow) {
    testsupport::TempDir dir;
    platform::RegistryStore store(dir.Path());
    std::string key = kSettings;
    ASSERT_TRUE(store.WriteValue(key, "Identities", Text("t")));
    ASSERT_TRUE(store.WriteValue(key + "\\1", "Globals", Text("one")));
    ASSERT_TRUE(store.WriteValue(key + "\\0", "Globals", Text("zero")));
    ASSERT_TRUE(store.WriteValue(key + "\\0\\deeper\\still", "v", Text("x")));

    EXPECT_EQ(store.SubKeys(key), (std::vector<std::string>{"0", "1"}));
    EXPECT_TRUE(store.SubKeys(key + "\\1").empty());
    EXPECT_TRUE(store.SubKeys(key + "\\9").empty());

    EXPECT_TRUE(store.DeleteKey(key + "\\0"));
    EXPECT_FALSE(store.KeyExists(key + "\\0"));
    EXPECT_FALSE(store.KeyExists(key + "\\0\\deeper"));
    EXPECT_FALSE(store.ReadValue(key + "\\0", "Globals").has_value());
    EXPECT_EQ(store.SubKeys(key), (std::vector<std::string>{"1"}));
    // Siblings and the parent's values stay.
    EXPECT_EQ(store.ReadValue(key + "\\1", "Globals"), Text("one"));
    EXPECT_EQ(store.ReadValue(key, "Identities"), Text("t"));
    EXPECT_FALSE(store.DeleteKey(key + "\\0"));
    EXPECT_FALSE(store.DeleteKey(""));
    // Only the key's folder went; nothing was left aside.
    std::vector<std::string> left;
    for (const auto& entry :
         std::filesystem::directory_iterator(dir.Path() / "Software" / "Halvara 1.17" / "Settings"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"1", "Identities"}));
}

TEST(RegistryStore, RefusesNamesThatLeaveTheirKey) {
    testsupport::TempDir root;
    auto inside = root.Path() / "registry";
    platform::RegistryStore store(inside);
    ASSERT_TRUE(store.WriteValue("A", "v", Text("ok")));
    // A sibling of the root, reachable only by climbing out of it.
    std::filesystem::create_directory(root.Path() / "outside");

    for (std::string_view bad :
         std::initializer_list<std::string_view>{"A\\..\\..\\outside", "..", "A\\\\B", "A\\", "\\A",
                                                 "A/./B", ".~d.1", std::string_view("A\0B", 3)}) {
        EXPECT_FALSE(store.WriteValue(bad, "v", Text("x"))) << bad;
        EXPECT_FALSE(store.KeyExists(bad)) << bad;
        EXPECT_FALSE(store.DeleteKey(bad)) << bad;
    }
    for (std::string_view bad : std::initializer_list<std::string_view>{
             "..", "", ".", "a/b", "a\\b", std::string_view("v\0w", 3)}) {
        EXPECT_FALSE(store.WriteValue("A", bad, Text("x"))) << bad;
        EXPECT_FALSE(store.ReadValue("A", bad).has_value()) << bad;
        EXPECT_FALSE(store.DeleteValue("A", bad)) << bad;
    }
    EXPECT_FALSE(store.ReadValue("A\\..", "v").has_value());
    EXPECT_TRUE(std::filesystem::is_empty(root.Path() / "outside"));
    EXPECT_EQ(store.ReadValue("A", "v"), Text("ok"));
    // A subkey is not a value.
    ASSERT_TRUE(store.WriteValue("A\\B", "v", Text("b")));
    EXPECT_FALSE(store.ReadValue("A", "B").has_value());
    EXPECT_FALSE(store.DeleteValue("A", "B"));
    EXPECT_TRUE(store.KeyExists("A\\B"));
}

TEST(RegistryStore, DefaultRootFollowsTheConfigurationFolder) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string savedValue = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", "/some/config", 1);
    EXPECT_EQ(platform::RegistryStore::DefaultRoot(),
              std::filesystem::path("/some/config/halvara/registry"));
    unsetenv("XDG_CONFIG_HOME");
    auto home = std::filesystem::path(std::getenv("HOME") ? std::getenv("HOME") : "/");
    EXPECT_EQ(platform::RegistryStore::DefaultRoot(), home / ".config" / "halvara" / "registry");
    if (saved)
        setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
}

// A reader in this process never sees part of a value while another process
// keeps replacing it with a value of the other letter.
TEST(RegistryStore, AReaderNeverSeesATornValue) {
    testsupport::TempDir dir;
    constexpr std::size_t kSize = 64 * 1024;
    const Bytes lettersA(kSize, 'a'), lettersB(kSize, 'b');
    {
        platform::RegistryStore store(dir.Path());
        ASSERT_TRUE(store.WriteValue(kSettings, "Identities", lettersA));
    }

    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        platform::RegistryStore store(dir.Path());
        for (int i = 0; i < 100000; ++i) {
            if (!store.WriteValue(kSettings, "Identities", i % 2 ? lettersB : lettersA))
                _exit(2);
        }
        _exit(0);
    }

    platform::RegistryStore store(dir.Path());
    int reads = 0, changes = 0, torn = 0, missing = 0;
    char last = 'a';
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((reads < 3000 || changes < 20) && std::chrono::steady_clock::now() < deadline) {
        auto value = store.ReadValue(kSettings, "Identities");
        ++reads;
        if (!value) {
            ++missing;
            continue;
        }
        char first = value->empty() ? '?' : static_cast<char>((*value)[0]);
        if (value->size() != kSize || std::any_of(value->begin(), value->end(),
                                                  [first](std::uint8_t c) { return c != first; }))
            ++torn;
        if (first != last)
            ++changes;
        last = first;
    }
    kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "the writer failed to write";

    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(missing, 0);
    EXPECT_GE(reads, 3000);
    // The reads overlapped the writes, or the test proved nothing.
    EXPECT_GE(changes, 20);
}

} // namespace
