#include "BridgeDispatcher.h"

#include "bridge/CStdExcept.h"

#include <algorithm>
#include <cstring>

namespace {

namespace Profile = PersonalInfoLayout;

// Offsets of the arguments after the command code.
constexpr std::size_t kArg1 = 4;
constexpr std::size_t kArg2 = 8;
constexpr std::size_t kArg3 = 12;
// Three consecutive 128-byte text fields (commands 24 and 27).
constexpr std::size_t kText2 = kArg1 + BridgeRecord::kTextWidth;
constexpr std::size_t kText3 = kText2 + BridgeRecord::kTextWidth;
constexpr std::size_t kText3End = kText3 + BridgeRecord::kTextWidth;
// Command 22 answers its text in [4..132) and its flag behind it.
constexpr std::size_t kIdentityFlag = kText2;

// Runs an engine operation; false when it threw CStdExcept.
template <typename Operation>
bool Attempt(Operation&& operation) {
    try {
        operation();
        return true;
    } catch (const CStdExcept&) {
        return false;
    }
}

// Runs an engine operation that yields a number; the failure value when it threw.
template <typename Operation>
std::int32_t ValueOr(std::int32_t failure, Operation&& operation) {
    try {
        return static_cast<std::int32_t>(operation());
    } catch (const CStdExcept&) {
        return failure;
    }
}

std::int32_t Flag(bool value) {
    return value ? 1 : 0;
}

// Commands that change identities or contacts. Their changes are written
// before the client hears of them, so a service killed right after an answer
// loses nothing it has acknowledged.
bool ChangesStoredState(std::int32_t code) {
    switch (code) {
    case kCmdSetMyProfile:
    case kCmdClaimID:
    case kCmdAdd:
    case kCmdDelete:
    case kCmdMoveToFriends:
    case kCmdMoveToAcquaintances:
    case kCmdDeleteIdentity:
    case kCmdAddIdentity:
        return true;
    default:
        return false;
    }
}

} // namespace

BridgeReplies BridgeDispatcher::Handle(std::span<const std::uint8_t> request) {
    BridgeReplies replies;
    if (request.empty())
        return replies;

    // The record starts zeroed, so a short request reads as zero-padded.
    BridgeRecord record;
    record.CopyIn(0, request.data(), std::min(request.size(), BridgeRecord::kSize));
    const std::int32_t code = record.Code();
    const std::int32_t arg1 = record.I32At(kArg1);
    const std::int32_t arg2 = record.I32At(kArg2);

    switch (code) {
    case kCmdSetMyProfile:
        HandleSetMyProfile(record);
        break;
    case kCmdGetMyID:
        record.SetI32At(kArg1, ValueOr(-1, [&] { return m_engine.GetMyID(); }));
        break;
    case kCmdClaimID: {
        const std::string password = record.TextAt(kArg2);
        record.SetI32At(kArg1, ValueOr(0, [&] { return m_engine.ClaimID(arg1, password); }));
        break;
    }
    case kCmdIsRegistered:
        record.SetI32At(kArg1, ValueOr(0, [&] { return m_engine.IsRegistered(); }));
        break;
    case kCmdGetFriend:
        record.SetI32At(kArg1, ValueOr(-1, [&] { return m_engine.GetFriend(arg1); }));
        break;
    case kCmdGetAcquaintance:
        record.SetI32At(kArg1, ValueOr(-1, [&] { return m_engine.GetAcquaintance(arg1); }));
        break;
    case kCmdAdd:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.Add(arg1, arg2 != 0); })));
        break;
    case kCmdDelete:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.Delete(arg1); })));
        break;
    case kCmdMoveToFriends:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.MoveToFriends(arg1); })));
        break;
    case kCmdMoveToAcquaintances:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.MoveToAcquaintances(arg1); })));
        break;
    case kCmdGetProfile:
        HandleProfileReply(record, false);
        break;
    case kCmdGetIP:
        HandleGetIP(record);
        break;
    case kCmdIsOnline: {
        const std::int32_t mode = record.I32At(kArg3);
        record.SetI32At(kArg1, ValueOr(0, [&] { return m_engine.IsOnline(arg1, arg2, mode); }));
        break;
    }
    case kCmdLookupID: {
        const std::string eMail = record.TextAt(kArg1);
        record.SetI32At(kArg1, ValueOr(-1, [&] { return m_engine.LookupID(eMail); }));
        break;
    }
    case kCmdLookupProfile:
        HandleProfileReply(record, true);
        break;
    case kCmdCheckPassword: {
        const std::string password = record.TextAt(kArg2);
        record.SetI32At(kArg1, ValueOr(0, [&] { return m_engine.CheckPassword(arg1, password); }));
        break;
    }
    case kCmdFlushData:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.FlushData(); })));
        break;
    case kCmdUpdateTOS:
        replies.stopServing = HandleUpdateTOS(record);
        break;
    case kCmdNumActiveTOS:
        // A count is never negative, so -1 tells a failed query apart.
        record.SetI32At(kArg1, ValueOr(-1, [&] { return m_engine.NumActiveTOS(); }));
        break;
    case kCmdSystemMessage:
        HandleSystemMessage(record);
        break;
    case kCmdSetIdentity: {
        const std::string password = record.TextAt(kArg2);
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.SetIdentity(arg1, password); })));
        break;
    }
    case kCmdGetIdentity:
        HandleGetIdentity(record);
        break;
    case kCmdDeleteIdentity:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.DeleteIdentity(arg1); })));
        break;
    case kCmdAddIdentity:
        HandleAddIdentity(record);
        break;
    case kCmdGetActiveIdentity:
        HandleIdentityIndex(record, false);
        break;
    case kCmdGetHighestIdentity:
        HandleIdentityIndex(record, true);
        break;
    case kCmdSendInvitation:
        HandleSendInvitation(record);
        break;
    case kCmdAddAnonAcquaintances:
        record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.AddAnonAcquaintances(arg1, arg2); })));
        break;
    case kCmdGetAnonAcquaintances:
        record.SetCode(kCmdReply);
        HandleAnonAcquaintances(record, replies.records);
        return replies;
    case kCmdCheckFriendsOnline:
        record.SetCode(kCmdReply);
        HandleCheckFriendsOnline(record, replies.records);
        return replies;
    case kCmdIsIdentityTaken: {
        const std::string eMail = record.TextAt(kArg1);
        record.SetI32At(kArg1, ValueOr(0, [&] { return m_engine.IsIdentityTaken(eMail); }));
        break;
    }
    default:
        // Unknown codes, and the reply code itself, are answered with the
        // request's bytes behind the reply code.
        break;
    }
    if (ChangesStoredState(code))
        Attempt([&] { m_engine.FlushData(); });
    record.SetCode(kCmdReply);
    replies.records.push_back(record);
    return replies;
}

void BridgeDispatcher::HandleSetMyProfile(BridgeRecord& record) {
    const std::size_t base = BridgeRecord::kProfileRequestOffset;
    ProfileInfo profile;
    profile.name = record.TextAt(base + Profile::kNameOffset, Profile::kNameWidth);
    profile.eMail = record.TextAt(base + Profile::kEMailOffset, Profile::kEMailWidth);
    profile.password = record.TextAt(base + Profile::kPasswordOffset, Profile::kPasswordWidth);
    record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.SetMyProfile(profile); })));
}

void BridgeDispatcher::HandleProfileReply(BridgeRecord& record, bool fromDirectory) {
    const std::int32_t id = record.I32At(kArg1);
    ProfileInfo profile;
    const bool ok = Attempt(
        [&] { profile = fromDirectory ? m_engine.LookupProfile(id) : m_engine.GetProfile(id); });
    record.SetI32At(kArg1, Flag(ok));
    if (!ok)
        return;
    // The password field is left as the request had it: it never leaves the service.
    const std::size_t base = BridgeRecord::kProfileReplyOffset;
    record.SetTextAt(base + Profile::kNameOffset, profile.name, Profile::kNameWidth);
    record.SetTextAt(base + Profile::kEMailOffset, profile.eMail, Profile::kEMailWidth);
}

void BridgeDispatcher::HandleGetIP(BridgeRecord& record) {
    const std::int32_t id = record.I32At(kArg1);
    std::string address;
    const bool ok = Attempt([&] { address = m_engine.GetIP(id); });
    record.SetI32At(kArg1, Flag(ok));
    record.Zero(BridgeRecord::kAddressOffset, BridgeRecord::kAddressWidth);
    if (ok)
        record.SetTextAt(BridgeRecord::kAddressOffset, address, BridgeRecord::kAddressWidth);
}

bool BridgeDispatcher::HandleUpdateTOS(BridgeRecord& record) {
    const std::int32_t tos = record.I32At(kArg1);
    const bool on = record.I32At(kArg2) != 0;
    record.SetI32At(kArg1, Flag(Attempt([&] { m_engine.UpdateTOS(tos, on); })));
    // Whatever the registration did, the service ends once no application
    // holds an active TOS; when that cannot be told it keeps serving.
    return ValueOr(-1, [&] { return m_engine.NumActiveTOS(); }) == 0;
}

void BridgeDispatcher::HandleSystemMessage(BridgeRecord& record) {
    const std::int32_t number = record.I32At(kArg1);
    SystemMessageTexts message;
    const bool ok = Attempt([&] { message = m_engine.GetSystemMessage(number); });
    record.SetI32At(kArg1, Flag(ok));
    if (!ok)
        return;
    // [8] L1, title with its NUL, L2, text with its NUL, packed. Texts that
    // would not fit are cut so that both keep their NUL inside the record.
    constexpr std::size_t kPackStart = kArg2;
    constexpr std::size_t kRoom = BridgeRecord::kSize - kPackStart - 2 * 4;
    const std::size_t titleLength = std::min(message.title.size(), kRoom - 2);
    const std::size_t textLength = std::min(message.text.size(), kRoom - titleLength - 2);
    std::size_t at = kPackStart;
    record.SetI32At(at, static_cast<std::int32_t>(titleLength + 1));
    at += 4;
    record.CopyIn(at, message.title.data(), titleLength);
    record.Zero(at + titleLength, 1);
    at += titleLength + 1;
    record.SetI32At(at, static_cast<std::int32_t>(textLength + 1));
    at += 4;
    record.CopyIn(at, message.text.data(), textLength);
    record.Zero(at + textLength, 1);
}

void BridgeDispatcher::HandleGetIdentity(BridgeRecord& record) {
    const std::int32_t index = record.I32At(kArg1);
    std::string name;
    const bool ok = Attempt([&] { name = m_engine.GetIdentity(index); });
    // At most 127 characters, the rest of the field zero.
    record.SetTextAt(kArg1, ok ? name : std::string());
    record.SetI32At(kIdentityFlag, Flag(ok));
}

void BridgeDispatcher::HandleIdentityIndex(BridgeRecord& record, bool highest) {
    const std::int32_t index = ValueOr(
        -1, [&] { return highest ? m_engine.GetHighestIdentity() : m_engine.GetActiveIdentity(); });
    record.SetI32At(kArg1, index);
    record.SetI32At(kArg2, Flag(index >= 0));
}

void BridgeDispatcher::HandleAddIdentity(BridgeRecord& record) {
    const std::string name = record.TextAt(kArg1);
    const std::string password = record.TextAt(kText2);
    std::int32_t index = -1;
    const bool ok = Attempt([&] { index = m_engine.AddIdentity(name, password); });
    record.SetI32At(kArg1, ok ? index : -1);
    record.SetI32At(kArg2, Flag(ok));
}

void BridgeDispatcher::HandleSendInvitation(BridgeRecord& record) {
    const std::string eMail = record.TextAt(kArg1);
    const std::string applicationName = record.TextAt(kText2);
    const std::string applicationAddress = record.TextAt(kText3);
    const std::int32_t applicationId = record.I32At(kText3End);
    record.SetI32At(kArg1, Flag(Attempt([&] {
                        m_engine.SendInvitation(eMail, applicationName, applicationAddress,
                                                applicationId);
                    })));
}

void BridgeDispatcher::HandleAnonAcquaintances(BridgeRecord& first,
                                               std::vector<BridgeRecord>& records) {
    const std::int32_t tos = first.I32At(kArg1);
    const bool refresh = first.I32At(kArg2) != 0;
    std::vector<std::string> addresses;
    const bool ok = Attempt([&] {
        if (refresh)
            m_engine.RefreshAnonAcquaintances();
        addresses = m_engine.CollectAnonAcquaintances(tos);
    });
    if (!ok)
        addresses.clear();
    if (addresses.size() > kMaxAnonAddresses)
        addresses.resize(kMaxAnonAddresses);

    first.SetI32At(kArg1, Flag(ok));
    first.SetI32At(kArg2, static_cast<std::int32_t>(addresses.size()));
    records.reserve(addresses.size() + 1);
    records.push_back(first);
    // Each further record is the previous one with its first (length + 5) bytes
    // zeroed and the address text, with its NUL, at offset 0.
    for (const std::string& address : addresses) {
        BridgeRecord next = records.back();
        const std::size_t length = std::min(address.size(), BridgeRecord::kSize - 1);
        next.Zero(0, std::min(length + 5, BridgeRecord::kSize));
        next.CopyIn(0, address.data(), length);
        records.push_back(next);
    }
}

void BridgeDispatcher::HandleCheckFriendsOnline(BridgeRecord& first,
                                                std::vector<BridgeRecord>& records) {
    namespace Layout = FriendChecksLayout;
    const std::int32_t tos = first.I32At(kArg1);
    const std::int32_t wanted = std::clamp(first.I32At(kArg2), 0, Layout::kMaxChecks);
    std::vector<FriendOnline> answers;
    const bool ok = Attempt(
        [&] { answers = m_engine.CheckFriendsOnline(tos, static_cast<std::size_t>(wanted)); });
    if (!ok)
        answers.clear();
    if (answers.size() > static_cast<std::size_t>(wanted))
        answers.resize(static_cast<std::size_t>(wanted));
    first.SetI32At(kArg1, Flag(ok));
    first.SetI32At(kArg2, static_cast<std::int32_t>(answers.size()));
    records.push_back(first);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const std::size_t slot = i % Layout::kPairsPerRecord;
        if (slot == 0)
            records.emplace_back();
        records.back().SetI32At(slot * Layout::kPairSize, answers[i].id);
        records.back().SetI32At(slot * Layout::kPairSize + 4, Flag(answers[i].online));
    }
}
