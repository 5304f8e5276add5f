#include "ImageFilters.h"

#include "ImageStripes.h"
#include "OpenCvImage.h"

#include "core/ImageAllocation.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace kivo {

namespace {

// The fixed constants; every other input of a filter stays neutral.
constexpr float brightnessAmount = 0.2f;
constexpr float contrastAmount = 1.2f;
constexpr float saturationAmount = 1.5f;
constexpr float blurRadius = 5.0f;
constexpr float sharpness = 0.4f;
// The width of the neighbourhood that luminance sharpening compares each pixel with.
constexpr double sharpenRadius = 1.69;

// Rec. 709 luma weights, the ones the colour controls and the sharpening measure light with.
constexpr float lumaRed = 0.2125f;
constexpr float lumaGreen = 0.7154f;
constexpr float lumaBlue = 0.0721f;

// Rounded to the nearest whole value and clamped to 0 … 255.
uchar clampToByte(float value)
{
    return cv::saturate_cast<uchar>(value);
}

float lumaOf(const cv::Vec4b& pixel)
{
    return lumaBlue * pixel[0] + lumaGreen * pixel[1] + lumaRed * pixel[2];
}

// The colour controls, in their order, in one pass over straight (not premultiplied) colours
// scaled to 0 … 1; alpha is left as it is. Each step rounds to 8 bits as a separate filter
// would.
//   brightness b: c' = c + b
//   contrast k:   c' = (c − 0.5) · k + 0.5
//   saturation s: with the luma L = 0.2125 R + 0.7154 G + 0.0721 B, c' = L + s · (c − L);
//                 greys (R = G = B) do not change.
void applyColourControls(cv::Mat& pixels, bool brightness, bool contrast, bool saturation)
{
    // Brightness and contrast act on each channel alone: one table of 256 entries for both.
    std::array<uchar, 256> table{};
    for (int value = 0; value < 256; ++value) {
        uchar result = uchar(value);
        if (brightness)
            result = clampToByte(float(result) + brightnessAmount * 255.0f);
        if (contrast)
            result = clampToByte((float(result) - 127.5f) * contrastAmount + 127.5f);
        table[size_t(value)] = result;
    }
    // Saturation 1.5 in 16-bit fixed point: c' = 1.5 c − 0.5 L, the luma weights scaled by
    // 65536 (they sum to 65535, so a grey stays exactly what it was).
    static_assert(saturationAmount == 1.5f);
    constexpr int red = 13926, green = 46884, blue = 4725;
    pixels.forEach<cv::Vec4b>([&](cv::Vec4b& pixel, const int*) {
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel] = table[pixel[channel]];
        if (!saturation)
            return;
        const int luma = blue * pixel[0] + green * pixel[1] + red * pixel[2];
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel] = uchar(std::clamp((196608 * pixel[channel] - luma + 65536) >> 17, 0, 255));
    });
}

void premultiply(cv::Mat& pixels)
{
    pixels.forEach<cv::Vec4b>([](cv::Vec4b& pixel, const int*) {
        const int alpha = pixel[3];
        if (alpha == 255)
            return;
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel] = uchar((pixel[channel] * alpha + 127) / 255);
    });
}

void unpremultiply(cv::Mat& pixels)
{
    pixels.forEach<cv::Vec4b>([](cv::Vec4b& pixel, const int*) {
        const int alpha = pixel[3];
        if (alpha == 255)
            return;
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel] = alpha == 0 ? 0 : uchar(std::min(255, (pixel[channel] * 255 + alpha / 2) / alpha));
    });
}

// Gaussian blur with the radius as standard deviation, on premultiplied colours so that
// transparent pixels do not bleed their hidden colour. Pixels beyond the edges repeat the edge
// pixel: the result keeps the source's size and nothing fades in from outside.
void blur(cv::Mat& pixels)
{
    premultiply(pixels);
    cv::GaussianBlur(pixels, pixels, cv::Size(0, 0), blurRadius, blurRadius, cv::BORDER_REPLICATE);
    unpremultiply(pixels);
}

// Luminance sharpening: with L the luma and B(L) its Gaussian blur over sharpenRadius, every
// colour channel gains sharpness · (L − B(L)), so edges get more contrast in lightness while
// hues stay. Straight colours; alpha is left as it is.
bool sharpen(cv::Mat& pixels)
{
    // One float per pixel, in the same kind of memory as the images.
    QImage lumaMemory = allocateImage(QSize(pixels.cols, pixels.rows), QImage::Format_RGB32);
    if (lumaMemory.isNull())
        return false;
    cv::Mat blurredLuma(pixels.rows, pixels.cols, CV_32F, lumaMemory.bits(), size_t(lumaMemory.bytesPerLine()));
    pixels.forEach<cv::Vec4b>([&](const cv::Vec4b& pixel, const int* position) {
        blurredLuma.at<float>(position[0], position[1]) = lumaOf(pixel);
    });
    cv::GaussianBlur(blurredLuma, blurredLuma, cv::Size(0, 0), sharpenRadius, sharpenRadius, cv::BORDER_REPLICATE);
    pixels.forEach<cv::Vec4b>([&](cv::Vec4b& pixel, const int* position) {
        const float delta = sharpness * (lumaOf(pixel) - blurredLuma.at<float>(position[0], position[1]));
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel] = clampToByte(float(pixel[channel]) + delta);
    });
    return true;
}

} // namespace

QString filterName(FilterType type)
{
    switch (type) {
    case FilterType::brightness: return QStringLiteral("Brightness");
    case FilterType::contrast: return QStringLiteral("Contrast");
    case FilterType::saturation: return QStringLiteral("Saturation");
    case FilterType::blur: return QStringLiteral("Blur");
    case FilterType::sharpen: return QStringLiteral("Sharpen");
    }
    return {};
}

std::optional<QImage> applyFilterChain(const QImage& source, const QSet<QString>& enabledNames)
{
    if (source.isNull())
        return std::nullopt;
    auto enabled = [&](FilterType type) { return enabledNames.contains(filterName(type)); };
    if (std::none_of(allFilterTypes.begin(), allFilterTypes.end(), enabled))
        return source;
    try {
        // Every step works in place on one straight-alpha copy.
        QImage image = convertedCopy(source, QImage::Format_ARGB32);
        if (image.isNull())
            return std::nullopt;
        cv::Mat pixels = matOf(image);
        if (enabled(FilterType::brightness) || enabled(FilterType::contrast) || enabled(FilterType::saturation))
            applyColourControls(pixels, enabled(FilterType::brightness), enabled(FilterType::contrast),
                                enabled(FilterType::saturation));
        if (enabled(FilterType::blur))
            blur(pixels);
        if (enabled(FilterType::sharpen) && !sharpen(pixels))
            return std::nullopt;
        return image;
    } catch (const cv::Exception&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<QImage> filteredForDisplay(const QImage& source, const QSet<QString>& enabledNames)
{
    if (source.isNull())
        return std::nullopt;
    QImage target = allocateImage(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (target.isNull() || !refilterArea(source, source.rect(), enabledNames, target))
        return std::nullopt;
    target.setDevicePixelRatio(source.devicePixelRatio());
    return target;
}

bool refilterArea(const QImage& source, const QRect& area, const QSet<QString>& enabledNames, QImage& target)
{
    if (target.size() != source.size() || target.format() != QImage::Format_ARGB32_Premultiplied)
        return false;
    std::atomic<bool> failed = false;
    uchar* bits = target.bits();
    const qsizetype bytesPerLine = target.bytesPerLine();
    // Each stripe filters its rows with the filters' reach more of the source around them, so
    // that nothing of the stripe's own edges shows inside it.
    forEachStripe(area.intersected(source.rect()), [&](const QRect& stripe) {
        const QRect input = stripe.adjusted(-filterReach, -filterReach, filterReach, filterReach)
                                .intersected(source.rect());
        // The chain starts with a copy of its own, so it reads the source's pixels in place.
        const QImage rows = source.depth() == 32
            ? QImage(source.constScanLine(input.top()) + qsizetype(input.left()) * 4, input.width(), input.height(),
                     source.bytesPerLine(), source.format())
            : source.copy(input);
        auto piece = applyFilterChain(rows, enabledNames);
        if (!piece) {
            failed = true;
            return;
        }
        QImage premultiplied = std::move(*piece);
        premultiplied.convertTo(QImage::Format_ARGB32_Premultiplied);
        if (premultiplied.format() != QImage::Format_ARGB32_Premultiplied) {
            failed = true;
            return;
        }
        for (int y = stripe.top(); y <= stripe.bottom(); ++y)
            std::memcpy(bits + bytesPerLine * y + qsizetype(stripe.left()) * 4,
                        premultiplied.constScanLine(y - input.top()) + qsizetype(stripe.left() - input.left()) * 4,
                        size_t(stripe.width()) * 4);
    });
    return !failed;
}

} // namespace kivo
