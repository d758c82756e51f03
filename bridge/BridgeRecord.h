#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bridge command codes: the first word of every request record.
enum BridgeCommand : std::int32_t {
    kCmdSetMyProfile = 1,
    kCmdGetMyID = 2,
    kCmdClaimID = 3,
    kCmdIsRegistered = 4,
    kCmdGetFriend = 5,
    kCmdGetAcquaintance = 6,
    kCmdAdd = 7,
    kCmdDelete = 8,
    kCmdMoveToFriends = 9,
    kCmdMoveToAcquaintances = 10,
    kCmdGetProfile = 11,
    kCmdGetIP = 12,
    kCmdIsOnline = 13,
    kCmdLookupID = 14,
    kCmdLookupProfile = 15,
    kCmdCheckPassword = 16,
    kCmdFlushData = 17,
    kCmdUpdateTOS = 18,
    kCmdNumActiveTOS = 19,
    kCmdSystemMessage = 20,
    kCmdSetIdentity = 21,
    kCmdGetIdentity = 22,
    kCmdDeleteIdentity = 23,
    kCmdAddIdentity = 24,
    kCmdGetActiveIdentity = 25,
    kCmdGetHighestIdentity = 26,
    kCmdSendInvitation = 27,
    kCmdReply = 28,
    kCmdAddAnonAcquaintances = 29,
    kCmdGetAnonAcquaintances = 30,
    kCmdIsIdentityTaken = 31,
    // Beyond the numbers other clients use, so none of them ever meets it.
    kCmdCheckFriendsOnline = 64,
};

// Command 64 checks every friend live at once. Request: [4] TOS, [8] the most
// friends the caller takes. Reply: [4] done flag, [8] count, then as many
// further records as the count needs, each packing (id, online) pairs of two
// 32-bit words from offset 0.
namespace FriendChecksLayout {
constexpr std::size_t kPairSize = 8;
constexpr std::size_t kPairsPerRecord = 1024 / kPairSize;
// No more friends are checked in one exchange.
constexpr std::int32_t kMaxChecks = 1024;
} // namespace FriendChecksLayout

// Layout of the 512-byte profile record (PersonalInfo) that travels unchanged
// inside bridge records.
namespace PersonalInfoLayout {
constexpr std::size_t kSize = 512;
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNameWidth = 256;
constexpr std::size_t kEMailOffset = 256;
constexpr std::size_t kEMailWidth = 128;
constexpr std::size_t kPasswordOffset = 384;
constexpr std::size_t kPasswordWidth = 128;
} // namespace PersonalInfoLayout

// One 1024-byte bridge record, request or reply. All integers are 32-bit
// little-endian; a string field is a fixed 128-byte area whose text ends at the
// first NUL (at most 127 characters are read, even without a NUL). Every
// accessor checks that the field lies inside the record; a field that would not
// reads as 0 or empty and is not written.
class BridgeRecord {
public:
    static constexpr std::size_t kSize = 1024;
    static constexpr std::size_t kTextWidth = 128;
    // Where the profile record sits: in the request of command 1, and in the
    // replies of commands 11 and 15.
    static constexpr std::size_t kProfileRequestOffset = 4;
    static constexpr std::size_t kProfileReplyOffset = 8;
    // Command 12's reply: the address text in a 20-byte field at 8.
    static constexpr std::size_t kAddressOffset = 8;
    static constexpr std::size_t kAddressWidth = 20;

    BridgeRecord() { m_bytes.fill(0); }

    std::uint8_t* Data() { return m_bytes.data(); }
    const std::uint8_t* Data() const { return m_bytes.data(); }

    std::int32_t Code() const { return I32At(0); }
    void SetCode(std::int32_t code) { SetI32At(0, code); }

    std::int32_t I32At(std::size_t offset) const;
    void SetI32At(std::size_t offset, std::int32_t value);

    // Text of a field of the given width (128 unless said otherwise): at most
    // width - 1 characters, up to the first NUL.
    std::string TextAt(std::size_t offset, std::size_t width = kTextWidth) const;
    // Writes at most width - 1 characters and zero-fills the rest of the field.
    void SetTextAt(std::size_t offset, std::string_view text, std::size_t width = kTextWidth);

    // Raw copy of a byte range in and out of the record (the profile record).
    void CopyIn(std::size_t offset, const void* bytes, std::size_t length);
    void CopyOut(std::size_t offset, void* bytes, std::size_t length) const;
    void Zero(std::size_t offset, std::size_t length);

private:
    bool Fits(std::size_t offset, std::size_t length) const {
        return offset <= kSize && length <= kSize - offset;
    }
    std::array<std::uint8_t, kSize> m_bytes;
};
