#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

// "Computer information": the computer and user name a file system reports
// about its computer (the explorer's Info command).
class ComputerInfoDialog : public QDialog {
    Q_OBJECT
public:
    ComputerInfoDialog(const QString& computerName, const QString& userName,
                       QWidget* parent = nullptr);

    // Shows the dialog for what a file system's GetProperties gave (computer
    // name first, user name second); when it failed or gave less, says "Could
    // not get the computer's information." instead. Modal, on the
    // user-interface thread: the caller asks the file system elsewhere, since
    // a friend's computer may take long to answer.
    static void ShowFor(bool answered, const std::vector<std::string>& properties, QWidget* parent);
};
