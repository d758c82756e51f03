#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// Who a contact is: directory ID, the local user's ID when the entry was made,
// display name, e-mail address, the identity's password (own entry only), the
// own flag and the contact's current address. One InternetID is shared by every
// entry that stands for the same contact (a contact moved between the lists
// keeps it), so its fields carry their own lock. Reference counting is
// std::shared_ptr's.
//
// The first 524 bytes are persisted as they are: ID, owner ID, name (256),
// e-mail (128), password (128), own flag, each integer 32-bit little-endian and
// each text NUL-terminated in its field. The address is not persisted.
class InternetID {
public:
    static constexpr std::size_t kPersistedSize = 524;
    static constexpr std::size_t kNameField = 256;
    static constexpr std::size_t kEMailField = 128;
    static constexpr std::size_t kPasswordField = 128;

    InternetID() = default;
    InternetID(std::int32_t id, std::int32_t ownerId);
    InternetID(const InternetID& other);
    InternetID& operator=(const InternetID& other);

    // The 524 persisted bytes.
    std::array<std::uint8_t, kPersistedSize> Encode() const;
    // Reads 524 bytes (fewer: false, nothing changed). Texts are cut at their
    // first NUL and to one less than their field; the e-mail is lower-cased; an
    // own flag other than 0 counts as set. The address becomes 0.0.0.0.
    static bool Decode(std::span<const std::uint8_t> bytes, InternetID& out);

    std::int32_t ID() const;
    std::int32_t OwnerID() const;
    std::string Name() const;
    std::string EMail() const;
    std::string Password() const;
    bool IsOwn() const;
    // Dotted quad, "0.0.0.0" while unknown.
    std::string IP() const;
    std::array<std::uint8_t, 4> IPBytes() const;

    void SetID(std::int32_t id);
    void SetOwnerID(std::int32_t ownerId);
    // Texts longer than their field allows are cut (name 255, e-mail and
    // password 127 characters); the e-mail is lower-cased.
    void SetName(const std::string& name);
    void SetEMail(const std::string& eMail);
    void SetPassword(const std::string& password);
    void SetOwn(bool own);
    // A text that is not a dotted quad stores 0.0.0.0.
    void SetIP(const std::string& ip);
    void SetIPBytes(const std::array<std::uint8_t, 4>& bytes);

private:
    mutable std::mutex m_lock;
    std::int32_t m_id = -1;
    std::int32_t m_ownerId = -1;
    std::string m_name;
    std::string m_eMail;
    std::string m_password;
    bool m_own = false;
    std::array<std::uint8_t, 4> m_ip{};
};
