#include "DrawingCanvas.h"

#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace kivo {

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
    // Only the new segment's area is redrawn, whatever the stroke's length.
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
    if (!m_currentStroke || m_currentStroke->points.size() < 2)
        return;
    const DrawingTool& tool = m_currentStroke->tool;
    if (tool.strokeColor().alpha() == 0)
        return;
    QList<QPointF> points;
    points.reserve(m_currentStroke->points.size());
    for (const QPointF& point : m_currentStroke->points)
        points << toWidget(point);

    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(tool.strokeColor(), tool.strokeWidth(), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(polylinePath(points));
}

} // namespace kivo
