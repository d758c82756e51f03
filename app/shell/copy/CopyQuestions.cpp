#include "app/shell/copy/CopyQuestions.h"

#include <QMessageBox>

bool MessageBoxCopyQuestions::AskOverwrite(const QString& caption) {
    auto answer = QMessageBox::question(
        m_parent, caption, QStringLiteral("Do you want to overwrite the existing file?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}
