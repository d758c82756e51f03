#pragma once

#include "QtPresenterAbi.h"

#include <QString>
#include <optional>

// The client's operations as the dialogs use them: Qt texts in, answers out.
// Every call is a bridge exchange that may wait, so the dialogs make them on
// worker threads only (BackgroundWork). A copy of the table is kept, as the
// library's table lives on the caller's stack.
class ClientCalls {
public:
    explicit ClientCalls(const HalvaraQtClientCalls& calls);

    // The longest identity text, address and password the service keeps.
    static constexpr int kMaxTextLength = 127;
    // More identities than anybody keeps: a larger highest index is a broken
    // reply, and the list stops there.
    static constexpr int kMaxIdentities = 1024;

    int LookupId(const QString& eMail) const;
    bool SendInvitation(const QString& eMail, const QString& applicationName,
                        const QString& applicationWebAddress, int applicationId) const;
    bool AddFriend(int id) const;
    int ActiveIdentity() const;
    int HighestIdentity() const;
    std::optional<QString> IdentityText(int index) const;
    bool DeleteIdentity(int index) const;
    bool SetIdentity(int index, const QString& password) const;
    bool DirectoryReachable() const;

    struct Verdict {
        bool mayTake = false;
        int registeredId = -1;
        QString text;
    };
    Verdict DecideRegistration(const QString& eMail, const QString& password) const;
    bool FinishRegistration(const QString& name, const QString& eMail, const QString& password,
                            int registeredId) const;

private:
    HalvaraQtClientCalls m_calls;
};
