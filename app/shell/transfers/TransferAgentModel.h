#pragma once

#include "app/peer/transfer/TransferAgentQueue.h"

#include <QAbstractTableModel>
#include <string>
#include <utility>
#include <vector>

// The transfer agent's rows as the window shows them: "File name" (the
// source path), "Host" (the source host) and "Status". Changed only on the
// user-interface thread, in the order the queue made the changes; the window
// hands them over from the queue's worker.
class TransferAgentModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kFileName, kHost, kStatus, kColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void AddRow(int row, const TransferQueueRow& shown);
    void SetStatus(int row, const QString& status);
    void RemoveRow(int row);
    // The row's source path and host as the queue holds them.
    std::pair<std::string, std::string> SourceOf(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Shown {
        TransferQueueRow queued;
        QString fileName;
        QString host;
        QString status;
    };
    std::vector<Shown> m_rows;
};
