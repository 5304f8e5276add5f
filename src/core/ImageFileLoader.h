#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace kivo {

// A decoded image, or why there is none, in words for the user.
struct ImageLoadResult {
    QImage image;
    // Empty on success; otherwise e.g. "not an image" or "the image is truncated (…)".
    QString error;
};

// Decodes an image file the way every part of the application loads photos: EXIF orientation
// applied, large photos allowed, HEIC/HEIF through libheif (Qt has no decoder for them), and
// truncated files refused rather than shown with grey rows.
ImageLoadResult readImageFile(const QString& path);

// The same for an image already in memory (an upload). With `maxPixels` above 0, larger images
// are refused before they are decoded.
ImageLoadResult readImageData(const QByteArray& bytes, qint64 maxPixels = 0);

// Everything readImageData checks before decoding (format, size, completeness), for refusing
// an upload early; empty when the image is worth decoding.
QString checkImageData(const QByteArray& bytes, qint64 maxPixels = 0);

// readImageFile(path).image: a null image when the file cannot be used.
QImage loadImageFile(const QString& path);

} // namespace kivo
