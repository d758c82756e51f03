#pragma once

#include "BackgroundWork.h"
#include "ClientCalls.h"

#include <QDialog>
#include <atomic>
#include <utility>
#include <vector>

class QDialogButtonBox;
class QLineEdit;
class QListView;
class QPushButton;
class QStandardItemModel;

// "Change Identity": the stored identities by index with the active one
// selected, a password, deleting another identity, and registering a new one.
class ChangeIdentityDialog : public QDialog {
public:
    ChangeIdentityDialog(QWidget* parent, const ClientCalls& client);
    ~ChangeIdentityDialog() override;

    // After the dialog ended: 1 the chosen identity is active, 0 the service
    // refused the password, else cancelled.
    int Answer() const { return m_answer; }

    void accept() override;

private:
    using Identities = std::vector<std::pair<int, QString>>;
    // Commands 25, 26 and 22 for each index; runs on the worker.
    Identities ReadIdentities(int& active) const;
    void Refill();
    void Show(const Identities& identities, int active);
    int SelectedIndex() const;
    void DeleteSelected();
    void NewIdentity();
    void UpdateButtons();

    ClientCalls m_client;
    QStandardItemModel* m_model;
    QListView* m_list;
    QLineEdit* m_password;
    QPushButton* m_newIdentity;
    QPushButton* m_deleteIdentity;
    QDialogButtonBox* m_buttons;
    int m_active = -1;
    int m_answer = HALVARA_QT_CANCELLED;
    // Ends the identity walk when the dialog goes while it runs.
    std::atomic<bool> m_closing{false};
    BackgroundWork m_work;
};
