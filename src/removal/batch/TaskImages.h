#pragma once

#include "core/DomainModel.h"
#include "core/ImageCache.h"

#include <QImage>
#include <QString>

#include <optional>

namespace kivo {

// How removal tasks keep their images: encoded bytes in the run's cache with a card-size
// thumbnail, decoded at full size only while they are worked on. All of it runs off the
// window's thread.
struct KeptImage {
    // Null when the file is no image that loads.
    CachedImage image;
    // Set when the image loads but its bytes could not be kept (a full disk): the task fails
    // with this text, the others go on. With a null image: why the file was refused.
    std::optional<QString> error;
};

// A picked, dropped or monitored file: its bytes kept as they are now, checked by decoding,
// with a thumbnail. The decoded photo goes to `decoded` for a caller that processes it at once.
KeptImage keepOriginal(const QString& path, ImageCache& cache, QImage* decoded = nullptr);

// A cut-out, encoded as PNG once and kept with its thumbnail.
KeptImage keepCutout(const QImage& cutout, ImageCache& cache);

// A task's original at full size: from the kept bytes, or from the file as it is now when the
// bytes could not be kept.
QImage decodeOriginal(const ImageProcessingTask& task);

} // namespace kivo
