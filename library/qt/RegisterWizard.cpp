#include "RegisterWizard.h"

#include "LibraryIcon.h"

#include <QAbstractButton>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

QLineEdit* Edit(QWidget* parent, const char* name, bool hidden) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(ClientCalls::kMaxTextLength);
    if (hidden)
        edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QLabel* Shown(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

RegisterFieldsPage::RegisterFieldsPage(QWidget* parent)
    : QWizardPage(parent)
    , m_name(Edit(this, "name", false))
    , m_eMail(Edit(this, "eMail", false))
    , m_password(Edit(this, "password", true))
    , m_confirmation(Edit(this, "confirmation", true)) {
    setTitle(tr("Register"));
    auto* intro = new QLabel(tr("In Halvara, you need an ID number so your friends can reach "
                                "you.  Please fill in the below information carefully, and "
                                "your ID number will be assigned to you."),
                             this);
    intro->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(tr("&Name:"), m_name);
    form->addRow(tr("&E-mail address:"), m_eMail);
    form->addRow(tr("&Password:"), m_password);
    form->addRow(tr("&Confirm password:"), m_confirmation);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addSpacing(8);
    layout->addLayout(form);
    for (QLineEdit* edit : {m_name, m_eMail, m_password})
        connect(edit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
}

QString RegisterFieldsPage::Name() const {
    return m_name->text().trimmed();
}

QString RegisterFieldsPage::EMail() const {
    return m_eMail->text().trimmed();
}

QString RegisterFieldsPage::Password() const {
    return m_password->text().trimmed();
}

QString RegisterFieldsPage::Confirmation() const {
    return m_confirmation->text().trimmed();
}

bool RegisterFieldsPage::isComplete() const {
    return !Name().isEmpty() && EMail().contains(u'@') && !Password().isEmpty();
}

RegisterVerdictPage::RegisterVerdictPage(QWizard* wizard, const RegisterFieldsPage& fields,
                                         const ClientCalls& client)
    : QWizardPage(wizard)
    , m_wizard(*wizard)
    , m_fields(fields)
    , m_client(client)
    , m_name(Shown(this, "name"))
    , m_eMail(Shown(this, "eMail"))
    , m_passwordVerdict(Shown(this, "passwordVerdict"))
    , m_idVerdict(Shown(this, "idVerdict"))
    , m_work(*wizard, [this] { emit completeChanged(); }) {
    setTitle(tr("Register"));
    auto* form = new QFormLayout;
    form->addRow(tr("Name:"), m_name);
    form->addRow(tr("E-mail address:"), m_eMail);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(8);
    layout->addWidget(m_passwordVerdict);
    layout->addSpacing(8);
    layout->addWidget(m_idVerdict);
    layout->addStretch(1);
}

void RegisterVerdictPage::initializePage() {
    m_name->setText(m_fields.Name());
    m_eMail->setText(m_fields.EMail());
    m_passwordsMatch = m_fields.Password() == m_fields.Confirmation();
    m_passwordVerdict->setText(m_passwordsMatch
                                   ? tr("Passwords match.  Make sure you write it down.")
                                   : tr("Passwords do not match"));
    m_idVerdict->clear();
    m_decided = false;
    m_verdict = {};
    ++m_generation;
    // A verdict still on its way was asked for older text; it asks again when it comes.
    if (!m_work.Busy())
        Decide();
}

void RegisterVerdictPage::Decide() {
    const int generation = m_generation;
    m_work.Start([this, generation, eMail = m_fields.EMail(),
                  password = m_fields.Password()]() -> BackgroundWork::Then {
        ClientCalls::Verdict verdict = m_client.DecideRegistration(eMail, password);
        return [this, verdict, generation] {
            if (generation != m_generation) {
                if (m_wizard.currentPage() == this)
                    Decide();
                return;
            }
            m_verdict = verdict;
            m_decided = true;
            m_idVerdict->setText(verdict.text);
            emit completeChanged();
        };
    });
}

bool RegisterVerdictPage::isComplete() const {
    return m_decided && !m_work.Busy() && m_verdict.mayTake && m_passwordsMatch;
}

RegisterWizard::RegisterWizard(QWidget* parent, const ClientCalls& client)
    : QWizard(parent)
    , m_client(client)
    , m_fields(new RegisterFieldsPage(this))
    , m_verdicts(new RegisterVerdictPage(this, *m_fields, client))
    , m_work(*this, [this] {
        const bool idle = !m_work.Busy();
        for (WizardButton which : {BackButton, FinishButton})
            button(which)->setEnabled(idle && (which != FinishButton || m_verdicts->isComplete()));
    }) {
    setObjectName("RegisterWizard");
    setWindowTitle(tr("Register ID"));
    setWindowIcon(LibraryIcon());
    setWizardStyle(QWizard::ClassicStyle);
    setOption(QWizard::NoBackButtonOnStartPage);
    addPage(m_fields);
    addPage(m_verdicts);
    setMinimumSize(480, 330);
}

void RegisterWizard::accept() {
    if (m_work.Busy() || m_verdicts->Busy() || !m_verdicts->isComplete())
        return;
    m_work.Start([this, name = m_fields->Name(), eMail = m_fields->EMail(),
                  password = m_fields->Password(),
                  registeredId = m_verdicts->RegisteredId()]() -> BackgroundWork::Then {
        const bool registered = m_client.FinishRegistration(name, eMail, password, registeredId);
        return [this, registered] {
            m_answer = registered ? 1 : 0;
            QWizard::accept();
        };
    });
}
