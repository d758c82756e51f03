#pragma once

#include <QDialog>
#include <QString>

// "New version": tells that a newer release exists and offers "Go there!",
// which opens the product page in the desktop's web browser and closes.
class NewVersionDialog : public QDialog {
    Q_OBJECT
public:
    NewVersionDialog(const QString& productPage, QWidget* parent = nullptr);

private:
    void GoThere();

    QString m_productPage;
};
