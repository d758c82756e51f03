#pragma once

#include "BackgroundWork.h"
#include "ClientCalls.h"

#include <QWizard>
#include <QWizardPage>

class QLabel;
class QLineEdit;

// Page 1 of "Register ID": name, address, password and its confirmation.
class RegisterFieldsPage : public QWizardPage {
public:
    explicit RegisterFieldsPage(QWidget* parent);

    QString Name() const;
    QString EMail() const;
    // The password and its confirmation as the wizard compares them: trimmed.
    QString Password() const;
    QString Confirmation() const;

    // Next needs a name, an address with an at sign and a password, since the
    // service would otherwise store an identity nobody can use.
    bool isComplete() const override;

private:
    QLineEdit* m_name;
    QLineEdit* m_eMail;
    QLineEdit* m_password;
    QLineEdit* m_confirmation;
};

// Page 2: what was typed, and the verdicts on the password and the ID, worked
// out again each time the page is shown.
class RegisterVerdictPage : public QWizardPage {
public:
    RegisterVerdictPage(QWizard* wizard, const RegisterFieldsPage& fields,
                        const ClientCalls& client);

    void initializePage() override;
    // Finish: the address may be taken and the passwords match.
    bool isComplete() const override;

    int RegisteredId() const { return m_verdict.registeredId; }
    bool Busy() const { return m_work.Busy(); }

private:
    // Commands 31, 14 and 16 on a worker for the fields as they are now.
    void Decide();

    QWizard& m_wizard;
    const RegisterFieldsPage& m_fields;
    ClientCalls m_client;
    QLabel* m_name;
    QLabel* m_eMail;
    QLabel* m_passwordVerdict;
    QLabel* m_idVerdict;
    bool m_passwordsMatch = false;
    bool m_decided = false;
    // Counts the page's activations, so a verdict on older fields is not shown.
    int m_generation = 0;
    ClientCalls::Verdict m_verdict;
    BackgroundWork m_work;
};

// "Register ID": the two pages; Finish registers the identity and makes it the
// active one.
class RegisterWizard : public QWizard {
public:
    RegisterWizard(QWidget* parent, const ClientCalls& client);

    // After the wizard ended: 1 registered, 0 not.
    int Answer() const { return m_answer; }

    void accept() override;

private:
    ClientCalls m_client;
    RegisterFieldsPage* m_fields;
    RegisterVerdictPage* m_verdicts;
    int m_answer = 0;
    BackgroundWork m_work;
};
