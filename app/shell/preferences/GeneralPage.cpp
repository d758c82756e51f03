#include "app/shell/preferences/GeneralPage.h"

#include "app/files/DrovickSettings.h"

#include <QCheckBox>
#include <QVBoxLayout>

GeneralPage::GeneralPage(DrovickSettings* settings, QWidget* parent)
    : PreferencesPage(settings, parent)
    , m_showMainWindow(new QCheckBox(tr("Show main window on start"), this)) {
    m_showMainWindow->setObjectName("showMainWindowOnStart");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_showMainWindow);
    layout->addStretch();
}

void GeneralPage::Load(const DrovickSettings& settings) {
    m_showMainWindow->setChecked(settings.showMainWindowOnStart != 0);
}

void GeneralPage::Store(DrovickSettings& settings) const {
    settings.showMainWindowOnStart = m_showMainWindow->isChecked() ? 1 : 0;
}
