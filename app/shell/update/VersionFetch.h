#pragma once

#include <QString>
#include <atomic>
#include <string>
#include <string_view>

// The version check's network half, free of any window: it runs on a worker.

// The newest release's number from one reply: the leading decimal number of
// the body when the status is below 300, else -1 (no number counts as -1 too).
int NewestVersionFrom(long status, std::string_view body);

// Asks url for the newest release's number with short time limits, reading at
// most 2048 bytes; -1 on any failure. Returns early, with -1, once stop is set.
int FetchNewestVersion(const std::string& url, const std::atomic<bool>& stop);

// The product page: the update address's scheme and host with the path "/".
QString ProductPage(const std::string& updateUrl);
