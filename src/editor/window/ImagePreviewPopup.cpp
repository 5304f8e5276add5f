#include "ImagePreviewPopup.h"

#include "editor/canvas/CheckerboardBackground.h"
#include "editor/canvas/EditorIcons.h"
#include "editor/export/ExportFlow.h"

#include "core/AppState.h"
#include "core/WidgetStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace kivo {

ImagePreviewPopup::ImagePreviewPopup(AppState& appState, const QImage& image, const QString& title, QWidget* parent)
    : QFrame(parent)
    , m_appState(appState)
    , m_image(image)
    , m_title(title)
{
    setObjectName(QStringLiteral("imagePreview"));
    setFixedSize(800, 600);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("QFrame#imagePreview { background: palette(window); border-radius: 12px; }"));

    const QColor text = palette().color(QPalette::ButtonText);
    m_titleLabel = new QLabel;
    styleFont(m_titleLabel, 1.0, QFont::Bold);
    m_titleLabel->setText(m_titleLabel->fontMetrics().elidedText(title, Qt::ElideRight, 640));
    m_titleLabel->setToolTip(title);
    m_closeButton = new QPushButton(editorIcon(QStringLiteral("xmark"), text), tr("Close"));
    connect(m_closeButton, &QPushButton::clicked, this, &ImagePreviewPopup::closeRequested);
    auto* header = new QHBoxLayout;
    header->addWidget(m_titleLabel, 1);
    header->addWidget(m_closeButton);

    m_imageArea = new QWidget;
    m_imageArea->setCursor(Qt::OpenHandCursor);
    m_imageArea->installEventFilter(this);

    m_zoomOutButton = new QPushButton(editorIcon(QStringLiteral("minus-magnifyingglass"), text), tr("Zoom Out"));
    m_zoomInButton = new QPushButton(editorIcon(QStringLiteral("plus-magnifyingglass"), text), tr("Zoom In"));
    m_zoomLabel = new QLabel;
    m_zoomLabel->setAlignment(Qt::AlignCenter);
    m_zoomLabel->setMinimumWidth(48);
    m_resetZoomButton = new QPushButton(tr("Reset Zoom"));
    m_exportButton = new QPushButton(tr("Export Image"));
    makeProminent(m_exportButton);
    connect(m_zoomOutButton, &QPushButton::clicked, this, &ImagePreviewPopup::zoomOut);
    connect(m_zoomInButton, &QPushButton::clicked, this, &ImagePreviewPopup::zoomIn);
    connect(m_resetZoomButton, &QPushButton::clicked, this, &ImagePreviewPopup::resetZoom);
    connect(m_exportButton, &QPushButton::clicked, this,
            [this] { exportImageWithDialog(this, m_image, m_title, m_appState.userPreferences()); });
    auto* controls = new QHBoxLayout;
    controls->addWidget(m_zoomOutButton);
    controls->addWidget(m_zoomLabel);
    controls->addWidget(m_zoomInButton);
    controls->addWidget(m_resetZoomButton);
    controls->addStretch();
    controls->addWidget(m_exportButton);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->addLayout(header);
    layout->addWidget(m_imageArea, 1);
    layout->addLayout(controls);
    setZoom(1.0);
}

void ImagePreviewPopup::setZoom(double zoom)
{
    m_zoomLevel = zoom;
    m_zoomLabel->setText(QStringLiteral("%1%").arg(std::lround(zoom * 100)));
    m_imageArea->update();
}

void ImagePreviewPopup::zoomIn()
{
    setZoom(std::min(m_zoomLevel + zoomStep, maximumZoom));
}

void ImagePreviewPopup::zoomOut()
{
    const double zoom = m_zoomLevel - zoomStep;
    setZoom(zoom <= minimumZoom ? minimumZoom : zoom);
}

void ImagePreviewPopup::resetZoom()
{
    m_imageOffset = QSizeF(0, 0);
    setZoom(1.0);
}

void ImagePreviewPopup::paintImageArea()
{
    QPainter painter(m_imageArea);
    const QRect area = m_imageArea->rect();
    painter.setClipRect(area);
    if (m_image.hasAlphaChannel())
        paintCheckerboard(painter, area);
    else
        painter.fillRect(area, Qt::white);
    if (m_image.isNull())
        return;
    // Fitted into the area, then scaled around the centre and shifted by the pan.
    const QSizeF fitted = m_image.deviceIndependentSize().scaled(area.size(), Qt::KeepAspectRatio) * m_zoomLevel;
    const QPointF centre = QRectF(area).center() + QPointF(m_imageOffset.width(), m_imageOffset.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(centre - QPointF(fitted.width() / 2, fitted.height() / 2), fitted), m_image);
}

bool ImagePreviewPopup::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_imageArea)
        return QFrame::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Paint:
        paintImageArea();
        return true;
    case QEvent::MouseMove: {
        const QPointF location = static_cast<QMouseEvent*>(event)->position();
        if (!(static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton))
            break;
        if (!m_isDragging) {
            // A new drag continues from where the last one left the image.
            m_isDragging = true;
            m_dragStart = location - QPointF(m_imageOffset.width(), m_imageOffset.height());
            m_imageArea->setCursor(Qt::ClosedHandCursor);
        }
        const QPointF moved = location - m_dragStart;
        m_imageOffset = QSizeF(moved.x(), moved.y());
        m_imageArea->update();
        return true;
    }
    case QEvent::MouseButtonRelease:
        m_isDragging = false;
        m_imageArea->setCursor(Qt::OpenHandCursor);
        return true;
    default: break;
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace kivo
