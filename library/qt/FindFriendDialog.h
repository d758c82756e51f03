#pragma once

#include "BackgroundWork.h"
#include "ClientCalls.h"

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "New friend": looks a friend up by e-mail address, offers an invitation when
// nobody has it, and adds the friend found when the user confirms.
class FindFriendDialog : public QDialog {
public:
    struct Application {
        QString name;
        QString webAddress;
        int id = 0;
    };

    FindFriendDialog(QWidget* parent, const ClientCalls& client, Application application);

    // After the dialog ended: 1 added, 0 the add failed, else cancelled.
    int Answer() const { return m_answer; }

    void accept() override;

private:
    void Find();
    void Found(int id);
    // Command 27 with the address typed for the last Find.
    void Invite();
    void UpdateButtons();

    ClientCalls m_client;
    Application m_application;
    QLineEdit* m_eMail;
    QPushButton* m_find;
    QLabel* m_status;
    QDialogButtonBox* m_buttons;
    QString m_typedAddress;
    int m_foundId = -1;
    int m_answer = HALVARA_QT_CANCELLED;
    BackgroundWork m_work;
};
