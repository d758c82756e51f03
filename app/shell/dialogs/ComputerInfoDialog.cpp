#include "app/shell/dialogs/ComputerInfoDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>

namespace {

// Read-only but selectable, so a name can be copied out.
QLineEdit* ShownText(const QString& text, QWidget* parent) {
    auto* field = new QLineEdit(text, parent);
    field->setReadOnly(true);
    field->setCursorPosition(0);
    field->setMinimumWidth(field->fontMetrics().averageCharWidth() * 32);
    return field;
}

} // namespace

ComputerInfoDialog::ComputerInfoDialog(const QString& computerName, const QString& userName,
                                       QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Computer information"));
    auto* form = new QFormLayout();
    form->addRow(QStringLiteral("Computer name:"), ShownText(computerName, this));
    form->addRow(QStringLiteral("User name:"), ShownText(userName, this));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(6);
    layout->addWidget(buttons);
}

void ComputerInfoDialog::ShowFor(bool answered, const std::vector<std::string>& properties,
                                 QWidget* parent) {
    if (!answered || properties.size() < 2) {
        QMessageBox::warning(parent, QStringLiteral("Drive Information"),
                             QStringLiteral("Could not get the computer's information."));
        return;
    }
    ComputerInfoDialog dialog(QString::fromStdString(properties[0]),
                              QString::fromStdString(properties[1]), parent);
    dialog.exec();
}
