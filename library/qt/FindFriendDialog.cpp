#include "FindFriendDialog.h"

#include "GuiThread.h"
#include "LibraryIcon.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

FindFriendDialog::FindFriendDialog(QWidget* parent, const ClientCalls& client,
                                   Application application)
    : QDialog(parent)
    , m_client(client)
    , m_application(std::move(application))
    , m_eMail(new QLineEdit(this))
    , m_find(new QPushButton(tr("&Find"), this))
    , m_status(new QLabel(tr("Type in your friend's e-mail address and click Find."), this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
    , m_work(*this, [this] { UpdateButtons(); }) {
    setObjectName("NewFriendDialog");
    setWindowTitle(tr("New friend"));
    setWindowIcon(LibraryIcon());
    m_eMail->setObjectName("eMail");
    m_eMail->setMaxLength(ClientCalls::kMaxTextLength);
    m_eMail->setMinimumWidth(260);
    m_find->setObjectName("find");
    m_find->setAutoDefault(false);
    m_status->setObjectName("status");
    m_status->setWordWrap(true);
    m_status->setMinimumHeight(m_status->fontMetrics().lineSpacing() * 2);

    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(tr("Your friend's e-mail address:"), this), 0, 0, 1, 2);
    layout->addWidget(m_eMail, 1, 0);
    layout->addWidget(m_find, 1, 1);
    layout->addWidget(m_status, 2, 0, 1, 2);
    layout->addWidget(m_buttons, 3, 0, 1, 2);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_find, &QPushButton::clicked, this, [this] { Find(); });
    connect(m_eMail, &QLineEdit::returnPressed, this, [this] { Find(); });
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    UpdateButtons();
}

void FindFriendDialog::UpdateButtons() {
    const bool idle = !m_work.Busy();
    m_find->setEnabled(idle);
    m_eMail->setEnabled(idle);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(idle && m_foundId >= 0);
}

void FindFriendDialog::Find() {
    if (m_work.Busy())
        return;
    m_typedAddress = m_eMail->text().trimmed();
    m_work.Start([this, address = m_typedAddress]() -> BackgroundWork::Then {
        const int id = m_client.LookupId(address);
        return [this, id] { Found(id); };
    });
}

void FindFriendDialog::Found(int id) {
    if (id >= 0) {
        m_foundId = id;
        m_status->setText(tr("Found!  Click OK to add your friend."));
        UpdateButtons();
        return;
    }
    m_foundId = -1;
    m_status->setText(tr("Could not find your friend.  You can invite your friend to join."));
    UpdateButtons();
    GuiThread::OpenMessageBox(this, QMessageBox::Question, tr("Could not find your friend."),
                              tr("Would you like to send your friend an invitation?"),
                              QMessageBox::Yes | QMessageBox::No, [this](int answer) {
                                  if (answer == QMessageBox::Yes)
                                      Invite();
                              });
}

void FindFriendDialog::Invite() {
    m_work.Start([this, address = m_typedAddress]() -> BackgroundWork::Then {
        m_client.SendInvitation(address, m_application.name, m_application.webAddress,
                                m_application.id);
        return {};
    });
}

void FindFriendDialog::accept() {
    if (m_work.Busy() || m_foundId < 0)
        return;
    // The add itself waits for the service too; the dialog closes once it is done.
    m_work.Start([this, id = m_foundId]() -> BackgroundWork::Then {
        const bool added = m_client.AddFriend(id);
        return [this, added] {
            m_answer = added ? 1 : 0;
            QDialog::accept();
        };
    });
}
