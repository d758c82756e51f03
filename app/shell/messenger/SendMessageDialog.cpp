#include "app/shell/messenger/SendMessageDialog.h"

#include "app/shell/resources/ShellIcons.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

SendMessageDialog::SendMessageDialog(const QString& destination, QWidget* parent)
    : QDialog(parent)
    , m_destination(new QLineEdit(destination))
    , m_message(new QPlainTextEdit) {
    setWindowTitle(QStringLiteral("Send Instant Message"));
    setWindowIcon(ShellIcons::Get("message"));
    setObjectName(QStringLiteral("SendMessageDialog"));
    m_destination->setObjectName(QStringLiteral("destination"));
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTabChangesFocus(true);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("E-mail or IP:"), m_destination);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_message, 1);
    layout->addWidget(buttons);
    resize(380, 240);
    if (!destination.isEmpty())
        m_message->setFocus();
}

QString SendMessageDialog::Destination() const {
    return m_destination->text().trimmed();
}

QString SendMessageDialog::Message() const {
    return m_message->toPlainText();
}
