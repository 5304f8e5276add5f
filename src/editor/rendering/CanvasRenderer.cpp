#include "CanvasRenderer.h"

#include "ImageFilters.h"
#include "OpenCvImage.h"

#include "core/ImageAllocation.h"
#include "core/Log.h"

#include <QPainter>

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace kivo {

namespace {

// Numbers as the log has always shown them: whole values keep one decimal ("1000.0").
QString number(double value)
{
    return value == std::floor(value) ? QString::number(value, 'f', 1) : QString::number(value);
}

QString describeSize(const QSizeF& size)
{
    return QStringLiteral("(%1, %2)").arg(number(size.width()), number(size.height()));
}

QString caseName(CanvasBackground background)
{
    switch (background) {
    case CanvasBackground::transparent: return QStringLiteral("transparent");
    case CanvasBackground::white: return QStringLiteral("white");
    case CanvasBackground::black: return QStringLiteral("black");
    case CanvasBackground::custom: return QStringLiteral("custom");
    }
    return {};
}

QString caseName(BlendMode mode)
{
    switch (mode) {
    case BlendMode::normal: return QStringLiteral("normal");
    case BlendMode::multiply: return QStringLiteral("multiply");
    case BlendMode::screen: return QStringLiteral("screen");
    case BlendMode::overlay: return QStringLiteral("overlay");
    case BlendMode::softLight: return QStringLiteral("softLight");
    case BlendMode::hardLight: return QStringLiteral("hardLight");
    }
    return {};
}

QString describeFilters(const QSet<QString>& names)
{
    QStringList listed;
    for (FilterType type : allFilterTypes)
        if (names.contains(filterName(type)))
            listed << QLatin1Char('"') + filterName(type) + QLatin1Char('"');
    return QLatin1Char('[') + listed.join(QStringLiteral(", ")) + QLatin1Char(']');
}

void logStart(const EditorSession& session, const std::optional<QList<DrawingStroke>>& overlayStrokes)
{
    logLine(QStringLiteral("[Export] Starting renderCanvasToImage for session: ") + session.name);
    logLine(QStringLiteral("[Export] currentImage exists: %1, size: %2")
                .arg(session.currentImage ? QStringLiteral("true") : QStringLiteral("false"),
                     session.currentImage ? describeSize(session.currentImage->deviceIndependentSize())
                                          : QStringLiteral("absent")));
    logLine(QStringLiteral("[Export] enabled filters: ") + describeFilters(session.enabledFilterNames));
    logLine(QStringLiteral("[Export] canvas background: ") + caseName(session.canvasBackground));
    const auto visible = std::count_if(session.layers.begin(), session.layers.end(),
                                       [](const ImageLayer& layer) { return layer.isVisible; });
    logLine(QStringLiteral("[Export] visible layers count: %1").arg(visible));
    if (overlayStrokes)
        logLine(QStringLiteral("[Export] overlay strokes count: %1").arg(overlayStrokes->size()));
}

void fillBackground(QPainter& painter, const QRect& area, const EditorSession& session)
{
    switch (session.canvasBackground) {
    case CanvasBackground::transparent:
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.fillRect(area, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        break;
    case CanvasBackground::white: painter.fillRect(area, Qt::white); break;
    case CanvasBackground::black: painter.fillRect(area, Qt::black); break;
    case CanvasBackground::custom: painter.fillRect(area, session.customBackgroundColor); break;
    }
}

// Overlay points are in the canvas's space, origin at the lower-left: flipped into the
// bitmap's rows, which count from the top.
void drawOverlay(QPainter& painter, const QList<DrawingStroke>& strokes, int height)
{
    for (const DrawingStroke& stroke : strokes) {
        if (stroke.points.size() < 2)
            continue;
        QList<QPointF> flipped;
        flipped.reserve(stroke.points.size());
        for (const QPointF& point : stroke.points)
            flipped << QPointF(point.x(), height - point.y());
        painter.setPen(QPen(stroke.tool.strokeColor(), stroke.tool.strokeWidth(), Qt::SolidLine, Qt::RoundCap,
                            Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(polylinePath(flipped));
    }
}

// A layer adds nothing when all of its pixels are transparent, in each of the flattening modes.
// Stops at the first visible pixel, so only empty layers cost a full look.
bool isFullyTransparent(const QImage& image)
{
    if (!image.hasAlphaChannel())
        return false;
    const QImage pixels = image.format() == QImage::Format_ARGB32 || image.format() == QImage::Format_ARGB32_Premultiplied
        ? image
        : image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < pixels.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x)
            if (qAlpha(row[x]) != 0)
                return false;
    }
    return true;
}

} // namespace

// OpenCV scales large images several times faster than a scaling QPainter; colours are
// premultiplied first so that transparent pixels do not bleed their hidden colour into the
// edges. A large reduction is halved first (each halving averages with a small Gaussian), as
// averaging by a fractional factor directly is several times slower; the rest is bilinear.
QImage resizedImage(const QImage& image, QSize size)
{
    if (image.size() == size)
        return image;
    QImage source = image.format() == QImage::Format_ARGB32_Premultiplied
        ? image
        : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    while (!source.isNull() && source.width() >= 2 * size.width() && source.height() >= 2 * size.height()) {
        QImage half = allocateImage(QSize((source.width() + 1) / 2, (source.height() + 1) / 2),
                                    QImage::Format_ARGB32_Premultiplied);
        if (half.isNull())
            return {};
        cv::Mat halved = matOf(half);
        cv::pyrDown(constMatOf(source), halved, halved.size(), cv::BORDER_REPLICATE);
        source = half;
    }
    QImage result = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
    if (source.isNull() || result.isNull())
        return {};
    cv::Mat target = matOf(result);
    cv::resize(constMatOf(source), target, target.size(), 0, 0, cv::INTER_LINEAR);
    return result;
}

QPainter::CompositionMode flatteningMode(BlendMode mode)
{
    switch (mode) {
    case BlendMode::multiply: return QPainter::CompositionMode_Multiply;
    case BlendMode::screen: return QPainter::CompositionMode_Screen;
    case BlendMode::normal:
    case BlendMode::overlay:
    case BlendMode::softLight:
    case BlendMode::hardLight: return QPainter::CompositionMode_SourceOver;
    }
    return QPainter::CompositionMode_SourceOver;
}

QPainter::CompositionMode displayMode(BlendMode mode)
{
    switch (mode) {
    case BlendMode::normal: return QPainter::CompositionMode_SourceOver;
    case BlendMode::multiply: return QPainter::CompositionMode_Multiply;
    case BlendMode::screen: return QPainter::CompositionMode_Screen;
    case BlendMode::overlay: return QPainter::CompositionMode_Overlay;
    case BlendMode::softLight: return QPainter::CompositionMode_SoftLight;
    case BlendMode::hardLight: return QPainter::CompositionMode_HardLight;
    }
    return QPainter::CompositionMode_SourceOver;
}

std::optional<QImage> renderCanvasToImage(const EditorSession& session,
                                          const std::optional<QList<DrawingStroke>>& overlayStrokes)
{
    logStart(session, overlayStrokes);
    if (!session.currentImage)
        return std::nullopt;

    QImage baseImage = *session.currentImage;
    bool didApplyFilters = false;
    if (!session.enabledFilterNames.isEmpty()) {
        if (auto filtered = applyFilterChain(baseImage, session.enabledFilterNames)) {
            baseImage = *filtered;
            didApplyFilters = true;
        }
    }
    const QSizeF baseSize = baseImage.deviceIndependentSize();
    logLine(QStringLiteral("[Export] baseImage size: %1, didApplyFilters: %2")
                .arg(describeSize(baseSize), didApplyFilters ? QStringLiteral("true") : QStringLiteral("false")));

    const int width = int(baseSize.width());
    const int height = int(baseSize.height());
    if (width <= 0 || height <= 0)
        return std::nullopt;
    QImage canvas = allocateImage(QSize(width, height), QImage::Format_ARGB32_Premultiplied);
    if (canvas.isNull())
        return std::nullopt;

    const QRect area(0, 0, width, height);
    QPainter painter(&canvas);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    fillBackground(painter, area, session);

    int position = 0;
    for (const ImageLayer& layer : session.layers) {
        if (!layer.isVisible)
            continue;
        logLine(QStringLiteral("[Export] Compositing layer %1: %2, base=%3, opacity=%4, blend=%5")
                    .arg(position++)
                    .arg(layer.name, layer.isBaseLayer ? QStringLiteral("true") : QStringLiteral("false"),
                         number(layer.opacity), caseName(layer.blendMode)));
        const QImage& image = layer.isBaseLayer ? baseImage : layer.image;
        if (layer.opacity <= 0 || isFullyTransparent(image))
            continue;
        const QImage pixels = resizedImage(image, area.size());
        if (pixels.isNull())
            return std::nullopt;
        painter.setCompositionMode(flatteningMode(layer.blendMode));
        painter.setOpacity(layer.opacity);
        painter.drawImage(area.topLeft(), pixels);
        painter.setOpacity(1.0);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    if (overlayStrokes)
        drawOverlay(painter, *overlayStrokes, height);
    painter.end();

    logLine(QStringLiteral("[Export] Render completed. Result size: %1, pixels: %2x%3")
                .arg(describeSize(QSizeF(width, height)))
                .arg(width)
                .arg(height));
    return canvas;
}

} // namespace kivo
