#include "Program.h"

#include <csignal>

void Complain(const std::string& text) {
    ComplainAs("drovick-peer", text);
}

std::optional<Arguments> ParseCommand(const std::vector<std::string>& words,
                                      const std::set<std::string>& valueOptions, std::size_t fewest,
                                      std::size_t most, const std::string& usage) {
    std::string error;
    auto arguments = Arguments::Parse(words, valueOptions, error);
    if (!arguments) {
        Complain(error);
        return std::nullopt;
    }
    if (arguments->Words().size() < fewest || arguments->Words().size() > most) {
        Complain(usage);
        return std::nullopt;
    }
    return arguments;
}

std::optional<int> PortOption(const Arguments& arguments, const std::string& option, int fallback) {
    std::string error;
    std::optional<int> port = arguments.Port(option, fallback, error);
    if (!port)
        Complain(error);
    return port;
}

void OnStopSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
