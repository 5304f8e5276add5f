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

// The same checks as readImageData (the whole file is read, so a truncated or damaged photo is
// refused with its reason), but decoded at a reduced size whose longer side is at least
// `longestSide`: JPEGs through libjpeg's DCT scaling, HEIF through its embedded thumbnail when it
// has one. `fullSize` gets the photo's own size, orientation applied. Far cheaper than a full
// decode for a card's thumbnail.
ImageLoadResult readImageDataReduced(const QByteArray& bytes, int longestSide, QSize* fullSize);

// Everything readImageData checks before decoding (format, size, completeness), for refusing
// an upload early; empty when the image is worth decoding.
QString checkImageData(const QByteArray& bytes, qint64 maxPixels = 0);

// readImageFile(path).image: a null image when the file cannot be used.
QImage loadImageFile(const QString& path);

} // namespace kivo
