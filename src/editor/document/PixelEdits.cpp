#include "PixelEdits.h"

#include "DrawingTypes.h"

#include "core/ImageAllocation.h"

#include <QPainter>

#include <cmath>

namespace kivo {

namespace {

// The minimum scale keeps a zoom of 0 from dividing by zero.
constexpr double minimumZoom = 0.0001;

// A 32-bit premultiplied copy of the image to paint on: the form QPainter composes fastest.
// Images of points and pixels alike (device pixel ratio 1, as everything loaded from files is)
// are converted as they are; others are drawn into their size in points.
QImage paintableCopy(const QImage& image)
{
    if (image.devicePixelRatio() == 1.0)
        return convertedCopy(image, QImage::Format_ARGB32_Premultiplied);
    const QSizeF points = image.deviceIndependentSize();
    QImage copy = allocateImage(QSize(int(points.width()), int(points.height())), QImage::Format_ARGB32_Premultiplied);
    if (copy.isNull())
        return copy;
    copy.fill(Qt::transparent);
    QPainter painter(&copy);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(QPointF(0, 0), points), image);
    return copy;
}

} // namespace

CanvasMapping CanvasMapping::make(const QSizeF& canvasSize, const QSizeF& imageSize, double zoom, const QSizeF& offset)
{
    CanvasMapping mapping;
    mapping.imageSize = imageSize;
    mapping.offset = offset;
    const double iw = imageSize.width(), ih = imageSize.height();
    const double cw = canvasSize.width(), ch = canvasSize.height();
    if (iw > 0 && ih > 0 && cw > 0 && ch > 0) {
        const double fit = std::min(cw / iw, ch / ih);
        mapping.fitted = QRectF((cw - iw * fit) / 2, (ch - ih * fit) / 2, iw * fit, ih * fit);
    } else {
        mapping.fitted = QRectF(0, 0, cw, ch);
    }
    mapping.scale = std::max(zoom, minimumZoom) * (iw > 0 ? mapping.fitted.width() / iw : 1.0);
    return mapping;
}

QRectF CanvasMapping::displayRect(const QSizeF& canvasSize, double zoom) const
{
    const QSizeF shown = fitted.size() * zoom;
    return QRectF(QPointF((canvasSize.width() - shown.width()) / 2 + offset.width(),
                          (canvasSize.height() - shown.height()) / 2 - offset.height()),
                  shown);
}

QPointF CanvasMapping::toImage(const QPointF& canvasPoint) const
{
    return {(canvasPoint.x() - fitted.x() - offset.width()) / scale,
            (canvasPoint.y() - fitted.y() - offset.height()) / scale};
}

bool CanvasMapping::containsInImage(const QPointF& imagePoint) const
{
    return imagePoint.x() >= 0 && imagePoint.x() <= imageSize.width() && imagePoint.y() >= 0
        && imagePoint.y() <= imageSize.height();
}

std::optional<QRect> CanvasMapping::selectionInImage(const QRectF& selection) const
{
    const double iw = imageSize.width(), ih = imageSize.height();
    const QPointF origin = toImage(selection.topLeft());
    const double x = origin.x(), y = origin.y();
    const double w = selection.width() / scale, h = selection.height() / scale;
    const double clippedX = std::max(x, 0.0);
    const double clippedWidth = x < 0 ? std::min(w, iw) : std::min(w, iw - x);
    const double clippedY = std::max(y, 0.0);
    const double clippedHeight = y < 0 ? std::min(h, ih) : std::min(h, ih - y);
    if (clippedWidth < 1 || clippedHeight < 1)
        return std::nullopt;
    // Rows count from the top in the image's pixels.
    const double top = ih - (clippedY + clippedHeight);
    const QRect pixels(QPoint(int(std::lround(clippedX)), int(std::lround(top))),
                       QPoint(int(std::lround(clippedX + clippedWidth)) - 1, int(std::lround(top + clippedHeight)) - 1));
    const QRect inside = pixels.intersected(QRect(0, 0, int(iw), int(ih)));
    if (inside.isEmpty())
        return std::nullopt;
    return inside;
}

QImage paintStroke(const QImage& target, const QList<QPointF>& imagePoints, double lineWidth, const QColor& color,
                   bool erase)
{
    QImage image = paintableCopy(target);
    if (image.isNull() || imagePoints.isEmpty())
        return image;
    QList<QPointF> rows;
    rows.reserve(imagePoints.size());
    for (const QPointF& point : imagePoints)
        rows << QPointF(point.x(), image.height() - point.y());

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (erase)
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setPen(QPen(erase ? QColor(Qt::white) : color, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    // A path of one point paints nothing.
    painter.drawPath(polylinePath(rows));
    return image;
}

QImage clearRect(const QImage& image, const QRect& rect)
{
    QImage cleared = paintableCopy(image);
    if (cleared.isNull())
        return cleared;
    QPainter painter(&cleared);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.fillRect(rect, Qt::transparent);
    return cleared;
}

QImage copyRect(const QImage& image, const QRect& rect)
{
    if (image.devicePixelRatio() == 1.0)
        return convertedCopy(image.copy(rect), QImage::Format_ARGB32_Premultiplied);
    return paintableCopy(image).copy(rect);
}

} // namespace kivo
