#pragma once

#include <QAbstractListModel>

namespace kivo {

class BatchRemovalQueue;
struct ImageProcessingTask;

// The batch's tasks as rows for the card view: one row per task, in the list's order. Rows are
// appended as files are added and redrawn one by one as tasks change, so that the view's work
// follows what is on screen, not the length of the batch.
class BatchTaskModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        // The card's status text: "Pending", "Processing...", "Completed", "Failed".
        StatusRole = Qt::UserRole + 1,
        // What the task waits for ("Waiting for the service…"), or its error text.
        NoteRole,
    };

    explicit BatchTaskModel(const BatchRemovalQueue& queue, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The task of a row; the row must exist.
    const ImageProcessingTask& task(int row) const;
    QString note(int row) const;

private:
    void listChanged();

    const BatchRemovalQueue& m_queue;
    int m_rows = 0;
};

// The status texts of the card's badge.
QString statusText(int status);

} // namespace kivo
