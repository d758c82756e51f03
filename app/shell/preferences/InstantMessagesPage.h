#pragma once

#include "app/shell/preferences/PreferencesPage.h"

#include <QColor>
#include <cstdint>

class QCheckBox;
class QFrame;
class QGridLayout;
class QPushButton;

// "Instant messages": whether a received message pops up its window, and the
// colours of the text and the bubble of the messages this user sends. The
// settings keep a colour as the messages carry it: 0x00BBGGRR, red lowest.
class InstantMessagesPage : public PreferencesPage {
    Q_OBJECT
public:
    InstantMessagesPage(DrovickSettings* settings, QWidget* parent = nullptr);

    static QColor FromColourWord(std::uint32_t word);
    static std::uint32_t ToColourWord(const QColor& colour);

protected:
    void Load(const DrovickSettings& settings) override;
    void Store(DrovickSettings& settings) const override;

private:
    struct Swatch {
        QFrame* frame = nullptr;
        QPushButton* button = nullptr;
        QColor colour;
    };
    void AddSwatch(Swatch& swatch, const QString& label, const QString& name, QGridLayout* grid,
                   int row);
    void ChooseColour(Swatch& swatch);
    static void Paint(Swatch& swatch);

    QCheckBox* m_popUp;
    Swatch m_text;
    Swatch m_bubble;
};
