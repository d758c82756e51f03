#include "ClientCallTable.h"

#include "HalvaraClient.h"
#include "IdentityRegistration.h"

#include <algorithm>
#include <cstring>

namespace {

HalvaraClient& Client(void* context) {
    return *static_cast<HalvaraClient*>(context);
}

// A failure anywhere reads as `failed`: the C boundary lets nothing through.
template <typename Operation>
int Guarded(int failed, Operation operation) {
    try {
        return operation();
    } catch (...) {
        return failed;
    }
}

// Copies the text into the buffer, cut to size - 1 characters and terminated.
void CopyText(const std::string& text, char* buffer, int size) {
    if (!buffer || size <= 0)
        return;
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

int LookupId(void* context, const char* eMail) {
    return Guarded(-1, [&] { return Client(context).FindID(eMail); });
}

int SendInvitation(void* context, const char* eMail, const char* applicationName,
                   const char* applicationWebAddress, int applicationId) {
    return Guarded(0, [&] {
        return Client(context).SendInvitation(eMail, applicationName, applicationWebAddress,
                                              applicationId);
    });
}

int AddFriend(void* context, int id) {
    return Guarded(0, [&] { return Client(context).AddID(id); });
}

int ActiveIdentity(void* context) {
    return Guarded(-1, [&] { return Client(context).GetActiveIdentity(); });
}

int HighestIdentity(void* context) {
    return Guarded(-1, [&] { return Client(context).GetHighestIdentity(); });
}

int IdentityText(void* context, int index, char* text, int size) {
    return Guarded(0, [&] { return Client(context).GetIdentity(index, text, size); });
}

int DeleteIdentity(void* context, int index) {
    return Guarded(0, [&] { return Client(context).DeleteIdentity(index); });
}

int SetIdentity(void* context, int index, const char* password) {
    return Guarded(0, [&] { return Client(context).SetIdentity(index, password); });
}

int DirectoryReachable(void* context) {
    return Guarded(0, [&] { return IdentityRegistration(Client(context)).DirectoryReachable(); });
}

int DecideRegistration(void* context, const char* eMail, const char* password, int* registeredId,
                       char* verdict, int verdictSize) {
    if (registeredId)
        *registeredId = -1;
    CopyText({}, verdict, verdictSize);
    if (!eMail || !password)
        return 0;
    return Guarded(0, [&] {
        IdentityRegistration registration(Client(context));
        const IdentityRegistration::Decision decision = registration.Decide(
            IdentityRegistration::Trimmed(eMail), IdentityRegistration::Trimmed(password));
        if (registeredId)
            *registeredId = decision.registeredId;
        CopyText(IdentityRegistration::VerdictText(decision), verdict, verdictSize);
        return decision.MayRegister() ? 1 : 0;
    });
}

int FinishRegistration(void* context, const char* name, const char* eMail, const char* password,
                       int registeredId) {
    if (!name || !eMail || !password)
        return 0;
    return Guarded(0, [&] {
        const std::string trimmedMail = IdentityRegistration::Trimmed(eMail);
        const std::string trimmedPassword = IdentityRegistration::Trimmed(password);
        if (!IdentityRegistration::ValidInput(name, trimmedMail, trimmedPassword))
            return 0;
        IdentityRegistration::Decision decision;
        decision.outcome = IdentityRegistration::Outcome::Registered;
        decision.registeredId = registeredId;
        IdentityRegistration registration(Client(context));
        // An identity the service did not write out yet is active all the same.
        const IdentityRegistration::Outcome outcome =
            registration.Finish(name, trimmedMail, trimmedPassword, decision);
        return outcome == IdentityRegistration::Outcome::Registered ||
                       outcome == IdentityRegistration::Outcome::NotSaved
                   ? 1
                   : 0;
    });
}

} // namespace

HalvaraQtClientCalls ClientCallTable(HalvaraClient& client) {
    return HalvaraQtClientCalls{
        &client,         &LookupId,           &SendInvitation,     &AddFriend,
        &ActiveIdentity, &HighestIdentity,    &IdentityText,       &DeleteIdentity,
        &SetIdentity,    &DirectoryReachable, &DecideRegistration, &FinishRegistration};
}
