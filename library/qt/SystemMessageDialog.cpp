#include "SystemMessageDialog.h"

#include "GuiThread.h"
#include "LibraryIcon.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

SystemMessageDialog::SystemMessageDialog(QWidget* parent, const QString& title, const QString& text)
    : QDialog(parent)
    , m_address(AddressIn(text)) {
    setObjectName("SystemMessageDialog");
    setWindowTitle(title);
    setWindowIcon(LibraryIcon());

    auto* message = new QLabel(text, this);
    message->setObjectName("message");
    message->setWordWrap(true);
    // The service's text is shown as it is, never as markup.
    message->setTextFormat(Qt::PlainText);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message->setMinimumWidth(420);
    auto* icon = new QLabel(this);
    icon->setPixmap(LibraryIcon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    if (!m_address.isEmpty()) {
        QPushButton* goThere = buttons->addButton(tr("Go there!"), QDialogButtonBox::ActionRole);
        goThere->setObjectName("goThere");
        goThere->setAutoDefault(false);
        connect(goThere, &QPushButton::clicked, this, [this] { GoThere(); });
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    row->addWidget(icon);
    row->addWidget(message, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString SystemMessageDialog::AddressIn(const QString& text) {
    const qsizetype start = text.indexOf(QLatin1String("http://"));
    if (start < 0)
        return {};
    qsizetype end = start;
    while (end < text.size() && text[end] != u' ' && text[end] != u'\n')
        ++end;
    return text.mid(start, end - start);
}

void SystemMessageDialog::GoThere() {
    if (!QDesktopServices::openUrl(QUrl(m_address, QUrl::TolerantMode)))
        GuiThread::OpenMessageBox(this, QMessageBox::Critical, tr("Halvara"),
                                  tr("An error occurred in opening your web browser"),
                                  QMessageBox::Ok);
}
