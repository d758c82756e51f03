#pragma once

#include "app/shell/preferences/PreferencesPage.h"

#include <QString>
#include <string>

class QLineEdit;

// "Folders": the default download directory, where a friend's file opened from
// an explorer window is saved. The sharing dialog shows this page on its own
// too, so it depends on nothing but the settings.
class FoldersPage : public PreferencesPage {
    Q_OBJECT
public:
    // The settings field holds this many characters at most.
    static constexpr int kDirectoryLimit = 299;

    FoldersPage(DrovickSettings* settings, QWidget* parent = nullptr);

    // The text as the settings field can hold it: its first 299 characters,
    // fewer when their UTF-8 form would pass the field's 299 bytes.
    static std::string FieldText(const QString& text);

protected:
    void Load(const DrovickSettings& settings) override;
    void Store(DrovickSettings& settings) const override;

private:
    QLineEdit* m_directory;
};
