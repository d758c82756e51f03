#include "service/Repository.h"

#include "bridge/CStdExcept.h"
#include "ExpectRefusal.h"
#include "platform/ByteOrder.h"

#include <gtest/gtest.h>

namespace {

void AppendLE32(std::vector<std::uint8_t>& bytes, std::int32_t value) {
    std::uint8_t word[4];
    platform::StoreLE32s(word, value);
    bytes.insert(bytes.end(), word, word + 4);
}

void AppendField(std::vector<std::uint8_t>& bytes, const std::string& text) {
    std::vector<std::uint8_t> field(128, 0);
    std::copy(text.begin(), text.end(), field.begin());
    bytes.insert(bytes.end(), field.begin(), field.end());
}

std::vector<std::uint8_t> Record(const std::string& name, const std::string& eMail,
                                 const std::string& password, std::int32_t inUse) {
    std::vector<std::uint8_t> bytes;
    AppendField(bytes, name);
    AppendField(bytes, eMail);
    AppendField(bytes, password);
    AppendLE32(bytes, inUse);
    return bytes;
}

} // namespace

TEST(RepositoryTest, IndexesStayForLifeAndRefusalsCarryTheirNumbers) {
    Repository repository;
    EXPECT_EQ(repository.HighestIdentity(), -1);
    EXPECT_EQ(repository.CurrentIdentity(), -1);
    EXPECT_EQ(repository.AddIdentity("home", "a"), 0);
    EXPECT_EQ(repository.AddIdentity("work", "b"), 1);
    EXPECT_EQ(repository.AddIdentity("club", "c"), 2);

    repository.SetCurrentIdentity(1);
    repository.DeleteIdentity(1);
    EXPECT_EQ(repository.CurrentIdentity(), -1);
    EXPECT_EQ(repository.HighestIdentity(), 2);
    ExpectRefusal([&] { repository.GetIdentity(1); }, "Repository", 419);
    ExpectRefusal([&] { repository.GetIdentity(3); }, "Repository", 418);
    ExpectRefusal([&] { repository.GetIdentity(-1); }, "Repository", 418);
    ExpectRefusal([&] { repository.SetCurrentIdentity(1); }, "Repository", 437);
    ExpectRefusal([&] { repository.SetCurrentIdentity(3); }, "Repository", 436);
    ExpectRefusal([&] { repository.DeleteIdentity(3); }, "Repository", 378);
    ExpectRefusal([&] { repository.DeleteIdentity(-1); }, "Repository", 378);
    EXPECT_EQ(repository.GetIdentity(2).Name(), "club");

    // Deleting an identity that is not current leaves the current one alone.
    repository.SetCurrentIdentity(2);
    repository.DeleteIdentity(0);
    EXPECT_EQ(repository.CurrentIdentity(), 2);
    // A new identity never takes a deleted one's index.
    EXPECT_EQ(repository.AddIdentity("new", "d"), 3);

    ExpectRefusal([&] { repository.AddIdentity("", "pw"); }, "Repository", 353);
    ExpectRefusal([&] { repository.AddIdentity("name", ""); }, "Repository", 353);
    EXPECT_EQ(repository.Count(), 4);
}

TEST(RepositoryTest, PasswordsAreComparedLowerCased) {
    Repository repository;
    repository.AddIdentity("home", "SeCrEt");
    EXPECT_EQ(repository.GetIdentity(0).Password(), "secret");
    EXPECT_TRUE(repository.CheckIdentityPassword(0, "secret"));
    EXPECT_TRUE(repository.CheckIdentityPassword(0, "SECRET"));
    EXPECT_FALSE(repository.CheckIdentityPassword(0, "secret "));
    EXPECT_FALSE(repository.CheckIdentityPassword(0, "secre"));
    EXPECT_FALSE(repository.CheckIdentityPassword(0, ""));
    EXPECT_FALSE(repository.CheckIdentityPassword(1, "secret"));
    EXPECT_FALSE(repository.CheckIdentityPassword(-1, "secret"));

    // A password that fills its field is kept whole, without a NUL, and still matches.
    std::string longPassword(128, 'X');
    repository.AddIdentity("long", longPassword);
    EXPECT_TRUE(repository.CheckIdentityPassword(1, std::string(128, 'x')));
    EXPECT_FALSE(repository.CheckIdentityPassword(1, std::string(127, 'x')));
    EXPECT_FALSE(repository.CheckIdentityPassword(0, std::string(128, 'x')));
}

TEST(RepositoryTest, EmailOfTheCurrentIdentityAndTakenAddresses) {
    Repository repository;
    repository.AddIdentity("home", "pw");
    repository.AddIdentity("work", "pw");
    ExpectRefusal([&] { repository.SetCurrentEmail("ann@example.org"); }, "Repository", 559);
    repository.SetCurrentIdentity(1);
    ExpectRefusal([&] { repository.SetCurrentEmail("no at sign"); }, "Repository", 556);
    ExpectRefusal([&] { repository.IsEmailTaken("no at sign"); }, "Repository", 536);

    repository.SetCurrentEmail("Ann@Example.org");
    EXPECT_EQ(repository.GetIdentity(1).EMail(), "Ann@Example.org");
    EXPECT_EQ(repository.GetIdentity(0).EMail(), "");
    EXPECT_TRUE(repository.IsEmailTaken("ann@EXAMPLE.ORG"));
    EXPECT_FALSE(repository.IsEmailTaken("bob@example.org"));
    repository.DeleteIdentity(1);
    EXPECT_FALSE(repository.IsEmailTaken("ann@example.org"));
}

TEST(RepositoryTest, TableIsSavedByteForByte) {
    Repository repository;
    repository.AddIdentity("home", "PW1");
    repository.AddIdentity(std::string(130, 'n'), "pw2");
    repository.SetCurrentIdentity(1);
    repository.SetCurrentEmail("b@x.org");
    repository.DeleteIdentity(0);
    repository.SetCurrentIdentity(1);

    std::vector<std::uint8_t> expected;
    AppendLE32(expected, 1);
    AppendLE32(expected, 2);
    auto first = Record("home", "", "pw1", 0);
    // A name of 128 characters or more fills the field with no terminating NUL.
    auto second = Record(std::string(128, 'n'), "b@x.org", "pw2", 1);
    expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_EQ(expected.size(), 8u + 2 * 388);
    EXPECT_EQ(repository.Serialize(), expected);

    Repository loaded;
    loaded.Load(expected);
    EXPECT_EQ(loaded.Serialize(), expected);
    EXPECT_EQ(loaded.CurrentIdentity(), 1);
    EXPECT_EQ(loaded.GetIdentity(1).Name(), std::string(128, 'n'));
    EXPECT_TRUE(loaded.CheckIdentityPassword(1, "PW2"));
}

TEST(RepositoryTest, DamagedTablesAreRefusedWithoutChangingTheTable) {
    Repository source;
    source.AddIdentity("home", "pw");
    source.AddIdentity("work", "pw");
    source.SetCurrentIdentity(0);
    std::vector<std::uint8_t> good = source.Serialize();

    Repository table;
    table.AddIdentity("kept", "pw");
    auto before = table.Serialize();
    auto refuses = [&](std::vector<std::uint8_t> bytes, int number) {
        ExpectRefusal([&] { table.Load(bytes); }, "Repository", number);
        EXPECT_EQ(table.Serialize(), before);
    };
    // Every cut short of the last record.
    for (std::size_t size = 0; size < good.size(); ++size)
        refuses({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)},
                size < 8 ? 470 : 481);

    auto negative = good;
    platform::StoreLE32s(negative.data() + 4, -1);
    refuses(negative, 474);
    auto huge = good;
    platform::StoreLE32s(huge.data() + 4, 0x7fffffff);
    refuses(huge, 481);
    // More records than the cap, even with the bytes present.
    std::vector<std::uint8_t> overCap;
    AppendLE32(overCap, -1);
    AppendLE32(overCap, Repository::kMaxIdentities + 1);
    overCap.resize(8 + (Repository::kMaxIdentities + 1) * 388u, 0);
    refuses(overCap, 481);

    // Bytes after the last record are ignored.
    auto longer = good;
    longer.push_back(0xee);
    table.Load(longer);
    EXPECT_EQ(table.Serialize(), good);
}

TEST(RepositoryTest, StoredCurrentIndexMustNameAnIdentityInUse) {
    Repository source;
    source.AddIdentity("home", "pw");
    source.AddIdentity("work", "pw");
    source.DeleteIdentity(1);
    auto bytes = source.Serialize();

    Repository table;
    for (std::int32_t current : {-7, 1, 2, 1000}) {
        platform::StoreLE32s(bytes.data(), current);
        table.Load(bytes);
        EXPECT_EQ(table.CurrentIdentity(), -1) << current;
        EXPECT_EQ(table.Count(), 2);
    }
    platform::StoreLE32s(bytes.data(), 0);
    table.Load(bytes);
    EXPECT_EQ(table.CurrentIdentity(), 0);
}

TEST(RepositoryTest, TableStopsGrowingAtItsCap) {
    Repository repository;
    for (std::int32_t i = 0; i < Repository::kMaxIdentities; ++i)
        repository.AddIdentity("n", "p");
    ExpectRefusal([&] { repository.AddIdentity("n", "p"); }, "Repository", 361);
    EXPECT_EQ(repository.HighestIdentity(), Repository::kMaxIdentities - 1);
}
