#include "ImageEncoders.h"

#include "core/Log.h"
#include "core/PngEncoder.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <cmath>
#include <cstring>
#include <libheif/heif.h>
#include <memory>

namespace kivo {

QImage flattenForOpaqueFormat(const QImage& image, const QColor& background)
{
    if (image.isNull())
        return {};
    if (!image.hasAlphaChannel())
        return image.convertToFormat(QImage::Format_RGB32);
    QImage flat(image.size(), QImage::Format_RGB32);
    if (flat.isNull())
        return {};
    flat.fill(Qt::white);
    QPainter painter(&flat);
    if (background.isValid() && background.alpha() > 0)
        painter.fillRect(flat.rect(), background);
    painter.drawImage(0, 0, image);
    painter.end();
    return flat;
}

namespace {

std::variant<EncodedImage, ExportError> encodePng(const QImage& image)
{
    auto bytes = encodePNG(image);
    if (!bytes || bytes->isEmpty())
        return ExportError(ExportError::Kind::exportFailed);
    return EncodedImage{*bytes, QStringLiteral("png")};
}

std::variant<EncodedImage, ExportError> encodeWithQt(const QImage& image, const char* format, int quality,
                                                     const QString& extension)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image) || bytes.isEmpty())
        return ExportError(ExportError::Kind::exportFailed);
    return EncodedImage{bytes, extension};
}

std::variant<EncodedImage, ExportError> encodeJpeg(const QImage& image, double quality, const QColor& background)
{
    const QImage opaque = flattenForOpaqueFormat(image, background);
    if (opaque.isNull())
        return ExportError(ExportError::Kind::invalidImage);
    return encodeWithQt(opaque, "jpeg", int(std::lround(std::clamp(quality, 0.0, 1.0) * 100)), QStringLiteral("jpg"));
}

std::variant<EncodedImage, ExportError> encodeTiff(const QImage& image)
{
    // Straight alpha, so that the colours of translucent pixels survive exactly.
    const QImage straight = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32) : image;
    if (straight.isNull())
        return ExportError(ExportError::Kind::invalidImage);
    return encodeWithQt(straight, "tiff", -1, QStringLiteral("tiff"));
}

std::variant<EncodedImage, ExportError> encodePdf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        // One point per pixel: the page is exactly the image.
        writer.setResolution(72);
        writer.setPageSize(QPageSize(QSizeF(image.width(), image.height()), QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setCreator(QStringLiteral("KIVOPRO"));
        QPainter painter;
        if (!painter.begin(&writer))
            return ExportError(ExportError::Kind::exportFailed);
        painter.drawImage(QRect(0, 0, image.width(), image.height()), image);
        if (!painter.end())
            return ExportError(ExportError::Kind::exportFailed);
    }
    if (bytes.isEmpty())
        return ExportError(ExportError::Kind::exportFailed);
    return EncodedImage{bytes, QStringLiteral("pdf")};
}

heif_error appendToByteArray(heif_context*, const void* data, size_t size, void* userdata)
{
    static_cast<QByteArray*>(userdata)->append(static_cast<const char*>(data), qsizetype(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

std::variant<EncodedImage, ExportError> encodeHeic(const QImage& image, double quality)
{
    if (!heif_have_encoder_for_format(heif_compression_HEVC)) {
        logLine(QStringLiteral("[Export] No HEIC encoder on this system: writing PNG data with the extension png"));
        return encodePng(image);
    }
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    if (!context || heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code != heif_error_Ok)
        return ExportError(ExportError::Kind::exportFailed);
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), int(std::lround(std::clamp(quality, 0.0, 1.0) * 100)));

    const bool alpha = image.hasAlphaChannel();
    const QImage pixels = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (pixels.isNull())
        return ExportError(ExportError::Kind::invalidImage);
    heif_image* rawImage = nullptr;
    if (heif_image_create(pixels.width(), pixels.height(), heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage)
            .code
        != heif_error_Ok)
        return ExportError(ExportError::Kind::exportFailed);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> heifImage(rawImage, heif_image_release);
    if (heif_image_add_plane(heifImage.get(), heif_channel_interleaved, pixels.width(), pixels.height(), 8).code
        != heif_error_Ok)
        return ExportError(ExportError::Kind::exportFailed);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(heifImage.get(), heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(pixels.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < pixels.height(); ++y)
        std::memcpy(plane + qsizetype(y) * stride, pixels.constScanLine(y), rowBytes);

    heif_image_handle* handle = nullptr;
    if (heif_context_encode_image(context.get(), heifImage.get(), encoder.get(), nullptr, &handle).code != heif_error_Ok)
        return ExportError(ExportError::Kind::exportFailed);
    heif_image_handle_release(handle);

    QByteArray bytes;
    heif_writer writer{1, appendToByteArray};
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok || bytes.isEmpty())
        return ExportError(ExportError::Kind::exportFailed);
    return EncodedImage{bytes, QStringLiteral("heic")};
}

} // namespace

std::variant<EncodedImage, ExportError> encodeImage(const QImage& image, ExportFormat format, double quality,
                                                    const QColor& background)
{
    if (image.isNull())
        return ExportError(ExportError::Kind::invalidImage);
    switch (format) {
    case ExportFormat::png: return encodePng(image);
    case ExportFormat::jpeg: return encodeJpeg(image, quality, background);
    case ExportFormat::tiff: return encodeTiff(image);
    case ExportFormat::pdf: return encodePdf(image);
    case ExportFormat::heic: return encodeHeic(image, quality);
    }
    return ExportError(ExportError::Kind::unsupportedFormat);
}

} // namespace kivo
