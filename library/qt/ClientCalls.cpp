#include "ClientCalls.h"

#include <QByteArray>
#include <algorithm>
#include <array>

namespace {

// Room for the identity text of command 22 and its terminator.
constexpr int kIdentityBuffer = 128;
// Room for the longest verdict text.
constexpr int kVerdictBuffer = 512;

} // namespace

ClientCalls::ClientCalls(const HalvaraQtClientCalls& calls)
    : m_calls(calls) {}

int ClientCalls::LookupId(const QString& eMail) const {
    return m_calls.lookupId(m_calls.context, eMail.toUtf8().constData());
}

bool ClientCalls::SendInvitation(const QString& eMail, const QString& applicationName,
                                 const QString& applicationWebAddress, int applicationId) const {
    return m_calls.sendInvitation(m_calls.context, eMail.toUtf8().constData(),
                                  applicationName.toUtf8().constData(),
                                  applicationWebAddress.toUtf8().constData(), applicationId) != 0;
}

bool ClientCalls::AddFriend(int id) const {
    return m_calls.addFriend(m_calls.context, id) != 0;
}

int ClientCalls::ActiveIdentity() const {
    return m_calls.activeIdentity(m_calls.context);
}

int ClientCalls::HighestIdentity() const {
    return std::min(m_calls.highestIdentity(m_calls.context), kMaxIdentities - 1);
}

std::optional<QString> ClientCalls::IdentityText(int index) const {
    std::array<char, kIdentityBuffer> text{};
    if (m_calls.identityText(m_calls.context, index, text.data(), kIdentityBuffer) == 0)
        return std::nullopt;
    text.back() = '\0';
    return QString::fromUtf8(text.data());
}

bool ClientCalls::DeleteIdentity(int index) const {
    return m_calls.deleteIdentity(m_calls.context, index) != 0;
}

bool ClientCalls::SetIdentity(int index, const QString& password) const {
    QByteArray bytes = password.toUtf8();
    const bool changed = m_calls.setIdentity(m_calls.context, index, bytes.constData()) != 0;
    bytes.fill('\0');
    return changed;
}

bool ClientCalls::DirectoryReachable() const {
    return m_calls.directoryReachable(m_calls.context) != 0;
}

ClientCalls::Verdict ClientCalls::DecideRegistration(const QString& eMail,
                                                     const QString& password) const {
    std::array<char, kVerdictBuffer> text{};
    QByteArray bytes = password.toUtf8();
    Verdict verdict;
    verdict.mayTake =
        m_calls.decideRegistration(m_calls.context, eMail.toUtf8().constData(), bytes.constData(),
                                   &verdict.registeredId, text.data(), kVerdictBuffer) != 0;
    bytes.fill('\0');
    text.back() = '\0';
    verdict.text = QString::fromUtf8(text.data());
    return verdict;
}

bool ClientCalls::FinishRegistration(const QString& name, const QString& eMail,
                                     const QString& password, int registeredId) const {
    QByteArray bytes = password.toUtf8();
    const bool registered = m_calls.finishRegistration(m_calls.context, name.toUtf8().constData(),
                                                       eMail.toUtf8().constData(),
                                                       bytes.constData(), registeredId) != 0;
    bytes.fill('\0');
    return registered;
}
