#include "app/shell/preferences/PreferencesDialog.h"

#include "app/shell/preferences/FoldersPage.h"
#include "app/shell/preferences/GeneralPage.h"
#include "app/shell/preferences/InstantMessagesPage.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

PreferencesDialog::PreferencesDialog(DrovickSettings& settings, QWidget* parent)
    : QDialog(parent)
    , m_tabs(new QTabWidget(this)) {
    setWindowTitle(tr("Preferences"));
    m_pages = {new GeneralPage(&settings), new FoldersPage(&settings),
               new InstantMessagesPage(&settings)};
    m_tabs->addTab(m_pages[0], tr("General"));
    m_tabs->addTab(m_pages[1], tr("Folders"));
    m_tabs->addTab(m_pages[2], tr("Instant messages"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

void PreferencesDialog::accept() {
    for (PreferencesPage* page : m_pages)
        page->Apply();
    QDialog::accept();
}
