#include "app/shell/update/NewVersionDialog.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

NewVersionDialog::NewVersionDialog(const QString& productPage, QWidget* parent)
    : QDialog(parent)
    , m_productPage(productPage) {
    setWindowTitle(tr("New version"));
    auto* picture = new QLabel(this);
    picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    auto* text = new QLabel(tr("There is a new version of Drovick available online!"), this);
    text->setContentsMargins(8, 8, 8, 8);

    auto* goThere = new QPushButton(tr("Go there!"), this);
    goThere->setObjectName("goThere");
    goThere->setIcon(QIcon::fromTheme(QStringLiteral("internet-web-browser"),
                                      style()->standardIcon(QStyle::SP_ArrowForward)));
    goThere->setDefault(true);
    connect(goThere, &QPushButton::clicked, this, &NewVersionDialog::GoThere);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(goThere, QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    setMinimumWidth(380);
}

void NewVersionDialog::GoThere() {
    if (!QDesktopServices::openUrl(QUrl(m_productPage)))
        QMessageBox::critical(this, tr("New version"),
                              tr("An error occurred in opening your web browser"));
    accept();
}
