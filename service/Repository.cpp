#include "Repository.h"

#include "NetUtilities.h"
#include "bridge/CStdExcept.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kUnit = "Repository";

// Copies at most the field's width and fills the rest with NUL; a text as long
// as the field fills it whole, without a terminator.
void StoreField(std::array<std::uint8_t, IdentityRecord::kTextField>& field,
                const std::string& text) {
    field.fill(0);
    std::memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
}

std::string FieldText(const std::array<std::uint8_t, IdentityRecord::kTextField>& field) {
    const auto* end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), end);
}

std::string CutToField(const std::string& text) {
    return text.substr(0, std::min(text.size(), IdentityRecord::kTextField));
}

} // namespace

std::string IdentityRecord::Name() const {
    return FieldText(name);
}
std::string IdentityRecord::EMail() const {
    return FieldText(eMail);
}
std::string IdentityRecord::Password() const {
    return FieldText(password);
}

std::int32_t Repository::AddIdentity(const std::string& name, const std::string& password) {
    if (name.empty() || password.empty())
        throw CStdExcept(kUnit, 353);
    if (Count() >= kMaxIdentities)
        throw CStdExcept(kUnit, 361);
    IdentityRecord record;
    StoreField(record.name, name);
    StoreField(record.password, LowerCase(password));
    record.inUse = 1;
    m_records.push_back(record);
    return Count() - 1;
}

void Repository::DeleteIdentity(std::int32_t index) {
    if (!InRange(index))
        throw CStdExcept(kUnit, kDeleteOutOfRange);
    m_records[static_cast<std::size_t>(index)].inUse = 0;
    if (m_current == index)
        m_current = -1;
}

bool Repository::CheckIdentityPassword(std::int32_t index, const std::string& password) const {
    if (!InRange(index))
        return false;
    const IdentityRecord& record = m_records[static_cast<std::size_t>(index)];
    return CutToField(LowerCase(password)) == record.Password();
}

IdentityRecord Repository::GetIdentity(std::int32_t index) const {
    if (!InRange(index))
        throw CStdExcept(kUnit, 418);
    const IdentityRecord& record = m_records[static_cast<std::size_t>(index)];
    if (!record.InUse())
        throw CStdExcept(kUnit, 419);
    return record;
}

void Repository::SetCurrentIdentity(std::int32_t index) {
    if (!InRange(index))
        throw CStdExcept(kUnit, kOutOfRange);
    if (!m_records[static_cast<std::size_t>(index)].InUse())
        throw CStdExcept(kUnit, kNotInUse);
    m_current = index;
}

void Repository::SetCurrentEmail(const std::string& eMail) {
    if (eMail.find('@') == std::string::npos)
        throw CStdExcept(kUnit, 556);
    if (!InRange(m_current) || !m_records[static_cast<std::size_t>(m_current)].InUse())
        throw CStdExcept(kUnit, 559);
    StoreField(m_records[static_cast<std::size_t>(m_current)].eMail, eMail);
}

bool Repository::IsEmailTaken(const std::string& eMail) const {
    if (eMail.find('@') == std::string::npos)
        throw CStdExcept(kUnit, 536);
    // Stored addresses are kept as long as their field; compare what could be stored.
    std::string wanted = CutToField(LowerCase(eMail));
    return std::any_of(m_records.begin(), m_records.end(), [&](const IdentityRecord& record) {
        return record.InUse() && LowerCase(record.EMail()) == wanted;
    });
}

std::vector<std::uint8_t> Repository::Serialize() const {
    platform::ByteWriter writer;
    writer.WriteI32(m_current);
    writer.WriteI32(Count());
    for (const IdentityRecord& record : m_records) {
        writer.WriteBytes(record.name.data(), record.name.size());
        writer.WriteBytes(record.eMail.data(), record.eMail.size());
        writer.WriteBytes(record.password.data(), record.password.size());
        writer.WriteI32(record.inUse);
    }
    return writer.Take();
}

void Repository::Load(std::span<const std::uint8_t> bytes) {
    platform::ByteReader reader(bytes);
    std::int32_t current = -1;
    std::int32_t count = 0;
    if (!reader.ReadI32(current) || !reader.ReadI32(count))
        throw CStdExcept(kUnit, 470);
    if (count < 0)
        throw CStdExcept(kUnit, 474);
    // The count is checked against the bytes present before anything is
    // allocated: a damaged count never reads past the value.
    if (count > kMaxIdentities ||
        static_cast<std::size_t>(count) > reader.Remaining() / IdentityRecord::kSize)
        throw CStdExcept(kUnit, 481);

    std::vector<IdentityRecord> records(static_cast<std::size_t>(count));
    for (IdentityRecord& record : records) {
        // Cannot fail: the count was checked against the bytes present.
        reader.ReadBytes(record.name.data(), record.name.size());
        reader.ReadBytes(record.eMail.data(), record.eMail.size());
        reader.ReadBytes(record.password.data(), record.password.size());
        reader.ReadI32(record.inUse);
    }
    m_records = std::move(records);
    m_current = current;
    if (!InRange(m_current) || !m_records[static_cast<std::size_t>(m_current)].InUse())
        m_current = -1;
}

void Repository::Clear() {
    m_records.clear();
    m_current = -1;
}
