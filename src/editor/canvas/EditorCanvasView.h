#pragma once

#include <QHash>
#include <QImage>
#include <QWidget>

class QLabel;

namespace kivo {

class DrawingCanvas;
class ImageEditorModel;

// The editor's canvas: the session's background, its visible layers fitted and centred (zoom
// and offset applied, each with its opacity and blend mode, the base layer through the
// filters), the drawing canvas on top, the dashed selection outline and the progress of a
// background removal. Image files dropped on it are imported.
//
// The layers are composed once per change of the session at the widget's pixel size, so that
// the repaints of a stroke being dragged only copy the small area it touched.
class EditorCanvasView : public QWidget {
    Q_OBJECT
public:
    explicit EditorCanvasView(ImageEditorModel& model, QWidget* parent = nullptr);

    DrawingCanvas* drawingCanvas() const { return m_drawingCanvas; }
    QWidget* placeholder() const { return m_placeholder; }
    QWidget* progressOverlay() const { return m_progressOverlay; }
    // The composed background and layers as shown (for tests and tools).
    const QImage& composition();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void sessionChanged();
    void rebuildComposition();
    // The image scaled to `size`, kept while the same image is shown at the same size.
    QImage displayed(const QImage& image, QSize size);

    ImageEditorModel& m_model;
    DrawingCanvas* m_drawingCanvas = nullptr;
    QWidget* m_placeholder = nullptr;
    QWidget* m_progressOverlay = nullptr;
    QImage m_composition;
    // The transparent background at the widget's pixel size, drawn once per size.
    QImage m_checkerboard;
    bool m_compositionStale = true;
    // Keyed by the image's cache key and the scaled width and height.
    using ScaledKey = QPair<qint64, quint64>;
    QHash<ScaledKey, QImage> m_scaledImages;
};

} // namespace kivo
