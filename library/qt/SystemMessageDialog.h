#pragma once

#include <QDialog>

class QPushButton;

// The service's system message: the title as caption, the text, and a
// "Go there!" button when the text names an http:// address.
class SystemMessageDialog : public QDialog {
public:
    SystemMessageDialog(QWidget* parent, const QString& title, const QString& text);

    // The address from "http://" up to the first blank or line feed (or the
    // end); empty when the text names none.
    static QString AddressIn(const QString& text);

private:
    void GoThere();

    QString m_address;
};
