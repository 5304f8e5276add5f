#pragma once

#include "ExportError.h"

#include "core/DomainModel.h"

#include <QByteArray>
#include <QColor>
#include <QImage>

#include <variant>

namespace kivo {

struct EncodedImage {
    QByteArray bytes;
    // The file-name extension the bytes call for: the format's own, or "png" where the HEIC
    // encoder is missing and PNG bytes stand in.
    QString extension;
};

// Encodes an image as a whole file of the given format: PNG, JPEG with `quality` (0 … 1) as
// compression factor, TIFF with its alpha, a one-page PDF whose page is the image (one point
// per pixel), or HEIC with `quality` as lossy quality. Synchronous and slow for large images
// (HEIC takes seconds): call it off the window's thread. A format without alpha (JPEG) gets the
// image flattened onto `background` (see flattenForOpaqueFormat).
std::variant<EncodedImage, ExportError> encodeImage(const QImage& image, ExportFormat format, double quality,
                                                    const QColor& background = QColor(Qt::transparent));

// The image drawn over the canvas background for a format that keeps no alpha: an opaque
// RGB32 image. A transparent background becomes white (a translucent one is laid over white),
// so that what was see-through turns into paper rather than black.
QImage flattenForOpaqueFormat(const QImage& image, const QColor& background);

} // namespace kivo
