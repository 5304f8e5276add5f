#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>
#include <QString>

#include <optional>

namespace kivo {

// A decoded image, or why there is none, in words for the user.
struct ImageLoadResult {
    QImage image;
    // Empty on success; otherwise e.g. "not an image" or "the image is truncated (…)".
    QString error;
};

// The photo formats the application takes, recognised by their first bytes whatever the file
// is called. Nothing else is ever handed to a decoder: no SVG (which can name other files), no
// icon, Targa, XPM or MNG files.
enum class PhotoFormat { jpeg, png, gif, bmp, tiff, webp, heif };
std::optional<PhotoFormat> photoFormat(QByteArrayView head);

// What every loader accepts at most: larger photos would need gigabytes for the engine's
// working copies.
inline constexpr qint64 kMaxImagePixels = 100'000'000;
inline constexpr qint64 kMaxImageFileBytes = qint64(256) << 20;

// The pixel and byte budget, judged from the file's own headers before anything is decoded:
// the declared size (for GIF the screen and every frame), that image data is present at all,
// and that the data could plausibly hold that many pixels (a 35-byte file declaring 100
// megapixels is refused). Empty when the file is within the budget; otherwise the reason, in
// words ("the image is too large (…)"). `bytes` is the whole file.
QString checkImageBudget(QByteArrayView bytes, qint64 maxPixels = kMaxImagePixels);

// Decodes an image file the way every part of the application loads photos: format by
// content, the budget above, EXIF orientation applied, HEIC/HEIF through libheif (Qt has no
// decoder for them), and truncated files refused rather than shown with grey rows. The file's
// size and format are checked before it is read whole.
ImageLoadResult readImageFile(const QString& path, qint64 maxPixels = kMaxImagePixels);

// The same for an image already in memory (an upload).
ImageLoadResult readImageData(const QByteArray& bytes, qint64 maxPixels = kMaxImagePixels);

// The same checks as readImageData (the whole file is read, so a truncated or damaged photo is
// refused with its reason), but decoded at a reduced size whose longer side is at least
// `longestSide`: JPEGs through libjpeg's DCT scaling, HEIF through its embedded thumbnail when it
// has one. `fullSize` gets the photo's own size, orientation applied. Far cheaper than a full
// decode for a card's thumbnail.
ImageLoadResult readImageDataReduced(const QByteArray& bytes, int longestSide, QSize* fullSize);

// Everything readImageData checks before decoding (format, budget, completeness), for refusing
// an upload early; empty when the image is worth decoding.
QString checkImageData(const QByteArray& bytes, qint64 maxPixels = kMaxImagePixels);

// readImageFile(path).image: a null image when the file cannot be used.
QImage loadImageFile(const QString& path);

} // namespace kivo
