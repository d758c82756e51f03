#include "ContactLists.h"

#include "Program.h"
#include "halvara.h"

#include <cstring>

namespace {

// Far more contacts than the service keeps; a list that does not end before
// this is a broken answer.
constexpr int kMostContacts = 100000;
// An e-mail address fills at most a 128-byte field with its terminator.
constexpr std::size_t kLongestEMail = 127;

std::string FieldText(const char* field, std::size_t width) {
    return std::string(field, strnlen(field, width));
}

} // namespace

std::string LowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool ReadContactIds(ContactList list, std::vector<int>& ids, std::string& failure) {
    ids.clear();
    for (int index = 0; index < kMostContacts; ++index) {
        const int id = list == ContactList::Friends ? Halvara_GetFriend(index)
                                                    : Halvara_GetAcquaintance(index);
        if (id < 0)
            return true;
        if (id == 0) {
            failure = "the presence service stopped answering while listing the contacts";
            return false;
        }
        ids.push_back(id);
    }
    failure = "the presence service listed more contacts than it can hold";
    return false;
}

bool IsContactArgument(const std::string& text) {
    if (text.find('@') != std::string::npos)
        return text.size() <= kLongestEMail;
    std::optional<int> id = ParseNumber(text);
    return id && *id >= 0;
}

std::optional<int> ResolveContact(const std::string& text, bool searchContacts,
                                  std::string& failure) {
    if (text.find('@') == std::string::npos) {
        std::optional<int> id = ParseNumber(text);
        if (!id || *id < 0) {
            failure = "\"" + text + "\" is neither an e-mail address nor a user ID";
            return std::nullopt;
        }
        return id;
    }
    const std::string wanted = LowerCase(text);
    if (searchContacts) {
        for (ContactList list : {ContactList::Friends, ContactList::Acquaintances}) {
            std::vector<int> ids;
            if (!ReadContactIds(list, ids, failure))
                return std::nullopt;
            for (int id : ids) {
                PersonalInfo profile{};
                if (Halvara_GetProfile(id, &profile) != 0 &&
                    LowerCase(FieldText(profile.eMail, sizeof profile.eMail)) == wanted)
                    return id;
            }
        }
    }
    const int id = Halvara_LookupID(wanted.c_str());
    // 0 is what the library answers when the exchange failed; no user has it.
    if (id == 0) {
        failure = "the presence service did not answer the directory look-up of " + text;
        return std::nullopt;
    }
    if (id < 0) {
        failure = "the directory knows nobody with the e-mail address " + text;
        return std::nullopt;
    }
    return id;
}
