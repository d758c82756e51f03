#pragma once

#include <QDialog>
#include <vector>

class DrovickSettings;
class PreferencesPage;
class QTabWidget;

// The "Preferences" sheet: "General", "Folders" and "Instant messages", with
// OK and Cancel only. OK stores the pages that were ever shown into the
// settings object; Cancel stores nothing. The settings reach the file when the
// program saves them.
class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    PreferencesDialog(DrovickSettings& settings, QWidget* parent = nullptr);

    QTabWidget* Tabs() const { return m_tabs; }
    void accept() override;

private:
    QTabWidget* m_tabs;
    std::vector<PreferencesPage*> m_pages;
};
