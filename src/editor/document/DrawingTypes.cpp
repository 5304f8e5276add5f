#include "DrawingTypes.h"

namespace kivo {

QColor DrawingTool::strokeColor() const
{
    switch (kind) {
    case Kind::pen:
    case Kind::pencil:
    case Kind::marker: return color;
    case Kind::eraser:
    case Kind::selection:
    case Kind::crop: return Qt::transparent;
    }
    return Qt::transparent;
}

double DrawingTool::strokeWidth() const
{
    return kind == Kind::selection || kind == Kind::crop ? 1.0 : width;
}

QPainterPath polylinePath(const QList<QPointF>& points)
{
    QPainterPath path;
    if (points.isEmpty())
        return path;
    path.moveTo(points.front());
    for (qsizetype i = 1; i < points.size(); ++i)
        path.lineTo(points[i]);
    return path;
}

} // namespace kivo
