#pragma once

#include <optional>
#include <string>
#include <vector>

// The contact lists as the presence library hands them out, and the contact an
// EMAIL-or-ID argument names.

enum class ContactList { Friends, Acquaintances };

// The IDs on a list in order. False, with failure set, when the service stopped
// answering in the middle (the library then answers 0, which no user has).
bool ReadContactIds(ContactList list, std::vector<int>& ids, std::string& failure);

// Whether the argument can name a contact: an e-mail address (it has an at
// sign) or a user ID (a whole number from 0).
bool IsContactArgument(const std::string& text);

// The ID the argument names. A number is the ID itself. An e-mail address
// (compared without regard to case) is searched on the friends and then the
// acquaintances list when searchContacts is set, then asked of the directory.
// Nothing, with failure set, when nobody has it.
std::optional<int> ResolveContact(const std::string& text, bool searchContacts,
                                  std::string& failure);

// Lower-cased ASCII, as the service stores e-mail addresses.
std::string LowerCase(std::string text);
