#include "directory/DirectoryService.h"

#include "directory/QueryArguments.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace halvdir {

namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kMaxEmail = 127;
constexpr size_t kMaxPassword = 127;
constexpr size_t kMaxInvitationText = 255;
constexpr size_t kMaxArguments = 8;

// Thrown by the argument checks; answered with status 400.
struct BadRequest {
    std::string reason;
};

Reply Text(std::string body) {
    return Reply{200, std::move(body)};
}
Reply ResultLine(int value) {
    return Text("Result: " + std::to_string(value) + "\n");
}

// The decoded arguments of one query with checks that throw BadRequest.
class Arguments {
public:
    // textTail: the last argument is a text that may hold unescaped "+".
    Arguments(std::string_view query, size_t expected, bool textTail = false) {
        auto split = textTail ? SplitLeadingArguments(query, expected)
                              : SplitQueryArguments(query, kMaxArguments);
        if (!split)
            throw BadRequest{"broken percent-escape or too many arguments"};
        if (split->size() != expected)
            throw BadRequest{"expected " + std::to_string(expected) + " arguments, got " +
                             std::to_string(split->size())};
        m_values = std::move(*split);
    }

    std::int32_t Number(size_t index) const {
        auto value = ParseInt32(m_values[index]);
        if (!value)
            throw BadRequest{"argument " + std::to_string(index + 1) + " is not a number"};
        return *value;
    }

    std::int32_t Id(size_t index) const {
        std::int32_t value = Number(index);
        if (value < 1)
            throw BadRequest{"argument " + std::to_string(index + 1) + " is not an ID"};
        return value;
    }

    std::string Address(size_t index) const {
        if (!IsDottedQuad(m_values[index]))
            throw BadRequest{"argument " + std::to_string(index + 1) + " is not an address"};
        return m_values[index];
    }

    std::string TextArg(size_t index, size_t maxLength, bool mayBeEmpty = false) const {
        const std::string& value = m_values[index];
        if (value.empty() && !mayBeEmpty)
            throw BadRequest{"argument " + std::to_string(index + 1) + " is empty"};
        if (value.size() > maxLength)
            throw BadRequest{"argument " + std::to_string(index + 1) + " is too long"};
        if (HasControlBytes(value))
            throw BadRequest{"argument " + std::to_string(index + 1) +
                             " holds a control character"};
        return value;
    }

    std::string Email(size_t index) const {
        std::string value = ToLower(TrimBlanks(TextArg(index, kMaxEmail)));
        if (value.empty())
            throw BadRequest{"argument " + std::to_string(index + 1) + " is empty"};
        return value;
    }

private:
    std::vector<std::string> m_values;
};

bool LooksLikeEmail(const std::string& text) {
    auto at = text.find('@');
    return at != std::string::npos && at > 0 && at + 1 < text.size() &&
           text.find(' ') == std::string::npos;
}

} // namespace

Reply DirectoryService::Handle(std::string_view path, std::string_view query,
                               const std::string& remoteAddress) {
    if (query.size() > kMaxQuery)
        return Reply{400, "Error: query too long\n"};
    try {
        return Dispatch(path, query, remoteAddress);
    } catch (const BadRequest& bad) {
        return Reply{400, "Error: " + bad.reason + "\n"};
    } catch (const StorageError&) {
        return Reply{500, "Error: storage failure\n"};
    } catch (const std::exception&) {
        return Reply{500, "Error: internal failure\n"};
    }
}

Reply DirectoryService::Dispatch(std::string_view path, std::string_view query,
                                 const std::string& remoteAddress) {
    static constexpr std::string_view kCgi = "/cgi-bin/";
    static constexpr std::string_view kMessage = "/sysmessage";

    if (path == kMessage || path.starts_with("/sysmessage.")) {
        if (!query.empty())
            throw BadRequest{"no arguments expected"};
        std::int32_t number = 0;
        if (path != kMessage) {
            auto parsed = ParseInt32(path.substr(kMessage.size() + 1));
            if (!parsed || *parsed < 1)
                return Reply{404, "Error: unknown page\n"};
            number = *parsed;
        }
        auto message = m_pool.Take()->GetSystemMessage(number);
        // An empty body tells the client that there is no message.
        if (!message)
            return Text("");
        return Text(message->title + "\n" + message->text);
    }

    if (path.starts_with("/latestversion/")) {
        std::string product = ToLower(path.substr(std::string_view("/latestversion/").size()));
        if (product.empty() || product.size() > 64 || HasControlBytes(product))
            return Reply{404, "Error: unknown product\n"};
        auto version = m_pool.Take()->LatestVersion(product);
        if (!version)
            return Reply{404, "Error: no version published\n"};
        return Text(std::to_string(*version) + "\n");
    }

    if (!path.starts_with(kCgi))
        return Reply{404, "Error: unknown path\n"};
    std::string_view name = path.substr(kCgi.size());

    if (name == "registerid") {
        Arguments args(query, 0);
        return Text("NewID: " + std::to_string(m_pool.Take()->RegisterId()) + "\n");
    }
    if (name == "updateip") {
        // The password of a claimed ID comes last and may hold an unescaped
        // "+"; a new ID publishes its address before it has one.
        const bool withPassword = std::count(query.begin(), query.end(), '+') >= 2;
        Arguments args(query, withPassword ? 3 : 2, withPassword);
        std::int32_t id = args.Number(0);
        std::string ip = args.Address(1);
        std::string password = withPassword ? args.TextArg(2, kMaxPassword, true) : std::string();
        if (id < 1)
            return ResultLine(result::kUnknownId);
        // Only a password given counts as a guess; an old client sends none.
        if (password.empty())
            return ResultLine(m_pool.Take()->UpdateIp(id, ip, password));
        if (GuessesLocked(id, remoteAddress))
            return ResultLine(result::kRefused);
        int outcome = m_pool.Take()->UpdateIp(id, ip, password);
        if (outcome == result::kDone || outcome == result::kRefused)
            CountGuess(id, remoteAddress, outcome == result::kDone);
        return ResultLine(outcome);
    }
    if (name == "lookupip") {
        Arguments args(query, 1);
        std::int32_t id = args.Number(0);
        std::optional<std::string> ip;
        if (id >= 1)
            ip = m_pool.Take()->LookupIp(id);
        return Text("IP: " + ip.value_or("0.0.0.0") + "\n");
    }
    if (name == "updateinfo") {
        Arguments args(query, 4);
        std::int32_t id = args.Id(0);
        std::string userName = args.TextArg(1, kMaxName);
        std::string email = args.Email(2);
        std::string password = args.TextArg(3, kMaxPassword);
        if (GuessesLocked(id, remoteAddress))
            return ResultLine(result::kRefused);
        int outcome = m_pool.Take()->UpdateInfo(id, userName, email, password);
        if (outcome == result::kDone || outcome == result::kRefused)
            CountGuess(id, remoteAddress, outcome == result::kDone);
        return ResultLine(outcome);
    }
    if (name == "regasacq") {
        Arguments args(query, 2);
        std::int32_t contact = args.Id(0);
        std::int32_t own = args.Id(1);
        return ResultLine(m_pool.Take()->RegisterAcquaintance(contact, own));
    }
    if (name == "lookupinfo") {
        Arguments args(query, 1);
        auto profile = m_pool.Take()->LookupInfo(args.Id(0));
        if (!profile)
            return Text("Unknown ID\n");
        return Text("Name: " + profile->name + "\nEMail: " + profile->email + "\n");
    }
    if (name == "lookupacqs" || name == "delacqs")
        return WaitingList(name, query, remoteAddress);
    if (name == "lookupid") {
        // Older clients send the address unescaped; a "+" in it is part of it.
        Arguments args(query, 1, true);
        auto id = m_pool.Take()->LookupId(args.Email(0));
        return Text("ID: " + std::to_string(id.value_or(-1)) + "\n");
    }
    if (name == "checkpassword") {
        Arguments args(query, 2, true);
        std::int32_t id = args.Id(0);
        std::string password = args.TextArg(1, kMaxPassword);
        // A locked guesser learns nothing: the answer is that of a wrong password.
        if (GuessesLocked(id, remoteAddress))
            return Text("NoMatch\n");
        bool matched = m_pool.Take()->CheckPassword(id, password);
        CountGuess(id, remoteAddress, matched);
        return Text(matched ? "Match\n" : "NoMatch\n");
    }
    if (name == "sysmestime") {
        Arguments args(query, 1);
        std::int32_t number = args.Number(0);
        auto store = m_pool.Take();
        std::int64_t general = store->SystemMessageTime(0);
        std::int64_t particular = number >= 1 ? store->SystemMessageTime(number) : 0;
        return Text(std::to_string(general) + " " + std::to_string(particular) + "\n");
    }
    if (name == "notify_mail") {
        Arguments args(query, 6);
        Invitation invitation;
        invitation.senderEmail = args.Email(0);
        invitation.recipient = args.Email(1);
        // The application may have no web address and the sender no name yet.
        invitation.appName = args.TextArg(2, kMaxInvitationText, true);
        invitation.senderName = args.TextArg(3, kMaxInvitationText, true);
        invitation.appUrl = args.TextArg(4, kMaxInvitationText, true);
        invitation.appId = args.Number(5);
        invitation.remoteAddress = remoteAddress;
        if (!LooksLikeEmail(invitation.senderEmail) || !LooksLikeEmail(invitation.recipient))
            return Text("Refused");
        return Text(m_pool.Take()->QueueInvitation(invitation) ? "Success" : "Refused");
    }
    if (name == "lookuprandomip") {
        Arguments args(query, 1);
        auto ip = m_pool.Take()->RandomIp(args.Number(0));
        return Text(ip.value_or("0.0.0.0") + "\n");
    }
    if (name == "insertrandomip") {
        Arguments args(query, 2);
        std::int32_t tos = args.Number(0);
        std::string ip = args.Address(1);
        return ResultLine(m_pool.Take()->InsertRandomIp(tos, ip));
    }
    if (name == "removerandomip") {
        Arguments args(query, 2);
        std::int32_t tos = args.Number(0);
        std::string ip = args.Address(1);
        return ResultLine(m_pool.Take()->RemoveRandomIp(tos, ip));
    }
    return Reply{404, "Error: unknown query\n"};
}

Reply DirectoryService::WaitingList(std::string_view name, std::string_view query,
                                    const std::string& remoteAddress) {
    // The owner's password, when given, comes last and may hold an unescaped
    // "+", as in updateip.
    const bool withPassword = query.find('+') != std::string_view::npos;
    Arguments args(query, withPassword ? 2 : 1, withPassword);
    std::int32_t id = args.Id(0);
    std::string password = withPassword ? args.TextArg(1, kMaxPassword, true) : std::string();
    const bool reading = name == "lookupacqs";
    // A stranger gets what an empty list gets, or a plain refusal.
    if (!OwnerAllowed(id, password, remoteAddress))
        return reading ? Text("None\n") : ResultLine(result::kRefused);
    if (!reading)
        return ResultLine(m_pool.Take()->DeleteAcquaintances(id));
    auto ids = m_pool.Take()->LookupAcquaintances(id);
    if (ids.empty())
        return Text("None\n");
    std::string line;
    for (auto waiting : ids) {
        if (!line.empty())
            line += ' ';
        line += std::to_string(waiting);
    }
    return Text(line + "\n");
}

bool DirectoryService::GuessesLocked(std::int32_t id, const std::string& remoteAddress) const {
    return m_idGuesses.Locked(std::to_string(id)) || m_addressGuesses.Locked(remoteAddress);
}

void DirectoryService::CountGuess(std::int32_t id, const std::string& remoteAddress, bool matched) {
    // A right password clears its ID but not the address, which may be
    // guessing at other IDs in between.
    if (matched) {
        m_idGuesses.Succeeded(std::to_string(id));
        return;
    }
    m_idGuesses.Failed(std::to_string(id));
    m_addressGuesses.Failed(remoteAddress);
}

bool DirectoryService::OwnerAllowed(std::int32_t id, const std::string& password,
                                    const std::string& remoteAddress) {
    if (GuessesLocked(id, remoteAddress))
        return false;
    auto owner = m_pool.Take()->CheckOwner(id, password);
    if (owner == DirectoryStore::Owner::kUnknown || owner == DirectoryStore::Owner::kUnclaimed)
        return true;
    const bool matched = owner == DirectoryStore::Owner::kMatch;
    if (matched || !password.empty())
        CountGuess(id, remoteAddress, matched);
    return matched;
}

std::string DirectoryService::RedactedQuery(std::string_view path, std::string_view query) {
    if (path == "/cgi-bin/updateip") {
        // ID and address stay readable; anything after them is the password.
        auto first = query.find('+');
        auto second = first == std::string_view::npos ? first : query.find('+', first + 1);
        if (second == std::string_view::npos)
            return std::string(query.substr(0, 200));
        return std::string(query.substr(0, std::min<size_t>(second, 200))) + "+*";
    }
    if (path == "/cgi-bin/checkpassword" || path == "/cgi-bin/lookupacqs" ||
        path == "/cgi-bin/delacqs") {
        // The ID stays readable; the rest, "+" signs and all, is the password.
        auto plus = query.find('+');
        if (plus == std::string_view::npos)
            return std::string(query.substr(0, 200));
        return std::string(query.substr(0, std::min<size_t>(plus, 200))) + "+*";
    }
    if (path != "/cgi-bin/updateinfo")
        return std::string(query.substr(0, 200));
    auto plus = query.rfind('+');
    if (plus == std::string_view::npos)
        return "*";
    return std::string(query.substr(0, std::min<size_t>(plus, 200))) + "+*";
}

} // namespace halvdir
