#pragma once

// Shared by the channel tests: an echo service and a client exchange, each run
// in a forked process, plus small helpers around fork.

#include "bridge/CStdExcept.h"
#include "bridge/MemoryChannel.h"
#include "platform/ByteOrder.h"
#include "platform/NamedEvent.h"
#include "platform/SingleInstanceGuard.h"
#include "support/TestSupport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace channeltest {

using namespace std::chrono_literals;

// Set by the forked service when its channel is open and it serves.
inline constexpr const char* kServiceReady = "test service ready";

// Waits for a forked child; kills it when it outlives the limit. Returns its
// exit code, 128 + signal, or -1 on time-out.
inline int WaitChild(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    bool done = testsupport::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the body in a forked child that exits with its result.
template <typename Body>
pid_t Spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        _exit(code);
    }
    return pid;
}

inline std::atomic<bool> g_stopService{false};
inline void StopService(int) {
    g_stopService = true;
}

// The service end as the bridge loop drives it: echoes every request with the
// reply code 28 in front, recovers from clients that died inside an exchange,
// and ends on SIGTERM. Exit code: the number of recoveries (below 100), or 100
// and above for a failure. With mute set it takes one request, never answers
// and dies.
inline int RunEchoService(bool mute = false) {
    signal(SIGTERM, StopService);
    auto guard = platform::SingleInstanceGuard::TryAcquire(MemoryChannel::kServiceGuardName);
    if (!guard)
        return 100;
    MemoryChannel channel(MemoryChannel::kServiceRole);
    channel.Open(MemoryChannel::kPageName, 0);
    channel.SetStopFlag(&g_stopService);
    platform::NamedEvent::OpenOrCreate(kServiceReady)->Set();
    int recovered = 0;
    for (;;) {
        try {
            channel.BeginExchange();
            std::array<std::uint8_t, 2048> record{};
            int received = channel.Receive(record.data(), 1024);
            if (mute) {
                usleep(200'000);
                _exit(0);
            }
            if (received > 0) {
                platform::StoreLE32s(record.data(), 28);
                channel.Send(record.data(), std::size_t(received));
            }
            channel.EndExchange();
        } catch (const CStdExcept& failure) {
            if (failure.Number() == MemoryChannel::kExchangeAbandoned) {
                channel.RecoverAbandonedExchange();
                ++recovered;
                continue;
            }
            if (failure.Number() == MemoryChannel::kStopRequested)
                break;
            return 100 + failure.Number() % 100;
        }
    }
    channel.Close();
    return recovered;
}

// Fills a request that names its sender and round, so a reply can be matched.
inline std::array<std::uint8_t, 1024> MakeRequest(std::int32_t tag, std::int32_t round) {
    std::array<std::uint8_t, 1024> request{};
    platform::StoreLE32s(request.data(), 5);
    platform::StoreLE32s(request.data() + 4, tag);
    platform::StoreLE32s(request.data() + 8, round);
    for (std::size_t i = 12; i < request.size(); ++i)
        request[i] = static_cast<std::uint8_t>(tag * 31 + round + int(i));
    return request;
}

// One client call: true when the reply is this very request echoed.
inline bool EchoExchange(MemoryChannel& channel, std::int32_t tag, std::int32_t round) {
    auto request = MakeRequest(tag, round);
    std::array<std::uint8_t, 1024> reply{};
    int received = 0;
    channel.BeginExchange();
    try {
        channel.Send(request.data(), request.size());
        received = channel.Receive(reply.data(), reply.size());
    } catch (...) {
        channel.EndExchange();
        throw;
    }
    channel.EndExchange();
    platform::StoreLE32s(request.data(), 28);
    return received == 1024 && reply == request;
}

} // namespace channeltest
