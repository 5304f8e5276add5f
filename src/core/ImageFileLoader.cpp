#include "ImageFileLoader.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <libheif/heif.h>

#include <memory>

namespace kivo {

namespace {

// Room for photos of up to about 130 megapixels; Qt's default (128 MiB) refuses 8000 × 6000.
constexpr int allocationLimitMiB = 1024;

QImage loadHeif(const QString& path)
{
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    if (!context)
        return {};
    if (heif_context_read_from_file(context.get(), QFile::encodeName(path).constData(), nullptr).code != heif_error_Ok)
        return {};

    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(rawHandle,
                                                                                   heif_image_handle_release);

    heif_image* rawImage = nullptr;
    // libheif applies the file's rotation and mirroring while decoding.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code
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

} // namespace

QImage loadImageFile(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == u"heic" || suffix == u"heif") {
        QImage image = loadHeif(path);
        if (!image.isNull())
            return image;
        // Misnamed files of another format still load below.
    }

    QImageReader::setAllocationLimit(allocationLimitMiB);
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (!image.isNull())
        image.setDevicePixelRatio(1.0);
    return image;
}

} // namespace kivo
