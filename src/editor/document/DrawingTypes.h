#pragma once

#include <QColor>
#include <QList>
#include <QPainterPath>
#include <QPointF>

namespace kivo {

// The kind of a stroke with its drawing parameters. Pen, pencil and marker carry a colour and
// a width, the eraser a width; selection and crop carry nothing.
struct DrawingTool {
    enum class Kind { pen, pencil, marker, eraser, selection, crop };

    Kind kind = Kind::pen;
    QColor color = Qt::black;
    double width = 2.0;

    static DrawingTool pen(const QColor& color, double width) { return {Kind::pen, color, width}; }
    static DrawingTool pencil(const QColor& color, double width) { return {Kind::pencil, color, width}; }
    static DrawingTool marker(const QColor& color, double width) { return {Kind::marker, color, width}; }
    static DrawingTool eraser(double width) { return {Kind::eraser, Qt::transparent, width}; }
    static DrawingTool selection() { return {Kind::selection, Qt::transparent, 1.0}; }
    static DrawingTool crop() { return {Kind::crop, Qt::transparent, 1.0}; }

    // What a stroke of this tool is drawn with: the eraser, selection and crop draw in the
    // fully transparent colour, so they stay invisible; selection and crop are 1 wide.
    QColor strokeColor() const;
    double strokeWidth() const;

    friend bool operator==(const DrawingTool&, const DrawingTool&) = default;
};

enum class DrawingPolicy { anyInput, pencilOnly };

// One drag on the drawing canvas: the tool current when it began and the points in the
// canvas's own space (origin at the lower-left, y upwards), in capture order.
struct DrawingStroke {
    DrawingTool tool;
    QList<QPointF> points;

    friend bool operator==(const DrawingStroke&, const DrawingStroke&) = default;
};

struct SimpleDrawing {
    QList<DrawingStroke> strokes;
};

// One open path: a move to the first point and straight lines to the others.
QPainterPath polylinePath(const QList<QPointF>& points);

} // namespace kivo
