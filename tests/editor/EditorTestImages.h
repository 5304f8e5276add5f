#pragma once

#include <QColor>
#include <QImage>

namespace kivo::test {

// An image of one colour, 32-bit with straight alpha.
inline QImage solidImage(const QColor& color, QSize size = {4, 4})
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

} // namespace kivo::test
