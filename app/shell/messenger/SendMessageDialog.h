#pragma once

#include <QDialog>

class QLineEdit;
class QPlainTextEdit;

// "Send Instant Message": the destination (a friend's e-mail address or an
// address) and the message. It only asks; the caller sends.
class SendMessageDialog : public QDialog {
    Q_OBJECT
public:
    explicit SendMessageDialog(const QString& destination, QWidget* parent = nullptr);

    QString Destination() const;
    QString Message() const;
    QLineEdit* DestinationEdit() const { return m_destination; }
    QPlainTextEdit* MessageEdit() const { return m_message; }

private:
    QLineEdit* m_destination;
    QPlainTextEdit* m_message;
};
