#include "CanvasRenderer.h"

#include "ImageFilters.h"
#include "ImageStripes.h"
#include "OpenCvImage.h"

#include "core/ImageAllocation.h"
#include "core/Log.h"

#include <QPainter>

#include <cmath>
#include <cstring>
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

void fillBackground(QPainter& painter, const QRect& area, const DocumentState& document)
{
    switch (document.canvasBackground) {
    case CanvasBackground::transparent:
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.fillRect(area, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        break;
    case CanvasBackground::white: painter.fillRect(area, Qt::white); break;
    case CanvasBackground::black: painter.fillRect(area, Qt::black); break;
    case CanvasBackground::custom: painter.fillRect(area, document.customBackgroundColor); break;
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

const ImageLayer* baseLayerOf(const QList<ImageLayer>& layers)
{
    for (const ImageLayer& layer : layers)
        if (layer.isBaseLayer)
            return &layer;
    return layers.isEmpty() ? nullptr : &layers.front();
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

QPainter::CompositionMode compositionMode(BlendMode mode)
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

QRect changedArea(const QImage& before, const QImage& after)
{
    if (before.cacheKey() == after.cacheKey())
        return {};
    if (before.size() != after.size() || before.format() != after.format() || before.depth() != 32)
        return after.rect();
    const int width = after.width();
    int top = -1, bottom = -1, left = width, right = -1;
    for (int y = 0; y < after.height(); ++y) {
        const auto* a = reinterpret_cast<const quint32*>(before.constScanLine(y));
        const auto* b = reinterpret_cast<const quint32*>(after.constScanLine(y));
        if (std::memcmp(a, b, size_t(width) * 4) == 0)
            continue;
        if (top < 0)
            top = y;
        bottom = y;
        int first = 0;
        while (first < left && a[first] == b[first])
            ++first;
        int last = width - 1;
        while (last > right && a[last] == b[last])
            --last;
        left = std::min(left, first);
        right = std::max(right, last);
    }
    if (top < 0)
        return {};
    return QRect(QPoint(left, top), QPoint(std::max(left, right), bottom));
}

DocumentState documentOf(const EditorSession& session)
{
    return {session.layers, session.canvasBackground, session.customBackgroundColor, session.enabledFilterNames};
}

namespace {

// One stripe of the composition: `rows` is the target's rows from `top` on, as an image of
// their own, so that stripes can be painted side by side.
void composeStripe(QImage& rows, int top, const QRect& area, const DocumentState& document, const QImage* filteredBase)
{
    QPainter painter(&rows);
    painter.translate(0, -top);
    painter.setClipRect(area);
    fillBackground(painter, area, document);
    const ImageLayer* base = baseLayerOf(document.layers);
    for (const ImageLayer& layer : document.layers) {
        if (!layer.isVisible || layer.opacity <= 0)
            continue;
        const QImage& image = &layer == base && filteredBase ? *filteredBase : layer.image;
        if (image.isNull())
            continue;
        painter.setCompositionMode(compositionMode(layer.blendMode));
        painter.setOpacity(layer.opacity);
        painter.drawImage(area.topLeft(), image, area);
    }
}

} // namespace

void composeRegion(QImage& target, const QRect& region, const DocumentState& document, const QImage* filteredBase)
{
    const QRect area = region.intersected(target.rect());
    if (area.isEmpty())
        return;
    // Every pixel is composed on its own, so stripes give the pixels one painter gives.
    uchar* bits = target.bits();
    const qsizetype bytesPerLine = target.bytesPerLine();
    forEachStripe(area, [&](const QRect& stripe) {
        QImage rows(bits + bytesPerLine * stripe.top(), target.width(), stripe.height(), bytesPerLine, target.format());
        composeStripe(rows, stripe.top(), stripe, document, filteredBase);
    });
}

std::optional<QImage> renderCanvasToImage(const EditorSession& session,
                                          const std::optional<QList<DrawingStroke>>& overlayStrokes)
{
    logStart(session, overlayStrokes);
    const DocumentState document = documentOf(session);
    const ImageLayer* base = baseLayerOf(document.layers);
    if (!base || base->image.isNull())
        return std::nullopt;

    std::optional<QImage> filtered;
    if (!session.enabledFilterNames.isEmpty())
        filtered = filteredForDisplay(base->image, session.enabledFilterNames);
    const QSize size = base->image.size();
    logLine(QStringLiteral("[Export] baseImage size: %1, didApplyFilters: %2")
                .arg(describeSize(QSizeF(size)), filtered ? QStringLiteral("true") : QStringLiteral("false")));

    QImage canvas = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
    if (canvas.isNull())
        return std::nullopt;
    int position = 0;
    for (const ImageLayer& layer : document.layers) {
        if (!layer.isVisible)
            continue;
        logLine(QStringLiteral("[Export] Compositing layer %1: %2, base=%3, opacity=%4, blend=%5")
                    .arg(position++)
                    .arg(layer.name, layer.isBaseLayer ? QStringLiteral("true") : QStringLiteral("false"),
                         number(layer.opacity), caseName(layer.blendMode)));
    }
    composeRegion(canvas, canvas.rect(), document, filtered ? &*filtered : nullptr);
    if (overlayStrokes && !overlayStrokes->isEmpty()) {
        QPainter painter(&canvas);
        painter.setRenderHints(QPainter::Antialiasing);
        drawOverlay(painter, *overlayStrokes, size.height());
    }
    logLine(QStringLiteral("[Export] Render completed. Result size: %1, pixels: %2x%3")
                .arg(describeSize(QSizeF(size)))
                .arg(size.width())
                .arg(size.height()));
    return canvas;
}

} // namespace kivo
