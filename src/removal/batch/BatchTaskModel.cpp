#include "BatchTaskModel.h"

#include "BatchRemovalQueue.h"

namespace kivo {

QString statusText(int status)
{
    switch (ProcessingStatus(status)) {
    case ProcessingStatus::pending: return QStringLiteral("Pending");
    case ProcessingStatus::processing: return QStringLiteral("Processing...");
    case ProcessingStatus::completed: return QStringLiteral("Completed");
    case ProcessingStatus::failed: return QStringLiteral("Failed");
    }
    return {};
}

BatchTaskModel::BatchTaskModel(const BatchRemovalQueue& queue, QObject* parent)
    : QAbstractListModel(parent)
    , m_queue(queue)
    , m_rows(int(queue.selectedImages().size()))
{
    connect(&queue, &BatchRemovalQueue::tasksChanged, this, &BatchTaskModel::listChanged);
    connect(&queue, &BatchRemovalQueue::taskChanged, this, [this](qsizetype index) {
        if (index < m_rows)
            emit dataChanged(this->index(int(index)), this->index(int(index)));
    });
}

// The list grows one file at a time while a drop is read: those are appended rows. Anything
// else (cleared, taken back from the application state) resets the rows.
void BatchTaskModel::listChanged()
{
    const int rows = int(m_queue.selectedImages().size());
    if (rows > m_rows) {
        const int kept = m_rows;
        beginInsertRows({}, m_rows, rows - 1);
        m_rows = rows;
        endInsertRows();
        // The rows before may have been replaced too; the view redraws only those on screen.
        if (kept > 0)
            emit dataChanged(index(0), index(kept - 1));
        return;
    }
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

int BatchTaskModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

const ImageProcessingTask& BatchTaskModel::task(int row) const
{
    return m_queue.selectedImages().at(row);
}

QString BatchTaskModel::note(int row) const
{
    const ImageProcessingTask& current = task(row);
    if (current.status == ProcessingStatus::failed)
        return current.error.value_or(QString());
    return m_queue.taskNote(current.id);
}

QVariant BatchTaskModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || index.row() >= m_queue.selectedImages().size())
        return {};
    const ImageProcessingTask& current = task(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return current.originalURL.fileName();
    case StatusRole:
        return statusText(int(current.status));
    case NoteRole:
        return note(index.row());
    default:
        return {};
    }
}

} // namespace kivo
