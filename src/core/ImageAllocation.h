#pragma once

#include <QImage>

namespace kivo {

// Pixel memory for large images, backed by transparent huge pages where the system offers them
// (madvise). On virtual machines every first touch of a 4 KiB page is expensive: a fresh
// 12-megapixel image costs about 150 ms in page faults alone before a pixel is written, against
// about 10 ms with 2 MiB pages. Images made here behave like any QImage (implicitly shared,
// freed with their last copy). Small images take Qt's ordinary allocation.
//
// A new image of the given size and format with uninitialised pixels; null when memory runs out.
QImage allocateImage(QSize size, QImage::Format format);

// A copy of `image` in `format` (the same format: a plain copy), in such memory. The device
// pixel ratio is kept. Null for a null image or when memory runs out.
QImage convertedCopy(const QImage& image, QImage::Format format);

} // namespace kivo
