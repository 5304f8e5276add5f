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

constexpr double eraserWidth = 12.0;

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

CanvasMapping mappingFor(const EditorSession& session, const QImage& target, const QSizeF& canvasSize)
{
    return CanvasMapping::make(canvasSize, target.deviceIndependentSize(), session.zoomLevel, session.canvasOffset);
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

void ImageEditorModel::chooseEraser()
{
    setCurrentTool(DrawingTool::eraser(eraserWidth));
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
    emit toolChanged();
}

void ImageEditorModel::setBrushSize(double size)
{
    m_brushSize = size;
    if (m_currentTool.kind == DrawingTool::Kind::marker)
        chooseBrush();
    emit toolChanged();
}

void ImageEditorModel::handleFinishedStroke(const DrawingStroke& stroke)
{
    switch (m_currentTool.kind) {
    case DrawingTool::Kind::marker: applyBrushStroke(stroke, m_canvasSize); break;
    case DrawingTool::Kind::eraser: applyEraserStroke(stroke, m_canvasSize); break;
    case DrawingTool::Kind::selection:
    case DrawingTool::Kind::crop: setSelectionFromStroke(stroke); break;
    case DrawingTool::Kind::pen:
    case DrawingTool::Kind::pencil: break;
    }
}

void ImageEditorModel::applyBrushStroke(const DrawingStroke& stroke, const QSizeF& canvasSize)
{
    applyStroke(stroke, canvasSize, false);
}

void ImageEditorModel::applyEraserStroke(const DrawingStroke& stroke, const QSizeF& canvasSize)
{
    applyStroke(stroke, canvasSize, true);
}

void ImageEditorModel::applyStroke(const DrawingStroke& stroke, const QSizeF& canvasSize, bool erase)
{
    edit([&](EditorSession& session) {
        const auto target = targetImage(session);
        if (!target || target->isNull())
            return false;
        const CanvasMapping mapping = mappingFor(session, *target, canvasSize);
        QList<QPointF> points;
        points.reserve(stroke.points.size());
        for (const QPointF& point : stroke.points)
            points << mapping.toImage(point);
        // A stroke that misses the image leaves no trace.
        if (std::none_of(points.begin(), points.end(), [&](const QPointF& p) { return mapping.containsInImage(p); }))
            return false;
        const double width = std::max(stroke.tool.strokeWidth() / mapping.scale, 1.0);
        const QImage painted = paintStroke(*target, points, width, stroke.tool.strokeColor(), erase);
        if (painted.isNull())
            return false;
        storeTargetImage(session, painted, erase ? actions::eraserStroke : actions::brushStroke);
        return true;
    });
}

void ImageEditorModel::setSelectionFromStroke(const DrawingStroke& stroke)
{
    if (stroke.points.isEmpty()) {
        m_selectionRectCanvas.reset();
    } else {
        double minX = stroke.points.front().x(), maxX = minX;
        double minY = stroke.points.front().y(), maxY = minY;
        for (const QPointF& point : stroke.points) {
            minX = std::min(minX, point.x());
            maxX = std::max(maxX, point.x());
            minY = std::min(minY, point.y());
            maxY = std::max(maxY, point.y());
        }
        m_selectionRectCanvas = QRectF(minX, minY, std::max(maxX - minX, 1.0), std::max(maxY - minY, 1.0));
    }
    emit selectionChanged();
}

void ImageEditorModel::clearSelection()
{
    m_selectionRectCanvas.reset();
    emit selectionChanged();
}

std::optional<QRect> ImageEditorModel::selectionInTarget(const EditorSession& session, const QImage& target) const
{
    if (!m_selectionRectCanvas)
        return std::nullopt;
    return mappingFor(session, target, m_canvasSize).selectionInImage(*m_selectionRectCanvas);
}

void ImageEditorModel::deleteSelection()
{
    edit([&](EditorSession& session) {
        const auto target = targetImage(session);
        const auto area = target ? selectionInTarget(session, *target) : std::nullopt;
        if (!area)
            return false;
        storeTargetImage(session, clearRect(*target, *area), actions::selectionDelete);
        return true;
    });
}

void ImageEditorModel::copySelection()
{
    if (!m_selectedSession)
        return;
    const auto target = targetImage(*m_selectedSession);
    const auto area = target ? selectionInTarget(*m_selectedSession, *target) : std::nullopt;
    if (!area)
        return;
    QGuiApplication::clipboard()->clear();
    QGuiApplication::clipboard()->setImage(copyRect(*target, *area));
}

void ImageEditorModel::cutSelection()
{
    copySelection();
    deleteSelection();
}

void ImageEditorModel::cropToSelection()
{
    const bool cropped = edit([&](EditorSession& session) {
        const auto target = targetImage(session);
        const auto area = target ? selectionInTarget(session, *target) : std::nullopt;
        if (!area)
            return false;
        storeTargetImage(session, copyRect(*target, *area), actions::cropImage);
        session.canvasOffset = QSizeF(0, 0);
        session.zoomLevel = 1.0;
        return true;
    });
    if (cropped)
        clearSelection();
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
    if (!m_selectedSession || !m_selectedSession->currentImage) {
        emit alertRequested(QStringLiteral("No image in session to process."));
        return;
    }
    const QUuid sessionId = m_selectedSession->id;
    const QImage image = *m_selectedSession->currentImage;
    setRemovingBackground(true);
    auto* watcher = new QFutureWatcher<RemovalOutcome>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, sessionId] {
        watcher->deleteLater();
        const RemovalOutcome outcome = watcher->result();
        setRemovingBackground(false);
        if (!outcome.cutout) {
            emit alertRequested(outcome.failure);
            return;
        }
        // The cut-out belongs to the session it was made from, whichever is selected now.
        edit([&](EditorSession& session) {
            kivo::saveToHistory(session, *outcome.cutout, actions::removeBackground);
            return true;
        }, sessionId);
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [image] { return removeBackground(image); }));
}

} // namespace kivo
