#pragma once

#include <QImage>
#include <QWidget>

class QLabel;
class QToolButton;

namespace kivo {

class DrawingCanvas;
class ImageEditorModel;

// The editor's canvas: the document's composition (the one an export writes) shown at the
// model's zoom and pan over the checkerboard or the background, the drawing canvas on top, the
// dashed selection outline, the zoom buttons and the progress of a background removal. Image
// files dropped on it are imported.
//
// Ctrl with the mouse wheel zooms at the cursor, the wheel alone scrolls; the middle button, or
// the left one while Space is held, drags the document. After an edit only the area that
// changed is composed and repainted.
class EditorCanvasView : public QWidget {
    Q_OBJECT
public:
    explicit EditorCanvasView(ImageEditorModel& model, QWidget* parent = nullptr);

    DrawingCanvas* drawingCanvas() const { return m_drawingCanvas; }
    QWidget* placeholder() const { return m_placeholder; }
    QWidget* progressOverlay() const { return m_progressOverlay; }
    QToolButton* zoomInButton() const { return m_zoomIn; }
    QToolButton* zoomOutButton() const { return m_zoomOut; }
    QToolButton* fitButton() const { return m_fit; }
    QToolButton* actualSizeButton() const { return m_actualSize; }
    QLabel* zoomLabel() const { return m_zoomLabel; }
    // The document composed at its own size (for tests and tools).
    const QImage& composition();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sessionChanged();
    void viewChanged();
    QWidget* buildZoomBar();
    // The composition scaled down to the view when it shows smaller than half its size.
    void refreshPreview(const QRect& changed);

    ImageEditorModel& m_model;
    DrawingCanvas* m_drawingCanvas = nullptr;
    QWidget* m_placeholder = nullptr;
    QWidget* m_progressOverlay = nullptr;
    QWidget* m_zoomBar = nullptr;
    QToolButton* m_zoomIn = nullptr;
    QToolButton* m_zoomOut = nullptr;
    QToolButton* m_fit = nullptr;
    QToolButton* m_actualSize = nullptr;
    QLabel* m_zoomLabel = nullptr;
    QImage m_preview;
    double m_previewScale = 0;
    QSize m_shownSize;
    bool m_spaceHeld = false;
    bool m_panning = false;
    QPointF m_panFrom;
};

} // namespace kivo
