#include "app/shell/preferences/InstantMessagesPage.h"

#include "app/files/DrovickSettings.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr QSize kSwatchSize(48, 22);
}

InstantMessagesPage::InstantMessagesPage(DrovickSettings* settings, QWidget* parent)
    : PreferencesPage(settings, parent)
    , m_popUp(new QCheckBox(tr("Pop up window on receipt"), this)) {
    m_popUp->setObjectName("popUpOnReceipt");
    auto* grid = new QGridLayout;
    AddSwatch(m_text, tr("Text color:"), "text", grid, 0);
    AddSwatch(m_bubble, tr("Bubble color:"), "bubble", grid, 1);
    grid->setColumnStretch(3, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_popUp);
    layout->addSpacing(8);
    layout->addLayout(grid);
    layout->addStretch();
}

QColor InstantMessagesPage::FromColourWord(std::uint32_t word) {
    return QColor(static_cast<int>(word & 0xff), static_cast<int>((word >> 8) & 0xff),
                  static_cast<int>((word >> 16) & 0xff));
}

std::uint32_t InstantMessagesPage::ToColourWord(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return static_cast<std::uint32_t>(rgb.red()) |
           static_cast<std::uint32_t>(rgb.green()) << 8 |
           static_cast<std::uint32_t>(rgb.blue()) << 16;
}

void InstantMessagesPage::AddSwatch(Swatch& swatch, const QString& label, const QString& name,
                                    QGridLayout* grid, int row) {
    swatch.frame = new QFrame(this);
    swatch.frame->setObjectName(name + "Swatch");
    swatch.frame->setFixedSize(kSwatchSize);
    swatch.frame->setFrameShape(QFrame::Box);
    swatch.frame->setAutoFillBackground(true);
    swatch.button = new QPushButton(tr("Set..."), this);
    swatch.button->setObjectName(name + "Set");
    grid->addWidget(new QLabel(label, this), row, 0);
    grid->addWidget(swatch.frame, row, 1);
    grid->addWidget(swatch.button, row, 2);
    connect(swatch.button, &QPushButton::clicked, this, [this, &swatch] { ChooseColour(swatch); });
}

void InstantMessagesPage::ChooseColour(Swatch& swatch) {
    QColorDialog dialog(swatch.colour, this);
    // A cancelled dialog leaves the swatch as it was; the settings change only
    // on the sheet's OK.
    if (dialog.exec() != QDialog::Accepted)
        return;
    swatch.colour = dialog.selectedColor();
    Paint(swatch);
}

void InstantMessagesPage::Paint(Swatch& swatch) {
    QPalette palette = swatch.frame->palette();
    palette.setColor(QPalette::Window, swatch.colour);
    swatch.frame->setPalette(palette);
}

void InstantMessagesPage::Load(const DrovickSettings& settings) {
    m_popUp->setChecked(settings.popUpOnReceipt != 0);
    m_text.colour = FromColourWord(settings.messageTextColour);
    m_bubble.colour = FromColourWord(settings.messageBubbleColour);
    Paint(m_text);
    Paint(m_bubble);
}

void InstantMessagesPage::Store(DrovickSettings& settings) const {
    settings.popUpOnReceipt = m_popUp->isChecked() ? 1 : 0;
    settings.messageTextColour = ToColourWord(m_text.colour);
    settings.messageBubbleColour = ToColourWord(m_bubble.colour);
}
