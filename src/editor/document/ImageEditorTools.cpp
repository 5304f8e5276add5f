// The editor's tools: strokes, the selection with its operations, and background removal.

#include "ImageEditorModel.h"
#include "PixelEdits.h"
#include "SessionEdits.h"

#include "removal/engine/LocalRemovalEngine.h"

#include <QClipboard>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

// The outcome of a removal, worked out off the window's thread.
struct RemovalOutcome {
    std::optional<QImage> cutout;
    QString failure;
};

RemovalOutcome removeBackground(const QImage& image)
{
    const auto working = makeWorkingImage(image);
    if (!working)
        return {std::nullopt, QStringLiteral("Failed to read image data.")};
    const auto mask = generateForegroundMask(*working);
    if (!mask)
        return {std::nullopt, QStringLiteral("Failed to create subject mask.")};
    const auto composited = applyForegroundMask(*mask, *working);
    auto cutout = composited ? renderCutout(*composited) : std::nullopt;
    if (!cutout)
        return {std::nullopt, QStringLiteral("Failed to render image.")};
    return {std::move(cutout), {}};
}

} // namespace

void ImageEditorModel::setCurrentTool(const DrawingTool& tool)
{
    if (m_currentTool == tool)
        return;
    m_currentTool = tool;
    emit toolChanged();
}

void ImageEditorModel::chooseBrush()
{
    setCurrentTool(DrawingTool::marker(m_brushColor, m_brushSize));
}

void ImageEditorModel::choosePen()
{
    setCurrentTool(DrawingTool::pen(m_brushColor, m_brushSize));
}

void ImageEditorModel::chooseEraser()
{
    setCurrentTool(DrawingTool::eraser(m_brushSize));
}

void ImageEditorModel::chooseSelection()
{
    setCurrentTool(DrawingTool::selection());
}

void ImageEditorModel::chooseCrop()
{
    setCurrentTool(DrawingTool::crop());
}

void ImageEditorModel::setBrushColor(const QColor& color)
{
    m_brushColor = color;
    if (m_currentTool.kind == DrawingTool::Kind::marker)
        chooseBrush();
    else if (m_currentTool.kind == DrawingTool::Kind::pen)
        choosePen();
    emit toolChanged();
}

void ImageEditorModel::setBrushSize(double size)
{
    m_brushSize = size;
    if (m_currentTool.kind == DrawingTool::Kind::marker)
        chooseBrush();
    else if (m_currentTool.kind == DrawingTool::Kind::eraser)
        chooseEraser();
    else if (m_currentTool.kind == DrawingTool::Kind::pen)
        choosePen();
    emit toolChanged();
}

void ImageEditorModel::handleFinishedStroke(const DrawingStroke& stroke)
{
    switch (m_currentTool.kind) {
    case DrawingTool::Kind::marker:
    case DrawingTool::Kind::pen: applyBrushStroke(stroke); break;
    case DrawingTool::Kind::eraser: applyEraserStroke(stroke); break;
    case DrawingTool::Kind::selection:
    case DrawingTool::Kind::crop: setSelectionFromStroke(stroke); break;
    case DrawingTool::Kind::pencil: break;
    }
}

QPointF ImageEditorModel::toDocument(const QPointF& canvasPoint) const
{
    return canvasView().toDocument(QPointF(canvasPoint.x(), m_canvasSize.height() - canvasPoint.y()));
}

void ImageEditorModel::applyBrushStroke(const DrawingStroke& stroke)
{
    applyStroke(stroke, false);
}

void ImageEditorModel::applyEraserStroke(const DrawingStroke& stroke)
{
    applyStroke(stroke, true);
}

void ImageEditorModel::applyStroke(const DrawingStroke& stroke, bool erase)
{
    const double scale = canvasView().scale;
    QList<QPointF> points;
    points.reserve(stroke.points.size());
    for (const QPointF& point : stroke.points)
        points << toDocument(point);
    edit([&](EditorSession& session) {
        const ImageLayer* layer = targetLayer(session);
        if (!layer || layer->image.isNull())
            return false;
        // A stroke that misses the document leaves no trace.
        const QRectF document(QPointF(0, 0), QSizeF(layer->image.size()));
        if (std::none_of(points.begin(), points.end(), [&](const QPointF& p) { return document.contains(p); }))
            return false;
        // The size is in the canvas's points, so the line looks as wide at every zoom.
        const double width = std::max(stroke.tool.strokeWidth() / scale, 1.0);
        // The pen draws hard-edged lines; the brush and the eraser are smoothed.
        const QImage painted = paintStroke(layer->image, points, width, stroke.tool.strokeColor(), erase,
                                           stroke.tool.kind == DrawingTool::Kind::pen);
        return !painted.isNull()
            && kivo::updatePaintedLayerImage(session, painted, layer->id, erase ? actions::eraserStroke : actions::brushStroke);
    });
}

void ImageEditorModel::setSelectionFromStroke(const DrawingStroke& stroke)
{
    if (stroke.points.isEmpty() || !m_selectedSession) {
        setSelectionRect(std::nullopt);
        return;
    }
    QPointF low = toDocument(stroke.points.front()), high = low;
    for (const QPointF& point : stroke.points) {
        const QPointF p = toDocument(point);
        low = QPointF(std::min(low.x(), p.x()), std::min(low.y(), p.y()));
        high = QPointF(std::max(high.x(), p.x()), std::max(high.y(), p.y()));
    }
    setSelectionRect(pixelsOf(QRectF(low, high), documentSize(*m_selectedSession)));
}

void ImageEditorModel::setSelectionRect(const std::optional<QRect>& rect)
{
    m_selectionRect = rect;
    emit selectionChanged();
}

void ImageEditorModel::clearSelection()
{
    setSelectionRect(std::nullopt);
}

void ImageEditorModel::selectAll()
{
    if (m_selectedSession)
        setSelectionRect(QRect(QPoint(0, 0), documentSize(*m_selectedSession)));
}

void ImageEditorModel::deleteSelection()
{
    if (!m_selectionRect)
        return;
    const QRect area = *m_selectionRect;
    edit([&](EditorSession& session) {
        const ImageLayer* layer = targetLayer(session);
        return layer && kivo::updatePaintedLayerImage(session, clearRect(layer->image, area), layer->id, actions::selectionDelete);
    });
}

void ImageEditorModel::copySelection()
{
    if (!m_selectedSession || !m_selectionRect)
        return;
    const ImageLayer* layer = targetLayer(*m_selectedSession);
    if (!layer)
        return;
    QGuiApplication::clipboard()->clear();
    QGuiApplication::clipboard()->setImage(copyRect(layer->image, *m_selectionRect));
}

void ImageEditorModel::cutSelection()
{
    copySelection();
    deleteSelection();
}

void ImageEditorModel::paste()
{
    const QImage image = QGuiApplication::clipboard()->image();
    if (image.isNull() || !m_selectedSession)
        return;
    // Into the selection's corner (what was cut goes back where it was), else fitted like an import.
    const std::optional<QPoint> position = m_selectionRect ? std::optional(m_selectionRect->topLeft()) : std::nullopt;
    edit([&](EditorSession& session) {
        pasteImage(session, image, position);
        return true;
    });
}

void ImageEditorModel::cropToSelection()
{
    if (!m_selectionRect)
        return;
    const QRect area = *m_selectionRect;
    if (edit([&](EditorSession& session) { return cropDocument(session, area); })) {
        clearSelection();
        zoomToFit();
    }
}

void ImageEditorModel::setRemovingBackground(bool removing)
{
    m_isRemovingBackground = removing;
    emit removingBackgroundChanged();
}

void ImageEditorModel::removeBackgroundInEditor()
{
    // A second run would later overwrite whatever was done meanwhile: one at a time.
    if (m_isRemovingBackground)
        return;
    const ImageLayer* layer = m_selectedSession ? targetLayer(*m_selectedSession) : nullptr;
    if (!layer || layer->image.isNull()) {
        emit alertRequested(QStringLiteral("No image in session to process."));
        return;
    }
    const QUuid sessionId = m_selectedSession->id;
    const QUuid layerId = layer->id;
    const QImage image = layer->image;
    setRemovingBackground(true);
    auto* watcher = new QFutureWatcher<RemovalOutcome>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, sessionId, layerId] {
        watcher->deleteLater();
        const RemovalOutcome outcome = watcher->result();
        setRemovingBackground(false);
        if (!outcome.cutout) {
            emit alertRequested(outcome.failure);
            return;
        }
        // The cut-out belongs to the layer and session it was made from, whichever is selected now.
        edit([&](EditorSession& session) {
            return kivo::updateLayerImage(session, *outcome.cutout, layerId, actions::removeBackground);
        }, sessionId);
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [image] { return removeBackground(image); }));
}

} // namespace kivo
