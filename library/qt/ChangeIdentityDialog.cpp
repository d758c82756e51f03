#include "ChangeIdentityDialog.h"

#include "GuiThread.h"
#include "LibraryIcon.h"
#include "RegisterWizard.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>

namespace {

constexpr int kIndexRole = Qt::UserRole + 1;

} // namespace

ChangeIdentityDialog::ChangeIdentityDialog(QWidget* parent, const ClientCalls& client)
    : QDialog(parent)
    , m_client(client)
    , m_model(new QStandardItemModel(this))
    , m_list(new QListView(this))
    , m_password(new QLineEdit(this))
    , m_newIdentity(new QPushButton(tr("New identity..."), this))
    , m_deleteIdentity(new QPushButton(tr("Delete identity"), this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
    , m_work(*this, [this] { UpdateButtons(); }) {
    setObjectName("ChangeIdentityDialog");
    setWindowTitle(tr("Change Identity"));
    setWindowIcon(LibraryIcon());
    m_list->setObjectName("identities");
    m_list->setModel(m_model);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setMinimumSize(280, 140);
    m_password->setObjectName("password");
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setMaxLength(ClientCalls::kMaxTextLength);
    m_newIdentity->setObjectName("newIdentity");
    m_newIdentity->setAutoDefault(false);
    m_deleteIdentity->setObjectName("deleteIdentity");
    m_deleteIdentity->setAutoDefault(false);

    auto* layout = new QGridLayout(this);
    auto* listLabel = new QLabel(tr("&Identities:"), this);
    listLabel->setBuddy(m_list);
    layout->addWidget(listLabel, 0, 0, 1, 2);
    layout->addWidget(m_list, 1, 0, 3, 1);
    layout->addWidget(m_newIdentity, 1, 1);
    layout->addWidget(m_deleteIdentity, 2, 1);
    auto* passwordLabel = new QLabel(tr("&Password:"), this);
    passwordLabel->setBuddy(m_password);
    layout->addWidget(passwordLabel, 4, 0, 1, 2);
    layout->addWidget(m_password, 5, 0);
    layout->addWidget(m_buttons, 6, 0, 1, 2);
    layout->setRowStretch(3, 1);

    connect(m_password, &QLineEdit::textChanged, this, [this] { UpdateButtons(); });
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { UpdateButtons(); });
    connect(m_deleteIdentity, &QPushButton::clicked, this, [this] { DeleteSelected(); });
    connect(m_newIdentity, &QPushButton::clicked, this, [this] { NewIdentity(); });
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    Refill();
}

ChangeIdentityDialog::~ChangeIdentityDialog() {
    m_closing = true;
}

ChangeIdentityDialog::Identities ChangeIdentityDialog::ReadIdentities(int& active) const {
    active = m_client.ActiveIdentity();
    Identities identities;
    const int highest = m_client.HighestIdentity();
    for (int index = 0; index <= highest && !m_closing; ++index) {
        if (std::optional<QString> text = m_client.IdentityText(index))
            identities.emplace_back(index, *text);
    }
    return identities;
}

void ChangeIdentityDialog::Refill() {
    m_work.Start([this]() -> BackgroundWork::Then {
        int active = -1;
        Identities identities = ReadIdentities(active);
        return [this, identities = std::move(identities), active] { Show(identities, active); };
    });
}

void ChangeIdentityDialog::Show(const Identities& identities, int active) {
    m_active = active;
    m_model->clear();
    for (const auto& [index, text] : identities) {
        auto* item = new QStandardItem(text);
        item->setData(index, kIndexRole);
        m_model->appendRow(item);
        if (index == active)
            m_list->setCurrentIndex(item->index());
    }
    UpdateButtons();
}

int ChangeIdentityDialog::SelectedIndex() const {
    const QModelIndex current = m_list->currentIndex();
    return current.isValid() ? current.data(kIndexRole).toInt() : -1;
}

void ChangeIdentityDialog::UpdateButtons() {
    const bool idle = !m_work.Busy();
    const bool selected = SelectedIndex() >= 0;
    m_buttons->button(QDialogButtonBox::Ok)
        ->setEnabled(idle && selected && !m_password->text().isEmpty());
    m_deleteIdentity->setEnabled(idle && selected);
    m_newIdentity->setEnabled(idle);
}

void ChangeIdentityDialog::DeleteSelected() {
    const int index = SelectedIndex();
    if (index < 0 || m_work.Busy())
        return;
    if (index == m_active) {
        GuiThread::OpenMessageBox(this, QMessageBox::Critical, tr("Delete identity"),
                                  tr("You cannot delete your own identity."), QMessageBox::Ok);
        return;
    }
    m_work.Start([this, index]() -> BackgroundWork::Then {
        m_client.DeleteIdentity(index);
        int active = -1;
        Identities identities = ReadIdentities(active);
        return [this, identities = std::move(identities), active] { Show(identities, active); };
    });
}

void ChangeIdentityDialog::NewIdentity() {
    m_work.Start([this]() -> BackgroundWork::Then {
        const bool reachable = m_client.DirectoryReachable();
        return [this, reachable] {
            if (!reachable)
                return;
            auto* wizard = new RegisterWizard(this, m_client);
            connect(wizard, &QDialog::finished, this, [this, wizard] {
                // The new identity is already the active one: nothing is left to change.
                if (wizard->Answer() == 1)
                    reject();
            });
            GuiThread::Open(wizard);
        };
    });
}

void ChangeIdentityDialog::accept() {
    const int index = SelectedIndex();
    if (m_work.Busy() || index < 0 || m_password->text().isEmpty())
        return;
    m_work.Start([this, index, password = m_password->text()]() -> BackgroundWork::Then {
        const bool changed = m_client.SetIdentity(index, password);
        return [this, changed] {
            m_answer = changed ? 1 : 0;
            QDialog::accept();
        };
    });
}
