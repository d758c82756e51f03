#pragma once

#include <QDialog>
#include <QString>

class DrovickSettings;
class QDialogButtonBox;
class QLineEdit;
class QRadioButton;

// "Choose target computer": which computer a new explorer window shows, this
// one or another given by its address or a friend's e-mail address. Opens with
// the last choice and name from the settings; OK stores them there.
class ChooseTargetComputerDialog : public QDialog {
    Q_OBJECT
public:
    ChooseTargetComputerDialog(DrovickSettings& settings, QWidget* parent = nullptr);

    // After OK: whether another computer was chosen, and its name ("(Local)"
    // for this computer).
    bool IsRemote() const;
    QString ComputerName() const;

    // The settings field holds at most this many bytes (with its terminating
    // zero, 510): a longer name is stored as empty rather than cut.
    static constexpr int kStoredNameLimit = 509;

    void accept() override;

private:
    void UpdateEnabling();

    DrovickSettings& m_settings;
    QRadioButton* m_myComputer;
    QRadioButton* m_remoteComputer;
    QLineEdit* m_remoteName;
    QDialogButtonBox* m_buttons;
};
