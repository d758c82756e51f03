#include "app/shell/preferences/FoldersPage.h"

#include "app/files/DrovickSettings.h"

#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

FoldersPage::FoldersPage(DrovickSettings* settings, QWidget* parent)
    : PreferencesPage(settings, parent)
    , m_directory(new QLineEdit(this)) {
    m_directory->setObjectName("downloadDirectory");
    auto* label = new QLabel(tr("Default download directory:"), this);
    label->setBuddy(m_directory);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_directory);
    layout->addStretch();
}

std::string FoldersPage::FieldText(const QString& text) {
    QString cut = text.left(kDirectoryLimit);
    // A character is never split: the field stores bytes and is read as UTF-8.
    QByteArray bytes = cut.toUtf8();
    while (bytes.size() > kDirectoryLimit) {
        cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
        bytes = cut.toUtf8();
    }
    return bytes.toStdString();
}

void FoldersPage::Load(const DrovickSettings& settings) {
    m_directory->setText(QString::fromStdString(settings.downloadDirectory));
}

void FoldersPage::Store(DrovickSettings& settings) const {
    settings.downloadDirectory = FieldText(m_directory->text());
}
