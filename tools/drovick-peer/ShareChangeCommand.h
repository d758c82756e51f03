#pragma once

#include "app/session/ShareChange.h"

#include <string>
#include <vector>

// share and unshare: the running Drovick makes the change when one runs for
// this user, else the command changes the settings file itself.
int RunShareChange(ShareChange::Verb verb, const std::vector<std::string>& words,
                   const char* usage);
