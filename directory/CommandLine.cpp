#include "directory/CommandLine.h"

#include "directory/DirectoryServer.h"
#include "directory/DirectoryService.h"
#include "directory/DirectoryStore.h"
#include "directory/MailOptions.h"
#include "directory/Migration.h"
#include "directory/Postgres.h"
#include "directory/QueryArguments.h"
#include "platform/Environment.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace halvdir {

namespace {

constexpr const char* kUsage =
    "usage: halvdir serve [--listen ADDR:PORT] [--db FILE] [--threads N]\n"
    "                     [--trusted-proxy ADDRESS]...\n"
    "                     [--smtp URL --mail-from ADDRESS [--smtp-user NAME]\n"
    "                      [--smtp-password-file FILE]]\n"
    "       halvdir sysmessage [--tos N] [--db FILE] TITLE TEXT\n"
    "       halvdir withdraw-sysmessage [--tos N] [--db FILE]\n"
    "       halvdir set-version [--product NAME] [--db FILE] VERSION\n"
    "       halvdir users [--db FILE]\n"
    "       halvdir outbox [--db FILE]\n"
    "       halvdir migrate --from FILE --to postgresql://... [--force]\n"
    "--db takes a SQLite file or a postgresql:// connection URI.\n";

struct Parsed {
    std::map<std::string, std::string> options;
    // Every value of each option, in order, for those that may repeat;
    // options keeps the last one.
    std::map<std::string, std::vector<std::string>> repeated;
    std::vector<std::string> positional;
};

// Options take one value each, except the flags that stand alone; anything
// else is positional.
bool IsFlag(const std::string& option) {
    return option == "--force";
}

std::optional<Parsed> ParseOptions(const std::vector<std::string>& arguments, size_t first,
                                   const std::vector<std::string>& allowed) {
    Parsed parsed;
    for (size_t i = first; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.starts_with("--")) {
            bool known = false;
            for (const auto& option : allowed)
                known = known || option == argument;
            if (known && IsFlag(argument)) {
                parsed.options[argument] = "";
                continue;
            }
            if (!known || i + 1 >= arguments.size()) {
                std::fprintf(stderr, "halvdir: bad option %s\n", argument.c_str());
                return std::nullopt;
            }
            parsed.repeated[argument].push_back(arguments[i + 1]);
            parsed.options[argument] = arguments[++i];
        } else {
            parsed.positional.push_back(argument);
        }
    }
    return parsed;
}

std::string DatabasePath(const Parsed& parsed) {
    auto it = parsed.options.find("--db");
    std::string path = it != parsed.options.end() ? it->second : DefaultDatabasePath();
    if (StorePool::IsPostgresLocation(path))
        return path;
    std::error_code error;
    auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, error);
        if (!error && it == parsed.options.end())
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, error);
    }
    return path;
}

int Serve(const Parsed& parsed) {
    std::string listen = "127.0.0.1:8080";
    if (auto it = parsed.options.find("--listen"); it != parsed.options.end())
        listen = it->second;
    auto colon = listen.rfind(':');
    auto port = colon == std::string::npos ? std::nullopt : ParseInt32(listen.substr(colon + 1));
    if (!port || *port < 1 || *port > 65535 || colon == 0) {
        std::fprintf(stderr, "halvdir: --listen wants ADDR:PORT\n");
        return 2;
    }
    std::string host = listen.substr(0, colon);
    int threads = 64;
    if (auto it = parsed.options.find("--threads"); it != parsed.options.end()) {
        auto value = ParseInt32(it->second);
        if (!value || *value < 1 || *value > 1024) {
            std::fprintf(stderr, "halvdir: --threads wants 1 to 1024\n");
            return 2;
        }
        threads = *value;
    }
    std::vector<std::string> trustedProxies;
    if (auto it = parsed.repeated.find("--trusted-proxy"); it != parsed.repeated.end())
        trustedProxies = it->second;
    for (const auto& proxy : trustedProxies) {
        if (!TrustedProxies::IsDottedIpv4(proxy)) {
            std::fprintf(stderr, "halvdir: --trusted-proxy wants an IPv4 address like 10.0.0.5\n");
            return 2;
        }
    }

    std::string mailError;
    std::optional<MailSetup> mail = ReadMailOptions(parsed.options, mailError);
    if (!mailError.empty()) {
        std::fprintf(stderr, "halvdir: %s\n", mailError.c_str());
        return 2;
    }

    // Signals go to one thread that stops the server; no handler runs inside
    // the server's threads. The mask is set before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string dbPath = DatabasePath(parsed);
    std::optional<StorePool> pool;
    try {
        pool.emplace(dbPath, true);
    } catch (const StorageError& error) {
        std::fprintf(stderr, "halvdir: cannot open %s: %s\n", WithoutPassword(dbPath).c_str(),
                     error.what());
        return 1;
    }
    DirectoryService service(*pool);
    DirectoryServer server(service, threads, trustedProxies);
    if (!server.Bind(host, *port)) {
        std::fprintf(stderr, "halvdir: cannot listen on %s\n", listen.c_str());
        return 1;
    }

    std::atomic<bool> serverEnded{false};
    std::thread signalThread([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        if (!serverEnded) {
            std::printf("halvdir: stopping on signal %d\n", received);
            std::fflush(stdout);
        }
        // A stop that lands before the server has started listening is lost,
        // so wait for it to listen first.
        while (!serverEnded) {
            if (server.IsRunning()) {
                server.Stop();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::printf("halvdir: serving %s on %s\n", WithoutPassword(dbPath).c_str(), listen.c_str());
    std::fflush(stdout);
    StoreOutbox outbox(*pool);
    std::optional<InvitationDelivery> delivery;
    if (mail) {
        std::printf("halvdir: mailing invitations through %s as %s\n", mail->smtp.url.c_str(),
                    mail->smtp.from.c_str());
        std::fflush(stdout);
        delivery.emplace(outbox, mail->smtp, mail->timing);
        delivery->Start();
    }
    bool ok = server.Run();
    // The mailer ends before the stores it uses.
    delivery.reset();
    // When the server ended by itself, wake the signal thread. Every thread
    // blocks the signal, so if that thread is already gone it stays pending
    // and harmless.
    serverEnded = true;
    kill(getpid(), SIGTERM);
    signalThread.join();
    pool.reset();
    std::printf("halvdir: stopped\n");
    std::fflush(stdout);
    return ok ? 0 : 1;
}

int SysMessage(const Parsed& parsed) {
    if (parsed.positional.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::int32_t number = 0;
    if (auto it = parsed.options.find("--tos"); it != parsed.options.end()) {
        auto value = ParseInt32(it->second);
        if (!value || *value < 1) {
            std::fprintf(stderr, "halvdir: --tos wants a number of 1 or more\n");
            return 2;
        }
        number = *value;
    }
    const std::string& title = parsed.positional[0];
    const std::string& text = parsed.positional[1];
    if (title.empty() || title.size() > 127 || HasControlBytes(title)) {
        std::fprintf(stderr, "halvdir: the title is one line of 1 to 127 characters\n");
        return 2;
    }
    if (text.size() > 65536) {
        std::fprintf(stderr, "halvdir: the text is longer than 65536 bytes\n");
        return 2;
    }
    StorePool pool(DatabasePath(parsed));
    auto published = pool.Take()->PublishSystemMessage(number, title, text);
    std::printf("published %s message at %lld\n", number == 0 ? "the general" : "a particular",
                static_cast<long long>(published));
    return 0;
}

int WithdrawSysMessage(const Parsed& parsed) {
    std::int32_t number = 0;
    if (auto it = parsed.options.find("--tos"); it != parsed.options.end()) {
        auto value = ParseInt32(it->second);
        if (!value || *value < 1) {
            std::fprintf(stderr, "halvdir: --tos wants a number of 1 or more\n");
            return 2;
        }
        number = *value;
    }
    StorePool pool(DatabasePath(parsed));
    pool.Take()->PublishSystemMessage(number, "", "");
    std::printf("withdrew %s message\n", number == 0 ? "the general" : "the particular");
    return 0;
}

int SetVersion(const Parsed& parsed) {
    if (parsed.positional.size() != 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    auto version = ParseInt32(parsed.positional[0]);
    if (!version || *version < 0) {
        std::fprintf(stderr, "halvdir: the version is a whole number\n");
        return 2;
    }
    std::string product = "drovick";
    if (auto it = parsed.options.find("--product"); it != parsed.options.end())
        product = ToLower(it->second);
    if (product.empty() || product.size() > 64 || product.find('/') != std::string::npos ||
        HasControlBytes(product)) {
        std::fprintf(stderr, "halvdir: bad product name\n");
        return 2;
    }
    StorePool pool(DatabasePath(parsed));
    pool.Take()->SetVersion(product, *version);
    std::printf("%s version %d\n", product.c_str(), *version);
    return 0;
}

int Users(const Parsed& parsed) {
    StorePool pool(DatabasePath(parsed));
    for (const auto& user : pool.Take()->Users()) {
        std::printf("%lld\t%s\t%s\t%s\t%s\n", static_cast<long long>(user.id), user.name.c_str(),
                    user.email.c_str(), user.ip.c_str(),
                    user.hasPassword ? "password" : "no-password");
    }
    return 0;
}

int Outbox(const Parsed& parsed) {
    StorePool pool(DatabasePath(parsed));
    for (const auto& mail : pool.Take()->Outbox()) {
        std::printf("%lld\t%s\t%s\t%s\t%s\t%s\t%d\t%s\n", static_cast<long long>(mail.requested),
                    mail.senderEmail.c_str(), mail.senderName.c_str(), mail.recipient.c_str(),
                    mail.appName.c_str(), mail.appUrl.c_str(), mail.appId,
                    mail.remoteAddress.c_str());
    }
    return 0;
}

int Migrate(const Parsed& parsed) {
    auto from = parsed.options.find("--from");
    auto to = parsed.options.find("--to");
    if (from == parsed.options.end() || to == parsed.options.end() ||
        !StorePool::IsPostgresLocation(to->second)) {
        std::fprintf(stderr, "halvdir: migrate wants --from FILE --to postgresql://...\n");
        return 2;
    }
    const bool force = parsed.options.contains("--force");
    auto counts = MigrateSqliteToPostgres(from->second, to->second, force);
    std::printf("copied %lld users, %lld waiting acquaintances, %lld pool addresses, "
                "%lld system messages, %lld invitations, %lld versions to %s\n",
                static_cast<long long>(counts.users), static_cast<long long>(counts.waiting),
                static_cast<long long>(counts.pools), static_cast<long long>(counts.messages),
                static_cast<long long>(counts.outbox), static_cast<long long>(counts.versions),
                WithoutPassword(to->second).c_str());
    return 0;
}

} // namespace

std::string DefaultDatabasePath() {
    std::filesystem::path base = platform::AbsoluteFolder("XDG_DATA_HOME");
    if (base.empty()) {
        const std::filesystem::path home = platform::HomeFolder();
        base = (home.empty() ? std::filesystem::path(".") : home) / ".local" / "share";
    }
    return (base / "halvdir" / "directory.db").string();
}

int RunCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& command = arguments[1];
    // Asked for, the usage is an answer, not an error.
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    struct Command {
        std::vector<std::string> options;
        int (*run)(const Parsed&);
        size_t positionalMax;
    };
    static const std::map<std::string, Command> commands = {
        {"serve",
         {{"--listen", "--db", "--threads", "--trusted-proxy", "--smtp", "--mail-from",
           "--smtp-user", "--smtp-password-file"},
          Serve,
          0}},
        {"sysmessage", {{"--tos", "--db"}, SysMessage, 2}},
        {"withdraw-sysmessage", {{"--tos", "--db"}, WithdrawSysMessage, 0}},
        {"set-version", {{"--product", "--db"}, SetVersion, 1}},
        {"users", {{"--db"}, Users, 0}},
        {"outbox", {{"--db"}, Outbox, 0}},
        {"migrate", {{"--from", "--to", "--force"}, Migrate, 0}},
    };
    auto it = commands.find(command);
    if (it == commands.end()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    auto parsed = ParseOptions(arguments, 2, it->second.options);
    if (!parsed || parsed->positional.size() > it->second.positionalMax) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return it->second.run(*parsed);
    } catch (const StorageError& error) {
        // Messages from the database name servers and users, never passwords.
        std::fprintf(stderr, "halvdir: %s\n", error.what());
        return 1;
    }
}

} // namespace halvdir
