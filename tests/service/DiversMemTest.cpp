#include "service/DiversMem.h"

#include "FakeContactNetwork.h"
#include "ExpectRefusal.h"
#include "bridge/CStdExcept.h"
#include "platform/ByteOrder.h"
#include "platform/RegistryStore.h"
#include "service/Contacts.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// A directory that hands out no IDs: the first start without network.
class OfflineDirectory : public FakeDirectory {
public:
    std::int32_t RegisterNewID() override { throw CStdExcept("InternetDatabase", 1); }
};

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& bytes, std::int32_t value) {
    std::uint8_t word[4];
    platform::StoreLE32s(word, value);
    bytes.insert(bytes.end(), word, word + 4);
}

void PutField(Bytes& bytes, const std::string& text, std::size_t width) {
    Bytes field(width, 0);
    std::copy(text.begin(), text.end(), field.begin());
    bytes.insert(bytes.end(), field.begin(), field.end());
}

void PutText(Bytes& bytes, const std::string& text) {
    Put32(bytes, static_cast<std::int32_t>(text.size() + 1));
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

// One persisted contact: ID, owner, name, e-mail, password, own flag.
Bytes ContactRecord(std::int32_t id, std::int32_t owner, const std::string& name,
                    const std::string& eMail, const std::string& password, bool own) {
    Bytes bytes;
    Put32(bytes, 524);
    Put32(bytes, id);
    Put32(bytes, owner);
    PutField(bytes, name, 256);
    PutField(bytes, eMail, 128);
    PutField(bytes, password, 128);
    Put32(bytes, own ? 1 : 0);
    return bytes;
}

// A small saved state built by hand: one acquaintance, the own entry as the
// only friend, a profile without password, a registered block of identity
// blockIndex.
Bytes HandBuiltGlobals(std::int32_t ownId, std::int32_t blockIndex, bool withOwnEntry = true) {
    Bytes lists;
    Put32(lists, 1);
    Put32(lists, withOwnEntry ? 1 : 0);
    auto acquaintance = ContactRecord(77, ownId, "Bob", "bob@example.org", "", false);
    lists.insert(lists.end(), acquaintance.begin(), acquaintance.end());
    if (withOwnEntry) {
        auto own = ContactRecord(ownId, ownId, "Ann", "ann@example.org", "pw", true);
        lists.insert(lists.end(), own.begin(), own.end());
    }
    Bytes profile;
    PutText(profile, "Ann");
    PutText(profile, "ann@example.org");
    Put32(profile, 0);

    Bytes bytes;
    Put32(bytes, static_cast<std::int32_t>(lists.size()));
    bytes.insert(bytes.end(), lists.begin(), lists.end());
    Put32(bytes, static_cast<std::int32_t>(profile.size()));
    bytes.insert(bytes.end(), profile.begin(), profile.end());
    PutField(bytes, ".", 264);
    PutField(bytes, "", 260);
    Put32(bytes, 0);
    Put32(bytes, 0);
    Put32(bytes, 1);
    Put32(bytes, 1000);
    Put32(bytes, 2000);
    Put32(bytes, blockIndex);
    return bytes;
}

class DiversMemTest : public ::testing::Test {
protected:
    testsupport::TempDir m_dir;
    platform::RegistryStore m_store{m_dir.Path()};
    FakeDirectory m_directory;

    std::optional<Bytes> Globals(std::int32_t index) {
        return m_store.ReadValue(DiversMem::IdentityKey(index), DiversMem::kGlobalsValue);
    }
    void PutGlobals(std::int32_t index, const Bytes& bytes) {
        ASSERT_TRUE(
            m_store.WriteValue(DiversMem::IdentityKey(index), DiversMem::kGlobalsValue, bytes));
    }
};

} // namespace

TEST_F(DiversMemTest, SavedStateIsReadAndWrittenByteForByte) {
    Bytes expected = HandBuiltGlobals(500, 0);
    PutGlobals(0, expected);

    DiversMem mem(m_store);
    mem.LoadIdentityState(0, m_directory);
    auto contacts = mem.GetContacts();
    ASSERT_NE(contacts, nullptr);
    EXPECT_EQ(contacts->OwnID(), 500);
    EXPECT_EQ(contacts->AcquaintanceAt(0)->Internet()->Name(), "Bob");
    EXPECT_EQ(mem.Profile(), (IdentityProfile{"Ann", "ann@example.org", std::nullopt}));
    EXPECT_TRUE(mem.IsRegistered());
    EXPECT_EQ(mem.Block().lastGeneralMessage, 1000);
    EXPECT_EQ(mem.Block().lastParticularMessage, 2000);
    EXPECT_EQ(mem.Block().WorkingFolder(), ".");
    EXPECT_EQ(mem.StateIndex(), 0);

    // Nothing changed: the value written back is the one read.
    ASSERT_TRUE(m_store.DeleteKey(DiversMem::IdentityKey(0)));
    mem.SaveIdentityState();
    EXPECT_EQ(Globals(0), expected);

    // The value sits where the registry layout puts it.
    EXPECT_TRUE(std::filesystem::is_regular_file(m_dir.Path() / "Software" / "Halvara 1.17" /
                                                 "Settings" / "0" / "Globals"));

    // Changes land in their fields.
    mem.SetProfile("Ann B", "Ann@Example.ORG", "secret");
    mem.SetRegistered(false);
    mem.SetLastGeneralMessage(7);
    mem.SaveIdentityState();
    DiversMem again(m_store);
    again.LoadIdentityState(0, m_directory);
    EXPECT_EQ(again.Profile(), (IdentityProfile{"Ann B", "ann@example.org", "secret"}));
    EXPECT_FALSE(again.IsRegistered());
    EXPECT_EQ(again.Block().lastGeneralMessage, 7);
    EXPECT_EQ(again.Block().lastParticularMessage, 2000);
    EXPECT_EQ(again.GetContacts()->Serialize(), contacts->Serialize());
}

TEST_F(DiversMemTest, MissingStateStartsAfreshWithANewID) {
    DiversMem mem(m_store);
    EXPECT_EQ(mem.GetContacts(), nullptr);
    ExpectRefusal([&] { mem.SaveIdentityState(); }, "DiversMem", 147);
    ExpectRefusal([&] { mem.LoadIdentityState(-1, m_directory); }, "DiversMem", 80);

    m_directory.nextNewId = 4711;
    mem.LoadIdentityState(0, m_directory);
    EXPECT_EQ(mem.GetContacts()->OwnID(), 4711);
    EXPECT_EQ(mem.GetContacts()->OwnEntry()->Internet()->OwnerID(), 4711);
    EXPECT_EQ(mem.GetContacts()->FriendCount(), 1u);
    EXPECT_EQ(mem.Profile(), IdentityProfile{});
    EXPECT_FALSE(mem.IsRegistered());
    EXPECT_EQ(mem.Block().WorkingFolder(), ".");
    // Nothing is written by a load.
    EXPECT_FALSE(Globals(0));

    // Without the directory a new identity cannot start; the state held stays.
    OfflineDirectory offline;
    ExpectRefusal([&] { mem.LoadIdentityState(1, offline); }, "DiversMem", 90);
    EXPECT_EQ(mem.StateIndex(), 0);
    EXPECT_EQ(mem.GetContacts()->OwnID(), 4711);
    // A saved state needs no directory.
    mem.SaveIdentityState();
    DiversMem other(m_store);
    other.LoadIdentityState(0, offline);
    EXPECT_EQ(other.GetContacts()->OwnID(), 4711);
}

TEST_F(DiversMemTest, DamagedStateStartsAfreshAndIsSavedOnlyToItsOwnKey) {
    Bytes good = HandBuiltGlobals(500, 0);
    m_directory.nextNewId = 9000;
    std::vector<Bytes> damaged;
    // Every cut short of the block's end.
    for (std::size_t size = 0; size < good.size(); size += (size < 16 ? 1 : 37))
        damaged.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    damaged.emplace_back(good.begin(), good.end() - 1);
    auto setWord = [&](std::size_t offset, std::int32_t value) {
        Bytes bytes = good;
        platform::StoreLE32s(bytes.data() + offset, value);
        damaged.push_back(bytes);
    };
    const std::size_t listsSize = 8 + 2 * 528;
    setWord(0, -1);                                     // negative list length
    setWord(0, 0x7fffffff);                             // list length past the value
    setWord(4, 3);                                      // list count the bytes cannot hold
    setWord(4 + listsSize, -5);                         // negative profile length
    setWord(4 + listsSize, 0x10000000);                 // profile length past the value
    setWord(8 + listsSize, 1000);                       // a text longer than its section
    damaged.push_back(HandBuiltGlobals(500, 0, false)); // no own entry

    for (const Bytes& bytes : damaged) {
        PutGlobals(1, bytes);
        DiversMem mem(m_store);
        // The engine asks for a new ID beforehand exactly when one is needed.
        EXPECT_FALSE(mem.HasStoredState(1)) << bytes.size();
        mem.LoadIdentityState(1, m_directory);
        EXPECT_EQ(mem.GetContacts()->OwnID(), 9000) << bytes.size();
        EXPECT_EQ(mem.GetContacts()->AcquaintanceCount(), 0u);
        EXPECT_EQ(mem.StateIndex(), 1);
    }

    // A state copied from identity 0 into identity 1's key still names 0 in its
    // block; it belongs to identity 1 now and is saved there alone.
    PutGlobals(0, good);
    PutGlobals(1, good);
    Bytes untouched = *Globals(0);
    DiversMem mem(m_store);
    EXPECT_TRUE(mem.HasStoredState(1));
    EXPECT_FALSE(mem.HasStoredState(2));
    EXPECT_FALSE(mem.HasStoredState(-1));
    mem.LoadIdentityState(1, m_directory);
    EXPECT_EQ(mem.StateIndex(), 1);
    mem.SetLastGeneralMessage(5);
    mem.SaveIdentityState();
    EXPECT_EQ(Globals(0), untouched);
    Bytes saved = *Globals(1);
    EXPECT_EQ(platform::LoadLE32s(saved.data() + saved.size() - 4), 1);
}

TEST_F(DiversMemTest, IdentityTableGoesToItsValueAndDamagedTablesStartEmpty) {
    {
        DiversMem mem(m_store);
        ExpectRefusal([&] { mem.LoadIdentities(); }, "DiversMem", 136);
        mem.Identities().AddIdentity("home", "pw");
        mem.Identities().AddIdentity("work", "pw");
        mem.Identities().SetCurrentIdentity(1);
        mem.SaveIdentities();
        EXPECT_EQ(m_store.ReadValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue),
                  mem.Identities().Serialize());
    }
    DiversMem mem(m_store);
    mem.LoadIdentities();
    EXPECT_EQ(mem.Identities().CurrentIdentity(), 1);
    EXPECT_EQ(mem.Identities().GetIdentity(0).Name(), "home");

    Bytes good = *m_store.ReadValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue);
    for (Bytes bad : {Bytes(good.begin(), good.begin() + 5), Bytes(good.begin(), good.end() - 1),
                      Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}) {
        ASSERT_TRUE(m_store.WriteValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue, bad));
        DiversMem damaged(m_store);
        damaged.Identities().AddIdentity("stale", "pw");
        ExpectRefusal([&] { damaged.LoadIdentities(); }, "DiversMem", 136);
        EXPECT_EQ(damaged.Identities().Count(), 0);
        EXPECT_EQ(damaged.Identities().CurrentIdentity(), -1);
    }
}

TEST_F(DiversMemTest, DeletingAnIdentityRemovesOnlyItsKey) {
    DiversMem mem(m_store);
    for (int i = 0; i < 3; ++i) {
        mem.Identities().AddIdentity("id" + std::to_string(i), "pw");
        m_directory.nextNewId = 100 + i;
        mem.LoadIdentityState(i, m_directory);
        mem.SaveIdentityState();
    }
    Bytes first = *Globals(0);
    Bytes third = *Globals(2);
    // Identity 1's state is the one loaded: deleting it must not let a later
    // save bring its key back.
    mem.LoadIdentityState(1, m_directory);
    mem.Identities().SetCurrentIdentity(1);
    mem.DeleteIdentity(1);
    EXPECT_FALSE(m_store.KeyExists(DiversMem::IdentityKey(1)));
    EXPECT_EQ(mem.Identities().CurrentIdentity(), -1);
    mem.Flush();
    EXPECT_FALSE(m_store.KeyExists(DiversMem::IdentityKey(1)));
    EXPECT_EQ(Globals(0), first);
    EXPECT_EQ(Globals(2), third);

    // An identity never saved has no key to delete.
    mem.Identities().AddIdentity("new", "pw");
    mem.DeleteIdentity(3);
    ExpectRefusal([&] { mem.DeleteIdentity(4); }, "Repository", 378);
    EXPECT_EQ(Globals(0), first);
    EXPECT_EQ(Globals(2), third);
    EXPECT_EQ(mem.Identities().HighestIdentity(), 3);
}

TEST_F(DiversMemTest, SwitchChecksThePasswordOnlyWhileAnIdentityIsActive) {
    DiversMem mem(m_store);
    mem.Identities().AddIdentity("home", "Home-PW");
    mem.Identities().AddIdentity("work", "work-pw");
    mem.Identities().AddIdentity("gone", "pw");
    mem.DeleteIdentity(2);
    m_directory.nextNewId = 10;
    mem.LoadIdentityState(0, m_directory);

    // No identity active yet: any password, and nothing is flushed.
    mem.CheckSwitch(0, "wrong", false);
    mem.SwitchTo(0, false, m_directory);
    EXPECT_EQ(mem.Identities().CurrentIdentity(), 0);
    EXPECT_FALSE(m_store.ReadValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue));
    EXPECT_FALSE(Globals(0));
    mem.SetLastParticularMessage(42);

    // Active: a wrong password is refused before anything changes.
    ExpectRefusal([&] { mem.CheckSwitch(1, "home-pw", true); }, "Halvara", 116);
    ExpectRefusal([&] { mem.CheckSwitch(1, "work-p", true); }, "Halvara", 116);
    ExpectRefusal([&] { mem.CheckSwitch(2, "pw", true); }, "Repository", 437);
    ExpectRefusal([&] { mem.CheckSwitch(5, "pw", false); }, "Repository", 436);
    EXPECT_EQ(mem.StateIndex(), 0);
    EXPECT_FALSE(Globals(0));

    // The right password in other letters switches, flushing the old identity.
    m_directory.nextNewId = 20;
    mem.CheckSwitch(1, "WORK-PW", true);
    mem.SwitchTo(1, true, m_directory);
    EXPECT_EQ(mem.Identities().CurrentIdentity(), 1);
    EXPECT_EQ(mem.StateIndex(), 1);
    EXPECT_EQ(mem.GetContacts()->OwnID(), 20);
    auto oldState = Globals(0);
    ASSERT_TRUE(oldState);
    EXPECT_EQ(platform::LoadLE32s(oldState->data() + oldState->size() - 8), 42);
    EXPECT_TRUE(m_store.ReadValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue));

    // Back again: the old identity's own ID and state come back from its key.
    mem.CheckSwitch(0, "HOME-pw", true);
    mem.SwitchTo(0, true, m_directory);
    EXPECT_EQ(mem.GetContacts()->OwnID(), 10);
    EXPECT_EQ(mem.Block().lastParticularMessage, 42);
    EXPECT_EQ(Globals(1).has_value(), true);
}

TEST_F(DiversMemTest, StartLoadsTheCurrentIdentityAndExitWritesOnlyItsState) {
    // A first start: no table, so identity 0's state is made with a new ID.
    OfflineDirectory offline;
    {
        DiversMem mem(m_store);
        ExpectRefusal([&] { mem.LoadAtStart(offline); }, "DiversMem", 90);
    }
    m_directory.nextNewId = 31;
    {
        DiversMem mem(m_store);
        EXPECT_FALSE(mem.LoadAtStart(m_directory));
        EXPECT_EQ(mem.StateIndex(), 0);
        mem.Identities().AddIdentity("home", "pw");
        mem.Identities().AddIdentity("work", "pw");
        m_directory.nextNewId = 41;
        mem.SwitchTo(1, false, m_directory);
        mem.Flush();
        mem.SetLastGeneralMessage(99);
        mem.Identities().AddIdentity("unsaved", "pw");
        EXPECT_TRUE(mem.SaveAtExit());
    }
    // The exit wrote the state, not the table.
    {
        DiversMem mem(m_store);
        EXPECT_TRUE(mem.LoadAtStart(offline));
        EXPECT_EQ(mem.StateIndex(), 1);
        EXPECT_EQ(mem.Identities().CurrentIdentity(), 1);
        EXPECT_EQ(mem.Identities().HighestIdentity(), 1);
        EXPECT_EQ(mem.Block().lastGeneralMessage, 99);
        EXPECT_EQ(mem.GetContacts()->OwnID(), 41);
    }
    // A damaged table starts with no identity active and identity 0's state.
    ASSERT_TRUE(m_store.WriteValue(DiversMem::kSettingsKey, DiversMem::kIdentitiesValue,
                                   Bytes{1, 0, 0, 0, 9, 0, 0, 0, 1}));
    DiversMem mem(m_store);
    m_directory.nextNewId = 32;
    EXPECT_FALSE(mem.LoadAtStart(m_directory));
    EXPECT_EQ(mem.StateIndex(), 0);
    EXPECT_EQ(mem.Identities().Count(), 0);
    EXPECT_EQ(mem.GetContacts()->OwnID(), 32);
    EXPECT_EQ(Globals(1).has_value(), true);

    DiversMem empty(m_store);
    EXPECT_FALSE(empty.SaveAtExit());
}
