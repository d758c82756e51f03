#include "service/Contacts.h"

#include "FakeContactNetwork.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kOwnId = 500;

// Contacts of an identity whose own entry has ID 500 and TOS 155 active.
std::unique_ptr<Contacts> MakeContacts() {
    auto contacts = Contacts::Fresh();
    contacts->OwnEntry()->Internet()->SetID(kOwnId);
    contacts->OwnEntry()->Internet()->SetOwnerID(kOwnId);
    return contacts;
}

class ContactsTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory.profiles[21] = {"Bob Builder", "Bob@Example.org"};
        directory.profiles[22] = {"Carol", "carol@example.org"};
        directory.addresses[21] = "10.0.0.21";
    }

    FakeDirectory directory;
    FakePeers peers;
    std::unique_ptr<Contacts> contacts = MakeContacts();
};

TEST_F(ContactsTest, AddFetchesTheProfileAnnouncesAndNotifies) {
    auto entry = contacts->Add(21, false, true, directory, peers);
    EXPECT_EQ(entry->ID(), 21);
    EXPECT_EQ(entry->Internet()->OwnerID(), kOwnId);
    EXPECT_EQ(entry->Internet()->Name(), "Bob Builder");
    EXPECT_EQ(entry->Internet()->EMail(), "bob@example.org");
    EXPECT_EQ(entry->State(), Acquaintance::kStateMade);
    EXPECT_TRUE(entry->IsListed());
    EXPECT_EQ(contacts->FindAcquaintance(21), entry);
    EXPECT_EQ(contacts->FindFriend(21), nullptr);
    ASSERT_EQ(peers.announcements.size(), 1u);
    EXPECT_EQ(peers.announcements[0], std::make_pair(21, std::string("10.1.1.1")));
    EXPECT_EQ(peers.notices, std::vector<std::int32_t>{21});

    // A contact the directory knows nothing about is still added, quietly.
    auto unknown = contacts->Add(99, true, false, directory, peers);
    EXPECT_EQ(unknown->Internet()->Name(), "");
    EXPECT_EQ(contacts->FriendAt(1), unknown);
    EXPECT_EQ(peers.notices.size(), 1u);
}

TEST_F(ContactsTest, AContactAddedToTheOtherListMovesAndCannotBeAddedTwice) {
    auto acquaintance = contacts->Add(21, false, false, directory, peers);
    acquaintance->SetOnline(true);
    acquaintance->RegisterTOS(155, true, false);

    auto moved = contacts->Add(21, true, false, directory, peers);
    EXPECT_NE(moved, acquaintance);
    EXPECT_EQ(moved->Internet(), acquaintance->Internet());
    EXPECT_TRUE(moved->IsOnlineForTOS(155));
    EXPECT_FALSE(acquaintance->IsListed());
    EXPECT_EQ(contacts->AcquaintanceCount(), 0u);
    EXPECT_EQ(contacts->FriendCount(), 2u);
    // The move asked nobody again.
    EXPECT_EQ(peers.announcements.size(), 1u);

    EXPECT_EQ(RefusalOf([&] { contacts->Add(21, true, false, directory, peers); }), 100);
    // A friend added as an acquaintance moves back, keeping what it had.
    auto back = contacts->Add(21, false, false, directory, peers);
    EXPECT_EQ(back->Internet(), acquaintance->Internet());
    EXPECT_TRUE(back->IsOnlineForTOS(155));
    EXPECT_EQ(contacts->FindFriend(21), nullptr);
    EXPECT_EQ(contacts->AcquaintanceCount(), 1u);
    EXPECT_EQ(peers.announcements.size(), 1u);
    EXPECT_EQ(RefusalOf([&] { contacts->Add(21, false, false, directory, peers); }), 100);
    // The own entry is never moved.
    EXPECT_EQ(RefusalOf([&] { contacts->Add(kOwnId, false, false, directory, peers); }), 100);
    EXPECT_EQ(RefusalOf([&] { contacts->Add(kOwnId, true, false, directory, peers); }), 100);
    EXPECT_EQ(RefusalOf([&] { contacts->Add(0, true, false, directory, peers); }), 91);
    EXPECT_EQ(RefusalOf([&] { contacts->Add(-3, true, false, directory, peers); }), 91);

    directory.localAddress = "0.0.0.0";
    EXPECT_EQ(RefusalOf([&] { contacts->Add(22, true, false, directory, peers); }), 25);
    directory.localAddress = "10.1.1.1";
    // A notice that can be neither sent nor left at the directory fails the add.
    peers.noticeFails = true;
    EXPECT_NE(RefusalOf([&] { contacts->Add(22, true, true, directory, peers); }), 0);
    EXPECT_EQ(contacts->FindFriend(22), nullptr);
}

TEST_F(ContactsTest, AddHoldsNoListLockWhileAskingTheDirectory) {
    std::future_status otherThread = std::future_status::deferred;
    // Kept out here: were the lock held, this thread could not wait for it.
    std::future<std::size_t> reader;
    directory.onceDuringLookup = [&] {
        reader = std::async(std::launch::async, [&] {
            // Meanwhile another thread lists the same contact.
            contacts->AppendAcquaintance(
                std::make_shared<Acquaintance>(std::make_shared<InternetID>(22, kOwnId)));
            return contacts->FriendCount();
        });
        otherThread = reader.wait_for(5s);
    };
    // The first add finds the contact listed when it comes back: refused.
    EXPECT_EQ(RefusalOf([&] { contacts->Add(22, false, false, directory, peers); }), 100);
    EXPECT_EQ(otherThread, std::future_status::ready);
    EXPECT_EQ(contacts->AcquaintanceCount(), 1u);

    // Added as a friend while another thread lists it as an acquaintance: moved.
    directory.onceDuringLookup = [&] {
        contacts->AppendAcquaintance(
            std::make_shared<Acquaintance>(std::make_shared<InternetID>(21, kOwnId)));
    };
    auto entry = contacts->Add(21, true, false, directory, peers);
    EXPECT_EQ(contacts->FindFriend(21), entry);
    EXPECT_EQ(contacts->FindAcquaintance(21), nullptr);
    EXPECT_EQ(contacts->FriendCount(), 2u);
}

TEST_F(ContactsTest, MovesAndRemovalsKeepOrderAndTheOwnEntry) {
    for (std::int32_t id : {31, 32, 33})
        contacts->Add(id, false, false, directory, peers);
    contacts->MoveToFriends(32);
    EXPECT_EQ(contacts->AcquaintanceAt(0)->ID(), 31);
    EXPECT_EQ(contacts->AcquaintanceAt(1)->ID(), 33);
    EXPECT_EQ(contacts->FriendAt(1)->ID(), 32);
    contacts->MoveToAcquaintances(32);
    EXPECT_EQ(contacts->AcquaintanceAt(2)->ID(), 32);

    EXPECT_EQ(RefusalOf([&] { contacts->MoveToFriends(77); }), 120);
    EXPECT_EQ(RefusalOf([&] { contacts->MoveToAcquaintances(31); }), 130);
    EXPECT_EQ(RefusalOf([&] { contacts->MoveToAcquaintances(kOwnId); }), 131);

    // A peer message never comes from the own entry.
    EXPECT_EQ(contacts->FindContact(kOwnId), nullptr);
    EXPECT_EQ(contacts->FindContact(33), contacts->AcquaintanceAt(1));
    contacts->MoveToFriends(33);
    EXPECT_EQ(contacts->FindContact(33), contacts->FriendAt(1));
    contacts->MoveToAcquaintances(33);

    contacts->RemoveAcquaintanceAt(0);
    EXPECT_EQ(contacts->AcquaintanceAt(0)->ID(), 32);
    contacts->Remove(32);
    EXPECT_EQ(RefusalOf([&] { contacts->AcquaintanceAt(2); }), 66);
    EXPECT_EQ(RefusalOf([&] { contacts->FriendAt(1); }), 74);
    EXPECT_EQ(RefusalOf([&] { contacts->RemoveAcquaintanceAt(2); }), 66);
    EXPECT_EQ(RefusalOf([&] { contacts->RemoveFriendAt(0); }), 75);
    EXPECT_EQ(RefusalOf([&] { contacts->Remove(kOwnId); }), 75);
    EXPECT_EQ(contacts->AcquaintanceCount(), 1u);
    EXPECT_EQ(contacts->AcquaintanceAt(0)->ID(), 33);
    EXPECT_EQ(RefusalOf([&] { contacts->Remove(32); }), 140);
    EXPECT_EQ(RefusalOf([&] { contacts->AppendFriend(nullptr); }), 142);
    EXPECT_EQ(RefusalOf([&] { contacts->AppendAcquaintance(nullptr); }), 116);

    Contacts empty;
    EXPECT_EQ(RefusalOf([&] { empty.OwnEntry(); }), 76);
    // A fresh own entry has ID -1, which is never found.
    auto fresh = Contacts::Fresh();
    EXPECT_EQ(fresh->FindFriend(-1), nullptr);
    EXPECT_EQ(fresh->OwnID(), -1);
    EXPECT_EQ(fresh->NumActiveOwnTOS(), 0);
}

TEST_F(ContactsTest, OwnTOSRegistrationsCountAndReachEveryOtherContact) {
    contacts->Add(21, false, false, directory, peers);
    contacts->Add(22, true, false, directory, peers);
    peers.unreachable = {21};

    contacts->RegisterOwnTOS(5, true, directory, peers);
    contacts->RegisterOwnTOS(5, true, directory, peers);
    auto own = contacts->OwnEntry();
    EXPECT_EQ(own->TOSCount(5), 2);
    contacts->RegisterOwnTOS(5, false, directory, peers);
    EXPECT_TRUE(own->IsTOSActive(5));
    EXPECT_EQ(own->TOSCount(5), 1);
    contacts->RegisterOwnTOS(5, false, directory, peers);
    EXPECT_FALSE(own->IsTOSActive(5));
    EXPECT_EQ(contacts->NumActiveOwnTOS(), 0);
    EXPECT_EQ(RefusalOf([&] { contacts->RegisterOwnTOS(5, false, directory, peers); }), 500);
    EXPECT_EQ(RefusalOf([&] { contacts->RegisterOwnTOS(8, false, directory, peers); }), 500);
    EXPECT_EQ(RefusalOf([&] { contacts->RegisterOwnTOS(-1, true, directory, peers); }), 562);

    ASSERT_EQ(directory.poolChanges.size(), 4u);
    EXPECT_EQ(directory.poolChanges[0], std::make_tuple(5, std::string("10.1.1.1"), true));
    EXPECT_EQ(directory.poolChanges[3], std::make_tuple(5, std::string("10.1.1.1"), false));
    // Only the reachable friend heard, never the own entry; the last notice
    // tells it that TOS 5 is gone.
    ASSERT_EQ(peers.tosNotices.size(), 4u);
    for (const auto& notice : peers.tosNotices)
        EXPECT_EQ(notice.contactId, 22);
    EXPECT_FALSE(peers.tosNotices.back().on);
    EXPECT_TRUE(peers.tosNotices.front().on);

    // Contacts record what the peers tell them without counting.
    auto friendEntry = contacts->FindFriend(22);
    friendEntry->RegisterTOS(7, true, false);
    friendEntry->RegisterTOS(7, true, false);
    friendEntry->RegisterTOS(7, false, false);
    EXPECT_FALSE(friendEntry->IsTOSActive(7));
    EXPECT_EQ(RefusalOf([&] { friendEntry->RegisterTOS(9, false, false); }), 596);
}

TEST_F(ContactsTest, OnlineForTOSNeedsTheOnlineFlagAndTheTOS) {
    auto entry = contacts->Add(21, true, false, directory, peers);
    entry->RegisterTOS(155, true, false);
    EXPECT_FALSE(entry->IsOnlineForTOS(-1));
    EXPECT_FALSE(entry->IsOnlineForTOS(155));
    entry->SetAddress("10.0.0.44");
    EXPECT_TRUE(entry->IsOnlineForTOS(-1));
    EXPECT_TRUE(entry->IsOnlineForTOS(155));
    EXPECT_FALSE(entry->IsOnlineForTOS(156));
    entry->SetAddress("0.0.0.0");
    EXPECT_FALSE(entry->IsOnline());
}

TEST_F(ContactsTest, GoingOfflineEmptiesEveryTableButTheOwn) {
    auto acquaintance = contacts->Add(21, false, false, directory, peers);
    auto friendEntry = contacts->Add(22, true, false, directory, peers);
    for (const auto& entry : {acquaintance, friendEntry}) {
        entry->SetAddress("10.0.0.9");
        entry->RegisterTOS(155, true, false);
    }
    contacts->RegisterOwnTOS(155, true, directory, peers);

    contacts->GoOffline();
    for (const auto& entry : {acquaintance, friendEntry}) {
        EXPECT_FALSE(entry->IsOnline());
        EXPECT_EQ(entry->IP(), "0.0.0.0");
        EXPECT_EQ(entry->NumActiveTOS(), 0);
    }
    EXPECT_EQ(contacts->NumActiveOwnTOS(), 1);
    EXPECT_EQ(contacts->OtherContacts().size(), 2u);
}

TEST_F(ContactsTest, TheIdentitySwitchCarriesTheOwnRegistrations) {
    EXPECT_EQ(RefusalOf([&] { contacts->CopyOwnTOSTable(); }), 570);
    EXPECT_EQ(RefusalOf([&] { contacts->InstallOwnTOSTable(TosTable{}); }), 596);

    contacts->RegisterOwnTOS(155, true, directory, peers);
    contacts->RegisterOwnTOS(155, true, directory, peers);
    contacts->RegisterOwnTOS(12, true, directory, peers);
    TosTable copied = contacts->CopyOwnTOSTable();

    auto next = Contacts::Fresh();
    next->InstallOwnTOSTable(copied);
    EXPECT_EQ(next->NumActiveOwnTOS(), 2);
    EXPECT_EQ(next->OwnEntry()->TOSCount(155), 2);
    // Copied, not shared: the old identity's table goes its own way.
    contacts->RegisterOwnTOS(12, false, directory, peers);
    EXPECT_TRUE(next->OwnEntry()->IsTOSActive(12));
}

TEST_F(ContactsTest, OwnEntryRegistersAdoptsAndPublishes) {
    auto fresh = Contacts::Fresh();
    auto own = fresh->OwnEntry();
    Friend::RegisterNewID(own, directory);
    EXPECT_EQ(own->ID(), 4711);
    EXPECT_EQ(own->Internet()->OwnerID(), 4711);
    // An own entry with an ID keeps it.
    directory.nextNewId = 4712;
    Friend::RegisterNewID(own, directory);
    EXPECT_EQ(own->ID(), 4711);

    Friend::AdoptID(own, 808, directory);
    EXPECT_EQ(own->ID(), 808);
    EXPECT_EQ(own->Internet()->OwnerID(), 808);
    ASSERT_EQ(directory.updateIPs.size(), 1u);
    EXPECT_EQ(directory.updateIPs[0], std::make_pair(808, std::string("10.1.1.1")));
    EXPECT_EQ(own->IP(), "10.1.1.1");

    auto stranger = std::make_shared<Acquaintance>();
    EXPECT_EQ(RefusalOf([&] { Friend::RegisterNewID(nullptr, directory); }), 40);
    EXPECT_EQ(RefusalOf([&] { Friend::RegisterNewID(stranger, directory); }), 41);
    EXPECT_EQ(RefusalOf([&] { Friend::AdoptID(nullptr, 1, directory); }), 63);
    EXPECT_EQ(RefusalOf([&] { Friend::AdoptID(stranger, 1, directory); }), 74);
}

TEST(ContactsConcurrencyTest, ThreadsAddingMovingAndRemovingNeverListAContactTwice) {
    // The directory knows nobody, so no thread writes to the fakes' records.
    FakeDirectory directory;
    directory.lookupDelay = 500us;
    FakePeers peers;
    auto contacts = MakeContacts();
    constexpr int kRounds = 300;
    auto worker = [&](int seed) {
        for (int round = 0; round < kRounds; ++round) {
            std::int32_t id = 1 + (round * 7 + seed) % 12;
            try {
                switch ((round + seed) % 5) {
                case 0:
                case 1:
                    contacts->Add(id, (round + seed) % 2 == 0, false, directory, peers);
                    break;
                case 2:
                    contacts->MoveToAcquaintances(id);
                    break;
                case 3:
                    contacts->Remove(id);
                    break;
                default:
                    for (const auto& entry : contacts->OtherContacts())
                        entry->SetAddress("10.0.0.3");
                    contacts->GoOffline();
                    break;
                }
            } catch (const CStdExcept&) {
            }
        }
    };
    std::vector<std::thread> threads;
    for (int seed = 0; seed < 4; ++seed)
        threads.emplace_back(worker, seed);
    for (auto& thread : threads)
        thread.join();

    std::vector<std::int32_t> listed;
    for (std::size_t i = 0; i < contacts->AcquaintanceCount(); ++i)
        listed.push_back(contacts->AcquaintanceAt(i)->ID());
    for (std::size_t i = 0; i < contacts->FriendCount(); ++i)
        listed.push_back(contacts->FriendAt(i)->ID());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
    EXPECT_EQ(contacts->OwnID(), kOwnId);
}

} // namespace
