#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One stored identity, 388 bytes as saved: name, e-mail and password in fixed
// 128-byte fields, then the in-use word. The fields are kept as raw bytes so a
// table read back saves to the same bytes; a 128-character text fills its field
// and has no terminating NUL.
struct IdentityRecord {
    static constexpr std::size_t kTextField = 128;
    static constexpr std::size_t kSize = 3 * kTextField + 4;

    std::array<std::uint8_t, kTextField> name{};
    std::array<std::uint8_t, kTextField> eMail{};
    std::array<std::uint8_t, kTextField> password{};
    std::int32_t inUse = 0;

    // Up to the first NUL, never past the field.
    std::string Name() const;
    std::string EMail() const;
    std::string Password() const;
    bool InUse() const { return inUse != 0; }
};

// The identities of this computer's user and which of them is current. A
// deleted identity keeps its record (in use 0), so an index names the same
// identity for life; indexes run from 0 to count - 1.
//
// Refusals throw CStdExcept from the unit Repository. The object has no lock of
// its own: the engine that owns it calls it under its engine lock.
class Repository {
public:
    // Far beyond any real use; an add past it is a failed growth (361), and a
    // stored table claiming more is unreadable.
    static constexpr std::int32_t kMaxIdentities = 4096;
    // Refusals (unit "Repository"): an index out of range for a deletion, and
    // for a lookup an index out of range or of an identity not in use.
    static constexpr int kDeleteOutOfRange = 378;
    static constexpr int kOutOfRange = 436;
    static constexpr int kNotInUse = 437;

    // Name and password are required (353): an empty text counts as missing.
    // The name is kept to 128 bytes, the password lower-cased and kept to 128
    // bytes. Returns the new index.
    std::int32_t AddIdentity(const std::string& name, const std::string& password);
    // 0 <= index < count (kDeleteOutOfRange). Clears in-use; a current identity stops being
    // current. The identity's registry key is DiversMem's to delete.
    void DeleteIdentity(std::int32_t index);
    // False for an index out of range. Otherwise the password, lower-cased and
    // cut to its field as it was when stored, must equal the stored one. Both
    // sides are lower-cased, so the check ignores case.
    bool CheckIdentityPassword(std::int32_t index, const std::string& password) const;
    // In range (418) and in use (419).
    IdentityRecord GetIdentity(std::int32_t index) const;
    // In range and not deleted; never throws.
    bool IsInUse(std::int32_t index) const {
        return InRange(index) && m_records[static_cast<std::size_t>(index)].InUse();
    }
    std::int32_t HighestIdentity() const { return Count() - 1; }
    std::int32_t CurrentIdentity() const { return m_current; }
    std::int32_t Count() const { return static_cast<std::int32_t>(m_records.size()); }
    // In range (kOutOfRange) and in use (kNotInUse).
    void SetCurrentIdentity(std::int32_t index);
    // Needs an at sign (556) and a current identity in use (559); kept to 128
    // bytes as given.
    void SetCurrentEmail(const std::string& eMail);
    // Needs an at sign (536). True when an identity in use holds that e-mail,
    // compared without regard to case.
    bool IsEmailTaken(const std::string& eMail) const;

    // The "Identities" value: int32 current index, int32 count, then count
    // records of 388 bytes; little-endian.
    std::vector<std::uint8_t> Serialize() const;
    // Replaces the table with a stored one. Unreadable bytes throw and leave the
    // table as it was: fewer than 8 bytes (470), a negative count (474), a count
    // over kMaxIdentities or more records than the bytes hold (481). Bytes after
    // the last record are ignored. A current index that names no identity in
    // use becomes -1, so a damaged value never makes the engine load or save the
    // state of an identity that does not exist.
    void Load(std::span<const std::uint8_t> bytes);
    // No identities, none current.
    void Clear();

private:
    bool InRange(std::int32_t index) const { return index >= 0 && index < Count(); }

    std::int32_t m_current = -1;
    std::vector<IdentityRecord> m_records;
};
