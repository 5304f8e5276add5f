#include "ImageAllocation.h"

#include <QColorSpace>
#include <QPainter>

#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace kivo {

namespace {

constexpr size_t hugePage = size_t(2) << 20;
// Below a few huge pages the saving does not matter and the rounding would.
constexpr qsizetype smallImageBytes = qsizetype(8) << 20;

void release(void* memory)
{
    std::free(memory);
}

} // namespace

QImage allocateImage(QSize size, QImage::Format format)
{
    if (size.isEmpty() || format == QImage::Format_Invalid)
        return {};
    // Qt's own row alignment (32 bits) for the format's depth.
    const int depth = QImage(1, 1, format).depth();
    const qsizetype bytesPerLine = ((qsizetype(size.width()) * depth + 31) / 32) * 4;
    const qsizetype bytes = bytesPerLine * size.height();
    if (bytes < smallImageBytes || depth < 8)
        return QImage(size, format);

    const size_t rounded = (size_t(bytes) + hugePage - 1) / hugePage * hugePage;
    void* memory = std::aligned_alloc(hugePage, rounded);
    if (!memory)
        return {};
    madvise(memory, rounded, MADV_HUGEPAGE);
    QImage image(static_cast<uchar*>(memory), size.width(), size.height(), bytesPerLine, format, release, memory);
    if (image.isNull())
        std::free(memory);
    return image;
}

QImage convertedCopy(const QImage& image, QImage::Format format)
{
    if (image.isNull())
        return {};
    QImage copy = allocateImage(image.size(), format);
    if (copy.isNull())
        return copy;
    if (image.format() == format && image.colorCount() == 0) {
        const size_t rowBytes = size_t(std::min(image.bytesPerLine(), copy.bytesPerLine()));
        for (int y = 0; y < image.height(); ++y)
            std::memcpy(copy.scanLine(y), image.constScanLine(y), rowBytes);
    } else {
        // QPainter converts pixel formats with Qt's own conversion routines; the target
        // rectangle in pixels ignores the device pixel ratio.
        QPainter painter(&copy);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QRect(QPoint(0, 0), image.size()), image);
    }
    copy.setDevicePixelRatio(image.devicePixelRatio());
    copy.setColorSpace(image.colorSpace());
    return copy;
}

} // namespace kivo
