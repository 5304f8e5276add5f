// The application's image loader: every format it takes, HEIC by content, and truncated files
// refused where Qt would fill the missing rows with grey.

#include "core/ImageFileLoader.h"
#include "core/ImageTruncation.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

QImage photo()
{
    QImage image(test::testDataPath(u"coffee.jpg"_s));
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray encoded(const QImage& image, const char* format, bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image)) << format;
    return bytes;
}

// Qt writes no GIF: a copy of the test photo made with ImageMagick.
QByteArray gifFile()
{
    QFile file(test::testDataPath(u"coffee.gif"_s));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString write(const QTemporaryDir& folder, const QString& name, const QByteArray& bytes)
{
    QFile file(folder.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
}

} // namespace

TEST(ImageFileLoaderTest, CompleteFilesLoadAndTruncatedOnesAreRefused)
{
    const QImage source = photo();
    const struct {
        const char* name;
        QByteArray bytes;
    } files[] = {
        {"baseline.jpg", encoded(source, "JPEG")}, {"progressive.jpg", encoded(source, "JPEG", true)},
        {"image.png", encoded(source, "PNG")},     {"image.gif", gifFile()},
        {"image.bmp", encoded(source, "BMP")},     {"image.webp", encoded(source, "WEBP")},
    };
    QTemporaryDir folder;
    for (const auto& file : files) {
        ASSERT_FALSE(file.bytes.isEmpty()) << file.name;
        const ImageLoadResult complete = readImageFile(write(folder, QString::fromLatin1(file.name), file.bytes));
        EXPECT_TRUE(complete.error.isEmpty()) << file.name << ": " << complete.error.toStdString();
        EXPECT_EQ(complete.image.size(), source.size()) << file.name;

        for (const double kept : {0.95, 0.6, 0.1}) {
            const QByteArray cut = file.bytes.left(qsizetype(file.bytes.size() * kept));
            EXPECT_TRUE(isTruncatedImage(cut)) << file.name << " at " << kept;
            const ImageLoadResult truncated = readImageData(cut);
            EXPECT_TRUE(truncated.image.isNull()) << file.name << " at " << kept;
            EXPECT_FALSE(truncated.error.isEmpty()) << file.name;
        }
    }
    // The batch tab and the folder monitor load through the same function.
    const QString cutJpeg = write(folder, u"cut.jpg"_s, files[0].bytes.left(files[0].bytes.size() / 2));
    EXPECT_TRUE(loadImageFile(cutJpeg).isNull());
    EXPECT_EQ(readImageFile(cutJpeg).error, u"the image is truncated (the file ends before its image data does)"_s);
}

TEST(ImageFileLoaderTest, CompleteFilesWithUnusualEndingsStillLoad)
{
    const QImage source = photo();
    const QByteArray jpeg = encoded(source, "JPEG");
    // Data after the end-of-image marker, as some cameras write it.
    EXPECT_FALSE(isTruncatedImage(jpeg + QByteArray(100, '\x00')));
    // An embedded end-of-image marker inside a segment (a thumbnail's) does not end the file.
    const QByteArray app1 = QByteArray("\xFF\xE1\x00\x08\xFF\xD9\xFF\xD9", 8);
    const QByteArray withSegment = jpeg.left(2) + app1 + jpeg.mid(2);
    EXPECT_FALSE(isTruncatedImage(withSegment));
    EXPECT_TRUE(isTruncatedImage(withSegment.left(withSegment.size() - 500)));
    // A GIF without its trailer byte after a complete image.
    const QByteArray gif = gifFile();
    ASSERT_EQ(gif.back(), '\x3B');
    EXPECT_FALSE(isTruncatedImage(gif.chopped(1)));
    EXPECT_FALSE(readImageData(gif.chopped(1)).image.isNull());
}

TEST(ImageFileLoaderTest, ReadsHeicByItsContentAndSaysWhyOtherFilesFail)
{
    QTemporaryDir folder;
    const QByteArray heic = test::encodeHeic(photo());
    ASSERT_FALSE(heic.isEmpty()) << "libheif has no HEVC encoder";
    for (const QString& name : {u"photo.heic"_s, u"misnamed.jpg"_s}) {
        const ImageLoadResult loaded = readImageFile(write(folder, name, heic));
        EXPECT_TRUE(loaded.error.isEmpty()) << loaded.error.toStdString();
        EXPECT_EQ(loaded.image.size(), photo().size());
    }
    EXPECT_EQ(readImageData(heic, 1000).error, u"the image is too large (0.06 megapixels, at most 0.001)"_s);

    EXPECT_EQ(readImageFile(folder.filePath(u"absent.png"_s)).error, u"no such file"_s);
    EXPECT_EQ(readImageFile(folder.path()).error, u"cannot read the file (it is a folder)"_s);
    EXPECT_TRUE(readImageFile(write(folder, u"notes.png"_s, "not pixels")).error.startsWith(u"not an image"_s));
    EXPECT_TRUE(readImageData(encoded(photo(), "PNG"), 1000).error.startsWith(u"the image is too large"_s));
}

namespace {

quint32 crc32Of(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const char* type, const QByteArray& payload)
{
    QByteArray chunk;
    QDataStream out(&chunk, QIODevice::WriteOnly);
    out << quint32(payload.size());
    chunk += QByteArray(type, 4) + payload;
    QDataStream crc(&chunk, QIODevice::Append);
    crc << crc32Of(chunk.mid(4));
    return chunk;
}

// One colour, 1 bit per pixel: tens of kilobytes for hundreds of megapixels.
QByteArray onePixelDeepPng(quint32 side)
{
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out << side << side << quint8(1) << quint8(0) << quint8(0) << quint8(0) << quint8(0);
    const QByteArray rows(qsizetype(side) * (1 + side / 8), '\0');
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", qCompress(rows).mid(4))
        + pngChunk("IEND", {});
}

// A real 8 x 8 JPEG whose frame header is made to declare `side` x `side`; without its scan data
// when asked.
QByteArray inflatedJpeg(int side, bool keepScan)
{
    QImage grey(8, 8, QImage::Format_Grayscale8);
    grey.fill(128);
    QByteArray bytes = encoded(grey, "JPEG");
    const qsizetype frame = bytes.indexOf("\xff\xc0");
    for (const int at : {5, 7}) {
        bytes[frame + at] = char(side >> 8);
        bytes[frame + at + 1] = char(side & 0xff);
    }
    if (!keepScan) {
        const qsizetype scan = bytes.indexOf("\xff\xda");
        bytes = bytes.left(scan + 2 + (uchar(bytes[scan + 2]) << 8 | uchar(bytes[scan + 3]))) + "\xff\xd9";
    }
    return bytes;
}

} // namespace

TEST(ImageFileLoaderTest, FormatsOutsideThePhotoListAreRefusedByTheirContent)
{
    QTemporaryDir folder;
    const QString secret = write(folder, u"secret.png"_s, encoded(photo(), "PNG"));
    const QByteArray svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                                          "width=\"64\" height=\"64\"><image xlink:href=\"%1\" width=\"64\" height=\"64\"/></svg>")
                               .arg(secret)
                               .toUtf8();
    QImage small(16, 16, QImage::Format_RGB32);
    small.fill(Qt::green);
    const std::pair<const char*, QByteArray> others[] = {
        {"svg", svg}, {"ico", encoded(small, "ICO")}, {"xpm", encoded(small, "XPM")},
        {"pbm", encoded(small, "PBM")}, {"xbm", encoded(small, "XBM")}, {"ppm", encoded(small, "PPM")}};
    for (const auto& [name, bytes] : others) {
        ASSERT_FALSE(bytes.isEmpty()) << name;
        // Named as a photo, as an attacker would.
        const ImageLoadResult loaded = readImageFile(write(folder, QString::fromLatin1(name) + u".png"_s, bytes));
        EXPECT_TRUE(loaded.image.isNull()) << name;
        EXPECT_TRUE(loaded.error.startsWith(u"not an image in a supported format"_s)) << name << ": " << loaded.error.toStdString();
        EXPECT_FALSE(photoFormat(bytes).has_value()) << name;
    }
    const std::pair<PhotoFormat, QByteArray> photos[] = {
        {PhotoFormat::jpeg, encoded(small, "JPEG")}, {PhotoFormat::png, encoded(small, "PNG")}, {PhotoFormat::gif, gifFile()},
        {PhotoFormat::bmp, encoded(small, "BMP")},   {PhotoFormat::tiff, encoded(small, "TIFF")},
        {PhotoFormat::webp, encoded(small, "WEBP")}, {PhotoFormat::heif, test::encodeHeic(small)}};
    for (const auto& [format, bytes] : photos) {
        EXPECT_EQ(photoFormat(bytes), format) << int(format);
        EXPECT_TRUE(readImageData(bytes).error.isEmpty()) << int(format) << ": " << readImageData(bytes).error.toStdString();
    }
}

TEST(ImageFileLoaderTest, TheBudgetIsJudgedFromHeadersBeforeAnyDecode)
{
    // A 1 x 1 frame on a 10000 x 10000 screen: 29 bytes.
    QByteArray gif("GIF89a\x10\x27\x10\x27\x00\x00\x00", 13);
    gif += QByteArray("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b", 16);
    const struct {
        const char* name;
        QByteArray bytes;
        QString error;
    } bombs[] = {
        {"GIF screen", gif, u"the file declares a 10000 × 10000 image but holds only 29 bytes of data"_s},
        {"JPEG without a scan", inflatedJpeg(10000, false), u"the file declares a 10000 × 10000 image but holds no image data"_s},
        {"JPEG with a tiny scan", inflatedJpeg(9000, true), u"the file declares a 9000 × 9000 image but holds only"_s},
        {"1-bit PNG", onePixelDeepPng(16000), u"the image is too large (256 megapixels, at most 100)"_s},
    };
    for (const auto& bomb : bombs) {
        QElapsedTimer timer;
        timer.start();
        EXPECT_TRUE(checkImageBudget(bomb.bytes).startsWith(bomb.error)) << bomb.name << ": " << checkImageBudget(bomb.bytes).toStdString();
        const ImageLoadResult loaded = readImageData(bomb.bytes);
        EXPECT_TRUE(loaded.image.isNull()) << bomb.name;
        EXPECT_TRUE(loaded.error.startsWith(bomb.error)) << bomb.name;
        EXPECT_LT(timer.elapsed(), 1000) << bomb.name;
    }
    // Within the budget, large plain images still load.
    EXPECT_TRUE(checkImageBudget(onePixelDeepPng(2000)).isEmpty()) << checkImageBudget(onePixelDeepPng(2000)).toStdString();
    EXPECT_TRUE(checkImageBudget(encoded(photo(), "PNG"), 1000).startsWith(u"the image is too large"_s));

    // A file over the byte budget is refused from its size; one that is no photo, from its first bytes.
    QTemporaryDir folder;
    QFile sparse(folder.filePath(u"sparse.jpg"_s));
    ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
    ASSERT_TRUE(sparse.resize(qint64(2) << 30));
    sparse.close();
    EXPECT_TRUE(readImageFile(sparse.fileName()).error.startsWith(u"not an image"_s));
    QFile large(folder.filePath(u"large.jpg"_s));
    ASSERT_TRUE(large.open(QIODevice::WriteOnly));
    large.write(encoded(photo(), "JPEG"));
    ASSERT_TRUE(large.resize(kMaxImageFileBytes + 1));
    large.close();
    EXPECT_TRUE(readImageFile(large.fileName()).error.startsWith(u"the file is too large"_s)) << readImageFile(large.fileName()).error.toStdString();
}
