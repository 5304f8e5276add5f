#include "EditorCanvasView.h"

#include "CheckerboardBackground.h"
#include "DrawingCanvas.h"

#include "editor/document/ImageEditorModel.h"
#include "editor/document/PixelEdits.h"
#include "editor/rendering/CanvasRenderer.h"
#include "editor/rendering/ImageFilters.h"

#include "core/AppState.h"
#include "core/ImageAllocation.h"
#include "core/WidgetStyle.h"

#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

namespace kivo {

namespace {

// The base layer's look: its filtered image while a filter is on.
QImage shownImage(const EditorSession& session, const ImageLayer& layer)
{
    if (!layer.isBaseLayer || session.enabledFilterNames.isEmpty())
        return layer.image;
    if (session.filteredImage)
        return *session.filteredImage;
    return applyFilters(session).value_or(layer.image);
}

QPair<qint64, quint64> scaledKey(const QImage& image, QSize size)
{
    return {image.cacheKey(), quint64(size.width()) << 32 | quint64(size.height())};
}

QWidget* makePlaceholder(QWidget* parent)
{
    // One line: a wrapping label centred in the column would be given one line's height and cut.
    QLabel* hint = secondaryLabel(QObject::tr("Drop image here or click Import"));
    hint->setWordWrap(false);
    QWidget* holder = centredColumn({symbolLabel(QStringLiteral(":/editor-icons/photo-badge-plus.svg"),
                                                 parent->palette().color(QPalette::PlaceholderText), 48),
                                     hint});
    holder->setParent(parent);
    holder->setAttribute(Qt::WA_TransparentForMouseEvents);
    return holder;
}

// A translucent black layer with a rounded panel: the progress and "Removing background...".
QWidget* makeProgressOverlay(QWidget* parent)
{
    auto* overlay = new QWidget(parent);
    overlay->setObjectName(QStringLiteral("removalProgress"));
    overlay->setAttribute(Qt::WA_StyledBackground);
    overlay->setStyleSheet(QStringLiteral("QWidget#removalProgress { background: rgba(0, 0, 0, 0.4); }"
                                          "QFrame#panel { background: palette(window); border-radius: 12px; }"));
    auto* panel = new QFrame;
    panel->setObjectName(QStringLiteral("panel"));
    auto* progress = new QProgressBar;
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedWidth(180);
    auto* caption = new QLabel(QObject::tr("Removing background..."));
    caption->setAlignment(Qt::AlignCenter);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(24, 20, 24, 20);
    column->addWidget(progress);
    column->addWidget(caption);
    auto* layout = new QVBoxLayout(overlay);
    layout->addWidget(panel, 0, Qt::AlignCenter);
    overlay->hide();
    return overlay;
}

} // namespace

EditorCanvasView::EditorCanvasView(ImageEditorModel& model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_drawingCanvas(new DrawingCanvas(this))
    , m_placeholder(makePlaceholder(this))
    , m_progressOverlay(makeProgressOverlay(this))
{
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 200);

    m_drawingCanvas->setTool(model.currentTool());
    m_drawingCanvas->setDrawingPolicy(model.drawingPolicy());
    connect(m_drawingCanvas, &DrawingCanvas::strokeFinished, &m_model, &ImageEditorModel::handleFinishedStroke);

    connect(&model, &ImageEditorModel::toolChanged, this, [this] { m_drawingCanvas->setTool(m_model.currentTool()); });
    connect(&model, &ImageEditorModel::selectedSessionChanged, this, &EditorCanvasView::sessionChanged);
    connect(&model, &ImageEditorModel::selectionChanged, this, qOverload<>(&QWidget::update));
    connect(&model, &ImageEditorModel::removingBackgroundChanged, this, [this] {
        m_progressOverlay->setVisible(m_model.isRemovingBackground());
        m_progressOverlay->raise();
    });
    sessionChanged();
}

void EditorCanvasView::sessionChanged()
{
    const auto& session = m_model.selectedSession();
    m_placeholder->setVisible(session && !session->currentImage);
    m_compositionStale = true;
    update();
}

void EditorCanvasView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_drawingCanvas->setGeometry(rect());
    m_placeholder->setGeometry(rect());
    m_progressOverlay->setGeometry(rect());
    m_model.setCanvasSize(size());
    m_compositionStale = true;
}

QImage EditorCanvasView::displayed(const QImage& image, QSize size)
{
    const ScaledKey key = scaledKey(image, size);
    if (auto found = m_scaledImages.constFind(key); found != m_scaledImages.constEnd())
        return *found;
    QImage scaled = resizedImage(image, size);
    m_scaledImages.insert(key, scaled);
    return scaled;
}

const QImage& EditorCanvasView::composition()
{
    if (m_compositionStale)
        rebuildComposition();
    return m_composition;
}

void EditorCanvasView::rebuildComposition()
{
    m_compositionStale = false;
    const qreal ratio = devicePixelRatioF();
    // The buffer is kept from one composition to the next: the background covers all of it.
    if (m_composition.size() != size() * ratio) {
        m_composition = allocateImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        m_composition.setDevicePixelRatio(ratio);
        m_checkerboard = m_composition.copy();
        QPainter checkerboard(&m_checkerboard);
        paintCheckerboard(checkerboard, rect());
    }
    QPainter painter(&m_composition);
    const QRect area = rect();
    const auto& session = m_model.selectedSession();
    const CanvasBackground background = session ? session->canvasBackground : CanvasBackground::transparent;
    switch (background) {
    case CanvasBackground::transparent: painter.drawImage(0, 0, m_checkerboard); break;
    case CanvasBackground::white: painter.fillRect(area, Qt::white); break;
    case CanvasBackground::black: painter.fillRect(area, Qt::black); break;
    case CanvasBackground::custom: painter.fillRect(area, session->customBackgroundColor); break;
    }

    // Scaled copies of images no longer shown are let go.
    QHash<ScaledKey, QImage> previous;
    previous.swap(m_scaledImages);
    if (session && session->currentImage) {
        for (const ImageLayer& layer : session->layers) {
            if (!layer.isVisible)
                continue;
            const QImage image = shownImage(*session, layer);
            const CanvasMapping mapping =
                CanvasMapping::make(size(), image.deviceIndependentSize(), session->zoomLevel, session->canvasOffset);
            const QRectF shown = mapping.displayRect(size(), session->zoomLevel);
            const QSize pixels = (shown.size() * ratio).toSize();
            if (image.isNull() || pixels.isEmpty())
                continue;
            const ScaledKey key = scaledKey(image, pixels);
            if (previous.contains(key))
                m_scaledImages.insert(key, previous.value(key));
            painter.setCompositionMode(displayMode(layer.blendMode));
            painter.setOpacity(layer.opacity);
            painter.drawImage(shown, displayed(image, pixels));
        }
    }
}

void EditorCanvasView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.drawImage(QPointF(0, 0), composition());

    if (const auto& selection = m_model.selectionRectCanvas()) {
        // The selection is kept in the canvas's space, whose origin is at the lower-left.
        const QRectF outline(selection->x(), height() - selection->y() - selection->height(), selection->width(),
                             selection->height());
        QPen pen(palette().color(QPalette::Highlight), 1);
        pen.setDashPattern({6, 4});
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(outline);
    }
}

void EditorCanvasView::dragEnterEvent(QDragEnterEvent* event)
{
    // "Enable drag and drop" off: the canvas refuses drops.
    if (m_model.appState().userPreferences().enableDragAndDrop && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void EditorCanvasView::dropEvent(QDropEvent* event)
{
    if (!m_model.appState().userPreferences().enableDragAndDrop)
        return;
    QList<QUrl> files;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            files << url;
    event->acceptProposedAction();
    m_model.importImageFiles(files);
}

} // namespace kivo
