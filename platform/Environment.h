#pragma once

#include <filesystem>
#include <string>

// Every variable of the environment that places or tunes the programs, read
// with one rule: blanks and tabs around a value are dropped, and a value that
// is then empty counts as unset. So a value with a stray blank means the same
// to halvserve, to Drovick and to the tools. Read on every call: a process
// (and every test) may change its environment at any time.
namespace platform {

// The value of name without surrounding blanks; "" when unset or blank.
std::string EnvironmentText(const char* name);

// HALVARA_DIRECTORY: the directory's host or host:port.
inline constexpr const char* kDefaultDirectoryHost = "127.0.0.1:8080";
std::string DirectoryHost();

// DROVICK_UPDATE_URL: the address of the file that holds the newest release's
// number; default the bundled directory's http://<directory host>/latestversion/drovick.
std::string UpdateUrl();

// HALVARA_ADDRESS: this user's address, which listeners bind and calls leave
// from; "" when unset.
std::string ConfiguredAddress();

// A number of milliseconds from name within [least, most]; fallback when
// unset, not a whole number or out of that range.
long EnvironmentMilliseconds(const char* name, long fallback, long least, long most);

// A base folder (XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR): only an
// absolute path counts, as desktops ignore relative ones; else "".
std::filesystem::path AbsoluteFolder(const char* name);

// The user's home folder (HOME when absolute, else "").
std::filesystem::path HomeFolder();

// XDG_CONFIG_HOME, else ~/.config; "" when neither is known.
std::filesystem::path ConfigHome();

} // namespace platform
