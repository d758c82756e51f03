#include "InternetDatabase.h"

#include "bridge/CStdExcept.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kUnit = "InternetDatabase";
// Waiting acquaintances kept from one reply at most; the body limit allows no
// more than about a thousand anyway.
constexpr std::size_t kMostAcquaintances = 1024;

std::string Decimal(std::int32_t value) {
    return std::to_string(value);
}

// Reads a decimal int32 at text (leading blanks and a sign allowed) and moves
// text past it.
bool ReadInt(const char*& text, std::int32_t& value) {
    char* end = nullptr;
    errno = 0;
    long long read = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || read < INT32_MIN || read > INT32_MAX)
        return false;
    value = static_cast<std::int32_t>(read);
    text = end;
    return true;
}

// "Result: <n>" at the very start of the body. With needNewline the number must
// be followed by the end of the line.
bool ReadResult(const std::string& body, std::int32_t& value, bool needNewline) {
    static const char kPrefix[] = "Result:";
    if (body.compare(0, sizeof kPrefix - 1, kPrefix) != 0)
        return false;
    const char* cursor = body.c_str() + sizeof kPrefix - 1;
    if (!ReadInt(cursor, value))
        return false;
    if (!needNewline)
        return true;
    if (*cursor == '\r')
        ++cursor;
    return *cursor == '\n';
}

// The rest of the first line that begins with prefix, without a trailing CR.
bool FindLine(const std::string& body, const std::string& prefix, std::string& rest) {
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        if (body.compare(start, prefix.size(), prefix) == 0 && start + prefix.size() <= end) {
            rest = body.substr(start + prefix.size(), end - start - prefix.size());
            if (!rest.empty() && rest.back() == '\r')
                rest.pop_back();
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Four decimal numbers of 0 to 255 separated by dots at text (leading blanks
// allowed, anything after the fourth number ignored), as "%i.%i.%i.%i".
bool ReadAddress(const char* text, std::string& address) {
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            if (*text != '.')
                return false;
            ++text;
        }
        std::int32_t value = 0;
        if (!ReadInt(text, value) || value < 0 || value > 255)
            return false;
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    address = FormatAddress(bytes);
    return true;
}

} // namespace

InternetDatabase::InternetDatabase(const InternetSession& session, std::string host)
    : m_session(session)
    , m_host(std::move(host)) {}

void InternetDatabase::Refuse(int number) {
    throw CStdExcept(kUnit, number);
}

void InternetDatabase::RequireAddress(int number) const {
    if (m_session.CurrentAddress(m_host) == "0.0.0.0")
        Refuse(number);
}

std::string InternetDatabase::Fetch(const std::string& target, const Numbers& numbers,
                                    bool sizedByContentLength) const {
    return Checked(m_session.Get(m_host, target, kBodyLimit, sizedByContentLength), numbers);
}

std::string InternetDatabase::FetchForOwner(const std::string& target, const std::string& password,
                                            const Numbers& numbers) const {
    static constexpr int kBadRequest = 400;
    if (password.empty())
        return Fetch(target, numbers);
    HttpReply reply =
        m_session.Get(m_host, target + "+" + EncodeQueryText(LowerCase(password)), kBodyLimit);
    if (reply.outcome == HttpReply::Outcome::Done && reply.status == kBadRequest)
        return Fetch(target, numbers);
    return Checked(std::move(reply), numbers);
}

std::string InternetDatabase::Checked(HttpReply reply, const Numbers& numbers) {
    switch (reply.outcome) {
    case HttpReply::Outcome::NoFile:
        Refuse(numbers.noFile);
    case HttpReply::Outcome::StatusUnreadable:
        Refuse(numbers.statusUnreadable);
    case HttpReply::Outcome::Failed:
        Refuse(numbers.failed);
    case HttpReply::Outcome::Done:
        break;
    }
    if (reply.status > 299)
        Refuse(numbers.statusAbove299);
    return std::move(reply.body);
}

std::int32_t InternetDatabase::RegisterNewID() {
    static constexpr Numbers kNumbers{823, 835, 840, 845, 852};
    RequireAddress(kNumbers.noAddress);
    if (!IsHostReachable(m_host))
        Refuse(826);
    std::string body = Fetch("/cgi-bin/registerid", kNumbers);
    std::size_t at = body.find("NewID: ");
    std::int32_t id = 0;
    const char* cursor = at == std::string::npos ? nullptr : body.c_str() + at + 7;
    if (!cursor || !ReadInt(cursor, id))
        Refuse(871);
    return id;
}

void InternetDatabase::UpdateIP(std::int32_t ownId, const std::string& ip,
                                const std::string& password) {
    static constexpr Numbers kNumbers{885, 897, 902, 907, 914};
    RequireAddress(kNumbers.noAddress);
    // This query has no number of its own for a bad ID: no request is made.
    if (ownId < 0)
        Refuse(kNumbers.noFile);
    std::string target = "/cgi-bin/updateip?" + Decimal(ownId) + "+" + EncodeQueryText(ip);
    if (!password.empty())
        target += "+" + EncodeQueryText(LowerCase(password));
    std::string body = Fetch(target, kNumbers);
    std::int32_t result = 0;
    // Any result counts, a refused password (2) included: the caller's flow
    // goes on as for an address the directory could not store.
    if (!ReadResult(body, result, true))
        Refuse(931);
}

std::string InternetDatabase::LookupIP(std::int32_t contactId) {
    static constexpr Numbers kNumbers{947, 957, 962, 967, 974};
    RequireAddress(kNumbers.noAddress);
    std::string body = Fetch("/cgi-bin/lookupip?" + Decimal(contactId), kNumbers);
    std::string rest;
    std::string address;
    if (!FindLine(body, "IP: ", rest) || !ReadAddress(rest.c_str(), address))
        Refuse(996);
    return address;
}

void InternetDatabase::UpdateProfile(std::int32_t ownId, const std::string& name,
                                     const std::string& eMail, const std::string& password) {
    static constexpr Numbers kNumbers{36, 56, 61, 66, 73};
    RequireAddress(kNumbers.noAddress);
    if (ownId <= 0)
        Refuse(40);
    std::string target = "/cgi-bin/updateinfo?" + Decimal(ownId) + "+" + EncodeQueryText(name) +
                         "+" + EncodeQueryText(LowerCase(eMail)) + "+" +
                         EncodeQueryText(LowerCase(password));
    std::string body = Fetch(target, kNumbers);
    std::int32_t result = 0;
    if (ReadResult(body, result, false) && result != 1)
        Refuse(88);
}

void InternetDatabase::RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) {
    static constexpr Numbers kNumbers{112, 124, 129, 134, 141};
    RequireAddress(kNumbers.noAddress);
    if (contactId <= 0 || ownId <= 0)
        Refuse(115);
    std::string body =
        Fetch("/cgi-bin/regasacq?" + Decimal(contactId) + "+" + Decimal(ownId), kNumbers);
    std::int32_t result = 0;
    // 109: the directory already holds this notice, which is just as good.
    if (ReadResult(body, result, false) && result != 1 && result != 109)
        Refuse(156);
}

DirectoryProfile InternetDatabase::LookupProfile(std::int32_t contactId) {
    static constexpr Numbers kNumbers{187, 199, 204, 209, 216};
    RequireAddress(kNumbers.noAddress);
    if (contactId <= 0)
        Refuse(190);
    std::string body = Fetch("/cgi-bin/lookupinfo?" + Decimal(contactId), kNumbers);
    DirectoryProfile profile;
    if (!FindLine(body, "Name: ", profile.name))
        Refuse(229);
    if (!FindLine(body, "EMail: ", profile.eMail))
        Refuse(248);
    profile.eMail = LowerCase(profile.eMail);
    return profile;
}

std::vector<std::int32_t> InternetDatabase::LookupAcquaintances(std::int32_t ownId,
                                                                const std::string& password) {
    static constexpr Numbers kNumbers{288, 301, 306, 311, 318};
    RequireAddress(kNumbers.noAddress);
    if (ownId <= 0)
        Refuse(291);
    std::string body = FetchForOwner("/cgi-bin/lookupacqs?" + Decimal(ownId), password, kNumbers);
    std::vector<std::int32_t> ids;
    if (body.empty() || body.find("None") != std::string::npos)
        return ids;
    std::string firstLine = body.substr(0, body.find('\n'));
    const char* cursor = firstLine.c_str();
    std::int32_t id = 0;
    while (ids.size() < kMostAcquaintances && ReadInt(cursor, id)) {
        ids.push_back(id);
        if (*cursor != ' ')
            break;
    }
    return ids;
}

void InternetDatabase::DeleteAcquaintances(std::int32_t ownId, const std::string& password) {
    static constexpr Numbers kNumbers{377, 389, 394, 399, 406};
    RequireAddress(kNumbers.noAddress);
    if (ownId <= 0)
        Refuse(380);
    std::string body = FetchForOwner("/cgi-bin/delacqs?" + Decimal(ownId), password, kNumbers);
    std::int32_t result = 0;
    if (ReadResult(body, result, false) && result != 1)
        Refuse(420);
}

std::int32_t InternetDatabase::LookupID(const std::string& eMail) {
    static constexpr Numbers kNumbers{446, 460, 465, 470, 477};
    RequireAddress(kNumbers.noAddress);
    if (eMail.empty())
        Refuse(449);
    std::string body = Fetch("/cgi-bin/lookupid?" + EncodeQueryText(eMail), kNumbers);
    std::size_t at = body.find("ID: ");
    std::int32_t id = 0;
    const char* cursor = at == std::string::npos ? nullptr : body.c_str() + at + 4;
    if (!cursor || !ReadInt(cursor, id))
        Refuse(496);
    return id;
}

bool InternetDatabase::CheckPassword(std::int32_t id, const std::string& password) {
    static constexpr Numbers kNumbers{517, 532, 537, 542, 549};
    RequireAddress(kNumbers.noAddress);
    if (id <= 0)
        Refuse(520);
    if (password.empty())
        Refuse(523);
    std::string body =
        Fetch("/cgi-bin/checkpassword?" + Decimal(id) + "+" + EncodeQueryText(LowerCase(password)),
              kNumbers);
    return body.compare(0, 5, "Match") == 0;
}

SystemMessageTimes InternetDatabase::GetSystemMessageTime(std::int32_t number) {
    static constexpr Numbers kNumbers{584, 597, 602, 607, 614};
    RequireAddress(kNumbers.noAddress);
    if (m_host.empty())
        Refuse(587);
    std::string body = Fetch("/cgi-bin/sysmestime?" + Decimal(number), kNumbers);
    SystemMessageTimes times;
    const char* cursor = body.c_str();
    // A missing number reads as 0.
    if (ReadInt(cursor, times.general))
        ReadInt(cursor, times.particular);
    return times;
}

SystemMessage InternetDatabase::GetSystemMessage(std::int32_t index) {
    static constexpr Numbers kNumbers{652, 667, 672, 677, 684};
    static constexpr std::size_t kTitleKept = 127;
    RequireAddress(kNumbers.noAddress);
    if (m_host.empty())
        Refuse(655);
    std::string target = index < 1 ? std::string("/sysmessage") : "/sysmessage." + Decimal(index);
    std::string body = Fetch(target, kNumbers, true);
    if (body.empty())
        Refuse(709);
    SystemMessage message;
    std::size_t newline = body.find('\n');
    message.title = body.substr(0, newline);
    if (!message.title.empty() && message.title.back() == '\r')
        message.title.pop_back();
    if (message.title.size() > kTitleKept)
        message.title.resize(kTitleKept);
    if (newline != std::string::npos)
        message.text = body.substr(newline + 1);
    return message;
}

void InternetDatabase::SendInvitationMail(const std::string& senderEMail,
                                          const std::string& recipientEMail,
                                          const std::string& applicationName,
                                          const std::string& senderName,
                                          const std::string& applicationAddress,
                                          std::int32_t applicationId) {
    static constexpr Numbers kNumbers{753, 770, 775, 780, 787};
    RequireAddress(kNumbers.noAddress);
    if (senderEMail.empty() || m_host.empty())
        Refuse(756);
    std::string target = "/cgi-bin/notify_mail?" + EncodeQueryText(senderEMail) + "+" +
                         EncodeQueryText(recipientEMail) + "+" + EncodeQueryText(applicationName) +
                         "+" + EncodeQueryText(senderName) + "+" +
                         EncodeQueryText(applicationAddress) + "+" + Decimal(applicationId);
    std::string body = Fetch(target, kNumbers);
    if (body.empty())
        Refuse(800);
    if (body != "Success")
        Refuse(805);
}

std::string InternetDatabase::GetRandomIP(std::int32_t tos) {
    static constexpr Numbers kNumbers{1014, 1024, 1029, 1034, 1041};
    RequireAddress(kNumbers.noAddress);
    std::string body = Fetch("/cgi-bin/lookuprandomip?" + Decimal(tos), kNumbers);
    std::string address;
    if (!ReadAddress(body.c_str(), address))
        Refuse(1064);
    return address;
}

void InternetDatabase::RemoveRandomIP(std::int32_t tos, const std::string& ownIp) {
    static constexpr Numbers kNumbers{1082, 1094, 1099, 1104, 1111};
    RequireAddress(kNumbers.noAddress);
    // No number of its own for a bad TOS: no request is made.
    if (tos < 0)
        Refuse(kNumbers.noFile);
    std::string body =
        Fetch("/cgi-bin/removerandomip?" + Decimal(tos) + "+" + EncodeQueryText(ownIp), kNumbers);
    std::int32_t result = 0;
    if (!ReadResult(body, result, true))
        Refuse(1128);
}

void InternetDatabase::InsertRandomIP(std::int32_t tos, const std::string& ownIp) {
    static constexpr Numbers kNumbers{1145, 1157, 1162, 1167, 1174};
    RequireAddress(kNumbers.noAddress);
    if (tos < 0)
        Refuse(kNumbers.noFile);
    std::string body =
        Fetch("/cgi-bin/insertrandomip?" + Decimal(tos) + "+" + EncodeQueryText(ownIp), kNumbers);
    std::int32_t result = 0;
    if (!ReadResult(body, result, true) || result != 1)
        Refuse(1195);
}
