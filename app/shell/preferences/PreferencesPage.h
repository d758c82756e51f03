#pragma once

#include <QWidget>

class DrovickSettings;

// One page of the preferences sheet. A page reads the settings into its
// controls the first time it is shown and stores them back only when asked to
// and only if it was ever shown: a page the user never opened cannot change
// what is stored.
class PreferencesPage : public QWidget {
    Q_OBJECT
public:
    PreferencesPage(DrovickSettings* settings, QWidget* parent);

    // Stores the controls into the settings when the page was ever shown.
    void Apply();
    bool WasShown() const { return m_shown; }

protected:
    virtual void Load(const DrovickSettings& settings) = 0;
    virtual void Store(DrovickSettings& settings) const = 0;
    void showEvent(QShowEvent* event) override;

private:
    DrovickSettings* m_settings;
    bool m_shown = false;
};
