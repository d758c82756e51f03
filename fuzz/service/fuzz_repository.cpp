// Feeds arbitrary bytes to the identity table loader and to the loader of an
// identity's saved state. Whatever either accepts must save and load again to
// the same bytes; whatever they refuse must leave the table as it was.
#include "bridge/CStdExcept.h"
#include "service/Contacts.h"
#include "service/DiversMem.h"
#include "service/Repository.h"

#include <cstdlib>

namespace {

void TableRoundTrip(std::span<const std::uint8_t> bytes) {
    Repository table;
    table.AddIdentity("kept", "pw");
    const std::vector<std::uint8_t> before = table.Serialize();
    try {
        table.Load(bytes);
    } catch (const CStdExcept&) {
        if (table.Serialize() != before)
            std::abort();
        return;
    }
    std::vector<std::uint8_t> saved = table.Serialize();
    if (saved.size() > bytes.size())
        std::abort();
    Repository again;
    again.Load(saved);
    if (again.Serialize() != saved)
        std::abort();
    // The look-ups must hold on whatever was loaded.
    for (std::int32_t i = 0; i <= again.HighestIdentity(); ++i) {
        again.CheckIdentityPassword(i, "PW");
        if (again.IsInUse(i))
            again.GetIdentity(i).Name();
    }
    if (again.CurrentIdentity() != -1 && !again.IsInUse(again.CurrentIdentity()))
        std::abort();
    try {
        again.IsEmailTaken("a@b");
    } catch (const CStdExcept&) {
        std::abort();
    }
}

void StateRoundTrip(std::span<const std::uint8_t> bytes) {
    std::optional<IdentityState> state = DiversMem::DecodeGlobals(bytes);
    if (!state)
        return;
    std::vector<std::uint8_t> saved =
        DiversMem::EncodeGlobals(*state->contacts, state->profile, state->block);
    std::optional<IdentityState> again = DiversMem::DecodeGlobals(saved);
    if (!again || again->profile != state->profile ||
        DiversMem::EncodeGlobals(*again->contacts, again->profile, again->block) != saved)
        std::abort();
    again->contacts->OwnEntry();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    TableRoundTrip(bytes);
    StateRoundTrip(bytes);
    return 0;
}
