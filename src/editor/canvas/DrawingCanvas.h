#pragma once

#include "editor/document/DrawingTypes.h"

#include <QWidget>

#include <optional>

namespace kivo {

// The transparent view over the editor's image that turns mouse drags into strokes. Points are
// in its own space: origin at the lower-left corner, y upwards, one unit per pixel of the view.
// Per drag it signals, in order: drawingBegan, strokeFinished (also for a click, with one
// point), drawingEnded. It changes no image; the editor decides what a stroke means.
//
// Only the stroke being dragged is drawn: a brush in its colour, the eraser as a translucent
// trace of its width, selection and crop as a rubber band. A finished stroke is shown by the
// image the editor applied it to, so that undo and a stroke that missed the image leave no trace.
class DrawingCanvas : public QWidget {
    Q_OBJECT
public:
    explicit DrawingCanvas(QWidget* parent = nullptr);

    const DrawingTool& tool() const { return m_tool; }
    // A change during a drag applies to the next stroke.
    void setTool(const DrawingTool& tool) { m_tool = tool; }
    DrawingPolicy drawingPolicy() const { return m_drawingPolicy; }
    // Stored only: mouse input is accepted under either policy.
    void setDrawingPolicy(DrawingPolicy policy) { m_drawingPolicy = policy; }

    // Every stroke finished in this view, oldest first.
    const SimpleDrawing& drawing() const { return m_drawing; }
    const std::optional<DrawingStroke>& currentStroke() const { return m_currentStroke; }
    bool isDrawingActive() const { return m_isDrawingActive; }

    // Between the canvas's space and the widget's (origin at the top-left, y downwards).
    QPointF toCanvas(const QPointF& widgetPoint) const;
    QPointF toWidget(const QPointF& canvasPoint) const;

signals:
    void drawingBegan();
    void strokeFinished(const kivo::DrawingStroke& stroke);
    void drawingEnded();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // The widget area a segment of the current stroke covers, with room for its width and joins.
    QRect segmentArea(const QPointF& from, const QPointF& to) const;

    DrawingTool m_tool = DrawingTool::pen(Qt::black, 2.0);
    DrawingPolicy m_drawingPolicy = DrawingPolicy::anyInput;
    SimpleDrawing m_drawing;
    std::optional<DrawingStroke> m_currentStroke;
    bool m_isDrawingActive = false;
};

} // namespace kivo
