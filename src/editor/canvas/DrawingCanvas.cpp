#include "DrawingCanvas.h"

#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace kivo {

namespace {

bool isRubberBand(const DrawingTool& tool)
{
    return tool.kind == DrawingTool::Kind::selection || tool.kind == DrawingTool::Kind::crop;
}

} // namespace

DrawingCanvas::DrawingCanvas(QWidget* parent)
    : QWidget(parent)
{
    // Everything under the canvas stays visible.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoSystemBackground);
}

QPointF DrawingCanvas::toCanvas(const QPointF& widgetPoint) const
{
    return {widgetPoint.x(), height() - widgetPoint.y()};
}

QPointF DrawingCanvas::toWidget(const QPointF& canvasPoint) const
{
    return {canvasPoint.x(), height() - canvasPoint.y()};
}

void DrawingCanvas::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_isDrawingActive = true;
    m_currentStroke = DrawingStroke{m_tool, {toCanvas(event->position())}};
    emit drawingBegan();
    update(segmentArea(m_currentStroke->points.back(), m_currentStroke->points.back()));
}

void DrawingCanvas::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_isDrawingActive || !m_currentStroke)
        return;
    const QPointF previous = m_currentStroke->points.back();
    m_currentStroke->points.append(toCanvas(event->position()));
    // Only the new segment's area is redrawn, whatever the stroke's length; a rubber band
    // changes as a whole.
    if (isRubberBand(m_currentStroke->tool))
        update();
    else
        update(segmentArea(previous, m_currentStroke->points.back()));
}

void DrawingCanvas::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_isDrawingActive || event->button() != Qt::LeftButton)
        return;
    m_isDrawingActive = false;
    std::optional<DrawingStroke> finished = std::exchange(m_currentStroke, std::nullopt);
    if (finished) {
        m_drawing.strokes.append(*finished);
        emit strokeFinished(*finished);
    }
    emit drawingEnded();
    update();
}

QRect DrawingCanvas::segmentArea(const QPointF& from, const QPointF& to) const
{
    // Miter joins reach out up to the miter limit (2) times half the width.
    const double margin = std::ceil(m_currentStroke ? m_currentStroke->tool.strokeWidth() : 1.0) + 2;
    const QRectF segment = QRectF(toWidget(from), toWidget(to)).normalized();
    return segment.adjusted(-margin, -margin, margin, margin).toAlignedRect();
}

void DrawingCanvas::paintEvent(QPaintEvent* event)
{
    if (!m_currentStroke || m_currentStroke->points.isEmpty())
        return;
    const DrawingTool& tool = m_currentStroke->tool;
    QList<QPointF> points;
    points.reserve(m_currentStroke->points.size());
    for (const QPointF& point : m_currentStroke->points)
        points << toWidget(point);

    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    if (isRubberBand(tool)) {
        QPointF low = points.front(), high = low;
        for (const QPointF& point : points) {
            low = QPointF(std::min(low.x(), point.x()), std::min(low.y(), point.y()));
            high = QPointF(std::max(high.x(), point.x()), std::max(high.y(), point.y()));
        }
        const QRectF band(low, high);
        QPen pen(palette().color(QPalette::Highlight), 1);
        pen.setDashPattern({6, 4});
        painter.setPen(pen);
        QColor fill = palette().color(QPalette::Highlight);
        fill.setAlphaF(0.12f);
        painter.setBrush(fill);
        painter.drawRect(band);
        return;
    }
    if (points.size() < 2)
        return;
    if (tool.kind == DrawingTool::Kind::eraser) {
        // The eraser's trace: where pixels will go, as a translucent band of its width.
        painter.setPen(QPen(QColor(255, 255, 255, 140), tool.strokeWidth(), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(polylinePath(points));
        return;
    }
    if (tool.strokeColor().alpha() == 0)
        return;
    painter.setPen(QPen(tool.strokeColor(), tool.strokeWidth(), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.drawPath(polylinePath(points));
}

} // namespace kivo
