#include "app/shell/dialogs/ComputerOpening.h"

#include "app/peer/PresenceDirectory.h"
#include "app/shell/dialogs/FriendLookup.h"
#include "app/shell/frame/BackgroundCall.h"

#include <QMessageBox>
#include <QWidget>
#include <memory>

namespace {

const QString kOpenCaption = QStringLiteral("Open Computer");

QMessageBox::StandardButton ShowBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                    const QString& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

ComputerOpening::ComputerOpening(std::function<bool()> presenceReady, QString productPage,
                                 OpenWindow open, QWidget* parent)
    : QObject(parent)
    , m_presenceReady(std::move(presenceReady))
    , m_productPage(std::move(productPage))
    , m_open(std::move(open))
    , m_parent(parent) {
    ask = [this](const QString& caption, const QString& text) {
        return ShowBox(m_parent, QMessageBox::Question, caption, text,
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    tell = [this](const QString& caption, const QString& text) {
        ShowBox(m_parent, QMessageBox::Warning, caption, text, QMessageBox::Ok);
    };
}

void ComputerOpening::Tell(const QString& caption, const QString& text) {
    tell(caption, text);
    emit Settled();
}

void ComputerOpening::Open(const QString& nameOrAddress) {
    const QString name = nameOrAddress.trimmed();
    if (name == QStringLiteral("0.0.0.0")) {
        Tell(kOpenCaption, QStringLiteral("Your friend is offline."));
        return;
    }
    if (!name.contains(QLatin1Char('@'))) {
        m_open(name);
        emit Settled();
        return;
    }
    if (!m_presenceReady || !m_presenceReady()) {
        Tell(kOpenCaption, QStringLiteral("The presence service is not running, so %1 cannot be "
                                          "found. Friends open by e-mail address once it runs.")
                               .arg(name));
        return;
    }
    LookUp(name, false);
}

void ComputerOpening::LookUp(const QString& eMail, bool added) {
    auto lookup = std::make_shared<FriendLookup>();
    RunInBackground(
        this,
        [lookup, wanted = eMail.toStdString()] {
            *lookup = LookUpFriend(wanted, kDrovickTos);
            return 0;
        },
        [this, lookup, eMail, added](int) { Answered(eMail, *lookup, added); });
}

void ComputerOpening::Answered(const QString& eMail, const FriendLookup& lookup, bool added) {
    switch (lookup.outcome) {
    case FriendLookup::Outcome::Found:
        m_open(QString::fromStdString(lookup.address));
        emit Settled();
        return;
    case FriendLookup::Outcome::Offline:
        Tell(kOpenCaption, QStringLiteral("Your friend is offline."));
        return;
    case FriendLookup::Outcome::NotAFriend:
        // Added a moment ago and still not in the list: asking again would
        // go round in circles.
        if (added) {
            Tell(kOpenCaption,
                 QStringLiteral("%1 could not be added to your friends list.").arg(eMail));
            return;
        }
        if (!ask(
                QStringLiteral("Add a new friend"),
                QStringLiteral("%1 is not in your friends list.\nWould you like to add him or her?")
                    .arg(eMail))) {
            emit Settled();
            return;
        }
        AddFriend(eMail, lookup.id);
        return;
    case FriendLookup::Outcome::NotRegistered:
        if (!ask(QStringLiteral("Invite a new friend"),
                 QStringLiteral("%1 does not have Drovick.\nWould you like to invite him or her "
                                "to get it?")
                     .arg(eMail))) {
            emit Settled();
            return;
        }
        Invite(eMail);
        return;
    case FriendLookup::Outcome::NoAnswer:
        Tell(kOpenCaption,
             QStringLiteral("The presence service did not answer, so %1 cannot be found.")
                 .arg(eMail));
        return;
    }
}

void ComputerOpening::AddFriend(const QString& eMail, int id) {
    RunInBackground(
        this, [id] { return AddFriendById(id) ? 1 : 0; },
        [this, eMail](int added) {
            if (added == 0) {
                Tell(QStringLiteral("Add a new friend"),
                     QStringLiteral("%1 could not be added to your friends list.").arg(eMail));
                return;
            }
            LookUp(eMail, true);
        });
}

void ComputerOpening::Invite(const QString& eMail) {
    RunInBackground(
        this,
        [wanted = eMail.toStdString(), page = m_productPage.toStdString()] {
            return InviteFriend(wanted, page, kDrovickTos) ? 1 : 0;
        },
        [this, eMail](int sent) {
            if (sent == 0) {
                Tell(QStringLiteral("Invite a new friend"),
                     QStringLiteral("The invitation to %1 could not be sent.").arg(eMail));
                return;
            }
            emit Settled();
        });
}
