#include "InternetID.h"

#include "NetUtilities.h"
#include "platform/ByteOrder.h"

namespace {

std::string Cut(const std::string& text, std::size_t field) {
    return text.size() < field ? text : text.substr(0, field - 1);
}

constexpr std::size_t kNameOffset = 8;
constexpr std::size_t kEMailOffset = kNameOffset + InternetID::kNameField;
constexpr std::size_t kPasswordOffset = kEMailOffset + InternetID::kEMailField;
constexpr std::size_t kOwnOffset = kPasswordOffset + InternetID::kPasswordField;
static_assert(kOwnOffset + 4 == InternetID::kPersistedSize);

} // namespace

InternetID::InternetID(std::int32_t id, std::int32_t ownerId)
    : m_id(id)
    , m_ownerId(ownerId) {}

InternetID::InternetID(const InternetID& other) {
    std::lock_guard lock(other.m_lock);
    m_id = other.m_id;
    m_ownerId = other.m_ownerId;
    m_name = other.m_name;
    m_eMail = other.m_eMail;
    m_password = other.m_password;
    m_own = other.m_own;
    m_ip = other.m_ip;
}

InternetID& InternetID::operator=(const InternetID& other) {
    if (this == &other)
        return *this;
    InternetID copy(other);
    std::lock_guard lock(m_lock);
    m_id = copy.m_id;
    m_ownerId = copy.m_ownerId;
    m_name = std::move(copy.m_name);
    m_eMail = std::move(copy.m_eMail);
    m_password = std::move(copy.m_password);
    m_own = copy.m_own;
    m_ip = copy.m_ip;
    return *this;
}

std::array<std::uint8_t, InternetID::kPersistedSize> InternetID::Encode() const {
    std::array<std::uint8_t, kPersistedSize> bytes{};
    std::lock_guard lock(m_lock);
    platform::StoreLE32s(bytes.data(), m_id);
    platform::StoreLE32s(bytes.data() + 4, m_ownerId);
    platform::WriteFixedText(bytes.data() + kNameOffset, kNameField, m_name);
    platform::WriteFixedText(bytes.data() + kEMailOffset, kEMailField, m_eMail);
    platform::WriteFixedText(bytes.data() + kPasswordOffset, kPasswordField, m_password);
    platform::StoreLE32s(bytes.data() + kOwnOffset, m_own ? 1 : 0);
    return bytes;
}

bool InternetID::Decode(std::span<const std::uint8_t> bytes, InternetID& out) {
    if (bytes.size() < kPersistedSize)
        return false;
    const std::uint8_t* p = bytes.data();
    InternetID decoded(platform::LoadLE32s(p), platform::LoadLE32s(p + 4));
    decoded.m_name = Cut(platform::ReadFixedText(p + kNameOffset, kNameField), kNameField);
    decoded.m_eMail =
        LowerCase(Cut(platform::ReadFixedText(p + kEMailOffset, kEMailField), kEMailField));
    decoded.m_password =
        Cut(platform::ReadFixedText(p + kPasswordOffset, kPasswordField), kPasswordField);
    decoded.m_own = platform::LoadLE32s(p + kOwnOffset) != 0;
    out = decoded;
    return true;
}

std::int32_t InternetID::ID() const {
    std::lock_guard lock(m_lock);
    return m_id;
}
std::int32_t InternetID::OwnerID() const {
    std::lock_guard lock(m_lock);
    return m_ownerId;
}
std::string InternetID::Name() const {
    std::lock_guard lock(m_lock);
    return m_name;
}
std::string InternetID::EMail() const {
    std::lock_guard lock(m_lock);
    return m_eMail;
}
std::string InternetID::Password() const {
    std::lock_guard lock(m_lock);
    return m_password;
}
bool InternetID::IsOwn() const {
    std::lock_guard lock(m_lock);
    return m_own;
}
std::string InternetID::IP() const {
    return FormatAddress(IPBytes());
}
std::array<std::uint8_t, 4> InternetID::IPBytes() const {
    std::lock_guard lock(m_lock);
    return m_ip;
}

void InternetID::SetID(std::int32_t id) {
    std::lock_guard lock(m_lock);
    m_id = id;
}
void InternetID::SetOwnerID(std::int32_t ownerId) {
    std::lock_guard lock(m_lock);
    m_ownerId = ownerId;
}
void InternetID::SetName(const std::string& name) {
    std::string cut = Cut(name, kNameField);
    std::lock_guard lock(m_lock);
    m_name = std::move(cut);
}
void InternetID::SetEMail(const std::string& eMail) {
    std::string cut = LowerCase(Cut(eMail, kEMailField));
    std::lock_guard lock(m_lock);
    m_eMail = std::move(cut);
}
void InternetID::SetPassword(const std::string& password) {
    std::string cut = Cut(password, kPasswordField);
    std::lock_guard lock(m_lock);
    m_password = std::move(cut);
}
void InternetID::SetOwn(bool own) {
    std::lock_guard lock(m_lock);
    m_own = own;
}
void InternetID::SetIP(const std::string& ip) {
    std::array<std::uint8_t, 4> bytes{};
    if (IsDottedQuad(ip))
        bytes = ParseAddress(ip);
    SetIPBytes(bytes);
}
void InternetID::SetIPBytes(const std::array<std::uint8_t, 4>& bytes) {
    std::lock_guard lock(m_lock);
    m_ip = bytes;
}
