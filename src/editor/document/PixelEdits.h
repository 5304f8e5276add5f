#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QSizeF>

#include <optional>

namespace kivo {

// Where the document shows in the canvas widget: `scale` widget points per document pixel,
// `origin` the widget position (origin at the top-left) of the document's top-left corner.
struct CanvasView {
    double scale = 1.0;
    QPointF origin;

    // The document fitted and centred in a widget of `canvasSize` (never below a tiny scale).
    static CanvasView fitted(const QSizeF& canvasSize, const QSize& documentSize);

    QPointF toDocument(const QPointF& widgetPoint) const { return (widgetPoint - origin) / scale; }
    QPointF toWidget(const QPointF& documentPoint) const { return documentPoint * scale + origin; }
    QRectF documentRect(const QSize& documentSize) const
    {
        return {origin, QSizeF(documentSize) * scale};
    }
    // Scaled by `factor` keeping the document point under `widgetPoint` where it is.
    CanvasView zoomedAt(double factor, const QPointF& widgetPoint) const;

    friend bool operator==(const CanvasView&, const CanvasView&) = default;
};

// The pixels a rectangle of document points covers, clipped to the document; nothing when
// less than one pixel remains.
std::optional<QRect> pixelsOf(const QRectF& documentRect, const QSize& documentSize);

// A copy of `target` with a polyline painted into it: points in the image's pixels (rows from
// the top), round caps and joins, antialiased unless `hardEdged`. The brush paints `color` over the pixels; the
// eraser makes the pixels under the line transparent (soft edges keep partial alpha).
QImage paintStroke(const QImage& target, const QList<QPointF>& imagePoints, double lineWidth, const QColor& color,
                   bool erase, bool hardEdged = false);
// A copy of `image` whose pixels in `rect` are transparent.
QImage clearRect(const QImage& image, const QRect& rect);
// The pixels of `rect`, as a new image of that size.
QImage copyRect(const QImage& image, const QRect& rect);

} // namespace kivo
