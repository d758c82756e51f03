// Feeds arbitrary bytes to the contact-list loader as the stored lists of an
// identity; whatever it accepts must save and load again to the same bytes.
#include "service/Contacts.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<Contacts> contacts = Contacts::Load({data, size});
    if (!contacts)
        return 0;
    std::vector<std::uint8_t> saved = contacts->Serialize();
    std::unique_ptr<Contacts> again = Contacts::Load(saved);
    if (!again || again->Serialize() != saved)
        std::abort();
    // The look-ups must hold on whatever was loaded.
    for (std::size_t i = 0; i < again->FriendCount(); ++i)
        again->FindFriend(again->FriendAt(i)->ID());
    return 0;
}
