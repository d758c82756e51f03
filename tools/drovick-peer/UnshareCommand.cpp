// drovick-peer unshare PATH: takes a folder out of the share table.

#include "Commands.h"
#include "ShareChangeCommand.h"

int RunUnshare(const std::vector<std::string>& words) {
    return RunShareChange(ShareChange::Verb::Unshare, words, "usage: drovick-peer unshare PATH");
}
