#pragma once

#include <cstring>
#include <string>
#include <vector>

// Splits the presence library's blank-separated address list.
std::vector<std::string> SplitAddressList(const std::string& text);

// True for a text that names a friend rather than a computer.
bool IsEMailAddress(const std::string& host);

// A fixed field of a library record up to its NUL, never past the field.
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}
