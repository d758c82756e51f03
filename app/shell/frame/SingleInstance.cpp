#include "app/shell/frame/SingleInstance.h"

#include "app/session/PeerServices.h"
#include "app/shell/frame/SessionMessages.h"

#include <cstring>

bool SingleInstance::HolderIsWindowProgram(const std::string& holder) {
    // The holder's text is "<program>, process <pid>".
    const std::size_t length = std::strlen(kProgramName);
    return holder.compare(0, length, kProgramName) == 0 && holder.size() > length &&
           holder[length] == ',';
}

SingleInstance::Outcome SingleInstance::Claim(PeerServices& services, std::string& holder) {
    switch (services.TakeGuard(holder)) {
    case PeerServices::Guard::Taken:
        return Outcome::First;
    case PeerServices::Guard::Unreachable:
        return Outcome::Unreachable;
    case PeerServices::Guard::HeldByOther:
        break;
    }
    if (!HolderIsWindowProgram(holder))
        return Outcome::HeldByOther;
    SessionMessages::PostWakeUp();
    return Outcome::WokeRunning;
}

QString SingleInstance::Refusal(Outcome outcome, const std::string& holder) {
    if (outcome == Outcome::Unreachable)
        return QStringLiteral("Drovick could not check whether it already runs for this user.");
    return QStringLiteral("Drovick already serves this user in another program (%1).\n"
                          "End that program first.")
        .arg(QString::fromStdString(holder));
}
