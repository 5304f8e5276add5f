#pragma once

#include "ExportError.h"

#include "core/DomainModel.h"

#include <QByteArray>
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
// (HEIC takes seconds): call it off the window's thread.
std::variant<EncodedImage, ExportError> encodeImage(const QImage& image, ExportFormat format, double quality);

} // namespace kivo
