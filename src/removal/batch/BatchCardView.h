#pragma once

#include "core/DomainModel.h"

#include <QListView>
#include <QStyledItemDelegate>

namespace kivo {

class BatchTaskModel;

// Where the parts of one card lie within its cell, for painting and for hit tests alike.
struct CardGeometry {
    QRect card;
    QRect name;
    QRect badge;
    QRect original;
    QRect originalCaption;
    QRect arrow;
    QRect result;
    QRect resultCaption;
    QRect download;
    QRect edit;

    static CardGeometry forCell(const QRect& cell, const QFontMetrics& metrics, const QString& badgeText);
};

// Paints one task's card: the file name and its status badge, the original beside the result
// (or the pending clock, the spinner, the failure with its text), and "Download" and "Edit"
// once a result is there. The card's border takes the status colour; the current card shows a
// focus ring. Clicks on the buttons and the images, and the tooltips, are handled here too.
class BatchCardDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit BatchCardDelegate(const BatchTaskModel& model, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The size of one card's cell; the view sets it as its columns' width changes.
    void setCellSize(QSize size) { m_cellSize = size; }
    QSize cellSize() const { return m_cellSize; }
    // The spinner's angle, advanced by the view while cards are processing.
    void setSpinnerAngle(int angle) { m_spinnerAngle = angle; }
    // The pointer's position in the viewport, for the buttons' hover look.
    void setHoverPoint(QPoint point) { m_hoverPoint = point; }

    static constexpr int imageSide = 120;
    static constexpr int cardHeight = 232;
    static constexpr int gap = 15;

signals:
    void downloadRequested(const kivo::ImageProcessingTask& task);
    void editRequested(const kivo::ImageProcessingTask& task);
    void imageTapped(const kivo::CachedImage& image, const QString& title);

private:
    QPixmap thumbnail(const CachedImage& image, bool onCheckerboard) const;
    QPixmap cardFrame(const QStyleOptionViewItem& option, ProcessingStatus status, const QPalette& palette) const;
    void paintResult(QPainter& painter, const CardGeometry& geometry, const ImageProcessingTask& task,
                     const QString& note, const QPalette& palette) const;
    void paintButton(QPainter& painter, const QRect& rect, const QString& text, const QWidget* widget) const;

    const BatchTaskModel& m_model;
    QSize m_cellSize{380, cardHeight + gap};
    int m_spinnerAngle = 0;
    QPoint m_hoverPoint{-1, -1};
};

// The batch's cards in three equal columns, drawn only for the rows on screen: the cost of a
// frame does not grow with the batch. Arrow keys move between cards, Return opens the current
// card's result in the editor, Space previews its image.
class BatchCardView : public QListView {
    Q_OBJECT
public:
    explicit BatchCardView(BatchTaskModel& model, QWidget* parent = nullptr);

    BatchCardDelegate* cardDelegate() const { return m_delegate; }
    // The card's rectangle in the viewport (empty when the row is not laid out).
    QRect cardRect(int row) const;
    CardGeometry cardGeometry(int row) const;

protected:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles = {}) override;
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void updateCellSize();
    void updateSpinner();

    BatchTaskModel& m_model;
    BatchCardDelegate* m_delegate = nullptr;
    int m_spinnerTimer = 0;
    int m_spinnerAngle = 0;
};

} // namespace kivo
