#include "CommandSteps.h"

#include "PasswordInput.h"

#include <cstring>

bool Reachable(const CommandSession& session) {
    if (!session.Holding())
        Complain(CommandSession::UnreachableText());
    return session.Holding();
}

std::optional<int> TosOnlyCommand(const std::vector<std::string>& words,
                                  const CommandContext& context, const std::string& usage) {
    std::string error;
    auto arguments = Arguments::Parse(words, {"--tos"}, {}, error);
    std::optional<int> tos;
    if (arguments)
        tos = arguments->Number("--tos", context.tos, 0, error);
    if (!arguments || !tos || !arguments->Words().empty()) {
        Complain(arguments && tos ? usage : error);
        return std::nullopt;
    }
    return tos;
}

bool PasswordGivenAsWord(const Arguments& arguments, std::size_t wordsWithPassword) {
    if (arguments.Words().size() != wordsWithPassword)
        return false;
    Complain("the password is read from standard input, never from the command line");
    return true;
}

std::optional<std::string> ReadGivenPassword() {
    std::optional<std::string> password = ReadPassword("Password: ");
    if (!password || password->empty()) {
        Complain("an empty password is refused; give it on the first line of standard input");
        return std::nullopt;
    }
    return password;
}

bool ReadyAndRegistered(const CommandSession& session) {
    if (!Reachable(session))
        return false;
    if (!session.Registered())
        Complain(CommandSession::UnregisteredText());
    return session.Registered();
}

std::string FieldText(const char* field, std::size_t width) {
    return std::string(field, strnlen(field, width));
}
