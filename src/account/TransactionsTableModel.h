#pragma once

#include "TransactionRecords.h"

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

namespace kivo {

class RemoteImageLoader;

// The transactions table's rows: one visible transaction per row, in the columns "ID", "Date",
// "Type & Amount", "Route & Site" and "Images".
class TransactionsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { idColumn, dateColumn, typeAndAmountColumn, routeAndSiteColumn, imagesColumn, numberOfColumns };
    // The images column's two addresses (origin, output) as a QVariantList of QUrl (empty: none).
    static constexpr int imageURLsRole = Qt::UserRole + 1;

    explicit TransactionsTableModel(QObject* parent = nullptr);

    // Replaces the rows (only when they differ, so a reload of the same page keeps the selection).
    void setRows(const QList<TransactionItem>& rows, const QString& apiBaseURL);
    const QList<TransactionItem>& rows() const { return m_rows; }
    // The rows showing a picture from url change.
    void imageArrived(const QUrl& url);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<TransactionItem> m_rows;
    QString m_apiBaseURL;
};

// Draws the images column: the origin and output thumbnails, or a faint square with a photo
// symbol where a row has no picture (or it has not arrived).
class TransactionImagesDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int thumbnailSide = 40;

    TransactionImagesDelegate(RemoteImageLoader& loader, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    RemoteImageLoader& m_loader;
};

} // namespace kivo
