#pragma once

#include <QImage>

#include <opencv2/core.hpp>

namespace kivo {

// A 32-bit QImage's pixels as an OpenCV matrix of 8-bit B, G, R, A (Qt's 32-bit formats in
// memory on little-endian machines), without copying. The image must stay alive and, for the
// writable form, be detached.
inline cv::Mat matOf(QImage& image)
{
    return cv::Mat(image.height(), image.width(), CV_8UC4, image.bits(), size_t(image.bytesPerLine()));
}

inline cv::Mat constMatOf(const QImage& image)
{
    return cv::Mat(image.height(), image.width(), CV_8UC4, const_cast<uchar*>(image.constBits()),
                   size_t(image.bytesPerLine()));
}

} // namespace kivo
