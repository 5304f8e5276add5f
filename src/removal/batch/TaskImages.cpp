#include "TaskImages.h"

#include "core/ImageFileLoader.h"
#include "core/PngEncoder.h"

#include <QFile>
#include <QFileInfo>

namespace kivo {

KeptImage keepOriginal(const QString& path, ImageCache& cache, QImage* decoded)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("cannot be opened (%1)").arg(file.errorString())};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {{}, QStringLiteral("cannot be read (%1)").arg(file.errorString())};
    // Checked from the bytes that are kept, so that what is checked is what is processed later.
    // Only a caller that processes the photo at once needs it at full size; a card needs a
    // thumbnail, decoded at a reduced size (the whole file is still read and checked).
    QSize size;
    ImageLoadResult loaded = decoded ? readImageData(bytes) : readImageDataReduced(bytes, cardThumbnailSide, &size);
    QImage image = std::move(loaded.image);
    if (decoded) {
        size = image.size();
        *decoded = image;
    }
    if (image.isNull())
        return {{}, loaded.error.isEmpty() ? QStringLiteral("not an image") : loaded.error};
    const QImage thumbnail = makeCardThumbnail(image);
    image = {};

    QString error;
    if (std::optional<CachedImage> kept = cache.store(bytes, QFileInfo(path).suffix(), thumbnail, size, &error))
        return {*kept, std::nullopt};
    return {CachedImage::thumbnailOnly(thumbnail, size), QStringLiteral("Could not keep a copy of the photo: ") + error};
}

KeptImage keepCutout(const QImage& cutout, ImageCache& cache)
{
    const QImage thumbnail = makeCardThumbnail(cutout);
    const std::optional<QByteArray> png = encodePNG(cutout);
    if (!png)
        return {CachedImage::thumbnailOnly(thumbnail, cutout.size()),
                QStringLiteral("Could not keep the result: it cannot be encoded as PNG")};
    QString error;
    if (std::optional<CachedImage> kept = cache.store(*png, QStringLiteral("png"), thumbnail, cutout.size(), &error))
        return {*kept, std::nullopt};
    return {CachedImage::thumbnailOnly(thumbnail, cutout.size()), QStringLiteral("Could not keep the result: ") + error};
}

QImage decodeOriginal(const ImageProcessingTask& task)
{
    if (task.originalImage.hasBytes())
        return task.originalImage.decode();
    return loadImageFile(task.originalURL.toLocalFile());
}

} // namespace kivo
