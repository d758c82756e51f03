#include "directory/MailOptions.h"

#include "directory/InvitationMail.h"
#include "directory/QueryArguments.h"

#include <cstdlib>
#include <fstream>

namespace halvdir {

namespace {

constexpr size_t kMaxPassword = 1024;

std::optional<std::string> Option(const std::map<std::string, std::string>& options,
                                  const std::string& name) {
    auto it = options.find(name);
    if (it == options.end())
        return std::nullopt;
    return it->second;
}

// The first line of the file, without its line end.
std::optional<std::string> ReadPasswordFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string password(kMaxPassword + 1, '\0');
    file.read(password.data(), static_cast<std::streamsize>(password.size()));
    password.resize(static_cast<size_t>(file.gcount()));
    if (auto end = password.find_first_of("\r\n"); end != std::string::npos)
        password.resize(end);
    return password;
}

} // namespace

std::optional<MailSetup> ReadMailOptions(const std::map<std::string, std::string>& options,
                                         std::string& error) {
    auto url = Option(options, "--smtp");
    auto from = Option(options, "--mail-from");
    auto user = Option(options, "--smtp-user");
    auto passwordFile = Option(options, "--smtp-password-file");
    if (!url) {
        if (from || user || passwordFile)
            error = "--mail-from and the login options need --smtp";
        return std::nullopt;
    }
    MailSetup setup;
    if (!url->starts_with("smtp://") && !url->starts_with("smtps://")) {
        error = "--smtp wants smtp://HOST[:PORT] or smtps://HOST[:PORT]";
        return std::nullopt;
    }
    std::string authority = url->substr(url->find("//") + 2);
    authority = authority.substr(0, authority.find('/'));
    if (authority.find('@') != std::string::npos) {
        error = "--smtp takes no login: give --smtp-user and the password in "
                "--smtp-password-file or HALVDIR_SMTP_PASSWORD";
        return std::nullopt;
    }
    if (authority.empty() || HasControlBytes(*url) || url->find(' ') != std::string::npos) {
        error = "--smtp wants smtp://HOST[:PORT] or smtps://HOST[:PORT]";
        return std::nullopt;
    }
    if (!from || !IsMailableAddress(*from)) {
        error = "--smtp needs --mail-from with a plain address such as directory@example.org";
        return std::nullopt;
    }
    setup.smtp.url = *url;
    setup.smtp.from = *from;

    std::optional<std::string> password;
    if (passwordFile) {
        password = ReadPasswordFile(*passwordFile);
        if (!password) {
            error = "cannot read the password file " + *passwordFile;
            return std::nullopt;
        }
    } else if (const char* fromEnvironment = std::getenv("HALVDIR_SMTP_PASSWORD")) {
        password = fromEnvironment;
    }
    if (user) {
        if (user->empty() || HasControlBytes(*user) || !password || password->empty() ||
            password->size() > kMaxPassword || HasControlBytes(*password)) {
            error = "--smtp-user needs a one-line password in --smtp-password-file or "
                    "HALVDIR_SMTP_PASSWORD";
            return std::nullopt;
        }
        setup.smtp.user = *user;
        setup.smtp.password = *password;
    } else if (passwordFile) {
        error = "--smtp-password-file needs --smtp-user";
        return std::nullopt;
    }

    if (const char* retry = std::getenv("HALVDIR_MAIL_RETRY_SECONDS")) {
        auto seconds = ParseInt32(retry);
        if (!seconds || *seconds < 1 || *seconds > 3600) {
            error = "HALVDIR_MAIL_RETRY_SECONDS wants 1 to 3600";
            return std::nullopt;
        }
        setup.timing.firstRetry = std::chrono::seconds(*seconds);
        setup.timing.poll = std::min(setup.timing.poll, setup.timing.firstRetry);
    }
    return setup;
}

} // namespace halvdir
