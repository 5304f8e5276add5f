#include "BatchCardView.h"

#include "BatchTaskModel.h"

#include "core/WidgetStyle.h"

#include <QApplication>
#include <QHelpEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QToolTip>

namespace kivo {

namespace {

constexpr int marginX = 14;
constexpr int marginY = 12;
constexpr int rowGap = 10;
constexpr int nameHeight = 22;
constexpr int captionHeight = 16;
constexpr int buttonHeight = 28;
constexpr int arrowSide = 18;

QColor statusColor(ProcessingStatus status)
{
    switch (status) {
    case ProcessingStatus::pending: return {0x8e, 0x8e, 0x93};
    case ProcessingStatus::processing: return {0x0a, 0x84, 0xff};
    case ProcessingStatus::completed: return {0x30, 0xb0, 0x50};
    case ProcessingStatus::failed: return {0xff, 0x3b, 0x30};
    }
    return Qt::gray;
}

QFont scaledFont(QFont font, qreal scale, QFont::Weight weight = QFont::Normal)
{
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    return font;
}

QFont badgeFont(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(8);
    font.setWeight(QFont::DemiBold);
    return font;
}

QPixmap symbol(const QString& resource, const QColor& color, int side)
{
    const QString key = QStringLiteral("kivo-card-symbol:%1:%2:%3").arg(resource, color.name()).arg(side);
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        pixmap = tintedPixmap(QIcon(resource), QSize(side, side), color);
        QPixmapCache::insert(key, pixmap);
    }
    return pixmap;
}

bool hasResult(const ImageProcessingTask& task)
{
    return task.status == ProcessingStatus::completed && task.processedImage.has_value();
}

} // namespace

CardGeometry CardGeometry::forCell(const QRect& cell, const QFontMetrics& metrics, const QString& badgeText)
{
    CardGeometry g;
    g.card = cell.adjusted(0, 0, -BatchCardDelegate::gap, -BatchCardDelegate::gap);
    const int left = g.card.left() + marginX;
    const int right = g.card.right() - marginX;
    int y = g.card.top() + marginY;

    const int badgeWidth = metrics.horizontalAdvance(badgeText) + 16;
    g.badge = QRect(right - badgeWidth + 1, y + 1, badgeWidth, nameHeight - 2);
    g.name = QRect(left, y, std::max(0, g.badge.left() - 8 - left), nameHeight);
    y += nameHeight + rowGap;

    const int side = BatchCardDelegate::imageSide;
    const int rowWidth = side + rowGap + arrowSide + rowGap + side;
    const int x = g.card.center().x() - rowWidth / 2;
    g.original = QRect(x, y, side, side);
    g.arrow = QRect(x + side + rowGap, y + (side - arrowSide) / 2, arrowSide, arrowSide);
    g.result = QRect(g.arrow.right() + 1 + rowGap, y, side, side);
    g.originalCaption = QRect(g.original.left(), y + side + 4, side, captionHeight);
    g.resultCaption = QRect(g.result.left(), y + side + 4, side, captionHeight);
    y = g.originalCaption.bottom() + 1 + rowGap;

    const int downloadWidth = 92;
    const int editWidth = 64;
    const int buttonsLeft = g.card.center().x() - (downloadWidth + 6 + editWidth) / 2;
    g.download = QRect(buttonsLeft, y, downloadWidth, buttonHeight);
    g.edit = QRect(buttonsLeft + downloadWidth + 6, y, editWidth, buttonHeight);
    return g;
}

BatchCardDelegate::BatchCardDelegate(const BatchTaskModel& model, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_model(model)
{
}

QSize BatchCardDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return m_cellSize;
}

// Thumbnails scaled to the card's box once and kept in the pixmap cache, which drops the least
// used: a long batch costs no more than the cards that were looked at lately.
QPixmap BatchCardDelegate::thumbnail(const CachedImage& image, bool onCheckerboard) const
{
    if (image.isNull())
        return {};
    const QString key = QStringLiteral("kivo-card:%1:%2:%3")
                            .arg(image.filePath().isEmpty() ? QString::number(quintptr(&image)) : image.filePath())
                            .arg(onCheckerboard)
                            .arg(image.thumbnail().cacheKey());
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap))
        return pixmap;
    const QImage scaled = image.thumbnail().scaled(imageSide, imageSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!onCheckerboard) {
        pixmap = QPixmap::fromImage(scaled);
    } else {
        pixmap = QPixmap(scaled.size());
        QPainter painter(&pixmap);
        paintCheckerboard(painter, pixmap.rect(), 8);
        painter.drawImage(0, 0, scaled);
    }
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

void BatchCardDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (index.row() >= m_model.rowCount())
        return;
    const ImageProcessingTask& task = m_model.task(index.row());
    const QString status = statusText(int(task.status));
    const QFont base = option.font;
    const CardGeometry g = CardGeometry::forCell(option.rect, QFontMetrics(badgeFont(base)), status);
    // The application's palette: the view's own has a transparent base, so that the content
    // area's fill shows between the cards.
    const QPalette palette = QApplication::palette();
    const QColor color = statusColor(task.status);

    painter->save();
    // Pixmaps are drawn at their own size: without the smoothing hint (which a widget's painter
    // has) the engine copies them directly instead of through its threaded texture fill.
    painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter->drawPixmap(option.rect.topLeft(), cardFrame(option, task.status, palette));
    painter->setRenderHint(QPainter::Antialiasing);

    // Name and badge.
    painter->setFont(scaledFont(base, 1.0, QFont::DemiBold));
    painter->setPen(palette.color(QPalette::Text));
    const QString name = task.originalURL.fileName();
    painter->drawText(g.name, Qt::AlignLeft | Qt::AlignVCenter,
                      painter->fontMetrics().elidedText(name, Qt::ElideMiddle, std::min(200, g.name.width())));
    QColor fill = color;
    fill.setAlphaF(0.15f);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(g.badge, 8, 8);
    painter->setFont(badgeFont(base));
    painter->setPen(color);
    painter->drawText(g.badge, Qt::AlignCenter, status);

    // The original's thumbnail and the result pane.
    const QPixmap original = thumbnail(task.originalImage, false);
    if (!original.isNull())
        painter->drawPixmap(g.original.center().x() - original.width() / 2 + 1,
                            g.original.center().y() - original.height() / 2 + 1, original);
    paintResult(*painter, g, task, m_model.note(index.row()), palette);

    if (hasResult(task)) {
        painter->setFont(base);
        paintButton(*painter, g.download, tr("Download"), option.widget);
        paintButton(*painter, g.edit, tr("Edit"), option.widget);
    }
    painter->restore();
}

// What every card of a status shares: its background, the border in the status colour, the
// focus ring, the two image boxes, the arrow and the captions. Drawn once per look into a pixmap
// and copied: the raster engine fills large antialiased shapes on helper threads that the
// window's thread waits for, and on a busy machine each card's shapes cost it tens of
// milliseconds of waiting.
QPixmap BatchCardDelegate::cardFrame(const QStyleOptionViewItem& option, ProcessingStatus status,
                                     const QPalette& palette) const
{
    const int ring = option.state & QStyle::State_HasFocus ? 2 : option.state & QStyle::State_Selected ? 1 : 0;
    const qreal ratio = option.widget ? option.widget->devicePixelRatioF() : qApp->devicePixelRatio();
    const QString key = QStringLiteral("kivo-card-frame:%1x%2:%3:%4:%5:%6:%7")
                            .arg(option.rect.width()).arg(option.rect.height()).arg(int(status)).arg(ring)
                            .arg(ratio).arg(palette.cacheKey()).arg(option.font.key());
    QPixmap frame;
    if (QPixmapCache::find(key, &frame))
        return frame;
    frame = QPixmap((QSizeF(option.rect.size()) * ratio).toSize());
    frame.setDevicePixelRatio(ratio);
    frame.fill(Qt::transparent);
    const QFont base = option.font;
    const CardGeometry g = CardGeometry::forCell(QRect(QPoint(0, 0), option.rect.size()),
                                                 QFontMetrics(badgeFont(base)), statusText(int(status)));
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor border = statusColor(status);
    border.setAlphaF(0.55f);
    painter.setPen(QPen(border, 1.5));
    painter.setBrush(palette.color(QPalette::Base));
    painter.drawRoundedRect(QRectF(g.card).adjusted(0.75, 0.75, -0.75, -0.75), 12, 12);
    if (ring > 0) {
        QColor color = palette.color(QPalette::Highlight);
        color.setAlphaF(ring == 2 ? 0.9f : 0.5f);
        painter.setPen(QPen(color, 2.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(g.card).adjusted(2, 2, -2, -2), 11, 11);
    }
    const QColor grey = palette.color(QPalette::PlaceholderText);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette.color(QPalette::AlternateBase));
    painter.drawRoundedRect(g.original, 8, 8);
    painter.drawRoundedRect(g.result, 8, 8);
    painter.drawPixmap(g.arrow.topLeft(), symbol(QStringLiteral(":/removal-icons/arrow-right.svg"), grey, arrowSide));
    painter.setFont(scaledFont(base, 0.85));
    painter.setPen(grey);
    painter.drawText(g.originalCaption, Qt::AlignCenter, tr("Original"));
    painter.drawText(g.resultCaption, Qt::AlignCenter, tr("Processed"));
    painter.end();
    QPixmapCache::insert(key, frame);
    return frame;
}

void BatchCardDelegate::paintResult(QPainter& painter, const CardGeometry& g, const ImageProcessingTask& task,
                                    const QString& note, const QPalette& palette) const
{
    const QColor grey = palette.color(QPalette::PlaceholderText);
    const QFont small = scaledFont(painter.font(), 0.85);
    const QRect box = g.result;
    switch (task.status) {
    case ProcessingStatus::completed: {
        const QPixmap result = hasResult(task) ? thumbnail(*task.processedImage, true) : QPixmap();
        if (!result.isNull())
            painter.drawPixmap(box.center().x() - result.width() / 2 + 1, box.center().y() - result.height() / 2 + 1, result);
        return;
    }
    case ProcessingStatus::pending: {
        painter.drawPixmap(box.center().x() - 13, box.top() + 30, symbol(QStringLiteral(":/removal-icons/clock.svg"), grey, 26));
        painter.setFont(small);
        painter.setPen(grey);
        painter.drawText(box.adjusted(6, 62, -6, -4), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                         note.isEmpty() ? tr("Pending") : note);
        return;
    }
    case ProcessingStatus::processing: {
        const QRectF arc(box.center().x() - 11, box.top() + 32, 22, 22);
        painter.setPen(QPen(statusColor(ProcessingStatus::processing), 2.5, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(arc, -m_spinnerAngle * 16, 270 * 16);
        painter.setFont(small);
        painter.setPen(grey);
        painter.drawText(box.adjusted(6, 62, -6, -4), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                         note.isEmpty() ? tr("Processing...") : note);
        return;
    }
    case ProcessingStatus::failed: {
        const QColor red(0xff, 0x3b, 0x30);
        painter.drawPixmap(box.center().x() - 12, box.top() + 8, symbol(QStringLiteral(":/removal-icons/warning.svg"), red, 24));
        painter.setFont(small);
        painter.setPen(grey);
        painter.drawText(QRect(box.left(), box.top() + 34, box.width(), 16), Qt::AlignCenter, tr("Failed"));
        QFont errorFont = painter.font();
        errorFont.setPointSizeF(8);
        painter.setFont(errorFont);
        painter.setPen(red);
        const QRect textBox = box.adjusted(4, 52, -4, -2);
        const QString error = task.error.value_or(QString());
        // Too long for the box: the lines that fit, the rest behind an ellipsis (the tooltip
        // holds the whole text).
        const QFontMetrics metrics(errorFont);
        QString shown = error;
        while (shown.size() > 1
               && metrics.boundingRect(textBox, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, shown).height()
                   > textBox.height())
            shown = shown.left(shown.size() * 4 / 5).trimmed() + u'…';
        painter.drawText(textBox, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, shown);
        return;
    }
    }
}

void BatchCardDelegate::paintButton(QPainter& painter, const QRect& rect, const QString& text, const QWidget* widget) const
{
    QStyleOptionButton button;
    button.rect = rect;
    button.text = text;
    button.state = QStyle::State_Enabled | QStyle::State_Raised;
    if (rect.contains(m_hoverPoint))
        button.state |= QStyle::State_MouseOver;
    button.palette = QApplication::palette();
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_PushButton, &button, &painter, widget);
}

bool BatchCardDelegate::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem& option,
                                    const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonRelease || index.row() >= m_model.rowCount())
        return false;
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton)
        return false;
    const ImageProcessingTask& task = m_model.task(index.row());
    const CardGeometry g = CardGeometry::forCell(option.rect, QFontMetrics(badgeFont(option.font)), statusText(int(task.status)));
    const QPoint at = mouse->position().toPoint();
    const QString name = task.originalURL.fileName();
    if (hasResult(task) && g.download.contains(at)) {
        emit downloadRequested(task);
        return true;
    }
    if (hasResult(task) && g.edit.contains(at)) {
        emit editRequested(task);
        return true;
    }
    if (g.original.contains(at) && !task.originalImage.isNull()) {
        emit imageTapped(task.originalImage, tr("Original - ") + name);
        return true;
    }
    if (g.result.contains(at) && hasResult(task)) {
        emit imageTapped(*task.processedImage, tr("Processed - ") + name);
        return true;
    }
    return false;
}

bool BatchCardDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                  const QModelIndex& index)
{
    if (event->type() != QEvent::ToolTip || index.row() >= m_model.rowCount())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const ImageProcessingTask& task = m_model.task(index.row());
    const CardGeometry g = CardGeometry::forCell(option.rect, QFontMetrics(badgeFont(option.font)), statusText(int(task.status)));
    QString text;
    if (g.name.contains(event->pos()))
        text = task.originalURL.fileName();
    else if (g.result.contains(event->pos()) && task.status == ProcessingStatus::failed)
        text = task.error.value_or(QString());
    if (text.isEmpty()) {
        QToolTip::hideText();
        return true;
    }
    QToolTip::showText(event->globalPos(), text, view->viewport(), g.card);
    return true;
}

BatchCardView::BatchCardView(BatchTaskModel& model, QWidget* parent)
    : QListView(parent)
    , m_model(model)
    , m_delegate(new BatchCardDelegate(model, this))
{
    setModel(&model);
    setItemDelegate(m_delegate);
    setViewMode(QListView::ListMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    // Every card has the cell's size: laying out thousands of rows is a little arithmetic per
    // row, done in one pass, so that the scroll range always spans the whole batch (a batched
    // layout starts again from the first rows each time rows come in, and the range shrinks).
    setUniformItemSizes(true);
    setLayoutMode(QListView::SinglePass);
    setMovement(QListView::Static);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(24);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setViewportMargins(20 - 0, 20, 20 - BatchCardDelegate::gap, 20 - BatchCardDelegate::gap);
    QPalette transparent = palette();
    transparent.setColor(QPalette::Base, Qt::transparent);
    setPalette(transparent);
    viewport()->setAutoFillBackground(false);

    connect(&model, &QAbstractItemModel::dataChanged, this, [this] { updateSpinner(); });
    connect(&model, &QAbstractItemModel::modelReset, this, [this] { updateSpinner(); });
}

// A card keeps its size whatever its task's state: a change redraws the changed cards only. The
// list's own handling lays every row out again for each change, which during a run is thousands
// of layouts, each one pulling the view back while it lasts.
void BatchCardView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles)
{
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
}

void BatchCardView::resizeEvent(QResizeEvent* event)
{
    updateCellSize();
    QListView::resizeEvent(event);
}

// The viewport narrows when the scroll bar appears: the columns follow it.
bool BatchCardView::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::Resize)
        updateCellSize();
    return QListView::viewportEvent(event);
}

// Three equal columns across the viewport. The list lays its rows out as if the scroll bar were
// there whether or not it is, so its width is left out either way.
void BatchCardView::updateCellSize()
{
    const int width = maximumViewportSize().width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
    const int column = std::max(300, (width - 1) / 3);
    const QSize size(column, BatchCardDelegate::cardHeight + BatchCardDelegate::gap);
    if (size == m_delegate->cellSize())
        return;
    m_delegate->setCellSize(size);
    setGridSize(size);
    scheduleDelayedItemsLayout();
}

QRect BatchCardView::cardRect(int row) const
{
    return visualRect(m_model.index(row));
}

CardGeometry BatchCardView::cardGeometry(int row) const
{
    QFont font = this->font();
    font.setPointSizeF(8);
    font.setWeight(QFont::DemiBold);
    return CardGeometry::forCell(cardRect(row), QFontMetrics(font), statusText(int(m_model.task(row).status)));
}

// The spinner turns while a card on screen is processing; only those cards are redrawn.
void BatchCardView::updateSpinner()
{
    if (m_spinnerTimer == 0)
        m_spinnerTimer = startTimer(80);
}

void BatchCardView::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_spinnerTimer)
        return QListView::timerEvent(event);
    m_spinnerAngle = (m_spinnerAngle + 30) % 360;
    m_delegate->setSpinnerAngle(m_spinnerAngle);
    const QModelIndex first = indexAt(QPoint(1, 1));
    if (!first.isValid() && m_model.rowCount() == 0) {
        killTimer(m_spinnerTimer);
        m_spinnerTimer = 0;
        return;
    }
    bool anyProcessing = false;
    const int start = first.isValid() ? first.row() : 0;
    for (int row = start; row < m_model.rowCount(); ++row) {
        const QRect rect = cardRect(row);
        if (rect.top() > viewport()->height())
            break;
        if (m_model.task(row).status == ProcessingStatus::processing) {
            anyProcessing = true;
            viewport()->update(rect);
        }
    }
    if (!anyProcessing) {
        killTimer(m_spinnerTimer);
        m_spinnerTimer = 0;
    }
}

void BatchCardView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex current = currentIndex();
    if (current.isValid() && current.row() < m_model.rowCount()) {
        const ImageProcessingTask& task = m_model.task(current.row());
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            if (hasResult(task))
                emit m_delegate->editRequested(task);
            return;
        }
        if (event->key() == Qt::Key_Space) {
            const QString name = task.originalURL.fileName();
            if (hasResult(task))
                emit m_delegate->imageTapped(*task.processedImage, tr("Processed - ") + name);
            else if (!task.originalImage.isNull())
                emit m_delegate->imageTapped(task.originalImage, tr("Original - ") + name);
            return;
        }
    }
    QListView::keyPressEvent(event);
}

void BatchCardView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint previous = event->position().toPoint();
    m_delegate->setHoverPoint(previous);
    const QModelIndex index = indexAt(previous);
    if (index.isValid())
        viewport()->update(visualRect(index));
    QListView::mouseMoveEvent(event);
}

void BatchCardView::leaveEvent(QEvent* event)
{
    m_delegate->setHoverPoint({-1, -1});
    viewport()->update();
    QListView::leaveEvent(event);
}

} // namespace kivo
