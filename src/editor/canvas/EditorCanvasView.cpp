#include "EditorCanvasView.h"

#include "CheckerboardBackground.h"
#include "DrawingCanvas.h"
#include "EditorIcons.h"

#include "editor/document/ImageEditorModel.h"
#include "editor/document/PixelEdits.h"
#include "editor/rendering/CanvasRenderer.h"
#include "editor/rendering/ImageFilters.h"

#include "core/AppState.h"
#include "core/ImageAllocation.h"
#include "core/WidgetStyle.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QToolButton>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

#include <cmath>

namespace kivo {

namespace {

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
    m_zoomBar = buildZoomBar();

    m_drawingCanvas->setTool(model.currentTool());
    m_drawingCanvas->setDrawingPolicy(model.drawingPolicy());
    m_drawingCanvas->setFocusPolicy(Qt::ClickFocus);
    m_drawingCanvas->installEventFilter(this);
    connect(m_drawingCanvas, &DrawingCanvas::strokeFinished, &m_model, &ImageEditorModel::handleFinishedStroke);

    connect(&model, &ImageEditorModel::toolChanged, this, [this] { m_drawingCanvas->setTool(m_model.currentTool()); });
    connect(&model, &ImageEditorModel::selectedSessionChanged, this, &EditorCanvasView::sessionChanged);
    connect(&model, &ImageEditorModel::viewChanged, this, &EditorCanvasView::viewChanged);
    connect(&model, &ImageEditorModel::selectionChanged, this, qOverload<>(&QWidget::update));
    connect(&model, &ImageEditorModel::removingBackgroundChanged, this, [this] {
        m_progressOverlay->setVisible(m_model.isRemovingBackground());
        m_progressOverlay->raise();
    });
    sessionChanged();
    viewChanged();
}

QWidget* EditorCanvasView::buildZoomBar()
{
    auto* bar = new QFrame(this);
    bar->setObjectName(QStringLiteral("zoomBar"));
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setStyleSheet(QStringLiteral("QFrame#zoomBar { background: palette(window); border-radius: 6px; }"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(2);
    const QColor text = palette().color(QPalette::ButtonText);
    auto button = [&](QToolButton*& field, const QString& label, const QString& tip, void (ImageEditorModel::*slot)()) {
        field = new QToolButton;
        field->setAutoRaise(true);
        field->setText(label);
        field->setToolTip(tip);
        connect(field, &QToolButton::clicked, &m_model, slot);
        row->addWidget(field);
    };
    button(m_zoomOut, tr("−"), tr("Zoom Out"), &ImageEditorModel::zoomOut);
    m_zoomOut->setIcon(editorIcon(QStringLiteral("minus-magnifyingglass"), text));
    m_zoomLabel = new QLabel;
    m_zoomLabel->setMinimumWidth(44);
    m_zoomLabel->setAlignment(Qt::AlignCenter);
    row->addWidget(m_zoomLabel);
    button(m_zoomIn, tr("+"), tr("Zoom In"), &ImageEditorModel::zoomIn);
    m_zoomIn->setIcon(editorIcon(QStringLiteral("plus-magnifyingglass"), text));
    button(m_fit, tr("Fit"), tr("Fit to Window"), &ImageEditorModel::zoomToFit);
    button(m_actualSize, tr("100%"), tr("Actual Size"), &ImageEditorModel::zoomToActualSize);
    return bar;
}

const QImage& EditorCanvasView::composition()
{
    return m_model.composition();
}

void EditorCanvasView::sessionChanged()
{
    const auto& session = m_model.selectedSession();
    m_placeholder->setVisible(session && !session->currentImage);
    m_zoomBar->setVisible(session && session->currentImage);
    QRect changed;
    const QSize shownSize = m_model.composition(&changed).size();
    // Another document size (a crop, or its undo) moves the whole picture.
    if (shownSize != m_shownSize) {
        m_shownSize = shownSize;
        viewChanged();
        return;
    }
    if (changed.isEmpty())
        return;
    refreshPreview(changed);
    // Only the changed area is repainted, grown by a point for the scaled edges.
    const CanvasView view = m_model.canvasView();
    const QRectF shown(view.toWidget(changed.topLeft()), view.toWidget(changed.bottomRight() + QPoint(1, 1)));
    update(shown.toAlignedRect().adjusted(-2, -2, 2, 2));
}

void EditorCanvasView::viewChanged()
{
    m_zoomLabel->setText(QStringLiteral("%1%").arg(std::lround(m_model.zoom() * 100)));
    m_previewScale = 0;
    update();
}

void EditorCanvasView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_drawingCanvas->setGeometry(rect());
    m_placeholder->setGeometry(rect());
    m_progressOverlay->setGeometry(rect());
    m_zoomBar->adjustSize();
    m_zoomBar->move(width() - m_zoomBar->width() - 10, height() - m_zoomBar->height() - 10);
    m_zoomBar->raise();
    m_model.setCanvasSize(size());
}

void EditorCanvasView::refreshPreview(const QRect& changed)
{
    const double scale = m_model.zoom();
    const QImage& image = m_model.composition();
    if (scale >= 0.5 || image.isNull()) {
        m_preview = QImage();
        m_previewScale = 0;
        return;
    }
    const QSize size(std::max(1, int(std::lround(image.width() * scale))),
                     std::max(1, int(std::lround(image.height() * scale))));
    if (m_previewScale != scale || m_preview.size() != size) {
        m_preview = resizedImage(image, size);
        m_previewScale = scale;
        return;
    }
    // Only the changed part is scaled again, with a margin for the averaging at its edges.
    const double sx = double(size.width()) / image.width(), sy = double(size.height()) / image.height();
    const QRect target = QRectF(changed.x() * sx, changed.y() * sy, changed.width() * sx, changed.height() * sy)
                             .toAlignedRect()
                             .adjusted(-2, -2, 2, 2)
                             .intersected(m_preview.rect());
    const QRect margin = target.adjusted(-4, -4, 4, 4).intersected(m_preview.rect());
    const QRect source = QRectF(margin.x() / sx, margin.y() / sy, margin.width() / sx, margin.height() / sy)
                             .toAlignedRect()
                             .intersected(image.rect());
    const QImage piece = resizedImage(image.copy(source), margin.size());
    QPainter painter(&m_preview);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(target.topLeft(), piece, target.translated(-margin.topLeft()));
}

void EditorCanvasView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.fillRect(rect(), palette().color(QPalette::Mid));
    const auto& session = m_model.selectedSession();
    const QImage& image = m_model.composition();
    if (session && !image.isNull()) {
        const CanvasView view = m_model.canvasView();
        const QRectF document = view.documentRect(image.size());
        const QRectF exposed = document.intersected(QRectF(event->rect()));
        if (!exposed.isEmpty()) {
            painter.save();
            painter.setClipRect(exposed, Qt::IntersectClip);
            if (session->canvasBackground == CanvasBackground::transparent)
                paintCheckerboard(painter, document.toAlignedRect().intersected(rect()));
            if (view.scale < 0.5 && m_previewScale != view.scale)
                refreshPreview(image.rect());
            if (!m_preview.isNull() && m_previewScale == view.scale) {
                painter.drawImage(document.topLeft(), m_preview);
            } else {
                // Magnified pixels stay crisp squares; reductions are smoothed.
                painter.setRenderHint(QPainter::SmoothPixmapTransform, view.scale < 1.0);
                const QRectF source(view.toDocument(exposed.topLeft()), view.toDocument(exposed.bottomRight()));
                painter.drawImage(exposed, image, source);
            }
            painter.restore();
        }
    }

    if (const auto& selection = m_model.selectionRect()) {
        const CanvasView view = m_model.canvasView();
        const QRectF outline(view.toWidget(selection->topLeft()), view.toWidget(selection->bottomRight() + QPoint(1, 1)));
        QPen pen(palette().color(QPalette::Highlight), 1);
        pen.setDashPattern({6, 4});
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(outline);
    }
}

bool EditorCanvasView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_drawingCanvas)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && !key->isAutoRepeat()) {
            m_spaceHeld = event->type() == QEvent::KeyPress;
            m_drawingCanvas->setCursor(m_spaceHeld ? Qt::OpenHandCursor : Qt::ArrowCursor);
            return true;
        }
        break;
    }
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::MiddleButton || (mouse->button() == Qt::LeftButton && m_spaceHeld)) {
            m_panning = true;
            m_panFrom = mouse->position();
            return true;
        }
        break;
    }
    case QEvent::MouseMove:
        if (m_panning) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            m_model.panBy(mouse->position() - m_panFrom);
            m_panFrom = mouse->position();
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        if (m_panning) {
            m_panning = false;
            return true;
        }
        break;
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(event);
        const QPoint steps = wheel->angleDelta();
        if (wheel->modifiers() & Qt::ControlModifier)
            m_model.zoomAt(std::pow(1.25, steps.y() / 120.0), wheel->position());
        else
            m_model.panBy(QPointF(steps.x(), steps.y()) / 2);
        return true;
    }
    default: break;
    }
    return QWidget::eventFilter(watched, event);
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
