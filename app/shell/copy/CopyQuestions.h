#pragma once

#include <QString>

class QWidget;

// The questions a local copy or move asks before it replaces a file. The
// program asks through message boxes; tests answer them without a window.
class CopyQuestions {
public:
    virtual ~CopyQuestions() = default;
    // "Do you want to overwrite the existing file?" under caption ("Copy File"
    // or "Move File"); true for Yes.
    virtual bool AskOverwrite(const QString& caption) = 0;
};

// Asks with a Yes/No message box carrying the question icon.
class MessageBoxCopyQuestions : public CopyQuestions {
public:
    explicit MessageBoxCopyQuestions(QWidget* parent)
        : m_parent(parent) {}
    bool AskOverwrite(const QString& caption) override;

private:
    QWidget* m_parent;
};
