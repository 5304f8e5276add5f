#include "LocalRemovalEngine.h"

#include "core/Log.h"
#include "EdgeRefinement.h"
#include "ForegroundColours.h"
#include "ForegroundSegmenter.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include <malloc.h>

namespace kivo {

namespace {

// Mask values are stored × 65535; 0.5 and above counts as foreground.
constexpr quint16 foregroundThreshold = 32768;

int countForegroundRegions(const std::vector<float>& probabilities, int side)
{
    cv::Mat foreground(side, side, CV_8U);
    for (int i = 0; i < side * side; ++i)
        foreground.data[i] = probabilities[size_t(i)] >= 0.5f ? 1 : 0;
    cv::Mat labels;
    // The first label is the background.
    return cv::connectedComponents(foreground, labels, 8, CV_32S) - 1;
}

quint16 maximumValue(const QImage& mask)
{
    const cv::Mat values(mask.height(), mask.width(), CV_16U, const_cast<uchar*>(mask.constBits()),
                         size_t(mask.bytesPerLine()));
    double maximum = 0;
    cv::minMaxLoc(values, nullptr, &maximum);
    return quint16(maximum);
}

} // namespace

std::optional<WorkingImage> makeWorkingImage(const QImage& input)
{
    if (input.isNull())
        return std::nullopt;
    QImage pixels;
    if (input.format() == QImage::Format_RGB32) {
        // RGB32 keeps 0xff in the alpha byte, so its pixels already are opaque ARGB32: view
        // them read-only instead of copying 48 MB for a 12 MP photo. The view holds a
        // reference to the input's data; writing to it would detach as usual.
        auto* owner = new QImage(input);
        pixels = QImage(owner->constBits(), owner->width(), owner->height(), owner->bytesPerLine(),
                        QImage::Format_ARGB32, [](void* image) { delete static_cast<QImage*>(image); }, owner);
    } else {
        pixels = input.convertToFormat(QImage::Format_ARGB32);
    }
    if (pixels.isNull())
        return std::nullopt;
    pixels.setDevicePixelRatio(1.0);
    return WorkingImage{pixels};
}

std::optional<ForegroundMask> generateForegroundMask(const WorkingImage& image, const RemovalOptions& options)
{
    const QImage& pixels = image.pixels;
    if (pixels.isNull() || pixels.format() != QImage::Format_ARGB32) {
        logLine(QStringLiteral("Vision request failed: the image is empty or not in the engine's pixel format"));
        return std::nullopt;
    }

    const int side = networkInputSide(options.quality);
    ForegroundSegmenter::Result network;
    try {
        const auto priority = options.lowPriority ? ForegroundSegmenter::Priority::background
                                                  : ForegroundSegmenter::Priority::normal;
        network = ForegroundSegmenter::shared().segment(makeNetworkInput(pixels, side), side, priority,
                                                        options.accelerated);
    } catch (const std::exception& exception) {
        // Scaling the image down for the network can only fail for lack of memory.
        network.error = QStringLiteral("Cannot prepare the image for the segmentation network (%1)")
                            .arg(QString::fromUtf8(exception.what()));
    }
    if (network.probabilities.empty()) {
        logLine(QStringLiteral("Vision request failed: ") + network.error);
        return std::nullopt;
    }

    QString error;
    std::optional<QImage> values = scaleNetworkMask(network.probabilities, side, pixels.size(), &error);
    if (!values) {
        logLine(QStringLiteral("Failed to generate mask: ") + error);
        return std::nullopt;
    }
    try {
        if (options.requireSubject && maximumValue(*values) < foregroundThreshold) {
            logLine(QStringLiteral("No foreground objects detected in the image"));
            return std::nullopt;
        }
        // Bilinear scaling never exceeds the network's own maximum, so at least one region exists.
        const int instances = std::max(1, countForegroundRegions(network.probabilities, side));
        const double refinement = effectiveEdgeRefinement(options);
        if (refinement > 0)
            refineMaskEdges(*values, pixels, refinement);
        if (!options.preserveFineDetails)
            snapMaskToCrispEdges(*values);
        return ForegroundMask{*values, instances, refinement > 0};
    } catch (const std::exception& exception) {
        logLine(QStringLiteral("Failed to generate mask: ") + QString::fromUtf8(exception.what()));
        return std::nullopt;
    }
}

std::optional<CompositedImage> applyForegroundMask(const ForegroundMask& mask, const WorkingImage& image)
{
    const QImage& input = image.pixels;
    const QImage& values = mask.values;
    if (input.isNull() || input.format() != QImage::Format_ARGB32 || values.format() != QImage::Format_Grayscale16
        || values.size() != input.size()) {
        return std::nullopt;
    }
    QImage output(input.size(), QImage::Format_ARGB32);
    if (output.isNull())
        return std::nullopt;

    // Rows are independent; on a 12 MP photo the blend is worth spreading over the cores.
    // The row pointers come from one bits() call: scanLine() on the shared image from several
    // threads would race on its detach bookkeeping.
    uchar* const outputBits = output.bits();
    const qsizetype outputStride = output.bytesPerLine();
    cv::parallel_for_(cv::Range(0, input.height()), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const auto* source = reinterpret_cast<const QRgb*>(input.constScanLine(y));
            const auto* weight = reinterpret_cast<const quint16*>(values.constScanLine(y));
            auto* target = reinterpret_cast<QRgb*>(outputBits + y * outputStride);
            for (int x = 0; x < input.width(); ++x) {
                // Straight alpha: mask × premultiplied input keeps the colour and scales the alpha.
                const quint32 alpha = (quint32(weight[x]) * quint32(qAlpha(source[x])) + 32767) / 65535;
                target[x] = alpha == 0 ? 0 : (alpha << 24) | (source[x] & 0x00ffffff);
            }
        }
    });
    if (mask.decontaminateColours) {
        try {
            decontaminateEdgeColours(output, input, values);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return CompositedImage{output};
}

std::optional<QImage> renderCutout(const CompositedImage& composited)
{
    if (composited.pixels.isNull())
        return std::nullopt;
    QImage bitmap = composited.pixels.format() == QImage::Format_ARGB32
        ? composited.pixels
        : composited.pixels.convertToFormat(QImage::Format_ARGB32);
    if (bitmap.isNull())
        return std::nullopt;
    bitmap.setDevicePixelRatio(1.0);
    return bitmap;
}

std::optional<QImage> removeBackgroundLocally(const QImage& input, const RemovalOptions& options)
{
    const std::optional<WorkingImage> working = makeWorkingImage(input);
    if (!working)
        return std::nullopt;
    const std::optional<ForegroundMask> mask = generateForegroundMask(*working, options);
    if (!mask)
        return std::nullopt;
    const std::optional<CompositedImage> composited = applyForegroundMask(*mask, *working);
    if (!composited)
        return std::nullopt;
    return renderCutout(*composited);
}

void releaseEngineMemory()
{
    ForegroundSegmenter::shared().releaseIfIdle();
    // glibc keeps freed memory for reuse; large images leave a lot of it.
    malloc_trim(0);
}

} // namespace kivo
