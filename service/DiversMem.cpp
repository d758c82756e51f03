#include "DiversMem.h"

#include "Acquaintance.h"
#include "Contacts.h"
#include "NetUtilities.h"
#include "bridge/CStdExcept.h"
#include "platform/ByteOrder.h"
#include "platform/RegistryStore.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kUnit = "DiversMem";
constexpr const char* kRegistryUnit = "Registry Editor";

constexpr std::size_t kReservedOffset = 524;
constexpr std::size_t kRegisteredOffset = 532;
constexpr std::size_t kGeneralOffset = 536;
constexpr std::size_t kParticularOffset = 540;
constexpr std::size_t kIndexOffset = 544;
static_assert(MemoryBlock::kWorkingFolderField + MemoryBlock::kReservedTextField ==
              kReservedOffset);
static_assert(kIndexOffset + 4 == MemoryBlock::kSize);

// A text up to its first NUL: what a counted text holds.
std::string UpToNul(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

void WriteCountedText(platform::ByteWriter& writer, const std::optional<std::string>& text) {
    if (!text) {
        writer.WriteI32(0);
        return;
    }
    writer.WriteI32(static_cast<std::int32_t>(text->size() + 1));
    writer.WriteBytes(text->data(), text->size());
    writer.WriteU8(0);
}

// A length that is negative or larger than the bytes left does not parse.
bool ReadCountedText(platform::ByteReader& reader, std::optional<std::string>& text) {
    std::int32_t length = 0;
    if (!reader.ReadI32(length) || length < 0 ||
        static_cast<std::size_t>(length) > reader.Remaining())
        return false;
    if (length == 0) {
        text.reset();
        return true;
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    reader.ReadBytes(bytes.data(), bytes.size());
    text = UpToNul(bytes);
    return true;
}

// A length word followed by that many bytes, the length checked against the
// bytes present.
bool ReadSection(platform::ByteReader& reader, std::span<const std::uint8_t> whole,
                 std::span<const std::uint8_t>& section) {
    std::int32_t length = 0;
    if (!reader.ReadI32(length) || length < 0 ||
        static_cast<std::size_t>(length) > reader.Remaining())
        return false;
    section = whole.subspan(reader.Offset(), static_cast<std::size_t>(length));
    return reader.Skip(section.size());
}

} // namespace

MemoryBlock MemoryBlock::Fresh(std::int32_t identityIndex) {
    MemoryBlock block;
    block.workingFolder[0] = '.';
    block.identityIndex = identityIndex;
    return block;
}

std::array<std::uint8_t, MemoryBlock::kSize> MemoryBlock::Encode() const {
    std::array<std::uint8_t, kSize> bytes{};
    std::memcpy(bytes.data(), workingFolder.data(), workingFolder.size());
    std::memcpy(bytes.data() + kWorkingFolderField, reservedText.data(), reservedText.size());
    platform::StoreLE32s(bytes.data() + kRegisteredOffset, registered);
    platform::StoreLE32s(bytes.data() + kGeneralOffset, lastGeneralMessage);
    platform::StoreLE32s(bytes.data() + kParticularOffset, lastParticularMessage);
    platform::StoreLE32s(bytes.data() + kIndexOffset, identityIndex);
    return bytes;
}

std::optional<MemoryBlock> MemoryBlock::Decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize)
        return std::nullopt;
    MemoryBlock block;
    std::memcpy(block.workingFolder.data(), bytes.data(), block.workingFolder.size());
    std::memcpy(block.reservedText.data(), bytes.data() + kWorkingFolderField,
                block.reservedText.size());
    block.registered = platform::LoadLE32s(bytes.data() + kRegisteredOffset);
    block.lastGeneralMessage = platform::LoadLE32s(bytes.data() + kGeneralOffset);
    block.lastParticularMessage = platform::LoadLE32s(bytes.data() + kParticularOffset);
    block.identityIndex = platform::LoadLE32s(bytes.data() + kIndexOffset);
    return block;
}

std::string MemoryBlock::WorkingFolder() const {
    return platform::ReadFixedText(workingFolder.data(), workingFolder.size());
}

std::string DiversMem::IdentityKey(std::int32_t index) {
    return std::string(kSettingsKey) + "\\" + std::to_string(index);
}

std::vector<std::uint8_t> DiversMem::EncodeGlobals(const Contacts& contacts,
                                                   const IdentityProfile& profile,
                                                   const MemoryBlock& block) {
    std::vector<std::uint8_t> lists = contacts.Serialize();
    platform::ByteWriter texts;
    WriteCountedText(texts, profile.name);
    WriteCountedText(texts, profile.eMail);
    WriteCountedText(texts, profile.password);

    platform::ByteWriter writer;
    writer.WriteI32(static_cast<std::int32_t>(lists.size()));
    writer.WriteBytes(lists.data(), lists.size());
    writer.WriteI32(static_cast<std::int32_t>(texts.Bytes().size()));
    writer.WriteBytes(texts.Bytes().data(), texts.Bytes().size());
    auto blockBytes = block.Encode();
    writer.WriteBytes(blockBytes.data(), blockBytes.size());
    return writer.Take();
}

std::optional<IdentityState> DiversMem::DecodeGlobals(std::span<const std::uint8_t> bytes) {
    platform::ByteReader reader(bytes);
    std::span<const std::uint8_t> lists;
    std::span<const std::uint8_t> texts;
    if (!ReadSection(reader, bytes, lists) || !ReadSection(reader, bytes, texts))
        return std::nullopt;

    IdentityState state;
    // Bytes after the three texts inside their section are ignored.
    platform::ByteReader textReader(texts);
    if (!ReadCountedText(textReader, state.profile.name) ||
        !ReadCountedText(textReader, state.profile.eMail) ||
        !ReadCountedText(textReader, state.profile.password))
        return std::nullopt;
    if (state.profile.eMail)
        state.profile.eMail = LowerCase(*state.profile.eMail);

    auto block = MemoryBlock::Decode(bytes.subspan(reader.Offset()));
    if (!block)
        return std::nullopt;
    state.block = *block;

    std::unique_ptr<Contacts> contacts = Contacts::Load(lists);
    if (!contacts)
        return std::nullopt;
    // Without an own entry the state can be neither used nor saved again.
    try {
        contacts->OwnEntry();
    } catch (const CStdExcept&) {
        return std::nullopt;
    }
    state.contacts = std::move(contacts);
    return state;
}

DiversMem::DiversMem(platform::RegistryStore& store)
    : m_store(store) {
    m_state.block = MemoryBlock::Fresh(-1);
}

void DiversMem::LoadIdentities() {
    auto bytes = m_store.ReadValue(kSettingsKey, kIdentitiesValue);
    if (!bytes) {
        m_repository.Clear();
        throw CStdExcept(kUnit, 136);
    }
    // An unreadable table counts as a missing one: the user starts with no
    // identities instead of a service that cannot start.
    try {
        m_repository.Load(*bytes);
    } catch (const CStdExcept&) {
        m_repository.Clear();
        throw CStdExcept(kUnit, 136);
    }
}

void DiversMem::SaveIdentities() {
    if (!m_store.WriteValue(kSettingsKey, kIdentitiesValue, m_repository.Serialize()))
        throw CStdExcept(kRegistryUnit, 239);
}

void DiversMem::LoadIdentityState(std::int32_t index, ContactDirectory& directory) {
    if (index < 0)
        throw CStdExcept(kUnit, 80);
    std::optional<IdentityState> loaded;
    if (auto bytes = m_store.ReadValue(IdentityKey(index), kGlobalsValue))
        loaded = DecodeGlobals(*bytes);
    if (!loaded) {
        // Missing or unreadable: a new identity with a new directory ID. The
        // damaged value stays until this identity's state is saved over it.
        IdentityState fresh;
        std::unique_ptr<Contacts> contacts = Contacts::Fresh();
        try {
            Friend::RegisterNewID(contacts->OwnEntry(), directory);
        } catch (const std::exception&) {
            throw CStdExcept(kUnit, 90);
        }
        fresh.contacts = std::move(contacts);
        fresh.block = MemoryBlock::Fresh(index);
        loaded = std::move(fresh);
    }
    // The saved index is not trusted: the state belongs to the identity it was
    // loaded for, and is saved there and nowhere else.
    loaded->block.identityIndex = index;
    m_state = std::move(*loaded);
}

bool DiversMem::HasStoredState(std::int32_t index) const {
    if (index < 0)
        return false;
    auto bytes = m_store.ReadValue(IdentityKey(index), kGlobalsValue);
    return bytes && DecodeGlobals(*bytes).has_value();
}

void DiversMem::SaveIdentityState() {
    if (!m_state.contacts)
        throw CStdExcept(kUnit, 147);
    try {
        m_state.contacts->OwnEntry();
    } catch (const CStdExcept&) {
        throw CStdExcept(kUnit, 152);
    }
    std::int32_t index = m_state.block.identityIndex;
    if (index < 0)
        throw CStdExcept(kUnit, 147);
    // A deleted identity's key is gone for good; writing its state would bring
    // it back.
    if (index < m_repository.Count() && !m_repository.IsInUse(index))
        return;
    std::vector<std::uint8_t> bytes =
        EncodeGlobals(*m_state.contacts, m_state.profile, m_state.block);
    if (bytes.empty())
        throw CStdExcept(kUnit, 166);
    if (!m_store.WriteValue(IdentityKey(index), kGlobalsValue, bytes))
        throw CStdExcept(kRegistryUnit, 239);
}

bool DiversMem::LoadAtStart(ContactDirectory& directory) {
    try {
        LoadIdentities();
    } catch (const CStdExcept&) {
        // Already empty with no current identity: a first start.
    }
    std::int32_t current = m_repository.CurrentIdentity();
    LoadIdentityState(current < 0 ? 0 : current, directory);
    return current >= 0;
}

bool DiversMem::SaveAtExit() noexcept {
    try {
        SaveIdentityState();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void DiversMem::Flush() {
    SaveIdentities();
    SaveIdentityState();
}

void DiversMem::CheckSwitch(std::int32_t index, const std::string& password,
                            bool identityActive) const {
    if (identityActive && !m_repository.CheckIdentityPassword(index, password))
        throw CStdExcept("Halvara", kWrongPassword);
    if (index < 0 || index >= m_repository.Count())
        throw CStdExcept("Repository", Repository::kOutOfRange);
    if (!m_repository.IsInUse(index))
        throw CStdExcept("Repository", Repository::kNotInUse);
}

void DiversMem::SwitchTo(std::int32_t index, bool identityActive, ContactDirectory& directory) {
    if (identityActive)
        Flush();
    LoadIdentityState(index, directory);
    m_repository.SetCurrentIdentity(index);
}

void DiversMem::DeleteIdentity(std::int32_t index) {
    m_repository.DeleteIdentity(index);
    std::string key = IdentityKey(index);
    // An identity never saved has no key; that is no failure.
    if (m_store.KeyExists(key) && !m_store.DeleteKey(key))
        throw CStdExcept(kUnit, 107);
}

void DiversMem::SetProfile(const std::string& name, const std::string& eMail,
                           const std::string& password) {
    m_state.profile.name = UpToNul(name);
    m_state.profile.eMail = LowerCase(UpToNul(eMail));
    m_state.profile.password = UpToNul(password);
}

void DiversMem::SetRegistered(bool registered) {
    m_state.block.registered = registered ? 1 : 0;
}

void DiversMem::SetLastGeneralMessage(std::int32_t time) {
    m_state.block.lastGeneralMessage = time;
}

void DiversMem::SetLastParticularMessage(std::int32_t time) {
    m_state.block.lastParticularMessage = time;
}
