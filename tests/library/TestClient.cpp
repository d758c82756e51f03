// A client application for the integration tests: runs the calls named on its
// command line in order, one line of output per call ("name result ms").
//
//   init <with-parent 0|1> <tos>     Halvara_Initialize
//   updatetos <tos> <on>             Halvara_UpdateTOS
//   num                              Halvara_NumActiveTOS
//   dealloc <tos>                    Halvara_Deallocate
//   anon <tos> <refresh> <size>      Halvara_GetAnonAcquaintances; prints the text too
//   echo <count> <tag>               raw exchanges of an unknown code through the
//                                    client object; prints how many replies were
//                                    not the echo of their own request
//   qtloaded                         1 when any Qt library is mapped into the process
//   touch <path> / waitfile <path>   meeting points with the test

#include "HalvaraClient.h"
#include "UserMessages.h"
#include "bridge/BridgeRecord.h"
#include "halvara.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int Number(const std::vector<std::string>& args, std::size_t& i) {
    if (i >= args.size()) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return std::atoi(args[i++].c_str());
}

int Echo(int count, int tag) {
    StandardErrorMessages messages;
    HalvaraClient client(messages);
    int mismatches = 0;
    for (int round = 0; round < count; ++round) {
        BridgeRecord request;
        request.SetCode(40);
        for (std::size_t offset = 4; offset + 4 <= BridgeRecord::kSize; offset += 4)
            request.SetI32At(offset, tag * 1000000 + round * 1000 + static_cast<int>(offset));
        BridgeRecord reply;
        if (!client.Transact(request, reply) || reply.Code() != kCmdReply ||
            std::memcmp(reply.Data() + 4, request.Data() + 4, BridgeRecord::kSize - 4) != 0)
            ++mismatches;
    }
    return mismatches;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::size_t i = 0;
    while (i < args.size()) {
        std::string name = args[i++];
        auto start = std::chrono::steady_clock::now();
        long long result = 0;
        std::string text;
        if (name == "init") {
            int withParent = Number(args, i);
            int tos = Number(args, i);
            static int token;
            result = Halvara_Initialize(
                withParent ? reinterpret_cast<HalvaraWindow>(&token) : nullptr, tos);
        } else if (name == "updatetos") {
            int tos = Number(args, i);
            int on = Number(args, i);
            result = Halvara_UpdateTOS(tos, on);
        } else if (name == "num") {
            result = Halvara_NumActiveTOS();
        } else if (name == "dealloc") {
            result = Halvara_Deallocate(Number(args, i));
        } else if (name == "anon") {
            int tos = Number(args, i);
            int refresh = Number(args, i);
            int size = Number(args, i);
            std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 1), '#');
            result = Halvara_GetAnonAcquaintances(tos, refresh, buffer.data(), size);
            text = std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
        } else if (name == "echo") {
            int count = Number(args, i);
            result = Echo(count, Number(args, i));
        } else if (name == "qtloaded") {
            std::ifstream maps("/proc/self/maps");
            std::string line;
            while (std::getline(maps, line)) {
                if (line.find("libQt6") != std::string::npos)
                    result = 1;
            }
        } else if (name == "touch") {
            std::ofstream(args.at(i++)) << "1";
        } else if (name == "waitfile") {
            std::filesystem::path path = args.at(i++);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            result = std::filesystem::exists(path) ? 1 : 0;
        } else {
            std::fprintf(stderr, "unknown call %s\n", name.c_str());
            return 2;
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        std::printf("%s %lld %lld%s%s\n", name.c_str(), result, static_cast<long long>(ms),
                    text.empty() ? "" : " ", text.c_str());
    }
    return 0;
}
