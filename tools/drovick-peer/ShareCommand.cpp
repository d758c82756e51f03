// drovick-peer share PATH: adds a folder to the share table of the settings.

#include "Commands.h"
#include "ShareChangeCommand.h"

int RunShare(const std::vector<std::string>& words) {
    return RunShareChange(ShareChange::Verb::Share, words, "usage: drovick-peer share PATH");
}
