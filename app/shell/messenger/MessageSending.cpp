#include "app/shell/messenger/MessageSending.h"

#include "app/shell/frame/BackgroundCall.h"
#include "app/shell/messenger/SendMessageDialog.h"

#include <QMessageBox>
#include <QPointer>

MessageSend MakeMessageSend(InstantMessageSendContext context) {
    return [context](const QString& destination, const QString& text, const QString& label) {
        return SendInstantMessage(destination.toStdString(), text.toStdString(),
                                  label.toStdString(),
                                  context) == InstantMessageSendResult::Sent;
    };
}

void AskAndSend(QWidget* parent, const MessageSend& send, const QString& destination,
                const QString& label) {
    SendMessageDialog dialog(destination, parent);
    if (dialog.exec() != QDialog::Accepted || !send)
        return;
    QPointer<QWidget> owner(parent);
    RunInBackground(
        parent,
        [send, to = dialog.Destination(), text = dialog.Message(), label] {
            return send(to, text, label) ? 1 : 0;
        },
        [owner](int sent) {
            if (!sent)
                QMessageBox::critical(owner, QStringLiteral("Send Message error"),
                                      QStringLiteral("Could not send your message."));
        });
}
