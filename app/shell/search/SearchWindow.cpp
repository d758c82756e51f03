#include "app/shell/search/SearchWindow.h"

#include "app/files/DrovickSettings.h"
#include "app/shell/copy/TransferHandOff.h"
#include "app/shell/search/BusyIndicator.h"
#include "app/shell/search/SearchResultsFeed.h"
#include "app/shell/search/SearchResultsModel.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

constexpr int kEndWatchMs = 250;

} // namespace

SearchWindow::SearchWindow(Services services, std::optional<NetworkSearch::Options> options,
                           QWidget* parent)
    : QDialog(parent)
    , m_services(services)
    , m_model(std::make_unique<SearchResultsModel>())
    , m_feed(std::make_unique<SearchResultsFeed>(*m_model)) {
    m_search = options ? std::make_unique<NetworkSearch>(m_services.presence, m_services.log,
                                                         m_feed.get(), std::move(*options))
                       : std::make_unique<NetworkSearch>(m_services.presence, m_services.log,
                                                         m_feed.get());
    setWindowTitle(QStringLiteral("RaskSearch"));
    setObjectName(QStringLiteral("RaskSearch"));
    BuildControls();
    LoadSettings();
    ShowIdle();

    connect(m_feed.get(), &SearchResultsFeed::Failed, this, [this](const QString& message) {
        QMessageBox::critical(this, QStringLiteral("RaskSearch"), message);
    });
    connect(m_model.get(), &QAbstractItemModel::modelAboutToBeReset, this,
            &SearchWindow::KeepCurrentAcrossReset);
    connect(m_model.get(), &QAbstractItemModel::modelReset, this, [this] {
        if (!m_currentBeforeReset)
            return;
        const int row = m_model->Find(*m_currentBeforeReset);
        m_currentBeforeReset.reset();
        if (row >= 0)
            m_results->setCurrentIndex(m_model->index(row, 0));
    });
    m_stopPoll.setInterval(kStopPollMs);
    connect(&m_stopPoll, &QTimer::timeout, this, &SearchWindow::PollStop);
    // A search that could not listen or send ends by itself: the window then
    // goes back to idle instead of offering "&Stop" for nothing.
    m_endWatch.setInterval(kEndWatchMs);
    connect(&m_endWatch, &QTimer::timeout, this, [this] {
        if (m_searching && !m_stopPoll.isActive() && !m_search->IsActive())
            StopSearch(false);
    });
}

SearchWindow::~SearchWindow() {
    if (m_stopPoll.isActive())
        QGuiApplication::restoreOverrideCursor();
    m_search.reset();
}

void SearchWindow::BuildControls() {
    auto* information = new QGroupBox(QStringLiteral("File information"));
    auto* grid = new QGridLayout(information);
    m_text = new QLineEdit;
    m_text->setObjectName(QStringLiteral("searchText"));
    m_text->setMaxLength(kTextLimit);
    auto* nameLabel = new QLabel(QStringLiteral("Name / title:"));
    nameLabel->setBuddy(m_text);
    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(m_text, 0, 1);
    m_byName = new QRadioButton(QStringLiteral("File name"));
    m_byName->setObjectName(QStringLiteral("modeName"));
    m_byTitle = new QRadioButton(QStringLiteral("Song title"));
    m_byTitle->setObjectName(QStringLiteral("modeTitle"));
    m_byArtist = new QRadioButton(QStringLiteral("Song author"));
    m_byArtist->setObjectName(QStringLiteral("modeArtist"));
    auto* modes = new QHBoxLayout;
    for (QRadioButton* mode : {m_byName, m_byTitle, m_byArtist})
        modes->addWidget(mode);
    modes->addStretch(1);
    grid->addWidget(new QLabel(QStringLiteral("Search based on:")), 1, 0);
    grid->addLayout(modes, 1, 1);
    grid->setColumnStretch(1, 1);

    m_findNow = new QPushButton(QStringLiteral("F&ind Now"));
    m_findNow->setObjectName(QStringLiteral("findNow"));
    m_findNow->setDefault(true);
    m_newSearch = new QPushButton(QStringLiteral("Ne&w Search"));
    m_newSearch->setObjectName(QStringLiteral("newSearch"));
    m_stop = new QPushButton(QStringLiteral("&Stop"));
    m_stop->setObjectName(QStringLiteral("stop"));
    m_busy = new BusyIndicator;
    m_busy->setObjectName(QStringLiteral("busy"));
    auto* buttons = new QVBoxLayout;
    for (QPushButton* button : {m_findNow, m_stop, m_newSearch})
        buttons->addWidget(button);
    buttons->addWidget(m_busy, 0, Qt::AlignHCenter);
    buttons->addStretch(1);
    connect(m_findNow, &QPushButton::clicked, this, &SearchWindow::FindNow);
    connect(m_stop, &QPushButton::clicked, this, [this] { StopSearch(false); });
    connect(m_newSearch, &QPushButton::clicked, this, [this] { StopSearch(true); });

    m_results = new QTreeView;
    m_results->setObjectName(QStringLiteral("results"));
    m_results->setModel(m_model.get());
    m_results->setRootIsDecorated(false);
    m_results->setItemsExpandable(false);
    m_results->setUniformRowHeights(true);
    m_results->setAllColumnsShowFocus(true);
    m_results->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_results->setSelectionMode(QAbstractItemView::SingleSelection);
    m_results->setTextElideMode(Qt::ElideMiddle);
    m_results->header()->setStretchLastSection(true);
    // The rows come sorted by their first column, highest first; a click on
    // a column's header sorts by that column, a second one turns the order.
    m_results->header()->setSortIndicator(0, Qt::DescendingOrder);
    m_results->header()->setSortIndicatorShown(true);
    m_results->header()->setSectionsClickable(true);
    connect(m_results->header(), &QHeaderView::sortIndicatorChanged, m_model.get(),
            [this](int column, Qt::SortOrder order) { m_model->sort(column, order); });
    m_leftOut = new QLabel;
    m_leftOut->setObjectName(QStringLiteral("leftOut"));
    m_leftOut->hide();
    connect(m_model.get(), &SearchResultsModel::LeftOutChanged, this, [this](int leftOut) {
        m_leftOut->setText(QStringLiteral("Only the first %1 results are shown; %2 more were left out.")
                               .arg(QLocale().toString(static_cast<qulonglong>(SearchResultsModel::kRowLimit)),
                                    QLocale().toString(leftOut)));
        m_leftOut->setVisible(leftOut > 0);
    });
    connect(m_results, &QTreeView::doubleClicked, this, &SearchWindow::DownloadChosen);
    auto* resultsLabel = new QLabel(QStringLiteral("&Results:"));
    resultsLabel->setBuddy(m_results);

    auto* top = new QHBoxLayout;
    top->addWidget(information, 1);
    top->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(resultsLabel);
    layout->addWidget(m_results, 1);
    layout->addWidget(m_leftOut);
    resize(760, 460);
}

void SearchWindow::LoadSettings() {
    if (!m_services.settings) {
        m_byName->setChecked(true);
        return;
    }
    const DrovickSettings& settings = *m_services.settings;
    (settings.searchBasedOn == 1   ? m_byTitle
     : settings.searchBasedOn == 2 ? m_byArtist
                                   : m_byName)
        ->setChecked(true);
    m_text->setText(QString::fromStdString(settings.lastSearchText).left(kTextLimit));
    for (int column = 0; column < SearchResultsModel::kColumns; ++column) {
        const int width = settings.searchColumnWidths[static_cast<std::size_t>(column)];
        // A damaged file must not make a column vanish or fill the screen.
        if (width > 0 && width <= 4000)
            m_results->setColumnWidth(column, width);
    }
}

void SearchWindow::StoreColumnWidths() {
    if (!m_services.settings)
        return;
    for (int column = 0; column < SearchResultsModel::kColumns; ++column)
        m_services.settings->searchColumnWidths[static_cast<std::size_t>(column)] =
            m_results->columnWidth(column);
}

int SearchWindow::Mode() const {
    return m_byName->isChecked()    ? SearchRequest::kMatchName
           : m_byTitle->isChecked() ? SearchRequest::kMatchTitle
                                    : SearchRequest::kMatchArtist;
}

void SearchWindow::FindNow() {
    if (m_searching)
        return;
    const QString text = m_text->text().left(kTextLimit);
    if (m_services.settings) {
        m_services.settings->searchBasedOn = Mode();
        m_services.settings->lastSearchText = text.toStdString();
    }
    if (!m_search->Start(Mode(), text.toStdString()))
        return;
    ShowSearching();
}

void SearchWindow::StopSearch(bool clearRows) {
    m_clearWhenStopped = m_clearWhenStopped || clearRows;
    if (m_stopPoll.isActive())
        return;
    m_endWatch.stop();
    m_search->Stop(false);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    m_stopPoll.start();
    PollStop();
}

void SearchWindow::PollStop() {
    if (m_search->IsActive())
        return;
    m_stopPoll.stop();
    // The thread has ended: this only joins it.
    m_search->Stop(true);
    QGuiApplication::restoreOverrideCursor();
    if (m_clearWhenStopped)
        m_search->Results().Clear();
    m_clearWhenStopped = false;
    ShowIdle();
    emit SearchEnded();
}

void SearchWindow::ShowIdle() {
    m_searching = false;
    m_findNow->setEnabled(true);
    m_stop->setEnabled(false);
    m_newSearch->setEnabled(false);
    m_busy->Stop();
}

void SearchWindow::ShowSearching() {
    m_searching = true;
    m_findNow->setEnabled(false);
    m_stop->setEnabled(true);
    m_newSearch->setEnabled(true);
    m_busy->Start();
    m_endWatch.start();
}

void SearchWindow::DownloadChosen() {
    const QModelIndexList selected = m_results->selectionModel()->selectedRows();
    const int row = selected.isEmpty() ? m_results->currentIndex().row() : selected.first().row();
    Download(row);
}

bool SearchWindow::Download(int row) {
    const NetworkSearchRow* chosen = m_model->RawRow(row);
    if (!chosen || !m_services.transfers || !m_services.settings)
        return false;
    const auto item =
        NetworkSearchResults::DownloadItem(*chosen, m_services.settings->downloadDirectory);
    return item && m_services.transfers->HandOff(*item);
}

void SearchWindow::KeepCurrentAcrossReset() {
    const NetworkSearchRow* current = m_model->RawRow(m_results->currentIndex().row());
    m_currentBeforeReset = current ? std::optional<NetworkSearchRow>(*current) : std::nullopt;
}

void SearchWindow::done(int result) {
    // Every way of closing the dialog (its close button, Escape) ends here.
    // The widths are kept only from a window whose search has ended; a search
    // still listening is told to stop.
    if (!m_searching)
        StoreColumnWidths();
    else
        m_search->Stop(false);
    QDialog::done(result);
}
