#pragma once

#include "app/peer/search/NetworkSearch.h"

#include <QDialog>
#include <QTimer>
#include <memory>
#include <optional>

class BusyIndicator;
class DrovickSettings;
class LogEvent;
class PresenceDirectory;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;
class SearchResultsFeed;
class SearchResultsModel;
class TransferHandOff;

// The "RaskSearch" dialog: the search text and mode, "F&ind Now", "&Stop" and
// "Ne&w Search", the results kept sorted by "File title" in descending order,
// and a double click that downloads a result into the default download folder
// through the transfer agent. The network work is NetworkSearch's thread; the
// window only shows what that thread hands its model through a queued feed,
// and it never waits for the thread: "&Stop" clears the run flag and polls
// every 50 ms while the window keeps answering.
class SearchWindow : public QDialog {
    Q_OBJECT
public:
    struct Services {
        PresenceDirectory* presence = nullptr; // asked on the search thread only
        LogEvent* log = nullptr;
        DrovickSettings* settings = nullptr;  // mode, text, widths, download folder
        TransferHandOff* transfers = nullptr; // where a double click's download goes
    };
    static constexpr int kTextLimit = 249; // the stored search text
    static constexpr int kStopPollMs = 50;

    // Without options the search uses the fixed ports on the peer servers'
    // address. The services must outlive the window.
    explicit SearchWindow(Services services,
                          std::optional<NetworkSearch::Options> options = std::nullopt,
                          QWidget* parent = nullptr);
    // Stops the search thread and waits for it (it watches its run flag).
    ~SearchWindow() override;

    bool IsSearching() const { return m_searching; }
    const SearchResultsModel& Model() const { return *m_model; }
    NetworkSearch& Search() { return *m_search; }
    // Downloads the row; false when it is missing or refused.
    bool Download(int row);

signals:
    // The search thread ended, by "&Stop", "Ne&w Search" or by itself.
    void SearchEnded();

public slots:
    void done(int result) override;

private:
    void BuildControls();
    void LoadSettings();
    void StoreColumnWidths();
    void FindNow();
    // Stops the search; then, once the thread has ended, clears the rows when
    // asked to and returns the buttons to idle.
    void StopSearch(bool clearRows);
    void PollStop();
    void ShowIdle();
    void ShowSearching();
    void DownloadChosen();
    void KeepCurrentAcrossReset();
    int Mode() const;

    Services m_services;
    std::unique_ptr<SearchResultsModel> m_model;
    std::unique_ptr<SearchResultsFeed> m_feed;
    // After the feed: destroyed first, so the thread has ended before its
    // observer goes.
    std::unique_ptr<NetworkSearch> m_search;

    QLineEdit* m_text = nullptr;
    QRadioButton* m_byName = nullptr;
    QRadioButton* m_byTitle = nullptr;
    QRadioButton* m_byArtist = nullptr;
    QPushButton* m_findNow = nullptr;
    QPushButton* m_newSearch = nullptr;
    QPushButton* m_stop = nullptr;
    QTreeView* m_results = nullptr;
    // Says how many results the cap on rows left out.
    QLabel* m_leftOut = nullptr;
    BusyIndicator* m_busy = nullptr;

    bool m_searching = false;
    bool m_clearWhenStopped = false;
    QTimer m_stopPoll;
    QTimer m_endWatch;
    std::optional<NetworkSearchRow> m_currentBeforeReset;
};
