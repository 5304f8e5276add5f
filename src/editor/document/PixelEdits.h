#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QSizeF>

#include <optional>

namespace kivo {

// From the drawing canvas's space to an image's, for an image shown fitted and centred in the
// canvas, scaled by the session's zoom and shifted by its offset. Both spaces have their origin
// at the lower-left corner with y upwards; image units are the image's points.
struct CanvasMapping {
    // Where the image sits in the canvas before zoom and offset.
    QRectF fitted;
    // Canvas points per image point.
    double scale = 1.0;
    QSizeF offset;
    QSizeF imageSize;

    static CanvasMapping make(const QSizeF& canvasSize, const QSizeF& imageSize, double zoom, const QSizeF& offset);

    // Where the image shows in a widget of `canvasSize` (origin at the top-left): the fitted
    // rectangle scaled by the zoom around the centre, shifted up by the offset's height.
    QRectF displayRect(const QSizeF& canvasSize, double zoom) const;

    QPointF toImage(const QPointF& canvasPoint) const;
    bool containsInImage(const QPointF& imagePoint) const;
    // A selection rectangle of the canvas in the image's pixels (rows counted from the top),
    // clipped to the image: a part left of or below the image starts at its edge and keeps its
    // size, capped at the image's. Nothing when less than 1 × 1 remains.
    std::optional<QRect> selectionInImage(const QRectF& selection) const;
};

// A copy of `target` with a polyline painted into it: points in image space (origin at the
// lower-left), round caps and joins, antialiased. The brush paints `color` over the pixels;
// the eraser makes the pixels under the line transparent (soft edges keep partial alpha).
QImage paintStroke(const QImage& target, const QList<QPointF>& imagePoints, double lineWidth, const QColor& color,
                   bool erase);
// A copy of `image` whose pixels in `rect` are transparent.
QImage clearRect(const QImage& image, const QRect& rect);
// The pixels of `rect`, as a new image of that size.
QImage copyRect(const QImage& image, const QRect& rect);

} // namespace kivo
