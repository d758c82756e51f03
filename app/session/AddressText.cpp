#include "AddressText.h"

std::vector<std::string> SplitAddressList(const std::string& text) {
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            addresses.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return addresses;
}

bool IsEMailAddress(const std::string& host) {
    return host.find('@') != std::string::npos;
}
