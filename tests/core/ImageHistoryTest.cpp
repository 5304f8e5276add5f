// The image history keeps every snapshot exact to the pixel while holding only the current
// one and its neighbours as images.

#include "core/ImageHistory.h"

#include <QColorSpace>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

// A noisy image (compresses poorly, like a photo) with a mark that differs per step.
QImage noisyImage(QSize size, QImage::Format format, quint32 seed)
{
    QImage image(size, format);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y)
        random.fillRange(reinterpret_cast<quint32*>(image.scanLine(y)), image.bytesPerLine() / 4);
    return image;
}

QImage withMark(QImage image, int step)
{
    const int x = (step * 37) % (image.width() - 8);
    const int y = (step * 53) % (image.height() - 8);
    for (int dy = 0; dy < 8; ++dy)
        std::memset(image.scanLine(y + dy) + x * 4, step & 0xff, 32);
    return image;
}

} // namespace

TEST(ImageHistory, EverySnapshotComesBackExactlyAfterLeavingTheWindow)
{
    const QImage base = noisyImage({1031, 517}, QImage::Format_ARGB32, 1);
    ImageHistory history;
    QList<QImage> appended;
    for (int step = 0; step < 12; ++step) {
        appended << withMark(step == 0 ? base : appended.back(), step);
        history.append(appended.back());
    }
    ImageHistory::waitForCompression();

    // Only the last snapshot and its neighbour stay images; the rest were let go.
    EXPECT_TRUE(history.isResident(11));
    EXPECT_TRUE(history.isResident(10));
    EXPECT_FALSE(history.isResident(5));
    EXPECT_FALSE(history.isResident(0));

    for (int index = 11; index >= 0; --index) {
        history.setCurrentIndex(index);
        EXPECT_EQ(history.at(index), appended[index]) << "snapshot " << index;
    }
    ImageHistory::waitForCompression();
    EXPECT_TRUE(history.isResident(1));
    EXPECT_FALSE(history.isResident(11));
}

TEST(ImageHistory, UnchangedTilesAreSharedWithThePreviousSnapshot)
{
    const QImage base = noisyImage({2048, 1024}, QImage::Format_ARGB32_Premultiplied, 2);
    ImageHistory history;
    history.append(base);
    ImageHistory::waitForCompression();
    const qint64 first = history.compressedBytes();
    // Random bytes do not compress; the whole image is stored once.
    EXPECT_GT(first, qint64(base.sizeInBytes()) * 9 / 10);

    QList<QImage> appended{base};
    for (int step = 1; step <= 20; ++step)
        history.append(appended.emplace_back(withMark(appended.back(), step)));
    ImageHistory::waitForCompression();
    // Twenty small marks cost a few tiles each, not twenty images.
    EXPECT_LT(history.compressedBytes() - first, qint64(base.sizeInBytes()) / 2);
    EXPECT_EQ(history.at(5), appended[5]);
}

TEST(ImageHistory, KeepsFormatGeometryAndColourTable)
{
    QImage indexed(13, 7, QImage::Format_Indexed8);
    indexed.setColorTable({qRgb(255, 0, 0), qRgb(0, 255, 0), qRgba(0, 0, 255, 128)});
    for (int y = 0; y < indexed.height(); ++y)
        for (int x = 0; x < indexed.width(); ++x)
            indexed.setPixel(x, y, uint((x + y) % 3));
    QImage scaled = noisyImage({300, 200}, QImage::Format_RGB32, 3);
    scaled.setDevicePixelRatio(2.0);
    scaled.setColorSpace(QColorSpace::DisplayP3);
    const QImage empty;

    ImageHistory history;
    for (const QImage& image : {indexed, scaled, empty, scaled, scaled})
        history.append(image);
    ImageHistory::waitForCompression();
    ASSERT_FALSE(history.isResident(0));
    ASSERT_FALSE(history.isResident(1));

    const QImage restored = history.at(0);
    EXPECT_EQ(restored.format(), QImage::Format_Indexed8);
    EXPECT_EQ(restored.colorTable(), indexed.colorTable());
    EXPECT_EQ(restored, indexed);
    const QImage restoredScaled = history.at(1);
    EXPECT_EQ(restoredScaled, scaled);
    EXPECT_EQ(restoredScaled.devicePixelRatio(), 2.0);
    EXPECT_EQ(restoredScaled.colorSpace(), scaled.colorSpace());
    EXPECT_TRUE(history.at(2).isNull());
}

TEST(ImageHistory, RestoreBringsASnapshotBackInTheBackground)
{
    ImageHistory history;
    QList<QImage> appended;
    for (quint32 seed = 10; seed < 15; ++seed)
        history.append(appended.emplace_back(noisyImage({256, 256}, QImage::Format_ARGB32, seed)));
    ImageHistory::waitForCompression();
    ASSERT_FALSE(history.isResident(1));

    QFuture<void> restoring = history.restore(1);
    restoring.waitForFinished();
    EXPECT_TRUE(history.isResident(1));
    EXPECT_EQ(history.at(1), appended[1]);

    // Copies share the snapshots; cutting one copy leaves the other whole.
    ImageHistory copy = history;
    copy.truncate(2);
    EXPECT_EQ(copy.size(), 2);
    EXPECT_EQ(history.size(), 5);
    EXPECT_EQ(history.at(4), appended[4]);
}

// "Memory Usage" sets how many steps around the current one stay decoded.
TEST(ImageHistory, ResidentNeighboursDecideWhichSnapshotsStayImages)
{
    const QImage base = noisyImage({301, 207}, QImage::Format_ARGB32, 3);
    ImageHistory history;
    QList<QImage> appended;
    for (int step = 0; step < 9; ++step) {
        appended << withMark(step == 0 ? base : appended.back(), step);
        history.append(appended.back());
    }
    ImageHistory::waitForCompression();

    for (const int radius : {0, 3, 1}) {
        ImageHistory::setResidentNeighbours(radius);
        history.setCurrentIndex(4);
        for (int k = 4 - radius; k <= 4 + radius; ++k)
            history.restore(k).waitForFinished();
        for (int k = 0; k < 9; ++k)
            EXPECT_EQ(history.isResident(k), std::abs(k - 4) <= radius) << "radius " << radius << ", snapshot " << k;
        EXPECT_EQ(history.at(0), appended[0]);
    }
    EXPECT_EQ(ImageHistory::residentNeighbours(), 1);
}
