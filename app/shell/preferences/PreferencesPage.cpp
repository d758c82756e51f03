#include "app/shell/preferences/PreferencesPage.h"

#include "app/files/DrovickSettings.h"

PreferencesPage::PreferencesPage(DrovickSettings* settings, QWidget* parent)
    : QWidget(parent)
    , m_settings(settings) {}

void PreferencesPage::Apply() {
    if (m_shown && m_settings != nullptr)
        Store(*m_settings);
}

void PreferencesPage::showEvent(QShowEvent* event) {
    // Later activations keep what the user typed.
    if (!m_shown && m_settings != nullptr) {
        m_shown = true;
        Load(*m_settings);
    }
    QWidget::showEvent(event);
}
