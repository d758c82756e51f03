#include "app/shell/sharing/SharingPropertiesDialog.h"

#include "app/files/ShareTable.h"
#include "app/shell/resources/ShellIcons.h"
#include "app/shell/sharing/ShareEditor.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

// The decorative banner: the shared-folder picture on its grey ground.
QPixmap Banner() {
    QPixmap banner(52, 40);
    banner.fill(QColor(0xBF, 0xBF, 0xBF));
    QPainter painter(&banner);
    const QPixmap folder = ShellIcons::Get("shared-folder").pixmap(32, 32);
    painter.drawPixmap((banner.width() - folder.width()) / 2,
                       (banner.height() - folder.height()) / 2, folder);
    return banner;
}

} // namespace

SharingPropertiesDialog::SharingPropertiesDialog(const std::string& folder,
                                                 const ShareTable& shares, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Sharing properties"));
    setObjectName(QStringLiteral("SharingProperties"));

    const bool shared = shares.IsShared(folder);
    const bool shareable = shares.IsShareable(folder);
    const bool root = shares.IsShareRoot(folder);
    // A free folder may be shared and an entry unshared; a folder covered by
    // an ancestor's share is changed at the ancestor only.
    m_editable = shareable && (!shared || root);

    auto* banner = new QLabel;
    banner->setPixmap(Banner());
    banner->setFixedSize(52, 40);
    auto* directory = new QLabel(QFile::decodeName(QByteArray::fromStdString(folder)));
    directory->setObjectName(QStringLiteral("Directory"));
    directory->setTextInteractionFlags(Qt::TextSelectableByMouse);
    directory->setWordWrap(true);
    auto* heading = new QGridLayout;
    heading->addWidget(banner, 0, 0, 2, 1, Qt::AlignTop);
    heading->addWidget(new QLabel(QStringLiteral("Directory:")), 0, 1);
    heading->addWidget(directory, 1, 1);
    heading->setColumnStretch(1, 1);
    heading->setHorizontalSpacing(12);

    auto* properties = new QGroupBox(QStringLiteral("Properties"));
    m_private = new QRadioButton(QStringLiteral("Private (unshared)"));
    m_private->setObjectName(QStringLiteral("Private"));
    m_sharedChoice = new QRadioButton(QStringLiteral("Shared"));
    m_sharedChoice->setObjectName(QStringLiteral("Shared"));
    auto* explanation = new QLabel(QStringLiteral(
        "Anyone can read a shared directory and its sub-directories, but no one can write to "
        "them."));
    explanation->setWordWrap(true);
    auto* propertiesLayout = new QVBoxLayout(properties);
    propertiesLayout->addWidget(m_private);
    propertiesLayout->addWidget(m_sharedChoice);
    propertiesLayout->addWidget(explanation);

    auto* comments = new QGroupBox(QStringLiteral("Comments"));
    auto* message = new QLabel;
    message->setObjectName(QStringLiteral("Message"));
    message->setWordWrap(true);
    message->setMinimumHeight(message->fontMetrics().lineSpacing() * 2);
    auto* commentsLayout = new QVBoxLayout(comments);
    commentsLayout->addWidget(message);

    (shared ? m_sharedChoice : m_private)->setChecked(true);
    if (!m_editable) {
        if (!shareable)
            m_private->setChecked(true);
        m_private->setEnabled(false);
        m_sharedChoice->setEnabled(false);
        message->setText(QString::fromLatin1(shareable ? kAncestorShared : kNotShareable));
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(heading);
    layout->addWidget(properties);
    layout->addWidget(comments);
    layout->addWidget(buttons);
    setMinimumWidth(380);
}

void SharingPropertiesDialog::accept() {
    m_accepted = true;
    m_shared = m_sharedChoice->isChecked();
    QDialog::accept();
}

bool SharingPropertiesDialog::GetResult(bool& shared) const {
    if (!m_accepted || !m_editable)
        return false;
    shared = m_shared;
    return true;
}

bool SharingPropertiesDialog::Run(QWidget* parent, const std::string& folder, ShareEditor& editor) {
    if (folder.empty())
        return false;
    SharingPropertiesDialog dialog(folder, editor.Shares(), parent);
    dialog.exec();
    bool shared = false;
    // OK on the state the folder already has changes nothing.
    if (!dialog.GetResult(shared) || shared == editor.Shares().IsShareRoot(folder))
        return false;
    std::string error;
    if (editor.SetShared(folder, shared, error))
        return true;
    QMessageBox::warning(parent, QStringLiteral("Sharing properties"),
                         QStringLiteral("The sharing of this directory was not changed: %1.")
                             .arg(QString::fromStdString(error)));
    return false;
}
