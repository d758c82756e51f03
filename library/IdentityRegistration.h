#pragma once

#include <functional>
#include <string>

class HalvaraClient;

// What registering a new identity decides and does, without any window: the
// registration wizard shows these decisions as its verdicts, a program without
// windows gets them as results.
//
// A registration either takes a new ID from the directory (the address is not
// registered there yet) or claims the ID already registered for the address
// when the password given is that ID's password. An address that a stored
// identity of this user already uses is refused: the user should switch to it.
class IdentityRegistration {
public:
    // Results; the negative ones are the C interface's, one per refusal.
    enum class Outcome {
        Registered = 1,
        BadInput = -1,
        NoDirectory = -2,
        AlreadyLocal = -3,
        TakenElsewhere = -4,
        ServiceFailed = -5,
        NotSaved = -6,
    };

    // What the decision steps found about an address and password.
    struct Decision {
        Outcome outcome = Outcome::ServiceFailed;
        // The ID the directory holds for the address; -1 when it holds none.
        int registeredId = -1;
        bool MayRegister() const { return outcome == Outcome::Registered; }
    };

    // Longest texts the identity table and the profile record keep.
    static constexpr std::size_t kMaxNameLength = 127;
    static constexpr std::size_t kMaxEMailLength = 127;
    static constexpr std::size_t kMaxPasswordLength = 127;

    using Probe = std::function<bool()>;
    // The probe says whether the directory host can be reached; by default a
    // TCP connection within two seconds.
    explicit IdentityRegistration(HalvaraClient& client, Probe probe = {});

    // The whole registration: checks, probe, decision, then Finish.
    Outcome Register(const std::string& name, const std::string& eMail,
                     const std::string& password);

    // Name, address and password fit their fields; the address has an at sign.
    static bool ValidInput(const std::string& name, const std::string& eMail,
                           const std::string& password);
    bool DirectoryReachable() const;
    // Whether the address may be registered with this password (the wizard's
    // verdict page).
    Decision Decide(const std::string& eMail, const std::string& password);
    // Creates the stored identity, makes it active, claims an existing ID,
    // stores the profile with the directory and writes the identity table.
    Outcome Finish(const std::string& name, const std::string& eMail, const std::string& password,
                   const Decision& decision);

    // The wizard's verdict text for a decision; empty when there is nothing to
    // say about the ID.
    static std::string VerdictText(const Decision& decision);
    // The password as the wizard reads it: blanks at both ends cut off.
    static std::string Trimmed(const std::string& text);

private:
    HalvaraClient& m_client;
    Probe m_probe;
};
