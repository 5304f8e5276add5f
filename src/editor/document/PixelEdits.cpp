#include "PixelEdits.h"

#include "DrawingTypes.h"

#include "core/ImageAllocation.h"

#include <QPainter>

#include <cmath>

namespace kivo {

namespace {

// The smallest scale: keeps a zoom of 0 from dividing by zero.
constexpr double minimumZoom = 0.001;

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

CanvasView CanvasView::fitted(const QSizeF& canvasSize, const QSize& documentSize)
{
    CanvasView view;
    if (documentSize.isEmpty() || canvasSize.isEmpty())
        return view;
    view.scale = std::max(std::min(canvasSize.width() / documentSize.width(),
                                   canvasSize.height() / documentSize.height()),
                          minimumZoom);
    view.origin = QPointF((canvasSize.width() - documentSize.width() * view.scale) / 2,
                          (canvasSize.height() - documentSize.height() * view.scale) / 2);
    return view;
}

CanvasView CanvasView::zoomedAt(double factor, const QPointF& widgetPoint) const
{
    const QPointF anchor = toDocument(widgetPoint);
    CanvasView view;
    view.scale = std::max(scale * factor, minimumZoom);
    view.origin = widgetPoint - anchor * view.scale;
    return view;
}

std::optional<QRect> pixelsOf(const QRectF& documentRect, const QSize& documentSize)
{
    const QRectF normal = documentRect.normalized();
    const QRect pixels(QPoint(int(std::lround(normal.left())), int(std::lround(normal.top()))),
                       QPoint(int(std::lround(normal.right())) - 1, int(std::lround(normal.bottom())) - 1));
    const QRect inside = pixels.intersected(QRect(QPoint(0, 0), documentSize));
    if (inside.width() < 1 || inside.height() < 1)
        return std::nullopt;
    return inside;
}

QImage paintStroke(const QImage& target, const QList<QPointF>& imagePoints, double lineWidth, const QColor& color,
                   bool erase, bool hardEdged)
{
    QImage image = paintableCopy(target);
    if (image.isNull() || imagePoints.isEmpty())
        return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, !hardEdged);
    if (erase)
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setPen(QPen(erase ? QColor(Qt::white) : color, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    // A path of one point paints nothing.
    painter.drawPath(polylinePath(imagePoints));
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
