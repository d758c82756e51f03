#include "service/BridgeDispatcher.h"

#include "bridge/CStdExcept.h"
#include "service/Halvara.h"
#include "support/RecordLayout.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

// An engine whose answers the test sets and whose calls it records. With
// m_fail set every operation throws CStdExcept.
class TestEngine : public PresenceEngine {
public:
    bool m_fail = false;
    std::vector<std::string> m_calls;
    std::vector<std::string> m_texts;
    std::vector<std::int32_t> m_numbers;
    ProfileInfo m_profile{"Ann Example", "ann@example.org", "secret"};
    std::string m_address = "10.1.2.3";
    std::string m_identity = "identity";
    SystemMessageTexts m_message{"Title", "Message text"};
    std::vector<std::string> m_anon;
    std::vector<FriendOnline> m_checks;
    int m_activeTos = 1;
    bool m_failCount = false;

    void SetMyProfile(const ProfileInfo& p) override {
        Call("SetMyProfile", {}, {p.name, p.eMail, p.password});
    }
    std::int32_t GetMyID() override { return Call("GetMyID"), 4711; }
    bool ClaimID(std::int32_t id, const std::string& pw) override {
        return Call("ClaimID", {id}, {pw}), true;
    }
    bool IsRegistered() override { return Call("IsRegistered"), true; }
    std::int32_t GetFriend(std::int32_t i) override { return Call("GetFriend", {i}), 100 + i; }
    std::int32_t GetAcquaintance(std::int32_t i) override {
        return Call("GetAcquaintance", {i}), 200 + i;
    }
    void Add(std::int32_t id, bool asFriend) override { Call("Add", {id, asFriend ? 1 : 0}); }
    void Delete(std::int32_t id) override { Call("Delete", {id}); }
    void MoveToFriends(std::int32_t id) override { Call("MoveToFriends", {id}); }
    void MoveToAcquaintances(std::int32_t id) override { Call("MoveToAcquaintances", {id}); }
    ProfileInfo GetProfile(std::int32_t id) override { return Call("GetProfile", {id}), m_profile; }
    std::string GetIP(std::int32_t id) override { return Call("GetIP", {id}), m_address; }
    bool IsOnline(std::int32_t id, std::int32_t tos, std::int32_t mode) override {
        return Call("IsOnline", {id, tos, mode}), true;
    }
    std::int32_t LookupID(const std::string& eMail) override {
        return Call("LookupID", {}, {eMail}), 99;
    }
    ProfileInfo LookupProfile(std::int32_t id) override {
        return Call("LookupProfile", {id}), m_profile;
    }
    bool CheckPassword(std::int32_t id, const std::string& pw) override {
        return Call("CheckPassword", {id}, {pw}), true;
    }
    void SendInvitation(const std::string& a, const std::string& b, const std::string& c,
                        std::int32_t id) override {
        Call("SendInvitation", {id}, {a, b, c});
    }
    // Follows every change: it keeps the arguments of the call it follows.
    void FlushData() override {
        m_calls.push_back("FlushData");
        if (m_fail)
            throw CStdExcept("Test", 1);
    }
    void UpdateTOS(std::int32_t tos, bool on) override { Call("UpdateTOS", {tos, on ? 1 : 0}); }
    int NumActiveTOS() override {
        if (m_failCount)
            throw CStdExcept("Contacts", 76);
        return m_activeTos;
    }
    SystemMessageTexts GetSystemMessage(std::int32_t n) override {
        return Call("GetSystemMessage", {n}), m_message;
    }
    void SetIdentity(std::int32_t i, const std::string& pw) override {
        Call("SetIdentity", {i}, {pw});
    }
    std::string GetIdentity(std::int32_t i) override {
        return Call("GetIdentity", {i}), m_identity;
    }
    void DeleteIdentity(std::int32_t i) override { Call("DeleteIdentity", {i}); }
    std::int32_t AddIdentity(const std::string& name, const std::string& pw) override {
        return Call("AddIdentity", {}, {name, pw}), 3;
    }
    std::int32_t GetActiveIdentity() override { return Call("GetActiveIdentity"), 0; }
    std::int32_t GetHighestIdentity() override { return Call("GetHighestIdentity"), 2; }
    bool IsIdentityTaken(const std::string& eMail) override {
        return Call("IsIdentityTaken", {}, {eMail}), true;
    }
    void AddAnonAcquaintances(std::int32_t count, std::int32_t tos) override {
        Call("AddAnonAcquaintances", {count, tos});
    }
    void RefreshAnonAcquaintances() override { Call("RefreshAnonAcquaintances"); }
    std::vector<std::string> CollectAnonAcquaintances(std::int32_t tos) override {
        return Call("CollectAnonAcquaintances", {tos}), m_anon;
    }
    // Answers every friend it holds, however many were asked for.
    std::vector<FriendOnline> CheckFriendsOnline(std::int32_t tos, std::size_t most) override {
        return Call("CheckFriendsOnline", {tos, static_cast<std::int32_t>(most)}), m_checks;
    }

private:
    void Call(const std::string& name, std::vector<std::int32_t> numbers = {},
              std::vector<std::string> texts = {}) {
        m_calls.push_back(name);
        m_numbers = std::move(numbers);
        m_texts = std::move(texts);
        if (m_fail)
            throw CStdExcept("Test", 1);
    }
};

std::span<const std::uint8_t> Bytes(const BridgeRecord& record) {
    return {record.Data(), BridgeRecord::kSize};
}

BridgeRecord Request(std::int32_t code, std::vector<std::int32_t> arguments = {}) {
    BridgeRecord record;
    record.SetCode(code);
    for (std::size_t i = 0; i < arguments.size(); ++i)
        record.SetI32At(4 + 4 * i, arguments[i]);
    return record;
}

// A request whose every byte behind the code is set, so that a field the reply
// should not touch shows whether it was touched.
BridgeRecord Patterned(std::int32_t code) {
    BridgeRecord record;
    for (std::size_t i = 0; i < BridgeRecord::kSize; ++i)
        record.Data()[i] = static_cast<std::uint8_t>(i * 7 + 3);
    record.SetCode(code);
    return record;
}

class BridgeDispatcherTest : public ::testing::Test {
protected:
    BridgeRecord Single(const BridgeRecord& request) {
        BridgeReplies replies = m_dispatcher.Handle(Bytes(request));
        EXPECT_EQ(replies.records.size(), 1u);
        EXPECT_FALSE(replies.stopServing);
        return replies.records.empty() ? BridgeRecord() : replies.records.front();
    }

    TestEngine m_engine;
    BridgeDispatcher m_dispatcher{m_engine};
};

TEST_F(BridgeDispatcherTest, ZeroLengthRequestGetsNoReply) {
    std::uint8_t byte = kCmdNumActiveTOS;
    BridgeReplies replies = m_dispatcher.Handle(std::span<const std::uint8_t>(&byte, 0));
    EXPECT_TRUE(replies.records.empty());
    EXPECT_FALSE(replies.stopServing);
    EXPECT_TRUE(m_engine.m_calls.empty());
}

TEST_F(BridgeDispatcherTest, ShortRequestsReadAsZeroPadded) {
    // One byte: the low byte of the code; everything else reads as zero.
    const std::vector<std::uint8_t> one{kCmdGetFriend};
    BridgeReplies replies = m_dispatcher.Handle(one);
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].Code(), kCmdReply);
    ASSERT_EQ(m_engine.m_numbers, std::vector<std::int32_t>{0});
    EXPECT_EQ(replies.records[0].I32At(4), 100);
    for (std::size_t i = 8; i < BridgeRecord::kSize; ++i)
        ASSERT_EQ(replies.records[0].Data()[i], 0) << i;

    // Two bytes of command 18 leave TOS 0 and the off flag.
    m_engine.m_calls.clear();
    const std::vector<std::uint8_t> two{kCmdUpdateTOS, 0};
    replies = m_dispatcher.Handle(two);
    ASSERT_EQ(m_engine.m_calls, std::vector<std::string>{"UpdateTOS"});
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{0, 0}));

    // A code that reaches into the second byte is not a known one.
    m_engine.m_calls.clear();
    const std::vector<std::uint8_t> unknown{kCmdGetFriend, 1};
    replies = m_dispatcher.Handle(unknown);
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].Code(), kCmdReply);
    EXPECT_TRUE(m_engine.m_calls.empty());
}

TEST_F(BridgeDispatcherTest, BytesPastOneRecordAreIgnored) {
    BridgeRecord request = Patterned(kCmdGetFriend);
    request.SetI32At(4, 6);
    std::vector<std::uint8_t> longRequest(2044, 0xEE);
    std::memcpy(longRequest.data(), request.Data(), BridgeRecord::kSize);
    BridgeReplies replies = m_dispatcher.Handle(longRequest);
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].I32At(4), 106);
    EXPECT_EQ(
        0, std::memcmp(replies.records[0].Data() + 8, request.Data() + 8, BridgeRecord::kSize - 8));
}

TEST_F(BridgeDispatcherTest, UnknownCodesEchoTheRequest) {
    for (std::int32_t code : {28, 40, 0, -1, -28, 32, 0x7fffffff}) {
        BridgeRecord request = Patterned(code);
        BridgeRecord reply = Single(request);
        EXPECT_EQ(reply.Code(), kCmdReply) << code;
        EXPECT_EQ(0, std::memcmp(reply.Data() + 4, request.Data() + 4, BridgeRecord::kSize - 4))
            << code;
    }
    EXPECT_TRUE(m_engine.m_calls.empty());
}

TEST_F(BridgeDispatcherTest, ChangesAreWrittenBeforeTheyAreAnswered) {
    for (std::int32_t code : {kCmdSetMyProfile, kCmdClaimID, kCmdAdd, kCmdDelete, kCmdMoveToFriends,
                              kCmdMoveToAcquaintances, kCmdDeleteIdentity, kCmdAddIdentity}) {
        m_engine.m_calls.clear();
        Single(Request(code, {7}));
        ASSERT_FALSE(m_engine.m_calls.empty()) << code;
        EXPECT_EQ(m_engine.m_calls.back(), "FlushData") << code;
    }
    for (std::int32_t code : {kCmdGetFriend, kCmdIsOnline, kCmdUpdateTOS, kCmdGetIdentity}) {
        m_engine.m_calls.clear();
        Single(Request(code, {0}));
        for (const std::string& call : m_engine.m_calls)
            EXPECT_NE(call, "FlushData") << code << ": a read writes nothing";
    }
}

TEST_F(BridgeDispatcherTest, TextsWithoutNulAreCutTo127Characters) {
    BridgeRecord request = Request(kCmdLookupID);
    std::memset(request.Data() + 4, 'a', BridgeRecord::kSize - 4);
    BridgeRecord reply = Single(request);
    ASSERT_EQ(m_engine.m_texts.size(), 1u);
    EXPECT_EQ(m_engine.m_texts[0], std::string(127, 'a'));
    EXPECT_EQ(reply.I32At(4), 99);

    // Command 27: three 128-byte texts back to back, then the application id.
    request = Request(kCmdSendInvitation);
    std::memset(request.Data() + 4, 'x', 128);
    std::memset(request.Data() + 132, 'y', 128);
    std::memset(request.Data() + 260, 'z', 128);
    request.SetI32At(388, 155);
    Single(request);
    EXPECT_EQ(m_engine.m_texts,
              (std::vector<std::string>{std::string(127, 'x'), std::string(127, 'y'),
                                        std::string(127, 'z')}));
    EXPECT_EQ(m_engine.m_numbers, std::vector<std::int32_t>{155});

    // Command 1: the profile record's fields at [4..516), name up to 255.
    request = Request(kCmdSetMyProfile);
    std::memset(request.Data() + 4, 'n', 256);
    std::memset(request.Data() + 260, 'e', 128);
    std::memset(request.Data() + 388, 'p', 128);
    EXPECT_EQ(Single(request).I32At(4), 1);
    EXPECT_EQ(m_engine.m_texts,
              (std::vector<std::string>{std::string(255, 'n'), std::string(127, 'e'),
                                        std::string(127, 'p')}));

    // Command 24: name at 4, password at 132, each ending at its own NUL.
    request = Request(kCmdAddIdentity);
    request.SetTextAt(4, "Bob");
    std::memset(request.Data() + 132, 'w', 128);
    reply = Single(request);
    EXPECT_EQ(m_engine.m_texts, (std::vector<std::string>{"Bob", std::string(127, 'w')}));
    EXPECT_EQ(reply.I32At(4), 3);
    EXPECT_EQ(reply.I32At(8), 1);
}

TEST_F(BridgeDispatcherTest, ArgumentsReachTheEngine) {
    Single(Request(kCmdIsOnline, {12, 155, 1}));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{12, 155, 1}));
    Single(Request(kCmdAdd, {12, 7}));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{12, 1}));
    Single(Request(kCmdAdd, {12, 0}));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{12, 0}));
    Single(Request(kCmdAddAnonAcquaintances, {5, 155}));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{5, 155}));
    BridgeRecord claim = Request(kCmdClaimID, {42});
    claim.SetTextAt(8, "pw");
    EXPECT_EQ(Single(claim).I32At(4), 1);
    EXPECT_EQ(m_engine.m_numbers, std::vector<std::int32_t>{42});
    EXPECT_EQ(m_engine.m_texts, std::vector<std::string>{"pw"});
}

// The failure value of each command, and the other result fields it sets.
TEST_F(BridgeDispatcherTest, EngineFailuresBecomeTheFailureValue) {
    m_engine.m_fail = true;
    struct Expectation {
        std::int32_t code;
        std::int32_t value;
    };
    const Expectation expectations[] = {
        {kCmdSetMyProfile, 0},
        {kCmdGetMyID, -1},
        {kCmdClaimID, 0},
        {kCmdIsRegistered, 0},
        {kCmdGetFriend, -1},
        {kCmdGetAcquaintance, -1},
        {kCmdAdd, 0},
        {kCmdDelete, 0},
        {kCmdMoveToFriends, 0},
        {kCmdMoveToAcquaintances, 0},
        {kCmdGetProfile, 0},
        {kCmdGetIP, 0},
        {kCmdIsOnline, 0},
        {kCmdLookupID, -1},
        {kCmdLookupProfile, 0},
        {kCmdCheckPassword, 0},
        {kCmdFlushData, 0},
        {kCmdUpdateTOS, 0},
        {kCmdSystemMessage, 0},
        {kCmdSetIdentity, 0},
        {kCmdDeleteIdentity, 0},
        {kCmdAddIdentity, -1},
        {kCmdGetActiveIdentity, -1},
        {kCmdGetHighestIdentity, -1},
        {kCmdSendInvitation, 0},
        {kCmdAddAnonAcquaintances, 0},
        {kCmdGetAnonAcquaintances, 0},
        {kCmdIsIdentityTaken, 0},
    };
    for (const Expectation& e : expectations) {
        BridgeRecord request = Patterned(e.code);
        // Keep the text fields terminated, as a library would send them.
        BridgeReplies replies = m_dispatcher.Handle(Bytes(request));
        ASSERT_EQ(replies.records.size(), 1u) << e.code;
        const BridgeRecord& reply = replies.records[0];
        EXPECT_EQ(reply.Code(), kCmdReply) << e.code;
        EXPECT_EQ(reply.I32At(4), e.value) << e.code;
    }
    // The flag behind an index answer is 0.
    for (std::int32_t code :
         {kCmdAddIdentity, kCmdGetActiveIdentity, kCmdGetHighestIdentity, kCmdGetAnonAcquaintances})
        EXPECT_EQ(Single(Patterned(code)).I32At(8), 0) << code;
    // Command 12 zeroes its address field; command 22 its text and flag.
    BridgeRecord reply = Single(Patterned(kCmdGetIP));
    for (std::size_t i = 8; i < 28; ++i)
        EXPECT_EQ(reply.Data()[i], 0) << i;
    EXPECT_EQ(reply.Data()[28], Patterned(kCmdGetIP).Data()[28]);
    reply = Single(Patterned(kCmdGetIdentity));
    for (std::size_t i = 4; i < 132; ++i)
        EXPECT_EQ(reply.Data()[i], 0) << i;
    EXPECT_EQ(reply.I32At(132), 0);
    // A failed profile copy leaves the record area as it was.
    BridgeRecord request = Patterned(kCmdGetProfile);
    reply = Single(request);
    EXPECT_EQ(0, std::memcmp(reply.Data() + 8, request.Data() + 8, 512));
}

TEST_F(BridgeDispatcherTest, CountFailureAnswersMinusOne) {
    m_engine.m_failCount = true;
    EXPECT_EQ(Single(Request(kCmdNumActiveTOS)).I32At(4), -1);
}

TEST_F(BridgeDispatcherTest, OtherExceptionsAreNotSwallowed) {
    class Throwing : public TestEngine {
        std::int32_t GetMyID() override { throw std::runtime_error("not a service failure"); }
    } engine;
    BridgeDispatcher dispatcher(engine);
    BridgeRecord request = Request(kCmdGetMyID);
    EXPECT_THROW(dispatcher.Handle(Bytes(request)), std::runtime_error);
}

TEST_F(BridgeDispatcherTest, ResultsAreWrittenWhereTheLibraryReadsThem) {
    // Command 11: name and e-mail into the record at 8; the password field is
    // left as the request had it.
    BridgeRecord request = Patterned(kCmdGetProfile);
    BridgeRecord reply = Single(request);
    EXPECT_TRUE(testsupport::HoldsLayout(Bytes(reply), {
                                                           {"result", 4, 4, 1},
                                                           {"name", 8, 256, "Ann Example"},
                                                           {"name's last byte", 8 + 255, 1, 0},
                                                           {"eMail", 264, 128, "ann@example.org"},
                                                       }));
    EXPECT_EQ(0, std::memcmp(reply.Data() + 392, request.Data() + 392, 128));
    EXPECT_EQ(Single(Patterned(kCmdLookupProfile)).TextAt(264), "ann@example.org");

    // Command 12: dotted text zero-padded in a 20-byte field.
    EXPECT_TRUE(
        testsupport::HoldsLayout(Bytes(Single(Patterned(kCmdGetIP))),
                                 {
                                     {"address", 8, 20, "10.1.2.3"},
                                     {"address's filler", 8 + 8, 20 - 8, testsupport::ZeroFilled{}},
                                 }));

    // Command 22: at most 127 characters, then the flag at 132.
    m_engine.m_identity = std::string(300, 'q');
    EXPECT_TRUE(testsupport::HoldsLayout(Bytes(Single(Patterned(kCmdGetIdentity))),
                                         {
                                             {"identity", 4, 128, std::string(127, 'q')},
                                             {"identity's terminator", 131, 1, 0},
                                             {"flag", 132, 4, 1},
                                         }));

    // Commands 25 and 26: the index and a flag for "0 or more".
    EXPECT_TRUE(testsupport::HoldsLayout(Bytes(Single(Request(kCmdGetActiveIdentity))),
                                         {
                                             {"index", 4, 4, 0},
                                             {"flag", 8, 4, 1},
                                         }));
    EXPECT_EQ(Single(Request(kCmdGetHighestIdentity)).I32At(4), 2);

    // Command 20: L1, title, L2, text, packed without gaps.
    reply = Single(Request(kCmdSystemMessage, {155}));
    EXPECT_EQ(m_engine.m_numbers, std::vector<std::int32_t>{155});
    EXPECT_TRUE(testsupport::HoldsLayout(Bytes(reply), {
                                                           {"result", 4, 4, 1},
                                                           {"L1", 8, 4, 6},
                                                           {"title", 12, 6, "Title"},
                                                           {"title's terminator", 12 + 5, 1, 0},
                                                           {"L2", 18, 4, 13},
                                                           {"text", 22, 13, "Message text"},
                                                           {"text's terminator", 22 + 12, 1, 0},
                                                       }));
}

TEST_F(BridgeDispatcherTest, SystemMessageTooLongForTheRecordIsCut) {
    m_engine.m_message = {std::string(700, 't'), std::string(700, 'm')};
    BridgeRecord request = Patterned(kCmdSystemMessage);
    BridgeRecord reply = Single(request);
    const std::int32_t l1 = reply.I32At(8);
    ASSERT_EQ(l1, 701);
    const std::int32_t l2 = reply.I32At(12 + l1);
    EXPECT_GT(l2, 0);
    EXPECT_EQ(16 + l1 + l2, 1024);
    EXPECT_EQ(reply.Data()[1023], 0);
    EXPECT_EQ(reply.Data()[12 + l1 - 1], 0);
}

TEST_F(BridgeDispatcherTest, AnonAcquaintancesWithoutMatchesSendOneReply) {
    BridgeReplies replies = m_dispatcher.Handle(Bytes(Request(kCmdGetAnonAcquaintances, {155, 0})));
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].Code(), kCmdReply);
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_EQ(replies.records[0].I32At(8), 0);
    EXPECT_EQ(m_engine.m_calls, std::vector<std::string>{"CollectAnonAcquaintances"});
    EXPECT_EQ(m_engine.m_numbers, std::vector<std::int32_t>{155});
}

TEST_F(BridgeDispatcherTest, AnonAcquaintancesSendOneRecordPerAddress) {
    m_engine.m_anon = {"192.168.100.200", "10.0.0.1", "1.2.3.4"};
    BridgeRecord request = Patterned(kCmdGetAnonAcquaintances);
    request.SetI32At(4, 155);
    request.SetI32At(8, 1);
    BridgeReplies replies = m_dispatcher.Handle(Bytes(request));
    EXPECT_EQ(m_engine.m_calls,
              (std::vector<std::string>{"RefreshAnonAcquaintances", "CollectAnonAcquaintances"}));
    ASSERT_EQ(replies.records.size(), 4u);
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_EQ(replies.records[0].I32At(8), 3);
    for (std::size_t n = 1; n < replies.records.size(); ++n) {
        const std::string& address = m_engine.m_anon[n - 1];
        const BridgeRecord& record = replies.records[n];
        const BridgeRecord& previous = replies.records[n - 1];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.Data())), address);
        // The first length + 5 bytes are cleared, the rest carried over.
        for (std::size_t i = address.size(); i < address.size() + 5; ++i)
            EXPECT_EQ(record.Data()[i], 0) << n << " " << i;
        const std::size_t kept = address.size() + 5;
        EXPECT_EQ(0, std::memcmp(record.Data() + kept, previous.Data() + kept,
                                 BridgeRecord::kSize - kept))
            << n;
    }
    // A shorter address leaves bytes of the longer one behind its cleared span.
    EXPECT_EQ(replies.records[2].Data()[13], '0');
    EXPECT_EQ(replies.records[2].Data()[14], '0');
}

TEST_F(BridgeDispatcherTest, FriendChecksArePackedAndNeverExceedTheAskedCount) {
    for (std::int32_t id = 1; id <= 1100; ++id)
        m_engine.m_checks.push_back({id, id % 3 == 0});

    // 130 asked: one header record, a full record of 128 pairs and one of 2.
    BridgeReplies replies = m_dispatcher.Handle(Bytes(Request(kCmdCheckFriendsOnline, {155, 130})));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{155, 130}));
    ASSERT_EQ(replies.records.size(), 3u);
    EXPECT_EQ(replies.records[0].Code(), kCmdReply);
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_EQ(replies.records[0].I32At(8), 130);
    for (std::int32_t i = 0; i < 130; ++i) {
        const BridgeRecord& block = replies.records[1 + static_cast<std::size_t>(i) / 128];
        const std::size_t at = (static_cast<std::size_t>(i) % 128) * 8;
        EXPECT_EQ(block.I32At(at), i + 1) << i;
        EXPECT_EQ(block.I32At(at + 4), (i + 1) % 3 == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(replies.records[2].I32At(16), 0);

    // A negative count asks for nothing; one past the bound is held to it.
    replies = m_dispatcher.Handle(Bytes(Request(kCmdCheckFriendsOnline, {155, -5})));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{155, 0}));
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].I32At(8), 0);
    replies = m_dispatcher.Handle(Bytes(Request(kCmdCheckFriendsOnline, {155, 5000})));
    EXPECT_EQ(m_engine.m_numbers, (std::vector<std::int32_t>{155, 1024}));
    EXPECT_EQ(replies.records[0].I32At(8), 1024);
    EXPECT_EQ(replies.records.size(), 9u);

    // A failing engine answers the flag 0 and no pairs.
    m_engine.m_fail = true;
    replies = m_dispatcher.Handle(Bytes(Request(kCmdCheckFriendsOnline, {155, 10})));
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].I32At(4), 0);
    EXPECT_EQ(replies.records[0].I32At(8), 0);
}

using testsupport::ScopedEnvironment;

TEST_F(BridgeDispatcherTest, UpdateTosStopsWhenNoActiveTosIsLeft) {
    // The real engine with a registry of its own and a directory that refuses
    // every connection: it serves without contact lists, keeping the
    // registrations on its own table.
    testsupport::TempDir dir;
    ScopedEnvironment environment;
    environment.Set("XDG_CONFIG_HOME", (dir.Path() / "config").string());
    environment.Set("XDG_RUNTIME_DIR", dir.Path().string());
    environment.Set("HALVARA_DIRECTORY", "127.0.0.1:9");
    Halvara engine;
    BridgeDispatcher dispatcher(engine);
    auto send = [&](std::vector<std::int32_t> arguments, std::int32_t code = kCmdUpdateTOS) {
        BridgeRecord request = Request(code, std::move(arguments));
        return dispatcher.Handle(Bytes(request));
    };

    EXPECT_EQ(send({}, kCmdNumActiveTOS).records[0].I32At(4), 0);
    BridgeReplies replies = send({155, 1});
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_FALSE(replies.stopServing);
    EXPECT_FALSE(send({155, 1}).stopServing);
    EXPECT_FALSE(send({7, 1}).stopServing);
    EXPECT_EQ(send({}, kCmdNumActiveTOS).records[0].I32At(4), 2);

    // A refused registration still gets its answer and changes nothing.
    replies = send({-1, 1});
    EXPECT_EQ(replies.records[0].I32At(4), 0);
    EXPECT_FALSE(replies.stopServing);

    EXPECT_FALSE(send({7, 0}).stopServing);
    EXPECT_FALSE(send({155, 0}).stopServing);
    EXPECT_EQ(send({}, kCmdNumActiveTOS).records[0].I32At(4), 1);
    replies = send({155, 0});
    ASSERT_EQ(replies.records.size(), 1u);
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_TRUE(replies.stopServing);

    // Unregistering what is not active fails, and with nothing active the
    // service still ends after answering.
    replies = send({155, 0});
    EXPECT_EQ(replies.records[0].I32At(4), 0);
    EXPECT_TRUE(replies.stopServing);
}

TEST_F(BridgeDispatcherTest, UpdateTosKeepsServingWhenTheCountIsUnknown) {
    m_engine.m_failCount = true;
    BridgeReplies replies = m_dispatcher.Handle(Bytes(Request(kCmdUpdateTOS, {155, 0})));
    EXPECT_EQ(replies.records[0].I32At(4), 1);
    EXPECT_FALSE(replies.stopServing);
    m_engine.m_failCount = false;
    m_engine.m_activeTos = 0;
    EXPECT_TRUE(m_dispatcher.Handle(Bytes(Request(kCmdUpdateTOS, {155, 0}))).stopServing);
}

} // namespace
