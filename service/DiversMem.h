#pragma once

#include "Repository.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Contacts;
class ContactDirectory;

namespace platform {
class RegistryStore;
}

// The active identity's profile as the engine holds it: each text owned or
// absent. The e-mail address is kept lower-cased.
struct IdentityProfile {
    std::optional<std::string> name;
    std::optional<std::string> eMail;
    std::optional<std::string> password;

    bool operator==(const IdentityProfile&) const = default;
};

// The engine's 548-byte memory block of the active identity, as saved:
//   0   264 bytes  working folder text, "."
//   264 260 bytes  reserved text, empty
//   524 8 bytes    reserved, written as zero and not read back
//   532 int32      registered flag: 1 once the directory accepted the profile
//   536 int32      time of the last general system message
//   540 int32      time of the last particular system message
//   544 int32      index of the identity the block belongs to
// The two texts are kept as raw bytes, so a block read back saves to the same
// bytes.
struct MemoryBlock {
    static constexpr std::size_t kSize = 548;
    static constexpr std::size_t kWorkingFolderField = 264;
    static constexpr std::size_t kReservedTextField = 260;

    std::array<std::uint8_t, kWorkingFolderField> workingFolder{};
    std::array<std::uint8_t, kReservedTextField> reservedText{};
    std::int32_t registered = 0;
    std::int32_t lastGeneralMessage = 0;
    std::int32_t lastParticularMessage = 0;
    std::int32_t identityIndex = -1;

    // Working folder ".", everything else empty, for that identity.
    static MemoryBlock Fresh(std::int32_t identityIndex);
    std::array<std::uint8_t, kSize> Encode() const;
    // Nothing when fewer than kSize bytes are given.
    static std::optional<MemoryBlock> Decode(std::span<const std::uint8_t> bytes);
    std::string WorkingFolder() const;
};

// Everything saved for one identity: its contact lists, its profile and its
// memory block.
struct IdentityState {
    std::shared_ptr<Contacts> contacts;
    IdentityProfile profile;
    MemoryBlock block;
};

// The registry side of the presence engine: the identity table in the value
// "Identities" of the settings key, and each identity's saved state in the
// value "Globals" of the settings key's subkey named by its index. It owns the
// identity table and the active identity's state.
//
// "Globals" holds, in order: int32 L1 and L1 bytes of contact lists; int32 L2
// and L2 bytes of profile, three counted texts (name, e-mail, password), each
// an int32 length that counts its NUL (0 when absent) and that many bytes; then
// the 548-byte memory block. Integers are little-endian.
//
// Failures throw CStdExcept from the unit DiversMem (or Repository, through
// Identities()); a value that cannot be written throws "Registry Editor" 239.
// The object has no lock of its own: the engine calls it under its engine lock.
class DiversMem {
public:
    static constexpr std::string_view kSettingsKey = "Software\\Halvara 1.17\\Settings";
    // An identity switch refused for its password (unit "Halvara").
    static constexpr int kWrongPassword = 116;
    static constexpr std::string_view kIdentitiesValue = "Identities";
    static constexpr std::string_view kGlobalsValue = "Globals";

    // The registry key of one identity: the settings key, "\" and the index.
    static std::string IdentityKey(std::int32_t index);

    static std::vector<std::uint8_t> EncodeGlobals(const Contacts& contacts,
                                                   const IdentityProfile& profile,
                                                   const MemoryBlock& block);
    // Nothing when the bytes do not parse: a negative or oversized length, a
    // text or block cut short, contact lists the list loader refuses, or lists
    // without an own entry (a state nobody could act as). Bytes after the
    // block are ignored.
    static std::optional<IdentityState> DecodeGlobals(std::span<const std::uint8_t> bytes);

    // No identities and no state loaded yet; the store must outlive the object.
    explicit DiversMem(platform::RegistryStore& store);
    DiversMem(const DiversMem&) = delete;
    DiversMem& operator=(const DiversMem&) = delete;

    // The identity table, for everything but deletion (see DeleteIdentity).
    Repository& Identities() { return m_repository; }
    const Repository& Identities() const { return m_repository; }

    // Reads "Identities" and replaces the table. A missing or unreadable value
    // leaves the table empty with no current identity and fails (136).
    void LoadIdentities();
    // Writes "Identities".
    void SaveIdentities();

    // Loads the saved state of identity index (0 or more, 80): contact lists,
    // profile and memory block. When the key or value is missing or does not
    // parse the identity starts afresh: empty lists with a new own entry, which
    // registers a new ID with the directory (failure: 90), no profile, a fresh
    // block. Either way the block belongs to index afterwards. On failure the
    // state held before stays.
    void LoadIdentityState(std::int32_t index, ContactDirectory& directory);
    // Whether identity index has a saved state that loads (no new ID needed).
    // Reads the store only, so it may be asked without the engine lock.
    bool HasStoredState(std::int32_t index) const;
    // Writes "Globals" of the identity the loaded state belongs to: 147 before
    // any state was loaded, 152 when the lists hold no own entry. The state of
    // an identity deleted meanwhile is not written, so its key stays gone.
    void SaveIdentityState();

    // What the engine reads when it is made: the identity table (a missing or
    // unreadable one leaves no identity current), then the state of the current
    // identity, or of identity 0 when none is current. Returns whether an
    // identity is active. A state that cannot be loaded (DiversMem 90: a new
    // identity without the directory) fails, and the service ends.
    bool LoadAtStart(ContactDirectory& directory);
    // What the engine writes when it ends: the loaded state only; the table is
    // written by a flush alone. Never throws, as it runs from a destructor;
    // false when nothing could be written.
    bool SaveAtExit() noexcept;

    // Bridge command 17: SaveIdentities, then SaveIdentityState.
    void Flush();

    // The identity switch in two halves, so the engine can take the old
    // identity offline in between. CheckSwitch makes every refusal before
    // anything changes: with an identity active the password of the target must
    // match (kWrongPassword, unit "Halvara"); the target must be an identity in
    // use (Repository::kOutOfRange / kNotInUse), checked before its state is
    // loaded so that a switch to a missing identity never registers an ID or
    // writes a key for it.
    void CheckSwitch(std::int32_t index, const std::string& password, bool identityActive) const;
    // Flushes when an identity is active, loads the target's state and makes
    // it current.
    void SwitchTo(std::int32_t index, bool identityActive, ContactDirectory& directory);

    // Marks the identity deleted in the table (Repository::kDeleteOutOfRange
    // for a bad index) and deletes its registry key with its saved state (107
    // when the key stays).
    void DeleteIdentity(std::int32_t index);

    // The active identity's state; contacts are null before the first load.
    // The contact lists are shared so that a thread still holding them when
    // another identity is loaded keeps a valid object.
    std::shared_ptr<Contacts> GetContacts() const { return m_state.contacts; }
    const IdentityProfile& Profile() const { return m_state.profile; }
    // Replaces the profile; the e-mail is lower-cased.
    void SetProfile(const std::string& name, const std::string& eMail, const std::string& password);
    const MemoryBlock& Block() const { return m_state.block; }
    bool IsRegistered() const { return m_state.block.registered != 0; }
    void SetRegistered(bool registered);
    void SetLastGeneralMessage(std::int32_t time);
    void SetLastParticularMessage(std::int32_t time);
    // The identity whose state is loaded; -1 before the first load.
    std::int32_t StateIndex() const { return m_state.block.identityIndex; }

private:
    platform::RegistryStore& m_store;
    Repository m_repository;
    IdentityState m_state;
};
