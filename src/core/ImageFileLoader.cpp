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

// Qt's decoder for each format; HEIF goes to libheif.
const char* qtFormatName(PhotoFormat format)
{
    switch (format) {
    case PhotoFormat::jpeg: return "jpeg";
    case PhotoFormat::png: return "png";
    case PhotoFormat::gif: return "gif";
    case PhotoFormat::bmp: return "bmp";
    case PhotoFormat::tiff: return "tiff";
    case PhotoFormat::webp: return "webp";
    case PhotoFormat::heif: break;
    }
    return "";
}

QString notAPhoto()
{
    return QStringLiteral("not an image in a supported format (JPEG, PNG, GIF, BMP, TIFF, WebP or HEIC)");
}

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / double(1 << 20), 'f', bytes < (qint64(10) << 20) ? 1 : 0);
}

// More declared pixels per byte of file than any encoder reaches on a real image: one-colour
// PNG and GIF files stay well below it, and nothing decodes pixels out of nothing.
constexpr qint64 kMaxPixelsPerByte = 4096;
// Small images are cheap whatever they declare.
constexpr qint64 kCheapPixels = 4'000'000;

// A format Qt decodes, orientation applied: in full, or with `longestSide` above 0 at a reduced
// size (libjpeg's DCT scaling for JPEG) whose longer side is at least that; `fullSize`, when
// given, gets the photo's own size.
ImageLoadResult decodeWithQt(const QByteArray& bytes, PhotoFormat format, int longestSide, QSize* fullSize)
{
    static std::once_flag limitRaised;
    std::call_once(limitRaised, [] { QImageReader::setAllocationLimit(allocationLimitMiB); });
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    // Only the decoder of the format found by content: Qt never guesses another one.
    QImageReader reader(&buffer, qtFormatName(format));
    reader.setAutoDetectImageFormat(false);
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

std::optional<PhotoFormat> photoFormat(QByteArrayView head)
{
    const auto startsWith = [&](qsizetype at, QByteArrayView magic) {
        return head.size() >= at + magic.size() && head.sliced(at, magic.size()) == magic;
    };
    if (startsWith(0, "\xFF\xD8\xFF"))
        return PhotoFormat::jpeg;
    if (startsWith(0, "\x89PNG\r\n\x1A\n"))
        return PhotoFormat::png;
    if (startsWith(0, "GIF87a") || startsWith(0, "GIF89a"))
        return PhotoFormat::gif;
    if (startsWith(0, "BM") && head.size() >= 26)
        return PhotoFormat::bmp;
    if (startsWith(0, QByteArrayView("II*\0", 4)) || startsWith(0, QByteArrayView("MM\0*", 4)))
        return PhotoFormat::tiff;
    if (startsWith(0, "RIFF") && startsWith(8, "WEBP"))
        return PhotoFormat::webp;
    if (heif_check_filetype(reinterpret_cast<const uint8_t*>(head.data()), int(std::min<qsizetype>(head.size(), 64)))
        == heif_filetype_yes_supported)
        return PhotoFormat::heif;
    return std::nullopt;
}

QString checkImageBudget(QByteArrayView bytes, qint64 maxPixels)
{
    const auto format = photoFormat(bytes);
    if (!format)
        return notAPhoto();
    QSize size;
    bool hasImageData = true;
    if (*format == PhotoFormat::heif) {
        const QByteArray copy = QByteArray::fromRawData(bytes.data(), bytes.size());
        const auto [context, handle] = openHeif(copy);
        if (!handle)
            return undecodableHeif();
        size = QSize(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()));
    } else if (*format == PhotoFormat::tiff) {
        // The size of the first directory; only that page is ever decoded.
        QBuffer buffer;
        buffer.setData(bytes.data(), bytes.size());
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "tiff");
        reader.setAutoDetectImageFormat(false);
        size = reader.size();
    } else if (const auto declared = declaredImage(bytes)) {
        size = declared->size;
        hasImageData = declared->hasImageData;
    }
    if (!size.isValid() || size.isEmpty())
        return QStringLiteral("the image's size cannot be read from its header");
    const qint64 pixels = qint64(size.width()) * size.height();
    if (maxPixels > 0 && pixels > maxPixels)
        return tooLarge(pixels, maxPixels);
    if (!hasImageData)
        return QStringLiteral("the file declares a %1 × %2 image but holds no image data").arg(size.width()).arg(size.height());
    if (pixels > kCheapPixels && pixels / std::max<qsizetype>(1, bytes.size()) > kMaxPixelsPerByte)
        return QStringLiteral("the file declares a %1 × %2 image but holds only %3 bytes of data")
            .arg(size.width())
            .arg(size.height())
            .arg(bytes.size());
    return {};
}

QString checkImageData(const QByteArray& bytes, qint64 maxPixels)
{
    if (QString error = checkImageBudget(bytes, maxPixels); !error.isEmpty())
        return error;
    if (isTruncatedImage(bytes))
        return QStringLiteral("the image is truncated (the file ends before its image data does)");
    return {};
}

ImageLoadResult readImageData(const QByteArray& bytes, qint64 maxPixels)
{
    if (QString error = checkImageData(bytes, maxPixels); !error.isEmpty())
        return {{}, error};
    const PhotoFormat format = *photoFormat(bytes);
    if (format == PhotoFormat::heif) {
        QImage image = decodeHeif(bytes);
        return {image, image.isNull() ? undecodableHeif() : QString()};
    }

    return decodeWithQt(bytes, format, 0, nullptr);
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
    const PhotoFormat format = *photoFormat(bytes);
    if (format == PhotoFormat::heif) {
        if (QImage thumbnail = heifThumbnail(bytes, longestSide, fullSize); !thumbnail.isNull())
            return {thumbnail, {}};
        ImageLoadResult full = readImageData(bytes);
        *fullSize = full.image.size();
        return full;
    }

    return decodeWithQt(bytes, format, longestSide, fullSize);
}

ImageLoadResult readImageFile(const QString& path, qint64 maxPixels)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {{}, QStringLiteral("no such file")};
    if (info.isDir())
        return {{}, QStringLiteral("cannot read the file (it is a folder)")};
    if (!info.isFile())
        return {{}, QStringLiteral("cannot read the file (not a regular file)")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("cannot read the file (%1)").arg(file.errorString())};
    // The format and the size are judged before the file is read whole.
    const QByteArray head = file.read(64);
    if (file.error() != QFileDevice::NoError)
        return {{}, QStringLiteral("cannot read the file (%1)").arg(file.errorString())};
    if (!photoFormat(head))
        return {{}, notAPhoto()};
    if (file.size() > kMaxImageFileBytes)
        return {{}, QStringLiteral("the file is too large (%1 MB, at most %2 MB)")
                        .arg(megabytes(file.size()), megabytes(kMaxImageFileBytes))};
    const QByteArray bytes = head + file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {{}, QStringLiteral("cannot read the file (%1)").arg(file.errorString())};
    return readImageData(bytes, maxPixels);
}

QImage loadImageFile(const QString& path)
{
    return readImageFile(path).image;
}

} // namespace kivo
