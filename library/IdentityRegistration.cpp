#include "IdentityRegistration.h"

#include "DirectoryProbe.h"
#include "HalvaraClient.h"
#include "bridge/BridgeRecord.h"

#include <cstring>

namespace {

constexpr std::size_t kArg1 = 4;
constexpr std::size_t kArg2 = 8;
// Command 24: the password follows the 128-byte name.
constexpr std::size_t kAddIdentityPasswordOffset = 132;

// One exchange; false unless the service answered it as a reply.
bool Ask(HalvaraClient& client, const BridgeRecord& request, BridgeRecord& reply) {
    return client.Transact(request, reply) && reply.Code() == kCmdReply;
}

// A request that carries a password; the copy in the request is wiped after.
class PasswordRequest {
public:
    explicit PasswordRequest(int code) { m_record.SetCode(code); }
    ~PasswordRequest() { m_record.Zero(0, BridgeRecord::kSize); }
    PasswordRequest(const PasswordRequest&) = delete;
    PasswordRequest& operator=(const PasswordRequest&) = delete;
    BridgeRecord& Record() { return m_record; }

private:
    BridgeRecord m_record;
};

// The reply echoes the request, so it is wiped the same way.
class WipedReply {
public:
    ~WipedReply() { m_record.Zero(0, BridgeRecord::kSize); }
    BridgeRecord& Record() { return m_record; }

private:
    BridgeRecord m_record;
};

} // namespace

IdentityRegistration::IdentityRegistration(HalvaraClient& client, Probe probe)
    : m_client(client)
    , m_probe(std::move(probe)) {}

std::string IdentityRegistration::Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IdentityRegistration::ValidInput(const std::string& name, const std::string& eMail,
                                      const std::string& password) {
    auto fits = [](const std::string& text, std::size_t longest) {
        // A NUL would cut the text short in its field without anybody noticing.
        return !text.empty() && text.size() <= longest && text.find('\0') == std::string::npos;
    };
    return fits(name, kMaxNameLength) && fits(eMail, kMaxEMailLength) &&
           fits(password, kMaxPasswordLength) && eMail.find('@') != std::string::npos;
}

bool IdentityRegistration::DirectoryReachable() const {
    if (m_probe)
        return m_probe();
    return DirectoryProbe::Reachable(DirectoryProbe::Host());
}

IdentityRegistration::Decision IdentityRegistration::Decide(const std::string& eMail,
                                                            const std::string& password) {
    Decision decision;
    BridgeRecord taken;
    taken.SetCode(kCmdIsIdentityTaken);
    taken.SetTextAt(kArg1, eMail);
    BridgeRecord reply;
    if (!Ask(m_client, taken, reply))
        return decision;
    if (reply.I32At(kArg1) != 0) {
        decision.outcome = Outcome::AlreadyLocal;
        return decision;
    }

    BridgeRecord lookup;
    lookup.SetCode(kCmdLookupID);
    lookup.SetTextAt(kArg1, eMail);
    if (!Ask(m_client, lookup, reply))
        return decision;
    const int id = reply.I32At(kArg1);
    if (id < 0) {
        decision.outcome = Outcome::Registered;
        return decision;
    }
    decision.registeredId = id;
    PasswordRequest check(kCmdCheckPassword);
    check.Record().SetI32At(kArg1, id);
    check.Record().SetTextAt(kArg2, password);
    WipedReply checked;
    if (!Ask(m_client, check.Record(), checked.Record()))
        return decision;
    decision.outcome =
        checked.Record().I32At(kArg1) != 0 ? Outcome::Registered : Outcome::TakenElsewhere;
    return decision;
}

IdentityRegistration::Outcome IdentityRegistration::Finish(const std::string& name,
                                                           const std::string& eMail,
                                                           const std::string& password,
                                                           const Decision& decision) {
    if (!decision.MayRegister())
        return decision.outcome;

    PasswordRequest add(kCmdAddIdentity);
    add.Record().SetTextAt(kArg1, name);
    add.Record().SetTextAt(kAddIdentityPasswordOffset, password);
    WipedReply added;
    if (!Ask(m_client, add.Record(), added.Record()) || added.Record().I32At(kArg2) == 0)
        return Outcome::ServiceFailed;
    const int index = added.Record().I32At(kArg1);

    PasswordRequest activate(kCmdSetIdentity);
    activate.Record().SetI32At(kArg1, index);
    activate.Record().SetTextAt(kArg2, password);
    WipedReply activated;
    if (!Ask(m_client, activate.Record(), activated.Record()) ||
        activated.Record().I32At(kArg1) == 0) {
        // The new identity is not active, so it can go again: no stored
        // identity is left behind that was never registered.
        BridgeRecord remove;
        remove.SetCode(kCmdDeleteIdentity);
        remove.SetI32At(kArg1, index);
        BridgeRecord ignored;
        Ask(m_client, remove, ignored);
        return Outcome::ServiceFailed;
    }

    if (decision.registeredId >= 0) {
        PasswordRequest claim(kCmdClaimID);
        claim.Record().SetI32At(kArg1, decision.registeredId);
        claim.Record().SetTextAt(kArg2, password);
        WipedReply claimed;
        if (!Ask(m_client, claim.Record(), claimed.Record()) || claimed.Record().I32At(kArg1) == 0)
            return Outcome::ServiceFailed;
    }

    PasswordRequest profile(kCmdSetMyProfile);
    profile.Record().SetTextAt(BridgeRecord::kProfileRequestOffset, name,
                               PersonalInfoLayout::kNameWidth);
    profile.Record().SetTextAt(BridgeRecord::kProfileRequestOffset +
                                   PersonalInfoLayout::kEMailOffset,
                               eMail, PersonalInfoLayout::kEMailWidth);
    profile.Record().SetTextAt(BridgeRecord::kProfileRequestOffset +
                                   PersonalInfoLayout::kPasswordOffset,
                               password, PersonalInfoLayout::kPasswordWidth);
    WipedReply stored;
    if (!Ask(m_client, profile.Record(), stored.Record()) || stored.Record().I32At(kArg1) == 0)
        return Outcome::ServiceFailed;

    // The service writes its identity table only when asked to; without this
    // the new identity would be gone after its next start.
    BridgeRecord flush;
    flush.SetCode(kCmdFlushData);
    BridgeRecord flushed;
    if (!Ask(m_client, flush, flushed) || flushed.I32At(kArg1) == 0)
        return Outcome::NotSaved;
    return Outcome::Registered;
}

IdentityRegistration::Outcome IdentityRegistration::Register(const std::string& name,
                                                             const std::string& eMail,
                                                             const std::string& password) {
    const std::string trimmedMail = Trimmed(eMail);
    const std::string trimmedPassword = Trimmed(password);
    if (!ValidInput(name, trimmedMail, trimmedPassword))
        return Outcome::BadInput;
    if (!DirectoryReachable())
        return Outcome::NoDirectory;
    const Decision decision = Decide(trimmedMail, trimmedPassword);
    return Finish(name, trimmedMail, trimmedPassword, decision);
}

std::string IdentityRegistration::VerdictText(const Decision& decision) {
    switch (decision.outcome) {
    case Outcome::AlreadyLocal:
        return "You have already used this e-mail address for an identity; you should just "
               "switch to the identity designated by this e-mail.";
    case Outcome::TakenElsewhere:
        return "This ID (e-mail address) has already been registered.  Your passwords do not "
               "match; you cannot take this identity, you must use a different e-mail address";
    case Outcome::Registered:
        if (decision.registeredId >= 0)
            return "This ID (e-mail address) has already been registered.  Your passwords do, "
                   "however, match; you can proceed and register this identity for yourself";
        return {};
    default:
        return {};
    }
}
