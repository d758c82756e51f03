#pragma once

#include <string>
#include <vector>

// Splits the presence library's blank-separated address list.
std::vector<std::string> SplitAddressList(const std::string& text);

// True for a text that names a friend rather than a computer.
bool IsEMailAddress(const std::string& host);
