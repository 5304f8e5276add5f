#pragma once

#include <QImage>
#include <QString>

namespace kivo {

// Decodes an image file the way every part of the application loads photos: EXIF orientation
// applied, large photos allowed, HEIC/HEIF through libheif (Qt has no decoder for them).
// Returns a null image when the file cannot be read or is not an image.
QImage loadImageFile(const QString& path);

} // namespace kivo
