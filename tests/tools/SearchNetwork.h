#pragma once

// Four users of one machine serving with `drovick-peer serve` on top of their
// presence services, on one set of ports (each listens on its own address),
// and the hand-made wire bytes the search tests send to them: search requests,
// instant messages and a catcher for the replies.

#include "PresenceNetwork.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

namespace searchnetwork {

using namespace presencenetwork;

constexpr int kAda = 0, kBo = 1, kCy = 2, kDi = 3;
// The address the hand-made requests name as their originator; nobody's.
constexpr const char* kOriginator = "127.0.0.6";
constexpr std::size_t kRequestSize = 166;
constexpr std::size_t kMessageSize = 648;

// A song of this network: its own frame bytes and, with a title, a tag.
inline std::string Mp3(const std::string& title, const std::string& artist, unsigned seed) {
    return Mp3File(std::string("\xFF\xFB\x90\x00", 4) + RandomBytes(4000 + seed * 31, seed), title,
                   artist, 17);
}

inline void PutI32(std::string& bytes, std::size_t at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

inline std::int32_t GetI32(const std::string& bytes, std::size_t at) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= std::uint32_t(static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]))
                << (8 * i);
    return static_cast<std::int32_t>(bits);
}

// The 166 bytes of a search request, made by hand: mode, hop count, the
// originator's address in text order, stamp, then the query in 150 bytes.
inline std::string SearchRequestBytes(std::int32_t mode, std::int32_t hops, std::int32_t stamp,
                                      const std::string& query) {
    std::string bytes(kRequestSize, '\0');
    PutI32(bytes, 0, mode);
    PutI32(bytes, 4, hops);
    in_addr origin{};
    inet_pton(AF_INET, kOriginator, &origin);
    std::memcpy(bytes.data() + 8, &origin, 4);
    PutI32(bytes, 12, stamp);
    bytes.replace(16, query.size(), query);
    return bytes;
}

// The 648 bytes of an instant message: sender in 125 bytes, text in 512, then
// zeros and the two colours.
inline std::string MessageBytes(const std::string& sender, const std::string& text) {
    std::string bytes(kMessageSize, '\0');
    bytes.replace(0, sender.size(), sender);
    bytes.replace(125, text.size(), text);
    PutI32(bytes, 640, 0xff8080);
    return bytes;
}

// Connects from the originator's address to host:port, sends the bytes and
// closes.
inline bool SendRaw(const std::string& host, int port, const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, kOriginator, &from.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        close(fd);
        return false;
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &where.sin_addr);
    bool sent =
        connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return sent;
}

inline bool CanBind(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    close(fd);
    return free;
}

// A port nobody uses on any of the addresses, and not among those taken.
inline int PortFreeOnAll(const std::vector<std::string>& addresses, const std::vector<int>& taken) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = testsupport::FreeTcpPort(addresses.front());
        bool free = std::find(taken.begin(), taken.end(), port) == taken.end();
        for (const std::string& address : addresses)
            free = free && CanBind(address, port);
        if (free)
            return port;
    }
    return 0;
}

inline std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// One search reply as it reached the originator.
struct Reply {
    std::int32_t count = 0;
    std::string responder;
};

// Listens where the hand-made requests ask for their results, and keeps the
// header of every reply that arrives.
class ResultCatcher {
public:
    explicit ResultCatcher(int port)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, kOriginator, &where.sin_addr);
        m_listening = bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                      listen(m_fd, 16) == 0;
        if (m_listening)
            m_thread = std::thread([this] { Loop(); });
    }
    ~ResultCatcher() {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
        close(m_fd);
    }
    bool Listening() const { return m_listening; }
    std::vector<Reply> Replies() {
        std::lock_guard lock(m_lock);
        return m_replies;
    }
    std::size_t FromResponder(const std::string& responder) {
        std::size_t count = 0;
        for (const Reply& reply : Replies())
            count += reply.responder == responder ? 1 : 0;
        return count;
    }

private:
    void Loop() {
        while (m_running) {
            pollfd ready{m_fd, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            const int connection = accept(m_fd, nullptr, nullptr);
            if (connection < 0)
                continue;
            std::string bytes;
            char buffer[4096];
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (std::chrono::steady_clock::now() < deadline && bytes.size() < (1u << 20)) {
                pollfd more{connection, POLLIN, 0};
                if (poll(&more, 1, 100) <= 0)
                    continue;
                const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                bytes.append(buffer, static_cast<std::size_t>(got));
            }
            close(connection);
            if (bytes.size() < 204)
                continue;
            Reply reply;
            reply.count = GetI32(bytes, 0);
            reply.responder = bytes.substr(4, 200);
            reply.responder.resize(strnlen(reply.responder.c_str(), 200));
            std::lock_guard lock(m_lock);
            m_replies.push_back(reply);
        }
    }

    int m_fd;
    bool m_listening = false;
    std::atomic<bool> m_running{true};
    std::mutex m_lock;
    std::vector<Reply> m_replies;
    std::thread m_thread;
};

struct Row {
    std::string title, name, host, location, address;
};

// The final, numbered list of a search's output.
inline std::vector<Row> FinalRows(const std::string& output) {
    std::vector<Row> rows;
    for (const std::string& line : Lines(output)) {
        const auto fields = Fields(line);
        if (fields.size() == 6 && fields[0] == std::to_string(rows.size() + 1))
            rows.push_back({fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    return rows;
}

inline std::vector<std::string> Sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

// name@address of every row, sorted.
inline std::vector<std::string> Found(const std::vector<Row>& rows) {
    std::vector<std::string> found;
    for (const Row& row : rows)
        found.push_back(row.name + "@" + row.address);
    return Sorted(found);
}

// The four users, their shares and their serving programs, on one set of ports
// (each user listens on its own address).
class SearchNetwork {
public:
    SearchNetwork() = default;
    ~SearchNetwork() {
        // Each serve gives its registration back, so the services end too.
        for (auto& serve : m_serves)
            if (serve) {
                serve->Signal(SIGTERM);
                serve->Wait(20s);
            }
    }

    // Everything up; false with the reason in why.
    bool Start(std::string& why) {
        if (!m_network.Dir().Started())
            return Fail(why, "the directory did not start");
        std::vector<std::string> addresses{kOriginator};
        for (std::size_t i = 0; i < 4; ++i)
            addresses.push_back(User(i).Address());
        std::vector<int> taken;
        for (int* port :
             {&m_nfsPort, &m_transferPort, &m_searchPort, &m_resultPort, &m_messengerPort}) {
            *port = PortFreeOnAll(addresses, taken);
            if (*port == 0)
                return Fail(why, "no port free on every address");
            taken.push_back(*port);
        }
        WriteShares();
        for (std::size_t i = 0; i < 4; ++i) {
            if (User(i).Register().empty())
                return Fail(why, User(i).EMail() + " could not register");
            Outcome share = Peer(i, {"share", m_shares[i].string()});
            if (share.code != 0)
                return Fail(why, "share: " + share.err);
        }
        for (std::size_t i = 0; i < 4; ++i)
            m_serves.push_back(std::make_unique<ChildProcess>(
                testsupport::BuildBin("drovick-peer"),
                std::vector<std::string>{"serve", "--nfs-port", std::to_string(m_nfsPort),
                                         "--transfer-port", std::to_string(m_transferPort),
                                         "--search-port", std::to_string(m_searchPort),
                                         "--result-port", std::to_string(m_resultPort),
                                         "--messenger-port", std::to_string(m_messengerPort)},
                User(i).Environment()));
        for (std::size_t i = 0; i < 4; ++i) {
            ChildProcess& serve = *m_serves[i];
            const bool up = testsupport::WaitFor(
                [&] {
                    const std::string output = serve.Output();
                    return (Contains(output, "SearchServer listening on") &&
                            Contains(output, "InstantMessageServer listening on") &&
                            Contains(output, "the presence service answered")) ||
                           !serve.Running();
                },
                45s);
            if (!up || !serve.Running())
                return Fail(why, User(i).EMail() + " serve: " + serve.Output());
        }
        // Each adds the next as a friend while both are online.
        for (std::size_t i = 0; i + 1 < 4; ++i) {
            Outcome add = User(i).Halvara({"add", User(i + 1).EMail()});
            if (add.code != 0 || add.out != User(i + 1).Id() + "\n")
                return Fail(why, "add " + User(i + 1).EMail() + ": " + add.out + add.err);
        }
        for (std::size_t i = 0; i + 1 < 4; ++i) {
            const bool known = Eventually(
                [&] {
                    auto row = User(i).Contact("friends", User(i + 1).EMail());
                    return row && row->address == User(i + 1).Address();
                },
                15s);
            if (!known)
                return Fail(why, User(i).EMail() + " does not know where " + User(i + 1).EMail() +
                                     " is: " + User(i).LastFailure());
        }
        return true;
    }

    PresenceUser& User(std::size_t index) { return m_network.User(index); }
    ChildProcess& Serve(std::size_t index) { return *m_serves.at(index); }
    const fs::path& Share(std::size_t index) const { return m_shares.at(index); }
    int SearchPort() const { return m_searchPort; }
    int ResultPort() const { return m_resultPort; }
    int MessengerPort() const { return m_messengerPort; }
    int TransferPort() const { return m_transferPort; }
    const std::string& DeepSong() const { return m_deepSong; }

    // drovick-peer as the user runs it.
    Outcome Peer(std::size_t index, const std::vector<std::string>& arguments) {
        return User(index).Run(testsupport::BuildBin("drovick-peer"), arguments, {}, 60s);
    }

    // A search from Ada through her friends, listening for four seconds.
    Outcome Search(std::vector<std::string> words) {
        std::vector<std::string> arguments{"search",
                                           "--seconds",
                                           "4",
                                           "--search-port",
                                           std::to_string(m_searchPort),
                                           "--result-port",
                                           std::to_string(m_resultPort),
                                           "--transfer-port",
                                           std::to_string(m_transferPort)};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return Peer(kAda, arguments);
    }

private:
    static bool Fail(std::string& why, const std::string& reason) {
        why = reason;
        return false;
    }

    void WriteShares() {
        const fs::path root = fs::canonical(m_files.Path());
        for (const char* name : {"ada", "bo", "cy", "di"})
            m_shares.push_back(root / name / "music");
        // Ada's own file: no friendship leads back to her, so she never finds it.
        WriteFile(m_shares[kAda] / "Ada Song.mp3", Mp3("Morning Ada", "The Walkers", 1));
        WriteFile(m_shares[kBo] / "Blue Song.mp3", Mp3("Morning Light", "The Walkers", 2));
        WriteFile(m_shares[kBo] / "notes.txt", "the song list");
        WriteFile(m_shares[kCy] / "sub" / "song-two.mp3", Mp3("Evening Song", "Nora Vale", 3));
        m_deepSong = Mp3("  Morning Dew  ", "the walkers", 4);
        WriteFile(m_shares[kDi] / "Deep Song.mp3", m_deepSong);
        WriteFile(m_shares[kDi] / "bare-song.mp3", Mp3("", "", 5));
    }

    testsupport::TempDir m_files;
    PresenceNetwork m_network{4};
    std::vector<fs::path> m_shares;
    std::vector<std::unique_ptr<ChildProcess>> m_serves;
    std::string m_deepSong;
    int m_nfsPort = 0, m_transferPort = 0, m_searchPort = 0, m_resultPort = 0, m_messengerPort = 0;
};

} // namespace searchnetwork
