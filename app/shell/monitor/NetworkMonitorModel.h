#pragma once

#include <QAbstractListModel>
#include <QString>
#include <cstddef>
#include <deque>
#include <vector>

// The network monitor's rows, one event each, oldest first. It keeps only the
// newest rows up to its capacity: a monitor left open for days must not grow
// without bound, so a batch that passes the cap drops the oldest rows first,
// at least a tenth of the cap at a time. Lives on the user-interface thread.
class NetworkMonitorModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr std::size_t kDefaultCapacity = 100000;

    explicit NetworkMonitorModel(std::size_t capacity = kDefaultCapacity,
                                 QObject* parent = nullptr);

    // Appends a batch with one insertion (and at most one removal).
    void AppendRows(std::vector<QString> rows);

    std::size_t Capacity() const { return m_capacity; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::size_t m_capacity;
    std::deque<QString> m_rows;
};
