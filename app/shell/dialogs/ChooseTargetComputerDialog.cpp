#include "app/shell/dialogs/ChooseTargetComputerDialog.h"

#include "app/files/DrovickSettings.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>

ChooseTargetComputerDialog::ChooseTargetComputerDialog(DrovickSettings& settings, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_myComputer(new QRadioButton(QStringLiteral("My computer"), this))
    , m_remoteComputer(new QRadioButton(QStringLiteral("Remote computer:"), this))
    , m_remoteName(new QLineEdit(this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setWindowTitle(QStringLiteral("Choose target computer"));
    m_remoteName->setPlaceholderText(QStringLiteral("IP address or a friend's e-mail address"));
    m_remoteName->setMinimumWidth(fontMetrics().averageCharWidth() * 36);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_myComputer);
    layout->addWidget(m_remoteComputer);
    auto* nameRow = new QHBoxLayout();
    // The edit box sits under its radio button's text.
    nameRow->addSpacing(style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) +
                        style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing));
    nameRow->addWidget(m_remoteName);
    layout->addLayout(nameRow);
    layout->addSpacing(6);
    layout->addWidget(m_buttons);

    // Remote only when the settings say so; any other stored number means mine.
    (settings.targetChoice == 1 ? m_remoteComputer : m_myComputer)->setChecked(true);
    m_remoteName->setText(QString::fromStdString(settings.remoteComputer));

    connect(m_myComputer, &QRadioButton::toggled, this,
            &ChooseTargetComputerDialog::UpdateEnabling);
    connect(m_remoteName, &QLineEdit::textChanged, this,
            &ChooseTargetComputerDialog::UpdateEnabling);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    UpdateEnabling();
}

void ChooseTargetComputerDialog::UpdateEnabling() {
    const bool remote = m_remoteComputer->isChecked();
    m_remoteName->setEnabled(remote);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!remote || !m_remoteName->text().isEmpty());
    if (remote && isVisible())
        m_remoteName->setFocus();
}

bool ChooseTargetComputerDialog::IsRemote() const {
    return m_remoteComputer->isChecked();
}

QString ChooseTargetComputerDialog::ComputerName() const {
    return IsRemote() ? m_remoteName->text() : QStringLiteral("(Local)");
}

void ChooseTargetComputerDialog::accept() {
    // Enter reaches accept even while OK is disabled.
    if (!m_buttons->button(QDialogButtonBox::Ok)->isEnabled())
        return;
    m_settings.targetChoice = IsRemote() ? 1 : 0;
    QByteArray name = m_remoteName->text().toUtf8();
    m_settings.remoteComputer = name.size() > kStoredNameLimit ? std::string() : name.toStdString();
    QDialog::accept();
}
