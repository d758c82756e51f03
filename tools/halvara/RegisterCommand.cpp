// halvara register NAME EMAIL: registers a new identity with the directory and
// makes it the active one; the password is the first line of standard input.

#include "CommandSteps.h"
#include "PasswordInput.h"
#include "halvara.h"
#include "platform/Environment.h"

#include <cstdlib>
#include <unistd.h>

namespace {

constexpr const char* kUsage = "usage: halvara register NAME EMAIL (the password is read from "
                               "standard input)";
// The identity table and the profile record keep at most this many characters.
constexpr std::size_t kLongestText = 127;

std::string DirectoryHost() {
    return platform::DirectoryHost();
}

std::string RefusalText(int result, const std::string& eMail) {
    switch (result) {
    case HALVARA_REGISTER_BAD_INPUT:
        return "the name, e-mail address or password is empty or longer than 127 characters, or "
               "the address has no at sign";
    case HALVARA_REGISTER_NO_DIRECTORY:
        return "the directory " + DirectoryHost() + " could not be reached";
    case HALVARA_REGISTER_ALREADY_LOCAL:
        return "an identity of yours already uses " + eMail +
               "; switch to it with: halvara switch INDEX";
    case HALVARA_REGISTER_TAKEN:
        return eMail + " is already registered with another password; use a different e-mail "
                       "address";
    case HALVARA_REGISTER_NOT_SAVED:
        return "the identity was registered, but the presence service could not save it";
    case HALVARA_REGISTER_NOT_READY:
        return CommandSession::UnreachableText();
    default:
        return "the presence service could not register the identity (the directory refused it "
               "or stopped answering)";
    }
}

} // namespace

int RunRegister(const std::vector<std::string>& words, const CommandContext& context) {
    std::string error;
    auto arguments = Arguments::Parse(words, {}, {}, error);
    if (!arguments) {
        Complain(error);
        return kExitUsage;
    }
    if (PasswordGivenAsWord(*arguments, 3))
        return kExitUsage;
    if (arguments->Words().size() != 2) {
        Complain(kUsage);
        return kExitUsage;
    }
    const std::string& name = arguments->Words()[0];
    const std::string& eMail = arguments->Words()[1];
    if (name.empty() || name.size() > kLongestText) {
        Complain("NAME must have 1 to 127 characters");
        return kExitUsage;
    }
    if (eMail.find('@') == std::string::npos || eMail.size() > kLongestText) {
        Complain("EMAIL must be an e-mail address of at most 127 characters");
        return kExitUsage;
    }

    std::optional<std::string> password = ReadGivenPassword();
    if (!password)
        return kExitUsage;
    if (password->size() > kLongestText) {
        Complain("the password may have at most 127 characters");
        return kExitUsage;
    }
    if (InputIsTerminal()) {
        std::optional<std::string> again = ReadPassword("Password again: ");
        if (!again || *again != *password) {
            Complain("the passwords do not match");
            return kExitUsage;
        }
    }

    CommandSession session(context.tos);
    if (!Reachable(session))
        return kExitFailure;
    const int result =
        Halvara_RegisterIdentityHeadless(name.c_str(), eMail.c_str(), password->c_str());
    password->assign(password->size(), '\0');
    if (result != HALVARA_REGISTER_OK) {
        Complain(RefusalText(result, eMail));
        return kExitFailure;
    }
    const int id = Halvara_GetMyID();
    if (id <= 0) {
        Complain("the identity was registered, but the presence service gave no ID for it");
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, Record({"ID", std::to_string(id)}));
    return kExitSuccess;
}
