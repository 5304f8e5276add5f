#include "ImageFileLoader.h"

#include "ImageTruncation.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <libheif/heif.h>

#include <memory>
#include <mutex>
#include <vector>

namespace kivo {

namespace {

// Room for photos of up to about 130 megapixels; Qt's default (128 MiB) refuses 8000 × 6000.
constexpr int allocationLimitMiB = 1024;

QString tooLarge(qint64 pixels, qint64 maxPixels)
{
    return QStringLiteral("the image is too large (%1 megapixels, at most %2)")
        .arg(QString::number(double(pixels) / 1e6, 'g', 3), QString::number(double(maxPixels) / 1e6, 'g', 3));
}

using HeifContext = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using HeifHandle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;

bool isHeif(const QByteArray& bytes)
{
    return heif_check_filetype(reinterpret_cast<const uint8_t*>(bytes.constData()), int(std::min<qsizetype>(bytes.size(), 64)))
        == heif_filetype_yes_supported;
}

// The primary image of a HEIF container; null handles when it cannot be read.
std::pair<HeifContext, HeifHandle> openHeif(const QByteArray& bytes)
{
    std::pair<HeifContext, HeifHandle> heif{HeifContext(heif_context_alloc(), heif_context_free),
                                            HeifHandle(nullptr, heif_image_handle_release)};
    heif_image_handle* handle = nullptr;
    if (heif.first
        && heif_context_read_from_memory_without_copy(heif.first.get(), bytes.constData(), size_t(bytes.size()), nullptr).code
            == heif_error_Ok
        && heif_context_get_primary_image_handle(heif.first.get(), &handle).code == heif_error_Ok)
        heif.second.reset(handle);
    return heif;
}

QString undecodableHeif()
{
    return QStringLiteral("the HEIF image cannot be decoded");
}

QImage decodeHeif(const QByteArray& bytes)
{
    const auto [context, handle] = openHeif(bytes);
    heif_image* rawImage = nullptr;
    // libheif applies the file's rotation and mirroring while decoding.
    if (!handle
        || heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code
            != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);

    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0)
        return {};
    // Copy out of libheif's buffer, which dies with `image`.
    return QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy();
}

// A format Qt decodes, orientation applied: in full, or with `longestSide` above 0 at a reduced
// size (libjpeg's DCT scaling for JPEG) whose longer side is at least that; `fullSize`, when
// given, gets the photo's own size.
ImageLoadResult decodeWithQt(const QByteArray& bytes, int longestSide, QSize* fullSize)
{
    static std::once_flag limitRaised;
    std::call_once(limitRaised, [] { QImageReader::setAllocationLimit(allocationLimitMiB); });
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    // The scaled size applies before the orientation; the longer side is the same either way.
    if (longestSide > 0 && stored.isValid() && std::max(stored.width(), stored.height()) > longestSide)
        reader.setScaledSize(stored.scaled(longestSide, longestSide, Qt::KeepAspectRatio));
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    QImage image = reader.read();
    if (image.isNull())
        return {{}, QStringLiteral("the image cannot be decoded (%1)").arg(reader.errorString())};
    image.setDevicePixelRatio(1.0);
    if (fullSize)
        *fullSize = stored.isValid() ? (turned ? stored.transposed() : stored) : image.size();
    return {image, {}};
}

} // namespace

QString checkImageData(const QByteArray& bytes, qint64 maxPixels)
{
    // Recognised by content, so misnamed files and uploads load too.
    if (isHeif(bytes)) {
        const auto [context, handle] = openHeif(bytes);
        if (!handle)
            return undecodableHeif();
        const qint64 pixels = qint64(heif_image_handle_get_width(handle.get())) * heif_image_handle_get_height(handle.get());
        return maxPixels > 0 && pixels > maxPixels ? tooLarge(pixels, maxPixels) : QString();
    }
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return QStringLiteral("not an image");
    const QSize size = reader.size();
    if (maxPixels > 0 && size.isValid() && qint64(size.width()) * size.height() > maxPixels)
        return tooLarge(qint64(size.width()) * size.height(), maxPixels);
    if (isTruncatedImage(bytes))
        return QStringLiteral("the image is truncated (the file ends before its image data does)");
    return {};
}

ImageLoadResult readImageData(const QByteArray& bytes, qint64 maxPixels)
{
    if (QString error = checkImageData(bytes, maxPixels); !error.isEmpty())
        return {{}, error};
    if (isHeif(bytes)) {
        QImage image = decodeHeif(bytes);
        return {image, image.isNull() ? undecodableHeif() : QString()};
    }

    return decodeWithQt(bytes, 0, nullptr);
}

namespace {

// The smallest embedded thumbnail of the primary image that is large enough; null when none is.
QImage heifThumbnail(const QByteArray& bytes, int longestSide, QSize* fullSize)
{
    const auto [context, handle] = openHeif(bytes);
    if (!handle)
        return {};
    *fullSize = QSize(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()));
    const int count = heif_image_handle_get_number_of_thumbnails(handle.get());
    if (count <= 0)
        return {};
    std::vector<heif_item_id> ids(size_t(count), 0);
    heif_image_handle_get_list_of_thumbnail_IDs(handle.get(), ids.data(), count);
    for (const heif_item_id id : ids) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_thumbnail(handle.get(), id, &raw).code != heif_error_Ok)
            continue;
        const HeifHandle thumbnail(raw, heif_image_handle_release);
        if (std::max(heif_image_handle_get_width(raw), heif_image_handle_get_height(raw)) < longestSide)
            continue;
        heif_image* decoded = nullptr;
        if (heif_decode_image(raw, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code != heif_error_Ok)
            continue;
        std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, heif_image_release);
        int stride = 0;
        const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
        const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
        const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
        if (plane && width > 0 && height > 0)
            return QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy();
    }
    return {};
}

} // namespace

ImageLoadResult readImageDataReduced(const QByteArray& bytes, int longestSide, QSize* fullSize)
{
    if (QString error = checkImageData(bytes); !error.isEmpty())
        return {{}, error};
    if (isHeif(bytes)) {
        if (QImage thumbnail = heifThumbnail(bytes, longestSide, fullSize); !thumbnail.isNull())
            return {thumbnail, {}};
        ImageLoadResult full = readImageData(bytes);
        *fullSize = full.image.size();
        return full;
    }

    return decodeWithQt(bytes, longestSide, fullSize);
}

ImageLoadResult readImageFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {{}, QStringLiteral("no such file")};
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("cannot read the file")};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {{}, QStringLiteral("cannot read the file (%1)").arg(file.errorString())};
    return readImageData(bytes);
}

QImage loadImageFile(const QString& path)
{
    return readImageFile(path).image;
}

} // namespace kivo
