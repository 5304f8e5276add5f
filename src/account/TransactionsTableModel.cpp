#include "TransactionsTableModel.h"

#include "RemoteImageLoader.h"

#include "core/WidgetStyle.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace kivo {

namespace {

constexpr int kThumbnailGap = 6;
constexpr int kCornerRadius = 6;

QVariant urlOrNothing(const std::optional<QUrl>& url)
{
    return url ? QVariant(*url) : QVariant(QUrl());
}

} // namespace

TransactionsTableModel::TransactionsTableModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

void TransactionsTableModel::setRows(const QList<TransactionItem>& rows, const QString& apiBaseURL)
{
    if (rows == m_rows && apiBaseURL == m_apiBaseURL)
        return;
    beginResetModel();
    m_rows = rows;
    m_apiBaseURL = apiBaseURL;
    endResetModel();
}

void TransactionsTableModel::imageArrived(const QUrl& url)
{
    for (int row = 0; row < m_rows.size(); ++row) {
        const TransactionItem& item = m_rows.at(row);
        if (transactionImageURL(item.originImage, m_apiBaseURL) == url
            || transactionImageURL(item.outputImage, m_apiBaseURL) == url) {
            const QModelIndex cell = index(row, imagesColumn);
            emit dataChanged(cell, cell);
        }
    }
}

int TransactionsTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TransactionsTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : numberOfColumns;
}

QVariant TransactionsTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const TransactionItem& item = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case idColumn: return item.id;
        case dateColumn: return displayDate(item.createdAt);
        case typeAndAmountColumn: return typeAndAmountText(item);
        case routeAndSiteColumn: return routeAndSiteText(item);
        default: return {};
        }
    case Qt::ToolTipRole:
        if (index.column() == idColumn)
            return tr("Open this transaction's page");
        if (index.column() == routeAndSiteColumn)
            return routeAndSiteText(item);
        return {};
    case Qt::FontRole:
        if (index.column() == idColumn) {
            QFont font = QGuiApplication::font();
            font.setUnderline(true);
            return font;
        }
        return {};
    case imageURLsRole:
        return QVariantList{urlOrNothing(transactionImageURL(item.originImage, m_apiBaseURL)),
                            urlOrNothing(transactionImageURL(item.outputImage, m_apiBaseURL))};
    default: return {};
    }
}

QVariant TransactionsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case idColumn: return tr("ID");
    case dateColumn: return tr("Date");
    case typeAndAmountColumn: return tr("Type & Amount");
    case routeAndSiteColumn: return tr("Route & Site");
    case imagesColumn: return tr("Images");
    default: return {};
    }
}

TransactionImagesDelegate::TransactionImagesDelegate(RemoteImageLoader& loader, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_loader(loader)
{
}

void TransactionImagesDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const QVariantList urls = index.data(TransactionsTableModel::imageURLsRole).toList();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    QRect square(option.rect.left() + 4, option.rect.center().y() - thumbnailSide / 2, thumbnailSide, thumbnailSide);
    for (const QVariant& value : urls) {
        const QUrl url = value.toUrl();
        const auto image = url.isEmpty() ? std::nullopt : m_loader.image(url);
        QPainterPath rounded;
        rounded.addRoundedRect(square, kCornerRadius, kCornerRadius);
        const QColor grey = option.palette.color(QPalette::PlaceholderText);
        // Cut-outs are transparent: the faint square stays behind them too.
        painter->fillPath(rounded, QColor(grey.red(), grey.green(), grey.blue(), 40));
        if (image) {
            painter->setClipPath(rounded);
            const QImage filled = image->scaled(square.size() * painter->device()->devicePixelRatioF(),
                                                Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
            QRectF target(QPointF(), QSizeF(filled.size()) / painter->device()->devicePixelRatioF());
            target.moveCenter(QRectF(square).center());
            painter->drawImage(target, filled);
            painter->setClipping(false);
        } else {
            const QPixmap symbol = tintedPixmap(QIcon(QStringLiteral(":/account-icons/photo.svg")), QSize(12, 12), grey,
                                                painter->device()->devicePixelRatioF());
            painter->drawPixmap(square.center() - QPoint(6, 6), symbol);
        }
        square.translate(thumbnailSide + kThumbnailGap, 0);
    }
    painter->restore();
}

QSize TransactionImagesDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return {2 * thumbnailSide + kThumbnailGap + 8, thumbnailSide + 8};
}

} // namespace kivo
