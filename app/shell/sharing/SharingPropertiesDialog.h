#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QRadioButton;
class ShareEditor;
class ShareTable;

// "Sharing properties": shares or unshares one folder. The choice is locked
// when the folder may never be shared (a system folder, the root, the
// program's own configuration) or is shared only through an ancestor, and
// the dialog then says why.
class SharingPropertiesDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kAncestorShared =
        "An ancestor directory of this one is shared; you must change its properties directly.";
    static constexpr const char* kNotShareable =
        "This directory cannot be shared.  System and root directories are not shareable for "
        "security reasons.";

    // Reads the folder's state from shares once, as the dialog opens.
    SharingPropertiesDialog(const std::string& folder, const ShareTable& shares,
                            QWidget* parent = nullptr);

    // True only when the user pressed OK and the choice was editable; shared
    // is then the choice ("Shared" or "Private (unshared)").
    bool GetResult(bool& shared) const;
    bool IsEditable() const { return m_editable; }

    // The explorer's "Sharing..." and the shared directory list: shows the
    // dialog modally and applies an OK through editor (a refusal is shown).
    // True when the shares changed. An empty folder does nothing.
    static bool Run(QWidget* parent, const std::string& folder, ShareEditor& editor);

private:
    void accept() override;

    bool m_editable = false;
    bool m_accepted = false;
    bool m_shared = false;
    QRadioButton* m_private;
    QRadioButton* m_sharedChoice;
};
