// The fast PNG encoder of kivopro-remove: whatever it writes, Qt's decoder must read back
// pixel for pixel.

#include "core/PngEncoder.h"

#include <QImage>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

QImage decode(const QByteArray& png)
{
    QImage image;
    EXPECT_TRUE(image.loadFromData(png, "PNG"));
    return image;
}

// Smooth areas, sharp edges, full transparency and noise in one image.
QImage sampleImage(int width, int height, QImage::Format format)
{
    QImage image(width, height, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int alpha = x < width / 4 ? 0 : (x < width / 2 ? (x * 255) / width : 255);
            const bool noisy = y > height / 2;
            const int red = noisy ? int(random.bounded(256)) : (x * 7) % 256;
            const int green = noisy ? int(random.bounded(256)) : (y * 3) % 256;
            image.setPixel(x, y, qRgba(red, green, (x + y) % 256, alpha));
        }
    }
    return image.convertToFormat(format);
}

} // namespace

TEST(PngEncoderTest, RoundTripsEveryLayoutExactly)
{
    // 1100 × 1100 RGBA spans several compressed pieces; odd sizes catch row arithmetic.
    for (const QSize size : {QSize(1, 1), QSize(17, 3), QSize(1100, 1100)}) {
        const QImage rgba = sampleImage(size.width(), size.height(), QImage::Format_ARGB32);
        const QImage rgbaBack = decode(*encodePNG(rgba)).convertToFormat(QImage::Format_ARGB32);
        // Qt's decoder may hand transparent pixels back as transparent black; compare what shows.
        ASSERT_EQ(rgbaBack.size(), size);
        int differences = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                differences += qAlpha(rgba.pixel(x, y)) == 0 ? qAlpha(rgbaBack.pixel(x, y)) != 0
                                                             : rgba.pixel(x, y) != rgbaBack.pixel(x, y);
        EXPECT_EQ(differences, 0) << size.width() << "x" << size.height();

        const QImage opaque = sampleImage(size.width(), size.height(), QImage::Format_RGB32);
        const QImage opaqueBack = decode(*encodePNG(opaque));
        EXPECT_FALSE(opaqueBack.hasAlphaChannel());
        EXPECT_EQ(opaqueBack.convertToFormat(QImage::Format_RGB32), opaque);

        const QImage grey = sampleImage(size.width(), size.height(), QImage::Format_Grayscale8);
        const QImage greyBack = decode(*encodePNG(grey));
        EXPECT_TRUE(greyBack.isGrayscale());
        EXPECT_EQ(greyBack.convertToFormat(QImage::Format_Grayscale8), grey);
    }
}

TEST(PngEncoderTest, NullImageGivesNothing)
{
    EXPECT_FALSE(encodePNG(QImage()).has_value());
}
