#pragma once

#include "app/shell/preferences/PreferencesPage.h"

class QCheckBox;

// "General": whether the main window shows when the program starts.
class GeneralPage : public PreferencesPage {
    Q_OBJECT
public:
    GeneralPage(DrovickSettings* settings, QWidget* parent = nullptr);

protected:
    void Load(const DrovickSettings& settings) override;
    void Store(DrovickSettings& settings) const override;

private:
    QCheckBox* m_showMainWindow;
};
